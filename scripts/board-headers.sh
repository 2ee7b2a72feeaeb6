#!/usr/bin/env bash
# Proves that the library builds against platform headers that are not this tree's, as it does
# against a board SDK: the library alone, compiled against a copy of the contract headers placed
# elsewhere through KXAPI_PLATFORM_INCLUDE_DIR. Also checks that src/ includes no header of the
# dev-host kit and that a wrong directory stops the configure with a clear message.
# Usage: scripts/board-headers.sh [build-dir]   (default build-board)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build=${1:-build-board}
sdk=$(mktemp -d)
trap 'rm -rf "$sdk"' EXIT

kit_headers=$(ls platform/standin/*.h platform/devhost/*.h platform/services/*.h | xargs -n1 basename | sort -u)
for h in $kit_headers; do
  if grep -rnE "#include [<\"]$h[>\"]" src/; then
    echo "FAIL: src/ includes $h, a header of the dev-host kit" >&2
    exit 1
  fi
done

mkdir -p "$sdk/include"
cp platform/contract/*.h "$sdk/include/"
rm -rf "$build"
if out=$(cmake -S . -B "$build" -DKXAPI_PLATFORM_INCLUDE_DIR="$sdk/missing" 2>&1); then
  echo "FAIL: a platform include directory without the headers was accepted" >&2
  exit 1
fi
msg=$(tr -s ' \n' '  ' <<<"$out" | grep -o 'KXAPI_PLATFORM_INCLUDE_DIR=[^ ]* has no .* and abs_event.h') ||
  { echo "FAIL: unclear message: $out" >&2; exit 1; }
echo "wrong KXAPI_PLATFORM_INCLUDE_DIR: configure stops with \"$msg\""

rm -rf "$build"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKXAPI_BUILD_DEVHOST=OFF \
  -DKXAPI_PLATFORM_INCLUDE_DIR="$sdk/include" >/dev/null
cmake --build "$build" -j2 --target kxapicommon
# The compiler's own record of what it read: the copy, never the tree's contract.
deps=$(cat "$build"/src/CMakeFiles/kxapicommon.dir/*.o.d)
grep -q "$sdk/include/hbtp.h" <<<"$deps" || { echo "FAIL: the copy's hbtp.h was not used" >&2; exit 1; }
if grep -q "platform/contract" <<<"$deps"; then
  echo "FAIL: the tree's contract headers were used" >&2
  exit 1
fi
scripts/check-library.sh "$build/src/libkxapicommon.so"
echo "board headers: the library builds against platform headers from $sdk/include alone"
