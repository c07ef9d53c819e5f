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
export FUZZ_FLAGS="-std=c++20 -g -O1 -fsanitize=address,undefined -fno-sanitize-recover=undefined -Isrc/core -Itests/fuzz"
mkdir -p "$out/objects" "$out/$target/corpus" "$out/$target/artifacts"
# The server's libraries once, into an archive both targets link against.
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
clang++ $FUZZ_FLAGS -fsanitize=fuzzer "tests/fuzz/tav_${target}_fuzz.cpp" "$out/libtavrin_fuzz.a" \
  -lsqlite3 -lz -lodbc -lcrypt -lmd -lpthread -o "$out/tav_${target}_fuzz"
"$out/tav_${target}_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
  -dict=tests/fuzz/query.dict -max_len=512 -timeout=10 -rss_limit_mb=4096 \
  -artifact_prefix="$out/$target/artifacts/" "$out/$target/corpus" "tests/fixtures/server/${target}_corpus"
