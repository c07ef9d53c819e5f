#!/usr/bin/env bash
# Builds the JSON reader/writer fuzz target with clang (libFuzzer + ASan + UBSan) and runs it
# for the given number of seconds (default 600), starting from the checked-in seed corpus.
# New inputs go to build/fuzz/corpus; crashes to build/fuzz/artifacts. The main build is not
# touched. Usage: tests/fuzz/run_json_fuzz.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-600}
out=build/fuzz
mkdir -p "$out/corpus" "$out/artifacts"
clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -Isrc/core -Itests/fuzz src/core/qk/*.cpp tests/fuzz/qk_json_fuzz.cpp -lz -lodbc -lpthread -o "$out/qk_json_fuzz"
"$out/qk_json_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
  -dict=tests/fuzz/json.dict -max_len=4096 -timeout=10 -rss_limit_mb=4096 \
  -artifact_prefix="$out/artifacts/" "$out/corpus" tests/fixtures/qk/json_corpus
