#!/usr/bin/env bash
# Passthrough throughput of the nfqueue backend, in one run, over a veth pair between two
# network namespaces (192.0.2.10 -> 192.0.2.20, iperf3 TCP for SECONDS each):
#   1. no diversion at all;
#   2. diverted by quellbox-ipfw to queue 6715, read by a minimal C passthrough on
#      libnetfilter_queue (the reference);
#   3. the same, read by the project's NfqueueDivertSocket (write-back at once).
# Prints Gbit/s, packets/s and the reading process's CPU time, and the backend's share of
# the reference. Needs root, network namespaces and NFQUEUE; says so and exits 0 otherwise.
#
# Usage: run-nfqueue-bench.sh [build-dir] (default: the build tree this script sits in)
set -uo pipefail
build=${1:-$(cd "$(dirname "$0")/../.." && pwd)}
seconds=${SECONDS_PER_RUN:-8}
tools=$build/tools
readers=$build/bench/firewall
skip() { echo "nfqueue benchmark skipped: $*"; exit 0; }

[[ $(id -u) == 0 ]] || skip "needs root (network namespaces, iptables, NFQUEUE)"
for program in ip iperf3 iptables jq; do
  command -v $program >/dev/null || skip "$program is not installed"
done
for program in "$tools/quellbox-ipfw" "$readers/nfqueue_passthrough_backend" "$readers/nfqueue_passthrough_minimal"; do
  [[ -x $program ]] || skip "$program is not built"
done

a=qbxbench-$$-a b=qbxbench-$$-b la=qbxba$$ lb=qbxbb$$
cleanup() {
  [[ -n ${reader:-} ]] && kill "$reader" 2>/dev/null
  [[ -n ${server:-} ]] && kill "$server" 2>/dev/null
  ip netns del "$a" 2>/dev/null; ip netns del "$b" 2>/dev/null
}
trap cleanup EXIT
ip netns add "$a" 2>/dev/null || skip "cannot create network namespaces"
ip netns add "$b" || skip "cannot create network namespaces"
ip -n "$a" link add "$la" type veth peer name "$lb" netns "$b" || skip "cannot create a veth pair"
ip -n "$a" addr add 192.0.2.10/24 dev "$la"
ip -n "$b" addr add 192.0.2.20/24 dev "$lb"
ip -n "$a" link set "$la" up; ip -n "$b" link set "$lb" up
ip -n "$a" link set lo up; ip -n "$b" link set lo up

ip netns exec "$b" iperf3 -s -B 192.0.2.20 -p 5201 >/dev/null 2>&1 &
server=$!
sleep 0.5

# run <label> [reader]: one transfer; prints one result line.
run() {
  local label=$1 program=${2:-} out stats packets cpu bits segments
  out=$(mktemp)
  if [[ -n $program ]]; then
    ip netns exec "$a" "$tools/quellbox-ipfw" add 100 divert 6715 tcp from 192.0.2.10 to any 5201 via "$la" || return 1
    coproc READER { exec ip netns exec "$a" "$program"; }
    reader=$READER_PID
    read -r -t 5 line <&"${READER[0]}"
    [[ $line == ready ]] || skip "the reader could not open the queue (${line:-no answer})"
  fi
  ip netns exec "$a" iperf3 -c 192.0.2.20 -p 5201 -t "$seconds" -J >"$out" 2>/dev/null
  bits=$(jq '.end.sum_received.bits_per_second' "$out")
  bytes=$(jq '.end.sum_received.bytes' "$out")
  duration=$(jq '.end.sum_received.seconds' "$out")
  if [[ -n $program ]]; then
    kill -TERM "$reader"
    read -r -t 10 stats <&"${READER[0]}"
    wait "$reader" 2>/dev/null; reader=
    ip netns exec "$a" "$tools/quellbox-ipfw" delete 100
    packets=$(sed -E 's/.*packets=([0-9]+).*/\1/' <<<"$stats")
    cpu=$(sed -E 's/.*cpu_seconds=([0-9.]+).*/\1/' <<<"$stats")
    awk -v l="$label" -v b="$bits" -v p="$packets" -v d="$duration" -v c="$cpu" 'BEGIN {
      printf "%-28s %7.3f Gbit/s %10.0f packets/s   reader CPU %6.2f s (%3.0f%% of one core)\n", l, b / 1e9, p / d, c, 100 * c / d }'
    echo "$packets $duration" >"$results/$label"
  else
    # Without diversion the stack sends GSO super-packets; count 1448-byte segments.
    awk -v l="$label" -v b="$bits" -v n="$bytes" -v d="$duration" 'BEGIN {
      printf "%-28s %7.3f Gbit/s %10.0f segments/s (bytes / 1448)\n", l, b / 1e9, n / 1448 / d }'
  fi
  rm -f "$out"
}

results=$(mktemp -d)
echo "nfqueue passthrough, ${seconds} s per run, veth between two namespaces"
run "no diversion"
run "minimal C passthrough" "$readers/nfqueue_passthrough_minimal"
run "NfqueueDivertSocket" "$readers/nfqueue_passthrough_backend"
minimalRate=$(awk '{print $1 / $2}' "$results/minimal C passthrough")
backendRate=$(awk '{print $1 / $2}' "$results/NfqueueDivertSocket")
awk -v b="$backendRate" -v m="$minimalRate" 'BEGIN {
  printf "backend / minimal passthrough (packets/s): %.1f%% (target: at least 90%%)\n", 100 * b / m }'
rm -rf "$results"
