#!/usr/bin/env bash
# Installs a build to a temporary prefix and builds an outside program against the package,
# once through find_package and once through pkg-config.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
cmake -S tests/consumer -B "$prefix/consumer-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$prefix/consumer-build" >/dev/null
LD_LIBRARY_PATH="$prefix/lib" "$prefix/consumer-build/consumer"
libdir=$(ls -d "$prefix"/lib*/pkgconfig | head -n1)
PKG_CONFIG_PATH="$libdir" g++ -std=c++17 tests/consumer/main.cpp -o "$prefix/consumer-pc" \
  $(PKG_CONFIG_PATH="$libdir" pkg-config --cflags --libs kxplatform)
LD_LIBRARY_PATH="$(dirname "$libdir")" "$prefix/consumer-pc"
echo "install check: find_package and pkg-config consumers build and run"
