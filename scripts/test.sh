#!/usr/bin/env bash
# Installs what is missing, configures, builds with -j2 and runs the whole suite.
# Usage: scripts/test.sh [build-dir] [extra cmake arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build=${1:-build}; shift || true
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
cmake --build "$build" -j2
ctest --test-dir "$build" -j2 --output-on-failure --timeout 300
