#!/usr/bin/env bash
# Compares the ABI of a built libkxapicommon.so with the committed baseline abi/libkxapicommon.<arch>.abi.
# An incompatible change (anything but added functions and variables) fails unless the SONAME's
# major version moved away from the baseline's in the same change; additions are printed and pass.
# Usage: scripts/abi-check.sh <build-dir> <amd64|armhf> [--update]
#   --update: rewrite the baseline from the build, after showing what changed.
# The build must carry debug info (RelWithDebInfo, as CI builds it): the baseline describes types.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

update=0 args=()
for a in "$@"; do
  case $a in
    --update) update=1 ;;
    -h|--help) sed -n '2,7p' "$0"; exit 0 ;;
    -*) echo "unknown option: $a" >&2; exit 2 ;;
    *) args+=("$a") ;;
  esac
done
[ ${#args[@]} -eq 2 ] || { echo "usage: $0 <build-dir> <amd64|armhf> [--update]" >&2; exit 2; }
build=${args[0]} arch=${args[1]}
case $arch in
  amd64) machine='Advanced Micro Devices X86-64' ;;
  armhf) machine='ARM' ;;
  *) echo "unknown architecture: $arch (amd64 or armhf)" >&2; exit 2 ;;
esac
lib=$build/src/libkxapicommon.so
baseline=$here/abi/libkxapicommon.$arch.abi
[ -f "$lib" ] || { echo "no library at $lib: build it first" >&2; exit 2; }
"$here/scripts/install-deps.sh" abigail-tools

export LC_ALL=C
if [ "$(readelf -h "$lib" | sed -n 's/^ *Machine: *//p')" != "$machine" ]; then
  echo "$lib is not an $arch library" >&2
  exit 2
fi
if ! readelf -S -W "$lib" | grep -q ' \.debug_info '; then
  echo "$lib has no debug info: configure the build with -DCMAKE_BUILD_TYPE=RelWithDebInfo" >&2
  exit 2
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Only what the public header declares and what it reaches; no locations, build paths or corpus
# path, so the comparison does not depend on where the tree was built. (The text may still list
# declarations in another order: abidw sorts them by their source paths.)
dump() { # <out>
  local src
  src=$(sed -n 's/^kxapicommon_SOURCE_DIR:STATIC=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
  abidw --headers-dir "${src:-$here}/include" --drop-private-types --drop-undefined-syms \
    --no-show-locs --no-comp-dir-path --no-corpus-path --out-file "$work/raw.abi" "$lib"
  # The translation units are still named by the absolute paths of their sources.
  local root
  root=$(printf '%s' "${src:-$here}/" | sed 's/[]\/$*.^[]/\\&/g')
  sed "s/path='$root/path='/" "$work/raw.abi" >"$1"
}

soname_major() { sed -n 's/.*\.so\.\([0-9][0-9]*\).*/\1/p' <<<"$1"; }
lib_soname=$(readelf -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]$/\1/p')
refresh() {
  echo "To accept the change on purpose:"
  echo "  - for an incompatible change, raise the major of project(kxapicommon VERSION ...) in"
  echo "    CMakeLists.txt (the SONAME follows it) and rebuild;"
  echo "  - refresh the baselines of both architectures from RelWithDebInfo builds:"
  echo "      scripts/abi-check.sh $build $arch --update"
  if [ "$arch" = amd64 ]; then
    echo "      scripts/abi-check.sh build-armhf armhf --update    (after scripts/test-armhf.sh)"
  else
    echo "      scripts/abi-check.sh build amd64 --update          (after scripts/test.sh)"
  fi
  echo "  - commit abi/ with the change."
}

dump "$work/current.abi"

if [ ! -f "$baseline" ]; then
  if [ "$update" -eq 1 ]; then
    mkdir -p "$(dirname "$baseline")"
    cp "$work/current.abi" "$baseline"
    echo "abi-check: baseline made: ${baseline#"$here"/} ($(stat -c %s "$baseline") bytes, $lib_soname)"
    exit 0
  fi
  echo "abi-check: no baseline ${baseline#"$here"/}"
  refresh
  exit 1
fi

base_soname=$(sed -n "1s/.* soname='\([^']*\)'.*/\1/p" "$baseline")
echo "library:  $lib ($lib_soname)"
echo "baseline: ${baseline#"$here"/} (${base_soname:-no SONAME})"

# No default suppressions: a user's ~/.abignore must not change the verdict.
set +e
abidiff --no-default-suppression "$baseline" "$work/current.abi" >"$work/diff" 2>&1
status=$?
set -e

# abidiff's status is a bit field: 1 error, 2 usage, 4 ABI change, 8 incompatible change.
if (( status & 3 )); then
  cat "$work/diff"
  echo "abi-check: abidiff failed (status $status)"
  exit 1
fi
[ "$status" -eq 0 ] || cat "$work/diff"

if [ "$update" -eq 1 ]; then
  cp "$work/current.abi" "$baseline"
  echo "abi-check: baseline rewritten: ${baseline#"$here"/} ($(stat -c %s "$baseline") bytes); commit it with the change"
  exit 0
fi

# Bit 8 covers removed and re-typed symbols only: a record reached through the interface that
# changes its layout sets bit 4 alone, as an addition does. So a change that is still there once
# additions are set aside counts as incompatible too.
incompatible=0
if (( status & 8 )); then
  incompatible=1
elif (( status & 4 )); then
  cat >"$work/additions.supp" <<'EOF'
[suppress_function]
  change_kind = added-function
  name_regexp = .*
[suppress_function]
  change_kind = added-function
  symbol_name_regexp = .*
[suppress_variable]
  change_kind = added-variable
  name_regexp = .*
[suppress_variable]
  change_kind = added-variable
  symbol_name_regexp = .*
EOF
  set +e
  abidiff --no-default-suppression --suppressions "$work/additions.supp" "$baseline" "$work/current.abi" >"$work/diff2" 2>&1
  status2=$?
  set -e
  if (( status2 & 3 )); then
    cat "$work/diff2"
    echo "abi-check: abidiff failed (status $status2)"
    exit 1
  fi
  if (( status2 & 4 )); then incompatible=1; fi
fi

if [ "$incompatible" -eq 1 ]; then
  if [ -n "$base_soname" ] && [ "$(soname_major "$lib_soname")" != "$(soname_major "$base_soname")" ]; then
    echo "abi-check: incompatible change, and the SONAME moved from $base_soname to $lib_soname: allowed."
    echo "The baseline still describes the old ABI: refresh it with"
    echo "  scripts/abi-check.sh $build $arch --update"
    exit 0
  fi
  echo "abi-check: FAILED: incompatible ABI change ($arch) while the SONAME stays $lib_soname"
  refresh
  exit 1
fi
if (( status & 4 )); then
  echo "abi-check: OK with compatible additions ($arch), listed above for information"
  exit 0
fi
echo "abi-check: OK, the ABI is the baseline's ($arch)"
