#!/usr/bin/env bash
# Builds the pushed-package fuzz target with clang (libFuzzer + ASan + UBSan) and runs it for the
# given number of seconds (default 600) against the SQL Server stand-in of build/plain (built
# first when missing), starting from the valid seed pushes and the kept corpus
# tests/fuzz/corpus/push. New inputs go to build/fuzz/push/corpus, crashes to
# build/fuzz/push/artifacts. FUZZ_JOBS=N runs N fuzzing processes (default 1); with
# PUSH_FUZZ_FINDINGS=DIR the run goes on past a finding and keeps one input per kind in DIR.
# Usage: tests/fuzz/run_push_fuzz.sh [seconds] [extra libFuzzer flags...]
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-600}
shift || true
out=build/fuzz
standin=build/plain/standin/sqlserver
if [[ ! -f "$standin/libsqlserver_standin_odbc.so" || ! -x "$standin/sqlserver-standin" ]]; then
  [[ -f build/plain/build.ninja ]] || cmake -S . -B build/plain -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cmake --build build/plain -j "${JOBS:-3}" --target sqlserver_standin_odbc sqlserver-standin
fi
export PUSH_FUZZ_DRIVER="$PWD/$standin/libsqlserver_standin_odbc.so"
export PUSH_FUZZ_CLI="$PWD/$standin/sqlserver-standin"
mkdir -p "$out/push/corpus" "$out/push/artifacts" "$out/push/seeds"
tests/fuzz/build_server_fuzz_target.sh push
# The stand-in's driver is not instrumented; its leaks are not the server's.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export PUSH_FUZZ_SEEDS="$PWD/$out/push/seeds" PUSH_FUZZ_STATS=1
parallel=()
if [[ "${FUZZ_JOBS:-1}" -gt 1 ]]; then parallel=(-jobs="$FUZZ_JOBS" -workers="$FUZZ_JOBS"); fi
root=$PWD
cd "$out/push"  # where parallel runs write their fuzz-N.log
"$root/$out/tav_push_fuzz" -max_total_time="$seconds" -print_final_stats=1 -max_len=1024 -len_control=0 -timeout=30 \
  -rss_limit_mb=4096 "${parallel[@]}" "$@" \
  -artifact_prefix="$root/$out/push/artifacts/" corpus seeds "$root/tests/fuzz/corpus/push"
