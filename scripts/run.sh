#!/usr/bin/env bash
# Builds the project and runs the sync host on loopback against the embedded
# SQL Server stand-in.
set -euo pipefail
cd "$(dirname "$0")/.."
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S . -B build/plain "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build/plain -j "${JOBS:-$(nproc)}"

echo "The sync host cannot run yet: the module (tavrin_server), the HTTP host"
echo "and the SQL Server stand-in are still being built. This command builds"
echo "what exists so far."
