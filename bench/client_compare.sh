#!/usr/bin/env bash
# Load comparison against our minimal C++ SMSC (tools/smsc_sink), which answers as fast as the
# socket allows: the floor (bench/floor/floor_client, a plain blocking client sending pre-encoded
# submits), our console client (smppcli, on one bind and on four) and a client written with the npm
# package smpp (bench/npm_client.js) each send the same N messages at window 1 and at window 1000,
# one after the other, and print messages per second and CPU time per message. No delivery
# receipts.
# Usage: bench/client_compare.sh [count] [windows...]   (after scripts/test or scripts/run)
#   defaults: 100000 messages, windows 1 and 1000
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
count=${1:-100000}
shift || true
windows=("$@")
((${#windows[@]})) || windows=(1 1000)
cli="$top/build/tools/smppcli"
sink="$top/build/tools/smsc_sink"
floor="$top/build/bench/floor_client"
for p in "$cli" "$sink" "$floor"; do
  [ -x "$p" ] || { echo "client_compare: build first (scripts/test): $p is missing" >&2; exit 1; }
done

log=$(mktemp)
"$sink" --port 0 >"$log" 2>&1 </dev/null &
sink_pid=$!
trap 'kill "$sink_pid" 2>/dev/null || true; wait "$sink_pid" 2>/dev/null || true; rm -f "$log"' EXIT
port=""
for _ in $(seq 100); do
  port=$(sed -n 's/^listening 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$log")
  [ -n "$port" ] && break
  sleep 0.05
done
[ -n "$port" ] || { echo "client_compare: the sink did not start" >&2; cat "$log" >&2; exit 1; }

echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
for window in "${windows[@]}"; do
  echo "== window $window, $count messages"
  printf 'floor   '; "$floor" --port "$port" --count "$count" --window "$window"
  printf 'smppcli '
  "$cli" --port "$port" --count "$count" --window "$window" --no-receipts --quiet --wait 600 2>&1 |
    sed -n 's/^smppcli: \([0-9]* messages in\)/\1/p'
  # The same messages spread over four binds: the CPU per message should stay near one bind's.
  printf 'binds 4 '
  "$cli" --port "$port" --count "$count" --window "$window" --binds 4 --no-receipts --quiet \
    --wait 600 2>&1 | sed -n 's/^smppcli: \([0-9]* messages in\)/\1/p'
  printf 'npm     '
  node "$top/bench/npm_client.js" --port "$port" --count "$count" --window "$window"
done
