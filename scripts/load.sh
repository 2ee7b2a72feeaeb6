#!/usr/bin/env bash
# Puts the reference access server under load and holds it to its deadlines: a flood of every
# resource (throughput, p99, errors, descriptors and memory kept afterwards), a thousand idle
# connections, a configuration service that never answers, and a stop in the middle of a flood.
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
  local jobs_left
  jobs_left=$(jobs -p)
  [ -z "$jobs_left" ] || kill $jobs_left 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

rows=() fails=()
row() { rows+=("| $1 | $2 | $3 | $4 |"); }
fail() { fails+=("$1"); }
since() { awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.3f", b - a }'; }
below() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a < b) }'; }
# True once the process is gone or only waits to be reaped.
exited() {
  local st
  st=$(awk '/^State:/ { print $2 }' "/proc/$1/status" 2>/dev/null) || true
  [ -z "$st" ] || [ "$st" = Z ]
}
# FILE PATTERN SECONDS: waits until the file holds the pattern.
wait_for() {
  local i
  for ((i = 0; i < $3 * 20; i++)); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    sleep 0.05
  done
  return 1
}
fds() { ls "/proc/$1/fd" | wc -l; }
rss_mib() { awk '/^VmRSS:/ { printf "%.1f", $2 / 1024 }' "/proc/$1/status"; }

# NAME FLAG...: starts a server of its own in $tmp/NAME; sets pid, port, url and run (its run dir).
start_server() {
  local dir=$tmp/$1 i
  shift
  mkdir "$dir"
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
  echo "load: FAIL: the server did not start" >&2
  cat "$dir/err" >&2
  exit 1
}

# Requests with a body, and the one resource whose answer is expected to be an error, need a
# script: wrk counts only non-2xx answers by itself.
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
function done()
  local n = 0
  for _, t in ipairs(threads) do n = n + t:get("wrong") end
  print("Unexpected status: " .. n)
end
EOF
}

