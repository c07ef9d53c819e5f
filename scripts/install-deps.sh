#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the benchmarks need
# (only those that are missing).
set -euo pipefail
packages=(
  cmake
  ninja-build
  g++
  libgtest-dev
  libgmock-dev
  libbenchmark-dev
  libsqlite3-dev
  zlib1g-dev
  libcrypt-dev
  unixodbc-dev
  odbcinst
  unixodbc
  python3-pyodbc
  libboost1.81-dev
  libmd-dev
  libpam0g-dev
  libssl-dev
  openssl
  python3
  xdelta3
  git
  apache2-utils
  clang
  libclang-rt-14-dev
  rapidjson-dev
  g++-mingw-w64-x86-64-posix
  wine64
  xvfb
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get -o DPkg::Lock::Timeout=300 update
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 install -y "${missing[@]}"
fi
