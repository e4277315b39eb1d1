#!/usr/bin/env bash
# Load comparison: our console client (smppcli) and a client written with the npm package smpp
# (bench/npm_client.js) each send the same N messages to the same local SMSC, with a receiver bound
# that takes every delivery receipt, and print messages per second and CPU time per message.
# Usage: bench/client_compare.sh [count] [window]   (after scripts/test or scripts/run has built)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
count=${1:-100000}
window=${2:-1000}
cli="$top/build/tools/smppcli"
[ -x "$cli" ] || { echo "client_compare: build first (scripts/test)" >&2; exit 1; }

log=$(mktemp)
node "$top/tools/smsc/smsc.js" --port 0 --quiet >"$log" 2>&1 </dev/null &
smsc_pid=$!
trap 'kill "$smsc_pid" 2>/dev/null || true; wait "$smsc_pid" 2>/dev/null || true; rm -f "$log"' EXIT
port=""
for _ in $(seq 150); do
  port=$(sed -n 's/^listening 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$log")
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { echo "client_compare: the local SMSC did not start" >&2; cat "$log" >&2; exit 1; }

echo "== smppcli: $count messages, window $window"
"$cli" --port "$port" --count "$count" --window "$window" --wait 600 --quiet
echo "== npm smpp client: $count messages, window $window"
node "$top/bench/npm_client.js" --port "$port" --count "$count" --window "$window" --receiver
