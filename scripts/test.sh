#!/usr/bin/env bash
# Installs what is missing, configures, builds with -j2 and runs the whole suite.
# Usage: scripts/test.sh [build-dir] [extra cmake arguments...]
# KXAPI_CTEST_SKIP: ctest labels to leave out (a regular expression, as ctest -LE takes it), for a
# build flavour that is not where a labelled proof runs (cmake/KxapiTests.cmake says which is).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build=${1:-build}; shift || true
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
cmake --build "$build" -j2
ctest --test-dir "$build" -j2 --output-on-failure --timeout 300 ${KXAPI_CTEST_SKIP:+-LE "$KXAPI_CTEST_SKIP"}
