#!/usr/bin/env bash
# Runs every test executable under valgrind memcheck: any error or definitely lost block fails.
# Usage: scripts/valgrind.sh [build-dir]   (a plain, non-sanitized build; built if missing)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh valgrind
build=${1:-build-valgrind}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DKXAPI_BUILD_SERVER=OFF >/dev/null
cmake --build "$build" -j2
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
run() {
  local t=$1 name
  name=$(basename "$t")
  # The real-time-out case only waits; it proves nothing more under valgrind. The allocation sweep
  # counts and fails allocations through its own malloc, which valgrind's replaces: it has nothing
  # to count here, and runs in every other build.
  if valgrind --quiet --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite \
       --show-leak-kinds=definite --track-fds=no "$t" --gtest_filter='-*RealTimeout*:AllocTest.*' \
       >"$logs/$name.log" 2>&1; then
    echo "ok    $name"
  else
    echo "FAIL  $name"; tail -n 40 "$logs/$name.log"; return 1
  fi
}
export -f run; export logs
find "$build/tests" -maxdepth 1 -type f -executable -name '*_test' | sort |
  xargs -P2 -I{} bash -c 'run {}'
