#!/usr/bin/env bash
# Runs Windows test programs under Wine in a private prefix.
#   run_wine.sh start PREFIX      create the prefix (first time), start an
#                                 X server for the dialog tests and the
#                                 prefix's wineserver, so that each test
#                                 starts fast
#   run_wine.sh run PREFIX EXE    run one GoogleTest program
#   run_wine.sh stop PREFIX       end every process of that prefix
set -uo pipefail
mode=$1 prefix=$2
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
# Every program of the prefix shares one private X server, so that the
# dialog tests can show windows (without a display a property sheet
# returns at once as if cancelled).
unset DISPLAY
[ -s "$prefix/xvfb.display" ] && export DISPLAY=":$(cat "$prefix/xvfb.display")"
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver64)

case $mode in
  start)
    mkdir -p "$prefix"
    if ! { [ -s "$prefix/xvfb.pid" ] && kill -0 "$(cat "$prefix/xvfb.pid")" 2>/dev/null; }; then
      rm -f "$prefix/xvfb.display"
      Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$prefix/xvfb.display" \
        >/dev/null 2>&1 </dev/null &
      echo $! >"$prefix/xvfb.pid"
      for _ in $(seq 100); do [ -s "$prefix/xvfb.display" ] && break; sleep 0.1; done
      [ -s "$prefix/xvfb.display" ] || { echo "Xvfb did not start" >&2; exit 1; }
      export DISPLAY=":$(cat "$prefix/xvfb.display")"
    fi
    # The prefix is made with the display set: wineboot leaves Wine's
    # desktop process running, and one started without a display makes
    # every later window of the prefix fail.
    if [ ! -f "$prefix/system.reg" ]; then
      "$wine" wineboot -i >/dev/null 2>&1 </dev/null || { echo "wineboot failed" >&2; exit 1; }
    fi
    "$wineserver" -p >/dev/null 2>&1 </dev/null
    # The first program starts Wine's helper processes; they must not hold
    # a test's output pipe, or every test waits for them.
    "$wine" cmd /c exit >/dev/null 2>&1 </dev/null
    exit 0 ;;
  stop)
    "$wineserver" -k 2>/dev/null
    if [ -s "$prefix/xvfb.pid" ]; then
      kill "$(cat "$prefix/xvfb.pid")" 2>/dev/null
      rm -f "$prefix/xvfb.pid" "$prefix/xvfb.display"
    fi
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
