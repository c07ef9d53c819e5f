#!/usr/bin/env bash
# Builds everything twice (plain, and with AddressSanitizer + UBSan) and runs
# every test in both builds. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-$(nproc)}
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

run_config() {
  local name=$1; shift
  echo "=== build ($name) ==="
  cmake -S . -B "build/$name" "${generator[@]}" "$@"
  cmake --build "build/$name" -j "$jobs"
  echo "=== test ($name) ==="
  (cd "build/$name" && ctest --output-on-failure -j "$jobs" --timeout 900)
}

run_config plain -DCMAKE_BUILD_TYPE=RelWithDebInfo
# The sanitizer build is lightly optimised (-O1, as AddressSanitizer advises): its end-to-end
# tests then take about half the time.
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1} \
UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
  run_config asan -DCMAKE_BUILD_TYPE=Debug -DTAVRIN_SANITIZE=ON -DTAVRIN_BENCH=OFF \
    "-DCMAKE_C_FLAGS_DEBUG=-g -O1" "-DCMAKE_CXX_FLAGS_DEBUG=-g -O1"

# The site configuration tool is a Windows program: cross-compiled with
# mingw-w64 and tested under Wine in a private prefix (build/mingw/wineprefix).
echo "=== build (mingw) ==="
cmake -S src/servers/iis/site_console -B build/mingw "${generator[@]}" \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build/mingw -j "$jobs"
echo "=== test (mingw, under Wine) ==="
(cd build/mingw && ctest --output-on-failure -j "$jobs" --timeout 900)
