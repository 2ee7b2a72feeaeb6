#!/usr/bin/env bash
# Checks what a built libkxapicommon.so asks of the process that loads it:
#  - NEEDED names only the C/C++ runtime, json-c and POCO Foundation;
#  - every undefined dynamic symbol is defined by one of those NEEDED libraries or is a platform
#    symbol listed in platform/contract/symbols.txt (or a toolchain weak reference);
#  - no PCRE or zlib code is inside: POCO's package hands both to its consumers, and a sysroot whose
#    libpcre.so link does not resolve makes the linker take libpcre.a instead, silently;
#  - prints the ELF class and machine and the size of .text, where a static copy would show.
# Usage: scripts/check-library.sh <path/to/libkxapicommon.so> [--sysroot DIR]
# --sysroot: where the NEEDED libraries of a cross build are looked up (the host's otherwise).
# Meant for plain builds: a sanitizer build leaves __asan_*/__ubsan_* names undefined and fails.
# Reads ELF with readelf alone (no nm or size), so an ARM library can be checked on an x86-64 host.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
contract=$here/platform/contract/symbols.txt

lib='' sysroot=''
while [ $# -gt 0 ]; do
  case $1 in
    --sysroot) sysroot=${2:?--sysroot needs a directory}; shift 2 ;;
    --sysroot=*) sysroot=${1#--sysroot=}; shift ;;
    -h|--help) sed -n '2,12p' "$0"; exit 0 ;;
    -*) echo "unknown option: $1" >&2; exit 2 ;;
    *) [ -z "$lib" ] || { echo "one library at a time" >&2; exit 2; }; lib=$1; shift ;;
  esac
done
[ -n "$lib" ] || { echo "usage: $0 <libkxapicommon.so> [--sysroot DIR]" >&2; exit 2; }
[ -f "$lib" ] || { echo "no such file: $lib" >&2; exit 2; }
[ -z "$sysroot" ] || [ -d "$sysroot" ] || { echo "no such sysroot: $sysroot" >&2; exit 2; }

