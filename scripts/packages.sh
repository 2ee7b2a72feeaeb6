#!/usr/bin/env bash
# Debian packages for amd64 and armhf (cmake/packaging.cmake) from the builds CI leaves behind, and
# their checks: what each package holds, its control fields, what the packaged library needs, and
# tests/consumer built against the packages alone. armhf: the library's two packages unpacked into a
# copy of the sysroot, the consumer cross-built against that copy and run under qemu-arm, the tools
# package beside them and its probe started there. amd64: the four packages installed with dpkg,
# the consumer built against /usr, the probe started, the packages purged again.
# Usage: scripts/packages.sh [native-build-dir] [armhf-build-dir]   (default: build build-armhf)
# The packages land in build-packages/. Both build directories are configured for /usr while
# packaging and given back their own install prefix and library directory afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
native=$(realpath "${1:-build}")
armhf=$(realpath "${2:-build-armhf}")
out=$repo/build-packages
start=$(date +%s)

scripts/install-deps.sh dpkg-dev file crossbuild-essential-armhf qemu-user
# Every timestamp inside the packages is the commit's: the same commit gives the same packages.
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || echo 0)}
export SOURCE_DATE_EPOCH

tmp=$(mktemp -d)
installed=()
restore=()
fail() {
  echo "packages: FAILED: $*" >&2
  exit 1
}
cleanup() {
  local rc=$?
  # Purged, not only removed: a package with a postrm (the ldconfig call) would otherwise stay
  # behind in dpkg's database as config-files.
  if [ ${#installed[@]} -gt 0 ]; then
    dpkg --purge "${installed[@]}" >"$tmp/dpkg-r.log" 2>&1 || { cat "$tmp/dpkg-r.log" >&2; rc=1; }
  fi
  local r
  for r in "${restore[@]}"; do
    # shellcheck disable=SC2086 # a build directory and its two cache settings
    set -- $r
    cmake -S "$repo" -B "$1" -DCMAKE_INSTALL_PREFIX="$2" -DCMAKE_INSTALL_LIBDIR="$3" >/dev/null || rc=1
  done
  rm -rf "$tmp"
  exit $rc
}
trap cleanup EXIT

cache_value() { sed -n "s|^$2:[A-Z]*=||p" "$1/CMakeCache.txt"; }

# Configures a build directory for /usr, builds it and makes its packages in $out.
# $1 build dir, $2 Debian architecture, $3 multiarch triple, $4 whether the libdir must be named.
make_packages() {
  local dir=$1 arch=$2 triple=$3 name_libdir=$4
  [ -f "$dir/CMakeCache.txt" ] || fail "$dir is not a configured build directory"
  restore+=("$dir $(cache_value "$dir" CMAKE_INSTALL_PREFIX) $(cache_value "$dir" CMAKE_INSTALL_LIBDIR)")
  local args=(-DCMAKE_INSTALL_PREFIX=/usr)
  # GNUInstallDirs switches a native build to lib/<triple> when the prefix becomes /usr; a cross
  # build it leaves on lib.
  [ "$name_libdir" = yes ] && args+=(-DCMAKE_INSTALL_LIBDIR="lib/$triple")
  cmake -S "$repo" -B "$dir" "${args[@]}" >"$tmp/configure-$arch.log" 2>&1 ||
    { cat "$tmp/configure-$arch.log" >&2; fail "configure $dir"; }
  [ "$(cache_value "$dir" CMAKE_INSTALL_LIBDIR)" = "lib/$triple" ] ||
    fail "$dir installs libraries to $(cache_value "$dir" CMAKE_INSTALL_LIBDIR), not lib/$triple"
  cmake --build "$dir" -j2 >"$tmp/build-$arch.log" 2>&1 || { tail -50 "$tmp/build-$arch.log" >&2; fail "build $dir"; }
  (cd "$tmp" && cpack -G DEB --config "$dir/CPackConfig.cmake" -B "$tmp/cpack-$arch") >"$tmp/cpack-$arch.log" 2>&1 ||
    { cat "$tmp/cpack-$arch.log" >&2; fail "cpack in $dir"; }
  mv "$tmp/cpack-$arch"/*_"$arch".deb "$out/"
}

# Non-directory paths of a package, one a line, without the leading "./".
package_files() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ { print substr($6, 3) }'; }
depends_names() { dpkg-deb -f "$1" Depends | tr ',' '\n' | sed 's/^ *//; s/ .*//'; }
has_depends() { dpkg-deb -f "$1" Depends | tr ',' '\n' | sed 's/^ *//' | grep -qxF "$2"; }

check_packages() {
  local arch=$1 triple=$2 elf_class=$3 elf_machine=$4 sysroot=${5:-}
  local lib=usr/lib/$triple
  local runtime=$out/${runtime_pkg}_${version}_$arch.deb
  local dev=$out/libkxapicommon-dev_${version}_$arch.deb
  local devhost=$out/kxapicommon-devhost_${version}_$arch.deb
  local tools=$out/kxapicommon-tools_${version}_$arch.deb
  local deb f n
  for deb in "$runtime" "$dev" "$devhost" "$tools"; do
    [ -f "$deb" ] || fail "no $(basename "$deb")"
    [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "$(basename "$deb"): Architecture is not $arch"
    [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "$(basename "$deb"): Version is not $version"
    dpkg-deb -c "$deb" | awk '$2 != "root/root" { bad = 1 } END { exit bad }' ||
      fail "$(basename "$deb") holds files not owned by root"
  done

  package_files "$runtime" >"$tmp/runtime.files"
  package_files "$dev" >"$tmp/dev.files"
  package_files "$devhost" >"$tmp/devhost.files"
  package_files "$tools" >"$tmp/tools.files"
  # The runtime package: the library and its soname link, and nothing else but Debian's documents.
  f=$(grep -Evx "$lib/libkxapicommon\.so\.$major(\.[0-9.]+)?|usr/share/doc/$runtime_pkg/.*" "$tmp/runtime.files" || true)
  [ -z "$f" ] || fail "$(basename "$runtime") holds more than the library: $f"
  grep -qx "$lib/libkxapicommon\.so\.$version" "$tmp/runtime.files" || fail "$(basename "$runtime") lacks the library"
  grep -qx "$lib/libkxapicommon\.so\.$major" "$tmp/runtime.files" || fail "$(basename "$runtime") lacks the soname link"
  # The -dev package: one header at the include root, the link-time name, the CMake and pkg-config
  # files of the library alone.
  f=$(grep -Evx "usr/include/kxapicommon\.h|$lib/libkxapicommon\.so|$lib/cmake/kxapicommon/kxapicommon(Config|ConfigVersion|Targets|Targets-[a-z]+)\.cmake|$lib/pkgconfig/kxapicommon\.pc|usr/share/doc/libkxapicommon-dev/.*" "$tmp/dev.files" || true)
  [ -z "$f" ] || fail "$(basename "$dev") holds what is not the library's: $f"
  for n in usr/include/kxapicommon.h "$lib/libkxapicommon.so" "$lib/cmake/kxapicommon/kxapicommonConfig.cmake" \
           "$lib/pkgconfig/kxapicommon.pc"; do
    grep -qxF "$n" "$tmp/dev.files" || fail "$(basename "$dev") lacks $n"
  done
  # The dev-host kit: its headers only under include/kxplatform, the stand-in, the server.
  f=$(grep -E '^usr/include/' "$tmp/devhost.files" | grep -Ev '^usr/include/kxplatform/[^/]+\.h$' || true)
  [ -z "$f" ] || fail "$(basename "$devhost") puts headers outside usr/include/kxplatform: $f"
  for n in usr/bin/kxapi-access-server usr/bin/kxapi-emulate usr/share/kxapicommon/scenario.schema.json \
           usr/share/kxapicommon/reference.scenario.json \
           "$lib/libkxplatform.so.$major" usr/include/kxplatform/kxplatform.h \
           "$lib/cmake/kxapicommon/kxapicommonDevhostTargets.cmake" "$lib/pkgconfig/kxplatform.pc"; do
    grep -qxF "$n" "$tmp/devhost.files" || fail "$(basename "$devhost") lacks $n"
  done
  # The tools: the probe, its man page and its dissector; for the camera too, so nothing of the kit.
  f=$(grep -Evx "usr/bin/kxapi-probe|usr/share/man/man1/kxapi-probe\.1|usr/share/kxapi-probe/kxapi-probe\.lua|usr/share/doc/kxapicommon-tools/.*" "$tmp/tools.files" || true)
  [ -z "$f" ] || fail "$(basename "$tools") holds more than the probe: $f"
  for n in usr/bin/kxapi-probe usr/share/man/man1/kxapi-probe.1 usr/share/kxapi-probe/kxapi-probe.lua; do
    grep -qxF "$n" "$tmp/tools.files" || fail "$(basename "$tools") lacks $n"
  done
  has_depends "$tools" "$runtime_pkg (= $version)" || fail "$(basename "$tools") does not depend on $runtime_pkg (= $version)"
  f=$(depends_names "$tools" | grep -E '^(lib)?kx' | grep -vxF "$runtime_pkg" || true)
  [ -z "$f" ] || fail "$(basename "$tools") depends on $f"
  f=$(sort "$tmp/runtime.files" "$tmp/dev.files" "$tmp/devhost.files" "$tmp/tools.files" | uniq -d)
  [ -z "$f" ] || fail "$arch packages share files: $f"

  for n in libjson-c5 libpocofoundation80 libc6 libstdc++6 libgcc-s1; do
    depends_names "$runtime" | grep -qxF "$n" || fail "$(basename "$runtime"): Depends lacks $n"
  done
  f=$(depends_names "$runtime" | grep -E '^(lib)?kx' || true)
  [ -z "$f" ] || fail "$(basename "$runtime") depends on $f"
  has_depends "$dev" "$runtime_pkg (= $version)" || fail "$(basename "$dev") does not depend on $runtime_pkg (= $version)"
  has_depends "$devhost" "libkxapicommon-dev (= $version)" ||
    fail "$(basename "$devhost") does not depend on libkxapicommon-dev (= $version)"
  for n in libjson-c5 libpocofoundation80 libpoconet80; do
    depends_names "$devhost" | grep -qxF "$n" || fail "$(basename "$devhost"): Depends lacks $n"
  done
  dpkg-deb --ctrl-tarfile "$runtime" | tar -xO ./shlibs 2>/dev/null | grep -qx "libkxapicommon $major $runtime_pkg (>= $version)" ||
    fail "$(basename "$runtime") has no shlibs entry for libkxapicommon $major"

  # The packaged library: the target's ELF, and what it asks of the process no more than what the
  # built one may (scripts/check-library.sh: its NEEDED entries and undefined symbols).
  mkdir -p "$tmp/x-$arch"
  dpkg-deb -x "$runtime" "$tmp/x-$arch"
  local so=$tmp/x-$arch/$lib/libkxapicommon.so.$version
  readelf -h "$so" | grep -q "Class: *$elf_class" || fail "$arch library is not $elf_class"
  readelf -h "$so" | grep -q "Machine: *$elf_machine" || fail "$arch library is not for $elf_machine"
  scripts/check-library.sh "$so" ${sysroot:+--sysroot "$sysroot"} >"$tmp/check-library-$arch.log" 2>&1 ||
    { cat "$tmp/check-library-$arch.log" >&2; fail "the packaged $arch library"; }
  # The probe asks the process for the platform, as the library does: no library of the kit.
  dpkg-deb -x "$tools" "$tmp/x-$arch"
  f=$(readelf -d "$tmp/x-$arch/usr/bin/kxapi-probe" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' |
      grep -Evx 'libkxapicommon\.so\.[0-9]+|libjson-c\.so\.[0-9]+|libstdc\+\+\.so\.6|libm\.so\.6|libgcc_s\.so\.1|libc\.so\.6' || true)
  [ -z "$f" ] || fail "the $arch probe needs $f"
  echo "$arch: packages checked; the library needs $(readelf -d "$so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | paste -sd' ')"
}

# Builds tests/consumer and runs what it builds: its tests when it registers any, else its programs.
# $1 build dir, $2.. the command that runs a target program (the emulator), then nothing.
run_consumer() {
  local build=$1
  shift
  cmake --build "$build" -j2 >"$build.log" 2>&1 || { cat "$build.log" >&2; fail "consumer build in $build"; }
  if ctest --test-dir "$build" -N | grep -q 'Total Tests: [1-9]'; then
    ctest --test-dir "$build" -j2 --output-on-failure --timeout 120 || fail "consumer tests in $build"
  else
    local exe ran=0
    while IFS= read -r exe; do
      [ "$(head -c4 "$exe" | od -An -tx1 | tr -d ' ')" = 7f454c46 ] || continue
      "$@" "$exe" || fail "consumer $(basename "$exe") in $build"
      echo "consumer $(basename "$exe"): ok"
      ran=1
    done < <(find "$build" -path '*/CMakeFiles' -prune -o -type f -executable -print | sort)
    [ $ran -eq 1 ] || fail "the consumer built no program in $build"
  fi
}

# The consumer must have found the package where the test put it, not in a build tree or elsewhere.
check_found_in() {
  local found
  found=$(cache_value "$1" kxapicommon_DIR)
  [ "$found" = "$2" ] || fail "the consumer found kxapicommon in '$found', not in $2"
}

mkdir -p "$out"
rm -f "$out"/*.deb
host_arch=$(dpkg --print-architecture)
host_triple=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
armhf_triple=arm-linux-gnueabihf
make_packages "$native" "$host_arch" "$host_triple" no
make_packages "$armhf" armhf "$armhf_triple" yes
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$native/CPackConfig.cmake")
major=${version%%.*}
runtime_pkg=libkxapicommon$major
echo "packages made: $(( $(date +%s) - start )) s"

check_packages "$host_arch" "$host_triple" ELF64 "Advanced Micro Devices X86-64"
check_packages armhf "$armhf_triple" ELF32 ARM "$(cache_value "$armhf" KXAPI_ARMHF_SYSROOT)"
readelf -h "$tmp/x-armhf/usr/lib/$armhf_triple/libkxapicommon.so.$version" | grep -q 'hard-float ABI' ||
  fail "the armhf library is not hard-float"

# armhf: a copy of the sysroot the packages were built against, plus the library's two packages.
sysroot=$tmp/sysroot-armhf
cp -a "$(cache_value "$armhf" KXAPI_ARMHF_SYSROOT)" "$sysroot"
for p in "$runtime_pkg" libkxapicommon-dev kxapicommon-tools; do
  dpkg-deb -x "$out/${p}_${version}_armhf.deb" "$sysroot"
done
# The camera's probe beside the runtime package alone: the platform's symbols come from the
# process, here the armhf stand-in preloaded (the board's libraries on a camera).
probe_version=$(qemu-arm -L "$sysroot" -E LD_PRELOAD="$armhf/platform/libkxplatform.so.$major" \
  "$sysroot/usr/bin/kxapi-probe" --version) || fail "the armhf probe does not start beside the runtime package"
[ "$probe_version" = "kxapi-probe $version" ] || fail "the armhf probe says '$probe_version'"
env -u CMAKE_PREFIX_PATH -u KXAPI_ARMHF_SYSROOT cmake -S tests/consumer -B "$tmp/consumer-armhf" \
  -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/toolchain-armhf.cmake" -DKXAPI_ARMHF_SYSROOT="$sysroot" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF \
  -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF >"$tmp/consumer-armhf-configure.log" 2>&1 ||
  { cat "$tmp/consumer-armhf-configure.log" >&2; fail "consumer configure for armhf"; }
check_found_in "$tmp/consumer-armhf" "$sysroot/usr/lib/$armhf_triple/cmake/kxapicommon"
run_consumer "$tmp/consumer-armhf" qemu-arm -L "$sysroot"
echo "armhf: consumer built against the packages in a copy of the sysroot and run under qemu-arm"

# amd64: installed for real, consumed from /usr, removed.
installed=("$runtime_pkg" libkxapicommon-dev kxapicommon-devhost kxapicommon-tools)
dpkg -i "$out/${runtime_pkg}_${version}_$host_arch.deb" "$out/libkxapicommon-dev_${version}_$host_arch.deb" \
  "$out/kxapicommon-devhost_${version}_$host_arch.deb" "$out/kxapicommon-tools_${version}_$host_arch.deb" \
  >"$tmp/dpkg-i.log" 2>&1 || { cat "$tmp/dpkg-i.log" >&2; fail "dpkg -i of the $host_arch packages"; }
# As the README runs it on a PC: the kit's stand-in preloaded.
[ "$(LD_PRELOAD=libkxplatform.so.$major kxapi-probe --version)" = "kxapi-probe $version" ] ||
  fail "the installed probe does not start with the stand-in preloaded"
[ "$(pkg-config --modversion kxapicommon)" = "$version" ] || fail "pkg-config does not see kxapicommon $version"
[ "$(realpath -m "$(pkg-config --variable=libdir kxapicommon)")" = "/usr/lib/$host_triple" ] ||
  fail "kxapicommon.pc points at $(pkg-config --variable=libdir kxapicommon)"
env -u CMAKE_PREFIX_PATH cmake -S tests/consumer -B "$tmp/consumer-$host_arch" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DKXAPI_CONSUMER_DEVHOST=ON >"$tmp/consumer-$host_arch-configure.log" 2>&1 ||
  { cat "$tmp/consumer-$host_arch-configure.log" >&2; fail "consumer configure for $host_arch"; }
check_found_in "$tmp/consumer-$host_arch" "/usr/lib/$host_triple/cmake/kxapicommon"
run_consumer "$tmp/consumer-$host_arch" env
dpkg --purge "${installed[@]}" >"$tmp/dpkg-r.log" 2>&1 || { cat "$tmp/dpkg-r.log" >&2; fail "dpkg --purge"; }
for p in "${installed[@]}"; do
  case $(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true) in
    '' | not-installed) ;;
    *) fail "$p is still known to dpkg after removal" ;;
  esac
done
installed=()
for f in "/usr/lib/$host_triple/libkxapicommon.so.$major" /usr/include/kxapicommon.h /usr/bin/kxapi-access-server /usr/bin/kxapi-probe \
         "/usr/lib/$host_triple/cmake/kxapicommon"; do
  [ ! -e "$f" ] || fail "$f is left after dpkg -r"
done
echo "$host_arch: packages installed, consumer built against /usr and run, packages purged"

echo
printf '%-44s %8s  %s\n' package bytes Depends
for deb in "$out"/*.deb; do
  printf '%-44s %8s  %s\n' "$(basename "$deb")" "$(stat -c %s "$deb")" "$(dpkg-deb -f "$deb" Depends)"
done
echo "packages: all checks passed in $(( $(date +%s) - start )) s"
