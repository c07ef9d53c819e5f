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
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1} \
UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
  run_config asan -DCMAKE_BUILD_TYPE=Debug -DTAVRIN_SANITIZE=ON -DTAVRIN_BENCH=OFF
