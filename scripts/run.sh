#!/usr/bin/env bash
# The main job: installs what is missing, builds, and starts the reference host.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2
if [ -x build/server/kxapi-access-server ]; then
  # Sockets and saved settings stay inside the build tree unless the caller says otherwise.
  exec build/server/kxapi-access-server --run-dir build/run --state-dir build/state "$@"
fi
exec build/examples/kxapi-status-demo "$@"
