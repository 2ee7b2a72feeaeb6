#!/usr/bin/env bash
# The main job: installs what is missing, builds, and starts the reference host.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2
if [ -x build/server/kxapi-access-server ]; then
  exec build/server/kxapi-access-server "$@"
fi
exec build/examples/kxapi-status-demo "$@"
