#!/usr/bin/env bash
# Installs what is missing, configures, builds with -j2 and runs the whole suite.
# Usage: scripts/test.sh [build-dir] [extra cmake arguments...]
# KXAPI_CTEST_EXCLUDE: a ctest -E pattern for a further run of the same suite (CI passes
# RealTimeout to every build flavour after the first, which waits out the real 15-second time-out).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build=${1:-build}; shift || true
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
cmake --build "$build" -j2
ctest --test-dir "$build" -j2 --output-on-failure --timeout 300 ${KXAPI_CTEST_EXCLUDE:+-E "$KXAPI_CTEST_EXCLUDE"}