export LC_ALL=C
readelf -h "$lib" >/dev/null 2>&1 || { echo "not an ELF file: $lib" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

header_field() { readelf -h "$1" 2>/dev/null | sed -n "s/^ *$2: *//p"; }
class=$(header_field "$lib" Class)
machine=$(header_field "$lib" Machine)
flags=$(header_field "$lib" Flags)
echo "library:  $lib"
echo "ELF:      $class, $machine${flags:+ (flags: $flags)}"

# readelf -S prints "[ 1]" and "[12]", so the index is cut off before the fields are counted:
# Name Type Address Off Size ES Flg Lk Inf Al (Flg may be empty).
sections() { readelf -S -W "$lib" | sed -n 's/^ *\[ *[0-9]*\] *//p'; }
kb() { echo "$(( ($1 + 512) / 1024 )) KB"; }
text_hex=$(sections | awk '$1 == ".text" { print $5 }')
if [ -n "$text_hex" ]; then
  text=$((16#$text_hex))
  # size(1)'s "text" column: every allocated, read-only section (code, rodata, unwind tables,
  # dynamic symbol tables). A static copy of PCRE multiplies it: about 62 KB on armhf without one.
  readonly_total=0
  for h in $(sections | awk '$7 ~ /A/ && $7 !~ /W/ { print $5 }'); do
    readonly_total=$((readonly_total + 16#$h))
  done
  echo "text:     .text $text bytes ($(kb "$text")); read-only allocated sections (size's text)" \
    "$readonly_total bytes ($(kb "$readonly_total"))"
else
  fail "the library has no .text section"
fi

# Defined or undefined names of a symbol table dump, without their @VERSION suffix.
# Fields: Num: Value Size Type Bind Vis Ndx Name [(version index)]
dyn_names() { # <file> <defined|undefined>
  readelf --dyn-syms -W "$1" | awk -v want="$2" '
    $1 ~ /^[0-9]+:$/ && $8 != "" {
      if ((want == "undefined") != ($7 == "UND")) next
      name = $8; sub(/@.*/, "", name); print name
    }' | sort -u
}

# NEEDED entries allowed: glibc's parts (libpthread, libdl and librt are separate objects on the
# older glibc of board SDKs), the loader, the GCC C++ runtime, json-c and POCO Foundation.
allowed_needed='^(libc\.so\.[0-9]+|libm\.so\.[0-9]+|libpthread\.so\.0|libdl\.so\.2|librt\.so\.1|ld-linux[-a-z0-9_.]*\.so\.[0-9]+|libstdc[+][+]\.so\.[0-9]+|libgcc_s\.so\.[0-9]+|libjson-c\.so\.[0-9]+|libPocoFoundation\.so\.[0-9]+)$'
mapfile -t needed < <(readelf -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p')
echo "NEEDED:   ${needed[*]:-(none)}"
# Each allowed NEEDED file, from the standard multiarch directories of the sysroot (or of the
# host), taking only a file of the library's own class and machine. The symbols of a NEEDED entry
# that is not allowed count for nothing, so whatever the library takes from it is listed below.
case $machine in
  ARM) triples="arm-linux-gnueabihf arm-linux-gnueabi" ;;
  AArch64) triples="aarch64-linux-gnu" ;;
  *X86-64*) triples="x86_64-linux-gnu" ;;
  *80386*) triples="i386-linux-gnu" ;;
  *) triples="" ;;
esac
dirs=()
for t in $triples; do dirs+=("$sysroot/lib/$t" "$sysroot/usr/lib/$t"); done
dirs+=("$sysroot/lib" "$sysroot/usr/lib")
# A sysroot's absolute links name files inside the sysroot, not on this machine.
resolve() { # <path> -> the file it names, following links within the sysroot
  local p=$1 t _
  for _ in 1 2 3 4 5 6 7 8; do
    [ -L "$p" ] || break
    t=$(readlink "$p")
    case $t in /*) p=$sysroot$t ;; *) p=$(dirname "$p")/$t ;; esac
  done
  [ -f "$p" ] && echo "$p"
}
: >"$work/provided"
missing=0
for n in "${needed[@]}"; do
  if ! [[ $n =~ $allowed_needed ]]; then
    fail "NEEDED $n: not the C/C++ runtime, json-c or POCO Foundation"
    continue
  fi
  found=
  for d in "${dirs[@]}"; do
    f=$(resolve "$d/$n") || continue
    if [ "$(header_field "$f" Class)" = "$class" ] && [ "$(header_field "$f" Machine)" = "$machine" ]; then
      found=$f
      break
    fi
  done
  if [ -z "$found" ]; then
    fail "NEEDED $n: no $class $machine file in ${dirs[*]}"
    missing=$((missing + 1))
    continue
  fi
  echo "          $n -> $found"
  dyn_names "$found" defined >>"$work/provided"
done

# What the process must supply: the contract's list and the toolchain's weak references.
sed -e 's/#.*//' -e 's/[[:space:]]//g' -e '/^$/d' "$contract" | sort -u >"$work/contract"
printf '%s\n' _ITM_deregisterTMCloneTable _ITM_registerTMCloneTable __gmon_start__ >"$work/toolchain"
sort -u "$work/provided" -o "$work/provided"
dyn_names "$lib" undefined >"$work/undefined"
comm -12 "$work/undefined" "$work/provided" >"$work/by-needed"
comm -23 "$work/undefined" "$work/provided" >"$work/rest"
comm -12 "$work/rest" "$work/contract" >"$work/by-contract"
comm -12 "$work/rest" "$work/toolchain" >"$work/by-toolchain"
sort -u "$work/contract" "$work/toolchain" | comm -23 "$work/rest" - >"$work/offenders"
echo "undefined: $(wc -l <"$work/undefined") dynamic symbols: $(wc -l <"$work/by-needed") from NEEDED," \
  "$(wc -l <"$work/by-contract") from the platform contract, $(wc -l <"$work/by-toolchain") toolchain" \
  "weak references, $(wc -l <"$work/offenders") unaccounted for"
# A name the library no longer uses would let a stray reference of that name slip through.
while IFS= read -r s; do
  echo "note:     symbols.txt lists $s, which the library does not reference"
done < <(comm -23 "$work/contract" "$work/undefined")
if [ "$missing" -ne 0 ]; then
  hint="a cross build needs --sysroot"
  [ -z "$sysroot" ] || hint="is --sysroot the build's own?"
  fail "undefined symbols not attributed: $missing NEEDED libraries not found ($hint)"
  : >"$work/offenders"
fi
while IFS= read -r s; do
  fail "undefined $(c++filt "$s")  [$s]: no NEEDED library defines it and symbols.txt does not list it"
done <"$work/offenders"

# PCRE and zlib, in both tables: .symtab keeps the local names a static copy brings along; a
# stripped library has only .dynsym, where the version script leaves none of them, so their own
# texts in .rodata (PCRE's compile errors, zlib's copyright line) are looked for as well.
if readelf -S -W "$lib" | grep -q ' \.symtab '; then tables="full (.symtab) and dynamic symbol tables"; else
  tables="dynamic symbol table (the library is stripped)"
fi
readelf -s -W "$lib" | awk '$1 ~ /^[0-9]+:$/ && $7 != "UND" && $8 != "" { n = $8; sub(/@.*/, "", n); print n }' |
  grep -E '^(_?pcre(2|16|32)?_|(deflate|inflate)|(crc32|adler32)(_|$)|get_crc_table$|zlibVersion$|(un)?compress(2|Bound)?$|gz|_tr_(init|flush|align|stored)|z(calloc|cfree|_errmsg)$)' |
  sort -u >"$work/bundled" || true
readelf -p .rodata "$lib" 2>/dev/null | sed -n 's/^ *\[ *[0-9a-f]*\] *//p' |
  grep -E '^\\ at end of pattern$|^ ?(de|in)flate [0-9.]+ Copyright' | sed 's/^/text: /' >>"$work/bundled" || true
echo "PCRE/zlib: checked the $tables and .rodata"
if [ -s "$work/bundled" ]; then
  fail "PCRE or zlib code is linked into the library: $(wc -l <"$work/bundled") of their symbols and texts:"
  head -n 12 "$work/bundled" | sed 's/^/            /'
  [ "$(wc -l <"$work/bundled")" -le 12 ] || echo "            ..."
fi

if [ "$failed" -ne 0 ]; then
  echo "check-library: FAILED"
  exit 1
fi
echo "check-library: OK"
