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
# The labelled proofs run elsewhere: the real time-out only waits, and the allocation sweep counts
# and fails allocations through its own malloc, which valgrind's replaces.
skip=$(ctest --test-dir "$build" -N -L 'slow|alloc' | sed -n 's/^ *Test *#[0-9]*: //p' | paste -sd:)
run() {
  local t=$1 name
  name=$(basename "$t")
  if valgrind --quiet --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite \
       --show-leak-kinds=definite --track-fds=no "$t" --gtest_filter="-$skip" \
       >"$logs/$name.log" 2>&1; then
    echo "ok    $name"
  else
    echo "FAIL  $name"; tail -n 40 "$logs/$name.log"; return 1
  fi
}
export -f run; export logs skip
find "$build/tests" -maxdepth 1 -type f -executable -name '*_test' | sort |
  xargs -P2 -I{} bash -c 'run {}'
