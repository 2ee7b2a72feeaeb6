#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
set -euo pipefail
pkgs=(cmake g++ pkg-config make libjson-c-dev libpoco-dev libgtest-dev libgmock-dev libbenchmark-dev python3-jsonschema "$@")
# Wanted, not needed: without tshark the test that decodes kxapi-probe's captures is skipped.
# Tried by the plain call (the suite's) only: a machine that cannot get it is not asked again by
# every script that needs one more package.
optional=()
[ $# -gt 0 ] || optional=(tshark)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
SUDO=; [ "$(id -u)" -eq 0 ] || SUDO=sudo
if [ ${#missing[@]} -gt 0 ]; then
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
for p in "${optional[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' && continue
  # env: sudo does not pass DEBIAN_FRONTEND on, and tshark's package asks a question otherwise.
  if ! { $SUDO apt-get update && $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$p"; } >/dev/null 2>&1; then
    echo "install-deps: could not install $p (optional: the tests that need it are skipped)" >&2
  fi
done
