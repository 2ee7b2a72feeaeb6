#!/usr/bin/env bash
# Builds the armhf sysroot the camera cross build links against: a bookworm tree with the C and
# C++ runtime and the -dev packages of every library the project uses, extracted, not configured.
# Usage: scripts/armhf-sysroot.sh [dir]   (default: $KXAPI_ARMHF_SYSROOT or build-armhf-sysroot/)
# A finished sysroot carries a stamp file; delete the directory to rebuild it.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(realpath -m "${1:-${KXAPI_ARMHF_SYSROOT:-build-armhf-sysroot}}")
stamp="$root/.kxapi-sysroot"
pkgs=libc6-dev,libstdc++-12-dev,libjson-c-dev,libpoco-dev,libgtest-dev,libgmock-dev
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$pkgs" ]; then
  echo "armhf sysroot up to date: $root"
  exit 0
fi
rm -rf "$root"
mkdir -p "$(dirname "$root")"
# The mirror is named explicitly: without one mmdebstrap would read a sources list from stdin,
# which CI does not give. The updates suites keep the libraries at the level of the host's cross
# toolchain. SOURCE_DATE_EPOCH fixes every timestamp mmdebstrap writes.
mirror=${KXAPI_DEBIAN_MIRROR:-http://deb.debian.org/debian}
security=${KXAPI_DEBIAN_SECURITY:-http://deb.debian.org/debian-security}
start=$(date +%s)
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-1704067200} \
mmdebstrap --quiet --arch=armhf --variant=extract --include="$pkgs" \
  bookworm "$root" \
  "deb $mirror bookworm main" \
  "deb $mirror bookworm-updates main" \
  "deb $security bookworm-security main" </dev/null
# Extracted packages keep absolute symlinks (libm.so -> /lib/arm-linux-gnueabihf/libm.so.6) that
# point into the build host: make every absolute link inside the tree relative to it.
# (dev/ is left alone: its links name the running system's /proc on purpose.)
find "$root" -path "$root/dev" -prune -o -type l -lname '/*' -print0 | while IFS= read -r -d '' link; do
  target=$(readlink "$link")
  ln -sfn "$(realpath -m -s --relative-to="$(dirname "$link")" "$root$target")" "$link"
done
echo "$pkgs" >"$stamp"
echo "armhf sysroot made in $(( $(date +%s) - start )) s: $root"
