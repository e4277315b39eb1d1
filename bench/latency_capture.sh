#!/usr/bin/env bash
# The response latencies smppcli reports, against a loopback capture of the same run: dumpcap
# records every segment on the loopback interface, tshark reads the submit_sm and submit_sm_resp
# of the transmitter's connection from it, and awk pairs them by sequence number. Prints the
# percentiles of both and their differences. Run as root (dumpcap on lo), on an idle machine,
# after scripts/test or scripts/run.
# Usage: bench/latency_capture.sh [count] [tps] [window]   (defaults: 1000 messages, 1000/s, 1)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
count=${1:-1000}
tps=${2:-1000}
window=${3:-1}
cli="$top/build/tools/smppcli"
sink="$top/build/tools/smsc_sink"
for p in "$cli" "$sink"; do
  [ -x "$p" ] || { echo "latency_capture: build first (scripts/test): $p is missing" >&2; exit 1; }
done
command -v dumpcap >/dev/null || { echo "latency_capture: dumpcap is missing (scripts/bootstrap)" >&2; exit 1; }

work=$(mktemp -d)
"$sink" --port 0 >"$work/sink.log" 2>&1 </dev/null &
sink_pid=$!
cap_pid=""
trap '[ -n "$cap_pid" ] && kill "$cap_pid" 2>/dev/null; kill "$sink_pid" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT
port=""
for _ in $(seq 100); do
  port=$(sed -n 's/^listening 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/sink.log")
  [ -n "$port" ] && break
  sleep 0.05
done
[ -n "$port" ] || { echo "latency_capture: the sink did not start" >&2; exit 1; }

dumpcap -q -i lo -f "tcp port $port" -w "$work/run.pcapng" 2>"$work/dumpcap.log" &
cap_pid=$!
for _ in $(seq 100); do grep -q "File:" "$work/dumpcap.log" 2>/dev/null && break; sleep 0.05; done
sleep 0.5
"$cli" --port "$port" --count "$count" --tps "$tps" --window "$window" --no-receipts --quiet \
  --json "$work/run.json" >/dev/null
sleep 0.5
kill -INT "$cap_pid"
wait "$cap_pid" 2>/dev/null || true
cap_pid=""

# Every PDU of the capture: time, connection (the client's port), command id, sequence number.
tshark -r "$work/run.pcapng" -d "tcp.port==$port,smpp" -T fields -E separator=' ' \
  -e frame.time_epoch -e tcp.srcport -e tcp.dstport -e smpp.command_id -e smpp.sequence_number \
  2>/dev/null >"$work/pdus.txt"
awk -v smsc="$port" '
  # A frame may carry several PDUs: the ids and sequence numbers come as comma lists.
  { n = split($4, ids, ","); split($5, seqs, ",")
    client = ($2 == smsc) ? $3 : $2
    for (i = 1; i <= n; i++) {
      id = tolower(ids[i])
      key = client " " seqs[i]
      if (id == "0x00000004" && $3 == smsc) sent[key] = $1
      else if (id == "0x80000004" && $2 == smsc && (key in sent)) print ($1 - sent[key]) * 1e6
    } }' "$work/pdus.txt" | sort -n >"$work/capture_us.txt"
pairs=$(wc -l <"$work/capture_us.txt")
pct() { awk -v p="$1" '{ v[NR] = $1 } END { i = int(NR * p / 100 + 0.999999); if (i < 1) i = 1; print v[i] }' "$work/capture_us.txt"; }
echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "pairs in the capture: $pairs of $count submits"
for p in 50 90 99; do
  cli_us=$(sed -n "s/.*\"response_latency\":{[^}]*\"p${p}_us\":\([0-9.]*\).*/\1/p" "$work/run.json")
  cap_us=$(pct "$p")
  awk -v p="$p" -v a="$cli_us" -v b="$cap_us" \
    'BEGIN { printf "p%s: smppcli %.0f us, capture %.0f us, difference %.0f us\n", p, a, b, a - b }'
done
