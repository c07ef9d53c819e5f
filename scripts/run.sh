#!/usr/bin/env bash
# The main job: builds the project, provisions a demo (SQL Server stand-in with a demo dbfile,
# the web-server configuration) in a scratch directory, starts tavrin_host with the sync module
# on 127.0.0.1, runs one pull and one push with the test client, then keeps serving until
# Ctrl-C, printing the URL and a command to pull with the test client.
#   scripts/run.sh [--exit-after-demo]
# --exit-after-demo stops the host after the demo's pull and push (what tests use).
# Without the module it provisions what it can, says what is missing and exits 1.
# DEMO_DIR keeps the demo there instead of a removed scratch directory; JOBS sets build jobs;
# TAVRIN_MODULE names another module image. With TAVRIN_HOST, SQLSERVER_STANDIN and
# STANDIN_ODBC set, those programs are used and nothing is built.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
python=/usr/bin/python3
exit_after_demo=
for arg in "$@"; do
  case $arg in
    --exit-after-demo) exit_after_demo=1 ;;
    *) echo "usage: scripts/run.sh [--exit-after-demo]" >&2; exit 2 ;;
  esac
done

if [[ -n "${TAVRIN_HOST:-}" && -n "${SQLSERVER_STANDIN:-}" && -n "${STANDIN_ODBC:-}" ]]; then
  host=$TAVRIN_HOST standin=$SQLSERVER_STANDIN driver=$STANDIN_ODBC
  module=${TAVRIN_MODULE:-$root/build/plain/src/servers/iis/libtavrin_server.so}
else
  generator=()
  command -v ninja >/dev/null && generator=(-G Ninja)
  cmake -S . -B build/plain "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cmake --build build/plain -j "${JOBS:-$(nproc)}"
  host=$root/build/plain/standin/iis/tavrin_host
  standin=$root/build/plain/standin/sqlserver/sqlserver-standin
  driver=$root/build/plain/standin/sqlserver/libsqlserver_standin_odbc.so
  module=${TAVRIN_MODULE:-$(find "$root/build/plain/src" -name libtavrin_server.so -print -quit 2>/dev/null || true)}
  module=${module:-$root/build/plain/src/servers/iis/libtavrin_server.so}
fi

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
"$python" - "$demo/client.sqlite" "$url" <<'EOF'
import sys
sys.path.insert(0, "tests/e2e")
from tavrin_client import Client
client = Client(sys.argv[1], sys.argv[2], "demo")
client.insert("customers", {"name": "Demo customer"})
client.close()
EOF
client push
"$standin" run "$demo/data" demo <(echo "SELECT id, name FROM dbo.customers")
echo
echo "request log (W3C extended, a file a day): $demo/W3SVC1/u_ex$(date -u +%y%m%d).log"
cat "$demo"/W3SVC1/u_ex*.log
if [[ -n "$exit_after_demo" ]]; then
  exit 0
fi

echo
echo "tavrin_host keeps serving $url until Ctrl-C. Pull into a client copy of your own with:"
echo "  $python $root/tests/e2e/tavrin_client.py $demo/mine.sqlite $url demo pull"
trap 'echo; echo "stopping tavrin_host"' INT TERM
wait "$host_pid" || true