# METHOD PATH [BODY] [EXPECTED STATUS]: one row of throughput, p99 latency and errors.
flood() {
  local method=$1 path=$2 body=${3:-} expect=${4:-200} lua=$tmp/flood.lua out=$tmp/wrk.out
  local rps p99 sock non2xx wrong errors label="$1 $2"
  local with=()
  wrk_script "$method" "$body" "$expect" >"$lua"
  [ ! -s "$lua" ] || with=(-s "$lua")
  wrk -t2 -c32 -d"$secs" --latency "${with[@]}" "$url$path" >"$out" 2>&1 || true
  read -r rps p99 sock non2xx wrong < <(awk '
    function ms(v) { return v ~ /us$/ ? v / 1000 : v ~ /ms$/ ? v + 0 : v ~ /m$/ ? v * 60000 : v * 1000 }
    /^Requests\/sec:/ { rps = $2 }
    /^ +99%/ { p99 = ms($2) }
    /^ +Socket errors:/ { gsub(",", ""); sock = $4 + $6 + $8 + $10 }
    /^ +Non-2xx or 3xx responses:/ { non = $5 }
    /^Unexpected status:/ { wrong = $3 }
    END { printf "%.0f %.2f %d %d %d\n", rps, p99, sock, non, wrong }' "$out")
  [ "$expect" = 200 ] || { label="$label ($expect)"; non2xx=$wrong; }
  errors=$((sock + non2xx))
  row "$label" "$rps req/s" "p99 $p99 ms" "$errors errors"
  if [ "$rps" = 0 ]; then
    fail "$label: no answer under flood"
  elif [ "$errors" -gt 0 ]; then
    fail "$label: $errors errors under flood ($sock socket, $non2xx unexpected status)"
  fi
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
  row "open descriptors" "$fd0 before" "$fd1 after" "$([ "$fd1" -gt "$fd0" ] && echo LEAK || echo ok)"
  [ "$fd1" -le "$fd0" ] || fail "descriptors: $fd0 before the flood, $fd1 after"
  row "RSS" "$rss0 MiB before" "$rss1 MiB after" "$(below "$rss1" "$rss0 + 32" && echo ok || echo LEAK)"
  below "$rss1" "$rss0 + 32" || fail "RSS: $rss0 MiB before the flood, $rss1 MiB after"
}

idle_connections() {
  local helper code took closed first last
  python3 scripts/load_clients.py idle "$port" 1000 >"$tmp/idle" &
  helper=$!
  if ! wait_for "$tmp/idle" '^held' 30; then
    fail "idle connections: the client could not open 1000 connections"
    return
  fi
  read -r code took < <(curl -s -o /dev/null -m 10 -w '%{http_code} %{time_total}\n' "$url/api/v1/system/device" || true)
  wait "$helper" || true
  read -r _ closed first last < <(grep '^closed' "$tmp/idle" || echo "closed 0 0 0")
  row "1000 idle connections" "first answer $code in $took s" \
    "$closed/1000 idle closed after $first-$last s" "$([ "$code" = 200 ] && below "$took" 1 && echo ok || echo LATE)"
  [ "$code" = 200 ] && below "$took" 1 || fail "idle connections: a request took $took s (status $code)"
}

# METHOD PATH EXPECTED [BODY]: a request answered within a second with the expected status.
probe() {
  local code took
  read -r code took < <(curl -s -o /dev/null -m 10 -X "$1" ${4:+-d "$4"} -w '%{http_code} %{time_total}\n' "$url$2" || true)
  probes+=("$code in $took s")
  [ "$code" = "$3" ] && below "$took" 1 || fail "silent service: $1 $2 gave $code after $took s"
}

silent_service() {
  local i helper waiters=() code took quick=0 slow=0 wrong=0 qmax=0 smin=999 smax=0 missed=${#fails[@]}
  probes=()
  start_server silent --services gat,auth
  python3 scripts/load_clients.py silent "$run/tmp_A" >"$tmp/silent" &
  helper=$!
  wait_for "$tmp/silent" '^bound' 10 || { fail "silent service: could not bind $run/tmp_A"; return; }
  for ((i = 0; i < 64; i++)); do
    curl -s -m 45 -o "$tmp/waiter$i.body" -w '%{http_code} %{time_total}\n' "$url/api/v1/system/device" >"$tmp/waiter$i" &
    waiters+=($!)
  done
  sleep 0.5 # the waiters are all in by now
  probe GET /api/v1/nope 404
  probe POST /api/v1/login 200 '{ "UserName": "admin", "Password": "admin" }'
  probe GET /api/v1/gat1400/status 200
  row "silent service: 404 / login / live service" "${probes[0]} / ${probes[1]}" "${probes[2]}" \
    "$([ ${#fails[@]} -eq "$missed" ] && echo ok || echo LATE)"
  wait "${waiters[@]}" || true
  for ((i = 0; i < 64; i++)); do
    read -r code took <"$tmp/waiter$i" || code=000 took=0
    if [ "$code" != 503 ] || ! grep -q '"StatusCode": 1,' "$tmp/waiter$i.body"; then
      wrong=$((wrong + 1))
    elif below "$took" 1; then
      quick=$((quick + 1)) qmax=$(awk -v a="$qmax" -v b="$took" 'BEGIN { print (b > a ? b : a) }')
    else
      slow=$((slow + 1))
      smin=$(awk -v a="$smin" -v b="$took" 'BEGIN { print (b < a ? b : a) }')
      smax=$(awk -v a="$smax" -v b="$took" 'BEGIN { print (b > a ? b : a) }')
    fi
  done
  [ "$slow" -gt 0 ] || smin=0
  row "silent service: 64 waiting GETs" "$quick at once (<= $qmax s)" "$slow after time-out ($smin-$smax s)" \
    "$([ "$wrong" -eq 0 ] && echo "all 503, code 1" || echo "$wrong not 503/code 1")"
  [ "$wrong" -eq 0 ] || fail "silent service: $wrong of 64 waiting GETs did not end with 503 and code 1"
  kill -TERM "$pid" "$helper"
  wait "$pid" "$helper" || true
}

shutdown_under_load() {
  local flooder t0 i took st
  wrk -t2 -c32 -d3 "$url/api/v1/system/device" >/dev/null 2>&1 &
  flooder=$!
  sleep 1
  t0=$EPOCHREALTIME
  kill -TERM "$pid"
  for ((i = 0; i < 1000; i++)); do
    exited "$pid" && break
    sleep 0.01
  done
  took=$(since "$t0")
  if exited "$pid"; then
    st=0
    wait "$pid" || st=$?
  else
    kill -KILL "$pid"
    wait "$pid" || true
    st="none (killed after $took s)"
  fi
  wait "$flooder" || true
  row "shutdown under load (SIGTERM)" "exit after $took s" "exit status $st" \
    "$([ "$st" = 0 ] && below "$took" 5 && echo ok || echo LATE)"
  [ "$st" = 0 ] && below "$took" 5 || fail "shutdown under load: exit status $st after $took s"
}

start_server main
flood_all
idle_connections
shutdown_under_load
silent_service

echo "| Check | Result | Detail | Outcome |"
echo "|---|---|---|---|"
printf '%s\n' "${rows[@]}"
if [ ${#fails[@]} -eq 0 ]; then
  echo "load: PASS"
else
  (IFS=';'; echo "load: FAIL: ${fails[*]}" | sed 's/;/; /g')
  exit 1
fi
