#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer + ASan + UBSan) and runs each for the given number
# of seconds (default 30) on a scratch copy of its seed corpus. Any crash fails the script.
# Usage: scripts/fuzz.sh [seconds-per-target] [target...]
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-30}; shift || true
scripts/install-deps.sh clang libclang-rt-14-dev
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKXAPI_FUZZ=ON \
  -DKXAPI_BUILD_TESTS=OFF -DKXAPI_BUILD_SERVER=OFF >/dev/null
cmake --build build-fuzz -j2
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  # From the sources, not build-fuzz/: a binary of a since-removed target may still sit there.
  for f in fuzz/fuzz_*.cpp; do targets+=("$(basename "$f" .cpp)"); done
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for t in "${targets[@]}"; do
  name=${t#fuzz_}
  mkdir -p "$work/$name"
  cp -r fuzz/corpus/"$name"/. "$work/$name"/ 2>/dev/null || true
  echo "== $t for ${secs}s"
  (cd "$work" && UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
     "$OLDPWD/build-fuzz/fuzz/$t" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 \
     -print_final_stats=1 "$work/$name" 2>&1 | tail -n 12)
done
