#!/usr/bin/env bash
# Every request path with each of its allocations failing in turn, under ASan+UBSan (LeakSanitizer
# included): configures and builds build-allocfail, then runs the sweep.
# Usage: scripts/alloc-failure.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build=${1:-build-allocfail}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DKXAPI_SANITIZE=ON -DKXAPI_BUILD_SERVER=OFF >/dev/null
cmake --build "$build" -j2 --target exchange_test
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1} \
UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
  "$build/tests/exchange_test" --gtest_filter="AllocTest.*"
