#!/usr/bin/env bash
# The main job: builds what it runs, provisions a demo (SQL Server stand-in with a demo dbfile,
# the web-server configuration), starts tavrin_host with the sync module on 127.0.0.1, runs one
# pull and one push with the test client, then keeps serving until Ctrl-C, printing the URL and
# a command to pull with the test client.
usage="usage: scripts/run.sh [--exit-after-demo] [--help]

  --exit-after-demo  stop the host after the demo's pull and push (what tests use)

Environment:
  DEMO_DIR=DIR   keep the demo in DIR (made when missing; a DIR that holds a demo from an
                 earlier run is served again as it is) instead of a scratch directory that
                 Ctrl-C removes
  JOBS=N         build jobs (default: the number of processors)
  TAVRIN_MODULE  another module image
  TAVRIN_HOST, SQLSERVER_STANDIN, STANDIN_ODBC
                 all three set: use these programs and build nothing

It builds only tavrin_host, the module and the SQL Server stand-in (into build/plain); the
tests are built by scripts/test.sh. Without the module it provisions what it can, says what is
missing and exits 1."
set -euo pipefail
# DEMO_DIR is taken from where the script is called.
[[ -z "${DEMO_DIR:-}" ]] || DEMO_DIR=$(realpath -m "$DEMO_DIR")
cd "$(dirname "$0")/.."
root=$PWD
python=/usr/bin/python3
exit_after_demo=
for arg in "$@"; do
  case $arg in
    --exit-after-demo) exit_after_demo=1 ;;
    --help|-h) echo "$usage"; exit 0 ;;
    *) echo "$usage" >&2; exit 2 ;;
  esac
done

source scripts/programs.sh
native_programs

if [[ -n "${DEMO_DIR:-}" ]]; then
  demo=$DEMO_DIR
  mkdir -p "$demo"
else
  demo=$(mktemp -d /tmp/tavrin-demo.XXXXXX)
fi
host_pid=
cleanup() {
  if [[ -n "$host_pid" ]] && kill -0 "$host_pid" 2>/dev/null; then
    kill -TERM "$host_pid"
    wait "$host_pid" 2>/dev/null || true
  fi
  [[ -n "${DEMO_DIR:-}" ]] || rm -rf "$demo"
}
trap cleanup EXIT

"$python" tests/e2e/demo.py "$demo" --standin "$standin" --driver "$driver" --module "$module"

if [[ ! -f "$module" ]]; then
  echo
  echo "MISSING: the sync module $module is not built yet."
  echo "The build, the SQL Server stand-in, the demo dbfile and the host configuration are ready;"
  echo "tavrin_host cannot serve /pull and /push without the module."
  exit 1
fi

# The host prints "listening <site> http://127.0.0.1:<port>/" once it serves.
"$host" --config "$demo/applicationHost.config" --workers 4 --timeout 30 --log "$demo/host.log" \
  >"$demo/host.out" 2>&1 &
host_pid=$!
port=
for _ in $(seq 1 100); do
  port=$(sed -n 's|^listening .* http://127\.0\.0\.1:\([0-9]*\)/$|\1|p' "$demo/host.out" | head -n 1)
  [[ -n "$port" ]] && break
  kill -0 "$host_pid" 2>/dev/null || break
  sleep 0.2
done
if [[ -z "$port" ]]; then
  echo "tavrin_host did not start:" >&2
  cat "$demo/host.out" >&2
  exit 1
fi
url="http://127.0.0.1:$port/sync"
echo
echo "tavrin_host serves $url (module $module)"

client() { timeout 120 "$python" tests/e2e/tavrin_client.py "$demo/client.sqlite" "$url" demo "$@"; }
client pull
client show
# One local change: a new customer, pushed; the follow-up brings back its server identity.
client insert customers '{"name": "Demo customer"}'
client push
"$standin" run "$demo/data" demo <(echo "SELECT id, name FROM dbo.customers")
echo
echo "request log (W3C extended, a file a day): $demo/W3SVC1/u_ex$(date -u +%y%m%d).log"
cat "$demo"/W3SVC1/u_ex*.log
if [[ -n "$exit_after_demo" ]]; then
  exit 0
fi

client_command="$python $root/tests/e2e/tavrin_client.py $demo/mine.sqlite $url demo"
echo
echo "tavrin_host keeps serving $url until Ctrl-C. Pull into a client copy of your own with:"
echo "  $client_command pull"
echo "then look, change and push (README, \"Your own client copy\"):"
echo "  $client_command show"
echo "  $client_command insert customers '{\"name\": \"Mine\"}'"
echo "  $client_command push"
if [[ -n "${DEMO_DIR:-}" ]]; then
  echo "The demo and your client copy stay in $demo; DEMO_DIR=$demo scripts/run.sh serves them again."
else
  echo "Ctrl-C removes $demo, your client copy with it; DEMO_DIR=DIR scripts/run.sh keeps both."
fi
trap 'echo; echo "stopping tavrin_host"' INT TERM
wait "$host_pid" || true
