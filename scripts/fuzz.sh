#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer + ASan + UBSan), then for each target:
#   plain:    runs it for the given seconds (default 30) on a scratch copy of fuzz/corpus/<name>/;
#             what it finds is thrown away;
#   --merge:  the same, then keeps in fuzz/corpus/<name>/ the hand-made seeds and, of the other
#             inputs old and new, only those that add coverage (libFuzzer's -merge=1, files named
#             by content hash);
#   --replay: runs every input of fuzz/corpus/<name>/ once, nothing new.
# A crash, sanitizer report, leak or time-out fails the script naming the target; the input is left
# in build-fuzz/artifacts/. The other targets still run.
# Usage: scripts/fuzz.sh [seconds] [target...]
#        scripts/fuzz.sh --merge seconds [target...]
#        scripts/fuzz.sh --replay [target...]
# Targets are named with or without their fuzz_ prefix; none means all of fuzz/fuzz_*.cpp.
set -euo pipefail
cd "$(dirname "$0")/.."

# One row per target: the longest input worth trying (what the target reads at most, or where more
# bytes stop reaching new code), used by fuzzing and merging alike, and the most its committed
# corpus may weigh.
limits="
ipcheck            64   256K  the text is cut at 64 characters
query            1152     1M  the query field
reply_exchange  21409    16M  the mode byte and a whole command message
reply_hbtp       8192     4M  the mode byte and a frame; the user list is 2328 bytes
route            4096     2M  the text is cut at 4096 bytes
scanner          4096     2M  likewise
scenario        16384     4M  a scenario file: the examples are under 3 KB
status           3084     1M  the code and the URL field
time              256   256K  the text is cut at 256 characters
"

mode=fuzz
case ${1:-} in
  --merge) mode=merge; shift ;;
  --replay) mode=replay; shift ;;
esac
secs=
if [ "$mode" != replay ]; then
  secs=${1:-30}; shift || true
  [[ $secs =~ ^[1-9][0-9]*$ ]] || { echo "usage: $0 [--merge] [seconds] [target...] | --replay [target...]" >&2; exit 2; }
fi

scripts/install-deps.sh clang libclang-rt-14-dev
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKXAPI_FUZZ=ON \
  -DKXAPI_BUILD_TESTS=OFF -DKXAPI_BUILD_SERVER=OFF >/dev/null
cmake --build build-fuzz -j2

names=()
for t in "$@"; do names+=("${t#fuzz_}"); done
if [ ${#names[@]} -eq 0 ]; then
  # From the sources, not build-fuzz/: a binary of a since-removed target may still sit there.
  for f in fuzz/fuzz_*.cpp; do f=$(basename "$f" .cpp); names+=("${f#fuzz_}"); done
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
artifacts=$PWD/build-fuzz/artifacts
mkdir -p "$artifacts"
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

# "N files, B bytes" of a corpus directory.
weigh() { find "$1" -type f -printf '%s\n' | awk '{ n++; b += $1 } END { printf "%d files, %d bytes", n, b }'; }

# Runs one target in the script's mode; returns non-zero on any finding or an oversized corpus.
# Called in a || list, where set -e is off: every step that can fail says so itself.
run_target() {
  local name=$1 row max_len cap
  row=$(awk -v t="$name" '$1 == t { print $2, $3 }' <<<"$limits")
  [ -n "$row" ] || { echo "FAILED: $name has no row in the limits table of $0"; return 1; }
  read -r max_len cap <<<"$row"
  local fuzzer=build-fuzz/fuzz/fuzz_$name corpus=fuzz/corpus/$name scratch=$work/$name log=$work/$name.log
  local opts=(-max_len="$max_len" -timeout=10 -rss_limit_mb=2048 -artifact_prefix="$artifacts/$name-")
  local run=(-runs=0 "$corpus")
  [ "$mode" = replay ] || run=(-max_total_time="$secs" -print_final_stats=1 "$scratch")
  mkdir -p "$corpus" "$scratch" && cp -r "$corpus"/. "$scratch"/ || return 1
  echo "== $name ($mode${secs:+, ${secs}s}): corpus $(weigh "$corpus")"
  if ! "$fuzzer" "${opts[@]}" "${run[@]}" >"$log" 2>&1; then
    cp "$log" "$artifacts/$name-$mode.log"
    tail -n 60 "$log"
    echo "FAILED: $name ($mode): $(grep -o 'Test unit written to .*' "$log" || echo 'no input written')"
    echo "        whole log: $artifacts/$name-$mode.log"
    return 1
  fi
  grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)|^stat::number_of_executed_units' "$log"
  [ "$mode" = merge ] || return 0
  # Into a fresh directory that starts with the hand-made seeds (any name but a content hash: they
  # stand for cases worth keeping whatever coverage says); of the other committed inputs and the
  # run's new ones (all in the scratch copy), only those that add coverage beyond them join them.
  local merged=$work/$name.merged bytes
  mkdir "$merged" || return 1
  find "$corpus" -maxdepth 1 -type f -regextype posix-extended ! -regex '.*/[0-9a-f]{40}' \
    -exec cp -t "$merged" {} + || return 1
  if ! "$fuzzer" -merge=1 "${opts[@]}" "$merged" "$scratch" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "FAILED: $name (merge)"
    return 1
  fi
  bytes=$(find "$merged" -type f -printf '%s\n' | awk '{ b += $1 } END { print b + 0 }')
  if [ "$bytes" -gt "$(numfmt --from=iec "$cap")" ]; then
    echo "FAILED: $name: the merged corpus is $bytes bytes, over its cap of $cap; $corpus left as it was"
    return 1
  fi
  rm -rf "$corpus" && cp -r "$merged" "$corpus" || return 1
  echo "   merged into $corpus: $(weigh "$corpus")"
}

failed=()
for name in "${names[@]}"; do
  run_target "$name" || failed+=("$name")
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz.sh: $mode failed for: ${failed[*]}" >&2
  exit 1
fi
