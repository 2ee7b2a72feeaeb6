#!/usr/bin/env bash
# Installs a build to temporary prefixes and builds the programs of tests/consumer against the
# package from outside:
#   - the library's part alone (what a board gets): the foreign host, which defines the whole
#     platform itself, through find_package, and runs its tests (among them the failed load
#     without AbsEvDel);
#   - everything: the dev-host consumer through find_package COMPONENTS devhost and through
#     pkg-config kxplatform.
# Also checks that nothing generic lands at the include root.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
libonly=$tmp/library
full=$tmp/full

for component in runtime dev; do
  cmake --install "$build" --prefix "$libonly" --component "$component" >/dev/null
done
cmake --install "$build" --prefix "$full" >/dev/null

included=$(cd "$full/include" && ls -A | tr '\n' ' ')
if [ "$included" != "kxapicommon.h kxplatform " ] || [ ! -d "$full/include/kxplatform" ]; then
  echo "install check: $full/include holds [$included], expected kxapicommon.h and kxplatform/" >&2
  exit 1
fi

cmake -S tests/consumer -B "$tmp/foreign-build" -DCMAKE_PREFIX_PATH="$libonly" >/dev/null
cmake --build "$tmp/foreign-build" >/dev/null
if [ -e "$tmp/foreign-build/devhost_consumer" ]; then
  echo "install check: the library's part alone offered the dev-host kit" >&2
  exit 1
fi
libdir=$(dirname "$(ls -d "$libonly"/lib*/pkgconfig | head -n1)")
if ! LD_LIBRARY_PATH="$libdir" ctest --test-dir "$tmp/foreign-build" --no-tests=error --output-on-failure >"$tmp/ctest.log" 2>&1; then
  cat "$tmp/ctest.log" >&2
  exit 1
fi

cmake -S tests/consumer -B "$tmp/devhost-build" -DCMAKE_PREFIX_PATH="$full" -DKXAPI_CONSUMER_DEVHOST=ON >/dev/null
cmake --build "$tmp/devhost-build" --target devhost_consumer >/dev/null
libdir=$(dirname "$(ls -d "$full"/lib*/pkgconfig | head -n1)")
LD_LIBRARY_PATH="$libdir" "$tmp/devhost-build/devhost_consumer"
PKG_CONFIG_PATH="$libdir/pkgconfig" g++ -std=c++17 tests/consumer/devhost_consumer.cpp -o "$tmp/devhost-pc" \
  $(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs kxplatform)
LD_LIBRARY_PATH="$libdir" "$tmp/devhost-pc"
echo "install check: foreign host on the library alone, dev-host consumer through find_package and pkg-config"
