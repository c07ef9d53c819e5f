# Sourced by run.sh and site-console.sh (from the repository's root, with $root set): builds
# only the programs they run, or takes them from the environment.

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

# tavrin_host, the module, the SQL Server stand-in's CLI and driver, from build/plain; sets
# host, module, standin and driver. With TAVRIN_HOST, SQLSERVER_STANDIN and STANDIN_ODBC set,
# those are used and nothing is built (TAVRIN_MODULE names the module, also when building).
native_programs() {
  if [[ -n "${TAVRIN_HOST:-}" && -n "${SQLSERVER_STANDIN:-}" && -n "${STANDIN_ODBC:-}" ]]; then
    host=$TAVRIN_HOST standin=$SQLSERVER_STANDIN driver=$STANDIN_ODBC
    module=${TAVRIN_MODULE:-$root/build/plain/src/servers/iis/libtavrin_server.so}
    return
  fi
  [[ -f build/plain/CMakeCache.txt ]] ||
    cmake -S . -B build/plain "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cmake --build build/plain -j "${JOBS:-$(nproc)}" \
    --target tavrin_host tavrin_server sqlserver-standin sqlserver_standin_odbc
  host=$root/build/plain/standin/iis/tavrin_host
  standin=$root/build/plain/standin/sqlserver/sqlserver-standin
  driver=$root/build/plain/standin/sqlserver/libsqlserver_standin_odbc.so
  module=${TAVRIN_MODULE:-$root/build/plain/src/servers/iis/libtavrin_server.so}
}

# site_console.exe and the administration stand-in iisadmin_com.dll, cross-compiled with
# mingw-w64 into build/mingw; sets site_console and com_dll. SITE_CONSOLE_EXE and
# IISADMIN_COM_DLL, when both set, are used instead.
windows_programs() {
  if [[ -n "${SITE_CONSOLE_EXE:-}" && -n "${IISADMIN_COM_DLL:-}" ]]; then
    site_console=$SITE_CONSOLE_EXE com_dll=$IISADMIN_COM_DLL
    return
  fi
  [[ -f build/mingw/CMakeCache.txt ]] ||
    cmake -S src/servers/iis/site_console -B build/mingw "${generator[@]}" \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cmake --build build/mingw -j "${JOBS:-$(nproc)}" --target site_console iisadmin_com
  site_console=$root/build/mingw/site_console.exe
  com_dll=$root/build/mingw/standin/iisadmin/com/iisadmin_com.dll
}
