#!/usr/bin/env bash
# kxapi-probe of one build against that build's kxapi-emulate, as a user runs them: a send, the
# same send through a tap (one line each way), SIGTERM, and the name back with the service.
# A cross build runs under qemu-arm with its sysroot: the camera's probe, send and tap included.
# Usage: scripts/probe-smoke.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
sysroot=$(sed -n 's/^KXAPI_ARMHF_SYSROOT:PATH=//p' "$build/CMakeCache.txt")
platform=$build/platform/libkxplatform.so.1
if [ -n "$sysroot" ]; then
  emulate=(qemu-arm -L "$sysroot" "$build/platform/emulate/kxapi-emulate")
  probe=(qemu-arm -L "$sysroot" -E LD_PRELOAD="$platform" "$build/platform/probe/kxapi-probe")
else
  emulate=("$build/platform/emulate/kxapi-emulate")
  probe=(env LD_PRELOAD="$platform" "$build/platform/probe/kxapi-probe")
fi
tmp=$(mktemp -d)
pids=()
cleanup() {
  local rc=$? p
  for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  [ $rc -eq 0 ] || { echo "--- emulate"; cat "$tmp/emulate.log"; echo "--- tap"; cat "$tmp/tap.log" 2>/dev/null; } >&2
  rm -rf "$tmp"
  exit $rc
}
trap cleanup EXIT
fail() {
  echo "probe-smoke: FAILED: $*" >&2
  exit 1
}
# Waits up to 60 s (qemu starts slowly) for a line in a log.
wait_for() {
  local i
  for i in $(seq 600); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  fail "no '$2' in $1"
}

mkdir "$tmp/run"
cat >"$tmp/s.json" <<'JSON'
{ "services": [ { "name": "config", "socket": "/tmp/A", "rules": [
  { "name": "answer", "cmd": 1001, "type": "get", "reply": { "data": { "json": { "Answer": 42 } } } } ] } ] }
JSON
"${emulate[@]}" "$tmp/s.json" --run-dir "$tmp/run" >"$tmp/emulate.log" 2>&1 &
pids+=($!)
wait_for "$tmp/emulate.log" "kxapi-emulate: running"

ask() {
  local out
  out=$("${probe[@]}" send /tmp/A --cmd 1001 --run-dir "$tmp/run" --json) || fail "send exited $?: $out"
  case $out in
    *'"type":2,'*'"cmd":1001,"result":0,'*'"data":{"Answer":42}}') ;;
    *) fail "send printed: $out" ;;
  esac
}
ask
"${probe[@]}" tap /tmp/A --run-dir "$tmp/run" >"$tmp/tap.log" 2>&1 &
tap=$!
pids+=($tap)
wait_for "$tmp/tap.log" "kxapi-probe: tapping /tmp/A"
ask
wait_for "$tmp/tap.log" "<- GET reply cmd 1001 cookie 0x0 result 0 (OK)"
grep -q -- "-> GET cmd 1001 cookie 0x0" "$tmp/tap.log" || fail "the tap printed no request line"
kill -TERM "$tap"
status=0
wait "$tap" || status=$?
[ $status -eq 0 ] || fail "the tap exited $status after SIGTERM"
grep -q "kxapi-probe: /tmp/A given back" "$tmp/tap.log" || fail "the tap did not give the name back"
[ ! -e "$tmp/run/tmp_A~kxtap" ] || fail "the service's socket is still aside"
ask
echo "probe-smoke: send, tap and the name back: ok ($(basename "$build"))"
