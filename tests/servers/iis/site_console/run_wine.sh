#!/usr/bin/env bash
# Runs Windows test programs under Wine in a private prefix.
#   run_wine.sh start PREFIX      create the prefix (first time) and start
#                                 its wineserver, so that each test starts fast
#   run_wine.sh run PREFIX EXE    run one GoogleTest program
#   run_wine.sh stop PREFIX       end every process of that prefix
set -uo pipefail
mode=$1 prefix=$2
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
unset DISPLAY
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver64)

case $mode in
  start)
    if [ ! -f "$prefix/system.reg" ]; then
      mkdir -p "$prefix"
      "$wine" wineboot -i >/dev/null 2>&1 </dev/null || { echo "wineboot failed" >&2; exit 1; }
    fi
    "$wineserver" -p >/dev/null 2>&1 </dev/null
    # The first program starts Wine's helper processes; they must not hold
    # a test's output pipe, or every test waits for them.
    "$wine" cmd /c exit >/dev/null 2>&1 </dev/null
    exit 0 ;;
  stop)
    "$wineserver" -k 2>/dev/null
    exit 0 ;;
  run)
    exe=$3; shift 3
    out=$(mktemp)
    trap 'rm -f "$out"' EXIT
    "$wine" "$exe" "$@" 2>&1 </dev/null | tee "$out"
    status=${PIPESTATUS[0]}
    # Wine passes only the low 8 bits of the exit code: check the report too.
    if [ "$status" -ne 0 ] || ! grep -q '^\[  PASSED  \]' "$out" || grep -q '^\[  FAILED  \]' "$out"; then
      echo "run_wine.sh: $exe failed (exit $status)" >&2
      exit 1
    fi
    exit 0 ;;
esac
echo "usage: run_wine.sh start|run|stop PREFIX [EXE ...]" >&2
exit 2
