#!/usr/bin/env bash
# Puts the reference access server under load and holds it to its deadlines: a flood of every
# resource (throughput, p99, errors, descriptors and memory kept afterwards), a thousand idle
# connections, forged replies to the requests in progress, a stop in the middle of a flood, and a
# configuration service that never answers.
# Prints one markdown table, then "load: PASS" or "load: FAIL: <reasons>" (exit status 0 or 1).
# Usage: scripts/load.sh [--short] [--build DIR]   (--short: 2 s of flood per resource, not 10)
set -euo pipefail
export LC_ALL=C # EPOCHREALTIME and awk must agree on the decimal point
cd "$(dirname "$0")/.."
secs=10 build=build
while [ $# -gt 0 ]; do
  case $1 in
    --short) secs=2 ;;
    --build) build=${2:?--build needs a directory}; shift ;;
    *) echo "usage: scripts/load.sh [--short] [--build DIR]" >&2; exit 2 ;;
  esac
  shift
done
scripts/install-deps.sh wrk curl python3
server=$build/server/kxapi-access-server
if [ ! -x "$server" ]; then
  [ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j2 --target kxapi-access-server
fi
# The idle-connection client alone holds a thousand sockets.
lim=$(ulimit -n)
[ "$lim" = unlimited ] || [ "$lim" -ge 4096 ] || ulimit -n 4096 2>/dev/null || ulimit -n "$(ulimit -Hn)"

tmp=$(mktemp -d)
cleanup() {
  local left
  left=$(jobs -p)
  [ -z "$left" ] || kill -KILL $left 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
: >"$tmp/fails"

rows=()
row() { rows+=("| $1 | $2 | $3 | $4 |"); }
fail() { echo "$1" >>"$tmp/fails"; }
# BAD REASON COMMAND...: prints "ok" when the command holds; else BAD, and the run fails for REASON.
judge() { if "${@:3}"; then echo ok; else echo "$1"; fail "$2"; fi; }
since() { awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.3f", b - a }'; }
below() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a < b) }'; }
dur() { awk -v t="$1" 'BEGIN { if (t < 1) printf "%.1f ms", t * 1000; else printf "%.2f s", t }'; }
# STATUS WANTED SECONDS LIMIT: the wanted status, in less than the limit.
in_time() { [ "$1" = "$2" ] && below "$3" "$4"; }
# True once the process is gone or only waits to be reaped.
exited() { ! grep -qs '^State:[[:space:]]*[^Z]' "/proc/$1/status"; }
# FILE PATTERN SECONDS: waits until the file holds the pattern.
wait_for() {
  local i
  for ((i = 0; i < $3 * 20; i++)); do grep -qs "$2" "$1" && return 0 || sleep 0.05; done
  return 1
}
fds() { ls "/proc/$1/fd" | wc -l; }
# Connections whose client has gone but which the server still holds: requests it never finished.
# (wrk does not count a request that never gets its answer.)
held_open() { awk -v p="$(printf ':%04X$' "$port")" '$2 ~ p && $4 == "08" { print $3 }' /proc/net/tcp | sort; }
rss_mib() { awk '/^VmRSS:/ { printf "%.1f", $2 / 1024 }' "/proc/$1/status"; }
# METHOD PATH [BODY]: prints "STATUS SECONDS" of one request.
request() { curl -s -o /dev/null -m 10 -X "$1" ${3:+-d "$3"} -w '%{http_code} %{time_total}\n' "$url$2" || true; }

# NAME FLAG...: starts a server of its own in $tmp/NAME; sets pid, port, url and run (its run dir).
start_server() {
  local dir=$tmp/$1 i
  shift
  mkdir "$dir" && : >"$dir/out"
  run=$dir/run
  # Every request is logged: only the end of the log is kept, for a server that does not start.
  "$server" --port 0 --run-dir "$run" --state-dir "$dir/state" "$@" >"$dir/out" 2> >(tail -n 20 >"$dir/err") &
  pid=$!
  for ((i = 0; i < 200; i++)); do
    port=$(sed -n 's|^kxapi-access-server listening on http://127\.0\.0\.1:\([0-9]*\)/.*|\1|p' "$dir/out")
    [ -z "$port" ] || { url=http://127.0.0.1:$port; return 0; }
    exited "$pid" && break
    sleep 0.05
  done
  { echo "load: FAIL: the server did not start"; cat "$dir/err"; } >&2
  exit 1
}

# Requests with a body, and the one resource whose answer is expected to be an error, need a
# script: by itself wrk only counts answers that are not 2xx or 3xx.
wrk_script() {
  local method=$1 body=$2 expect=$3
  [ "$method" != GET ] || [ "$expect" != 200 ] || return 0
  printf 'wrk.method = "%s"\n' "$method"
  [ -z "$body" ] || printf 'wrk.body = [[%s]]\nwrk.headers["Content-Type"] = "application/json"\n' "$body"
  [ "$expect" = 200 ] || cat <<EOF
local threads = {}
function setup(t) table.insert(threads, t) end
function init() wrong = 0 end
function response(status) if status ~= $expect then wrong = wrong + 1 end end
function done() local n = 0 for _, t in ipairs(threads) do n = n + t:get("wrong") end print("Unexpected: " .. n) end
EOF
}

# METHOD PATH [BODY] [EXPECTED STATUS]: one row of throughput, p99 latency and errors.
flood() {
  local method=$1 path=$2 body=${3:-} expect=${4:-200} lua=$tmp/flood.lua out=$tmp/wrk.out with=()
  local rps p99 sock non2xx wrong stuck errors label="$1 $2${flood_note:-}" held i
  wrk_script "$method" "$body" "$expect" >"$lua"
  [ ! -s "$lua" ] || with=(-s "$lua")
  held=$(held_open)
  wrk -t2 -c32 -d"$secs" --latency "${with[@]}" "$url$path" >"$out" 2>&1 || true
  for ((i = 0; i < 20; i++)); do
    stuck=$(comm -13 <(echo "$held") <(held_open) | grep -c . || true)
    [ "$stuck" -gt 0 ] || break
    sleep 0.1
  done
  read -r rps p99 sock non2xx wrong < <(awk '
    function ms(v) { return v ~ /us$/ ? v / 1000 : v ~ /ms$/ ? v + 0 : v ~ /m$/ ? v * 60000 : v * 1000 }
    /^Requests\/sec:/ { rps = $2 }
    /^ +99%/ { p99 = ms($2) }
    /^ +Socket errors:/ { gsub(",", ""); sock = $4 + $6 + $8 + $10 }
    /^ +Non-2xx or 3xx responses:/ { non = $5 }
    /^Unexpected:/ { wrong = $2 }
    END { printf "%.0f %.2f %d %d %d\n", rps, p99, sock, non, wrong }' "$out")
  [ "$expect" = 200 ] || { label="$label ($expect)"; non2xx=$wrong; }
  errors=$((sock + non2xx + stuck))
  row "$label" "$rps req/s" "p99 $p99 ms" "$errors errors"
  [ "$rps" != 0 ] || fail "$label: no answer under flood"
  [ "$errors" -eq 0 ] ||
    fail "$label: $errors errors under flood ($sock socket errors, $non2xx answers of another status, $stuck unanswered 2 s later)"
}

flood_all() {
  local fd0 rss0 fd1 rss1 i
  fd0=$(fds "$pid") rss0=$(rss_mib "$pid")
  flood GET /api/v1/system/device
  flood GET '/api/v1/channels/2/stream?profile=sub'
  flood GET /api/v1/events/latest
  flood GET /api/v1/gat1400/status
  flood GET /api/v1/users
  flood GET /api/v1/users/sessions
  flood PUT /api/v1/video/osd '{ "Text": "Dock 4" }'
  flood POST /api/v1/login '{ "UserName": "admin", "Password": "admin" }'
  flood GET /api/v1/nope '' 404
  # Closed connections may take the server a moment to notice.
  for ((i = 0; i < 80; i++)); do
    fd1=$(fds "$pid")
    [ "$fd1" -gt "$fd0" ] || break
    sleep 0.1
  done
  rss1=$(rss_mib "$pid")
  row "open descriptors" "$fd0 before the flood" "$fd1 after" \
    "$(judge LEAK "descriptors: $fd0 before the flood, $fd1 after" [ "$fd1" -le "$fd0" ])"
  row "RSS" "$rss0 MiB before the flood" "$rss1 MiB after" \
    "$(judge LEAK "RSS: $rss0 MiB before the flood, $rss1 MiB after" below "$rss1" "$rss0 + 32")"
}

idle_connections() {
  local helper code took closed first last
  python3 scripts/load_clients.py idle "$port" 1000 >"$tmp/idle.out" &
  helper=$!
  if ! wait_for "$tmp/idle.out" '^held' 30; then
    fail "idle connections: the client could not open 1000 connections"
    return
  fi
  read -r code took < <(request GET /api/v1/system/device)
  wait "$helper" || true
  read -r _ closed first last < <(grep '^closed' "$tmp/idle.out" || echo "closed 0 0 0")
  row "1000 idle connections" "a GET meanwhile: $code in $(dur "$took")" "$closed idle closed after $first-$last s" \
    "$(judge LATE "idle connections: a GET meanwhile gave $code in $(dur "$took")" in_time "$code" 200 "$took" 1)"
}

# Forged replies sprayed at the asynchronous endpoints while their requests are flooded: the server
# drops every one, and each request still gets its own answer.
forged_replies() {
  local helper forged
  python3 scripts/load_clients.py forge "$run" "$secs" >"$tmp/forge.out" &
  helper=$!
  flood_note=" (forged replies meanwhile)" flood GET /api/v1/events/latest
  wait "$helper" || true
  read -r _ forged < <(grep '^forged' "$tmp/forge.out" || echo "forged 0")
  row "forged replies to requests in progress" "$(awk -v n="$forged" -v s="$secs" 'BEGIN { printf "%.0f/s", n / s }') absorbed" \
    "$forged in ${secs} s, beside the flood of their requests" \
    "$(judge DOWN "forged replies: the server did not survive them" eval '! exited "$pid"')"
}

shutdown_under_load() {
  local flooder t0 took st=killed
  wrk -t2 -c32 -d3 "$url/api/v1/system/device" >/dev/null 2>&1 &
  flooder=$!
  sleep 1
  t0=$EPOCHREALTIME
  kill -TERM "$pid"
  # Past the deadline the wait goes on a little, to tell a slow stop from a stuck one.
  until exited "$pid" || ! below "$(since "$t0")" 10; do sleep 0.01; done
  took=$(since "$t0")
  if exited "$pid"; then
    st=0
    wait "$pid" || st=$?
  else
    disown "$pid"
    kill -KILL "$pid"
  fi
  wait "$flooder" || true
  row "shutdown under load (SIGTERM)" "$([ "$st" = killed ] && echo "still running after" || echo "exit after") $(dur "$took")" \
    "exit status $st" "$(judge LATE "shutdown under load: exit status $st after $(dur "$took")" in_time "$st" 0 "$took" 5)"
}

# METHOD PATH EXPECTED [BODY]: prints how a request went; the run fails unless it is answered with
# the expected status within a second.
probe() {
  local code took
  read -r code took < <(request "$1" "$2" "${4:-}")
  echo "$code in $(dur "$took")"
  in_time "$code" "$3" "$took" 1 || fail "silent service: $1 $2 gave $code in $(dur "$took")"
}

silent_service() {
  local i helper code took waiters=() p404 plogin plive wrong quick qmax slow smin smax before
  start_server silent --services gat,auth
  python3 scripts/load_clients.py silent "$run/tmp_A" >"$tmp/silent.out" &
  helper=$!
  wait_for "$tmp/silent.out" '^bound' 10 || { fail "silent service: could not bind $run/tmp_A"; return; }
  for ((i = 0; i < 64; i++)); do
    curl -s -m 45 -o "$tmp/waiter$i.body" -w '%{http_code} %{time_total}\n' "$url/api/v1/system/device" >"$tmp/waiter$i" &
    waiters+=($!)
  done
  sleep 0.5 # all the waiters are in by now
  before=$(wc -l <"$tmp/fails")
  p404=$(probe GET /api/v1/nope 404)
  plogin=$(probe POST /api/v1/login 200 '{ "UserName": "admin", "Password": "admin" }')
  plive=$(probe GET /api/v1/gat1400/status 200)
  row "silent service: 404 / login / live service" "$p404 / $plogin" "$plive" \
    "$([ "$(wc -l <"$tmp/fails")" = "$before" ] && echo ok || echo LATE)"
  wait "${waiters[@]}" || true
  read -r wrong quick qmax slow smin smax < <(for ((i = 0; i < 64; i++)); do
    read -r code took <"$tmp/waiter$i" || code=000 took=0
    grep -q '"StatusCode": 1,' "$tmp/waiter$i.body" 2>/dev/null || code="$code/body"
    echo "$code $took"
  done | awk '$1 != 503 { wrong++; next }
    $2 < 1 { quick++; if ($2 > qmax) qmax = $2; next }
    { slow++; if (!smin || $2 < smin) smin = $2; if ($2 > smax) smax = $2 }
    END { printf "%d %d %.3f %d %.2f %.2f\n", wrong, quick, qmax, slow, smin, smax }')
  row "silent service: 64 waiting GETs" "$quick at once (<= $(dur "$qmax"))" "$slow after time-out ($smin-$smax s)" \
    "$([ "$wrong" -eq 0 ] && echo "all 503, code 1" || echo "$wrong not 503/code 1")"
  [ "$wrong" -eq 0 ] || fail "silent service: $wrong of 64 waiting GETs did not end with 503 and code 1"
  kill -TERM "$pid" "$helper"
  wait "$pid" "$helper" 2>/dev/null || true
}

start_server flood
flood_all
idle_connections
forged_replies
shutdown_under_load
silent_service

echo "| Check | Result | Detail | Outcome |"
echo "|---|---|---|---|"
printf '%s\n' "${rows[@]}"
if [ -s "$tmp/fails" ]; then
  echo "load: FAIL: $(paste -sd';' "$tmp/fails" | sed 's/;/; /g')"
  exit 1
fi
echo "load: PASS"
