#!/usr/bin/env bash
# Opens site_console, the Windows tool that makes and edits module sites, under Wine on a server
# configuration that tavrin_host then serves.
usage="usage: scripts/site-console.sh [--setup-only] [CONFIG]

Builds what is missing (site_console.exe and the administration stand-in iisadmin_com.dll with
mingw-w64 into build/mingw; tavrin_host, the module and the SQL Server stand-in into
build/plain), then prepares:
  - DEMO_DIR (default build/site-console): the SQL Server stand-in's demo data (configuration
    database tavrin_config, dbfile demo) and odbcinst.ini, which registers the stand-in's driver
    under the driver names of site_console's connection strings (for ODBCSYSINI=DEMO_DIR);
  - the server configuration CONFIG (default DEMO_DIR/applicationHost.config): made when
    missing, with no site, naming the module and the handlers every site inherits;
  - the Wine prefix WINEPREFIX (default DEMO_DIR/wineprefix), with iisadmin_com.dll registered
    (wine regsvr32);
then opens site_console.exe with TAVRIN_HOST_CONFIG=CONFIG (it needs a display: DISPLAY), and
prints the tavrin_host command that serves the sites it made.

  --setup-only  prepare everything, open nothing, print the commands
Environment: DEMO_DIR, WINEPREFIX, JOBS (build jobs); SITE_CONSOLE_EXE with IISADMIN_COM_DLL,
and TAVRIN_HOST with SQLSERVER_STANDIN and STANDIN_ODBC (and TAVRIN_MODULE), use those programs
instead of building them."
set -euo pipefail
setup_only= config= named_config=
for arg in "$@"; do
  case $arg in
    --setup-only) setup_only=1 ;;
    --help|-h) echo "$usage"; exit 0 ;;
    -*) echo "$usage" >&2; exit 2 ;;
    *) [[ -z "$config" ]] || { echo "$usage" >&2; exit 2; }
       config=$(realpath -m "$arg") named_config=" $config" ;;
  esac
done
# Paths are taken from where the script is called.
[[ -z "${DEMO_DIR:-}" ]] || DEMO_DIR=$(realpath -m "$DEMO_DIR")
[[ -z "${WINEPREFIX:-}" ]] || WINEPREFIX=$(realpath -m "$WINEPREFIX")
cd "$(dirname "$0")/.."
root=$PWD
python=/usr/bin/python3
demo=${DEMO_DIR:-$root/build/site-console}
config=${config:-$demo/applicationHost.config}
export WINEPREFIX=${WINEPREFIX:-$demo/wineprefix}
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)

if [[ -z "$setup_only" && -z "${DISPLAY:-}" ]]; then
  echo "site_console is a window: set DISPLAY (or run --setup-only)." >&2
  exit 1
fi

source scripts/programs.sh
windows_programs
native_programs

# A Linux path as Wine programs see it: through the prefix's Z: drive.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

mkdir -p "$demo"
"$python" tests/e2e/demo.py "$demo" --standin "$standin" --driver "$driver" --module "$module" \
  --for-site-console
if [[ ! -f "$config" ]]; then
  mkdir -p "$(dirname "$config")"
  "$python" -c 'import sys; sys.path.insert(0, "tests/e2e"); import demo; demo.write_server_config(*sys.argv[1:])' \
    "$config" "$module"
  echo "server configuration made: $config"
elif ! "$python" -c 'import sys, xml.etree.ElementTree as tree
sys.exit(tree.parse(sys.argv[1]).find("system.webServer/globalModules/add[@name=\"tavrin\"]") is None)' "$config" 2>/dev/null
then
  echo "note: $config names no module \"tavrin\" under globalModules; tavrin_host serves its sites only" \
       "once it does (<add name=\"tavrin\" image=\"$module\" />)."
fi

if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
  echo "making the Wine prefix $WINEPREFIX (the first time takes a while)"
  "$wine" wineboot -i >/dev/null 2>&1 </dev/null
fi
"$wine" regsvr32 /s "$(windows_path "$com_dll")" </dev/null ||
  { echo "wine regsvr32 $com_dll failed" >&2; exit 1; }
echo "administration stand-in registered in $WINEPREFIX: $com_dll"
if [[ -z "${DISPLAY:-}" ]]; then
  # Wine's processes started without a display would keep every later window of this prefix
  # from opening: let them end before the next run opens the tool.
  timeout 120 "$(command -v wineserver || echo /usr/lib/wine/wineserver64)" -w || true
fi

serve="ODBCSYSINI=$demo $host --config $config --wine-prefix $WINEPREFIX"
cat <<EOF

site_console writes $config (TAVRIN_HOST_CONFIG). In its add-site wizard, the demo database is:
  SQL Server: $demo/data    database: tavrin_config    authentication: Windows
The default webroot and temp directory (C:\\ProgramData\\Tavrin\\QVS Server\\...) are made in the
prefix's drive C: ($WINEPREFIX/drive_c) when you agree.
EOF
if [[ -z "$setup_only" ]]; then
  echo "opening site_console"
  TAVRIN_HOST_CONFIG=$config "$wine" "$site_console" </dev/null || true
fi
cat <<EOF

Serve the sites of $config (pull and push of dbfile demo):
  $serve
Then pull, change and push with the test client, e.g. for a site on port 8080:
  $python $root/tests/e2e/tavrin_client.py $demo/mine.sqlite http://127.0.0.1:8080 demo pull
Open site_console again with: ${DEMO_DIR:+DEMO_DIR=$demo }scripts/site-console.sh$named_config
EOF
