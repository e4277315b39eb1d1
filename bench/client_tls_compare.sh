#!/usr/bin/env bash
# TLS cost: our console client (smppcli) sends the same N messages to the local SMSC over plain
# TCP and then over TLS (a second SMSC started with --tls), with a receiver bound that takes every
# delivery receipt, and prints messages per second and CPU time per message for each. The TLS
# certificates are throw-away ones made here with openssl and removed at exit.
# Usage: bench/client_tls_compare.sh [count] [window]   (after scripts/test or scripts/run has built)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
count=${1:-100000}
window=${2:-1000}
cli="$top/build/tools/smppcli"
[ -x "$cli" ] || { echo "client_tls_compare: build first (scripts/test)" >&2; exit 1; }

work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

ec="-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1"
openssl req -x509 $ec -keyout "$work/ca.key" -out "$work/ca.pem" -subj /CN=bench-ca \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign >/dev/null 2>&1
openssl req $ec -keyout "$work/server.key" -out "$work/server.csr" -subj /CN=localhost \
  >/dev/null 2>&1
echo "subjectAltName=DNS:localhost,IP:127.0.0.1" >"$work/san.cnf"
openssl x509 -req -in "$work/server.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" \
  -CAcreateserial -days 1 -out "$work/server.pem" -extfile "$work/san.cnf" >/dev/null 2>&1

# Starts a local SMSC with the given options; its port goes to $port.
start_smsc() {
  local log="$work/smsc${#pids[@]}.log"
  node "$top/tools/smsc/smsc.js" --port 0 --quiet "$@" >"$log" 2>&1 </dev/null &
  pids+=($!)
  port=""
  for _ in $(seq 150); do
    port=$(sed -n 's/^listening 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$log")
    [ -n "$port" ] && break
    sleep 0.1
  done
  [ -n "$port" ] || { echo "client_tls_compare: the local SMSC did not start" >&2; cat "$log" >&2; exit 1; }
}

start_smsc
plain_port=$port
start_smsc --tls --cert "$work/server.pem" --key "$work/server.key"
tls_port=$port

echo "== smppcli over plain TCP: $count messages, window $window"
"$cli" --port "$plain_port" --count "$count" --window "$window" --wait 600 --quiet
echo "== smppcli over TLS: $count messages, window $window"
"$cli" --port "$tls_port" --tls --tls-ca "$work/ca.pem" --count "$count" --window "$window" \
  --wait 600 --quiet
