#!/usr/bin/env bash
# Builds the request-query and baseline fuzz targets with clang (libFuzzer + ASan + UBSan) and
# runs one of them for the given number of seconds (default 600), starting from its checked-in
# seed corpus. New inputs go to build/fuzz/<target>/corpus; crashes to
# build/fuzz/<target>/artifacts. The main build is not touched.
# Usage: tests/fuzz/run_query_fuzz.sh query|baseline [seconds]
set -euo pipefail
cd "$(dirname "$0")/../.."
target=${1:?usage: run_query_fuzz.sh query|baseline [seconds]}
seconds=${2:-600}
case "$target" in
  query | baseline) ;;
  *) echo "unknown target '$target' (query or baseline)" >&2; exit 2 ;;
esac
out=build/fuzz
mkdir -p "$out/$target/corpus" "$out/$target/artifacts"
tests/fuzz/build_server_fuzz_target.sh "$target"
"$out/tav_${target}_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
  -dict=tests/fuzz/query.dict -max_len=512 -timeout=10 -rss_limit_mb=4096 \
  -artifact_prefix="$out/$target/artifacts/" "$out/$target/corpus" "tests/fixtures/server/${target}_corpus"
