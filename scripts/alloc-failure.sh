#!/usr/bin/env bash
# Every request path with each of its allocations failing in turn, under ASan+UBSan (LeakSanitizer
# included): the suite's cases labelled alloc, in the sanitizer build CI's suite run uses, so that
# the tree is built once. CI runs them as part of that suite; this runs them alone.
# Usage: scripts/alloc-failure.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build=${1:-build-asan}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DKXAPI_SANITIZE=ON >/dev/null
cmake --build "$build" -j2 --target exchange_test
ctest --test-dir "$build" -j2 --output-on-failure --timeout 300 -L alloc
