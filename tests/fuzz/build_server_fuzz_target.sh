#!/usr/bin/env bash
# Builds the fuzz target tests/fuzz/tav_NAME_fuzz.cpp with clang (libFuzzer + ASan + UBSan) into
# build/fuzz/tav_NAME_fuzz, linked against the server's libraries compiled once into
# build/fuzz/libtavrin_fuzz.a (only sources newer than their objects are compiled again).
# Usage: tests/fuzz/build_server_fuzz_target.sh NAME
set -euo pipefail
cd "$(dirname "$0")/../.."
name=${1:?usage: build_server_fuzz_target.sh NAME}
out=build/fuzz
export FUZZ_FLAGS="-std=c++20 -g -O1 -fsanitize=address,undefined -fno-sanitize-recover=undefined -Isrc/core -Itests/fuzz"
mkdir -p "$out/objects"
sources=(src/core/qk/*.cpp src/core/qksqlite/*.cpp src/core/znativesqlite/*.cpp src/core/common/*.cpp src/core/server/*.cpp)
objects=()
stale=()
for src in "${sources[@]}"; do
  obj="$out/objects/$(echo "$src" | tr / _).o"
  objects+=("$obj")
  if [[ ! -f "$obj" || "$src" -nt "$obj" ]]; then stale+=("$src" "$obj"); fi
done
printf '%s\n' "${stale[@]}" | xargs -r -P "${JOBS:-4}" -n 2 bash -c 'clang++ $FUZZ_FLAGS -fsanitize=fuzzer-no-link -c "$1" -o "$2"' _
rm -f "$out/libtavrin_fuzz.a"
ar rcs "$out/libtavrin_fuzz.a" "${objects[@]}"
clang++ $FUZZ_FLAGS -fsanitize=fuzzer "tests/fuzz/tav_${name}_fuzz.cpp" "$out/libtavrin_fuzz.a" \
  -lsqlite3 -lz -lodbc -lcrypt -lmd -lpthread -o "$out/tav_${name}_fuzz"
