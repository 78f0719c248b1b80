#!/usr/bin/env bash
# Quellbox against tc tbf and trickle on the same veth pair, in one run. Two network
# namespaces (server 192.0.2.10, client 192.0.2.20); iperf3 in reverse mode sends from the
# server for each shaper at each cap (100 KiB/s, 1, 10, 100 MiB/s):
#   quellbox  quellbox --headless --backend nfqueue --rate KIB, port 5201 capped in a private
#             settings file;
#   tbf       tc qdisc tbf on the server's veth: rate at the cap, burst of 2 ms (at least one
#             full frame), latency 50 ms;
#   trickle   trickle -s -u KIB around the iperf3 server.
# Prints the achieved rate (IP bytes the server's veth sent: frame bytes less 14 per frame)
# against the cap, the average round-trip time of a ping from the client under load, and CPU:
# the shaping process's share of one core (quellbox; trickle: the trickled iperf3 itself;
# tbf works in the kernel) and the whole machine's busy share.
# Needs root; says so and exits 0 otherwise. Not part of ctest.
#
# Usage: run-realnet-bench.sh [build-dir]   (WARMUP and WINDOW seconds: environment)
set -uo pipefail
build=${1:-$(cd "$(dirname "$0")/../.." && pwd)/build/release}
quellbox=$build/quellbox
warmup=${WARMUP:-2}
window=${WINDOW:-5}
caps=(${CAPS:-100 1024 10240 102400})
skip() { echo "realnet benchmark skipped: $*"; exit 0; }

[[ $(id -u) == 0 ]] || skip "needs root (network namespaces, iptables, NFQUEUE, tc)"
for program in ip iperf3 iptables tc trickle ping; do
  command -v $program >/dev/null || skip "$program is not installed"
done
[[ -x $quellbox ]] || skip "$quellbox is not built"

s=qbxrn-$$-s c=qbxrn-$$-c ls=qbxrs$$ lc=qbxrc$$
home=$(mktemp -d)
cleanup() {
  [[ -n ${shaper:-} ]] && kill "$shaper" 2>/dev/null && wait "$shaper" 2>/dev/null
  [[ -n ${server:-} ]] && kill "$server" 2>/dev/null
  ip netns del "$s" 2>/dev/null; ip netns del "$c" 2>/dev/null
  rm -rf "$home"
}
trap cleanup EXIT
ip netns add "$s" 2>/dev/null || skip "cannot create network namespaces"
ip netns add "$c"
ip -n "$s" link add "$ls" type veth peer name "$lc" netns "$c" || skip "cannot create a veth pair"
ip -n "$s" addr add 192.0.2.10/24 dev "$ls"; ip -n "$c" addr add 192.0.2.20/24 dev "$lc"
ip -n "$s" link set "$ls" up; ip -n "$c" link set "$lc" up
ip -n "$s" link set lo up; ip -n "$c" link set lo up
ip -n "$s" route add default via 192.0.2.20

mkdir -p "$home/.config/Quellbox"
cat >"$home/.config/Quellbox/Quellbox.plist" <<'PLIST'
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>servicesNameArray</key><array><string>iperf3</string></array>
<key>servicesPortArray</key><array><integer>5201</integer></array>
<key>activatedULServices</key><array><true/></array>
</dict></plist>
PLIST

sent() { ip -n "$s" -s -j link show dev "$ls" | sed -E 's/.*"tx":\{"bytes":([0-9]+),"packets":([0-9]+).*/\1 \2/'; }
ticks() { [[ -n ${1:-} && -r /proc/$1/stat ]] && awk '{print $14 + $15}' "/proc/$1/stat" || echo 0; }
busy() { awk '/^cpu /{print $2 + $3 + $4 + $7 + $8, $2 + $3 + $4 + $5 + $6 + $7 + $8}' /proc/stat; }

# measure <shaper> <cap KiB/s> <pid whose CPU counts, or empty>
measure() {
  local name=$1 cap=$2 pid=${3:-} b0 p0 b1 p1 t0 t1 c0 c1 u0 a0 u1 a1 rtt
  sleep "$warmup"
  read -r b0 p0 < <(sent); t0=$(date +%s.%N); c0=$(ticks "$pid"); read -r u0 a0 < <(busy)
  rtt=$(ip netns exec "$c" ping -q -c $((window * 4)) -i 0.25 192.0.2.10 | awk -F/ '/^rtt/{print $5}')
  read -r b1 p1 < <(sent); t1=$(date +%s.%N); c1=$(ticks "$pid"); read -r u1 a1 < <(busy)
  awk -v n="$name" -v cap="$cap" -v b=$((b1 - b0)) -v p=$((p1 - p0)) -v t0="$t0" -v t1="$t1" \
      -v c=$((c1 - c0)) -v hz="$(getconf CLK_TCK)" -v hasPid="${pid:+1}" -v rtt="${rtt:-nan}" \
      -v u=$((u1 - u0)) -v a=$((a1 - a0)) 'BEGIN {
    d = t1 - t0; rate = (b - 14 * p) / d / 1024
    own = hasPid ? sprintf("%5.1f%%", 100 * c / hz / d) : "  (kernel)"
    printf "| %-8s | %9d | %11.1f | %+7.2f%% | %8.2f | %s | %5.1f%% |\n", n, cap, rate, 100 * (rate / cap - 1), rtt, own, 100 * u / a }'
}

client() { ip netns exec "$c" iperf3 -c 192.0.2.10 -p 5201 -R -t $((warmup + window + 3)) >/dev/null 2>&1; }

echo "| shaper   | cap KiB/s | got KiB/s   | error    | ping ms  | shaper CPU | machine busy |"
echo "|----------|-----------|-------------|----------|----------|------------|--------------|"
for cap in "${caps[@]}"; do
  # Quellbox
  ip netns exec "$s" iperf3 -s -p 5201 >/dev/null 2>&1 & server=$!
  HOME=$home XDG_CONFIG_HOME=$home/.config XDG_RUNTIME_DIR=$home \
    ip netns exec "$s" "$quellbox" --headless --backend nfqueue --rate "$cap" >"$home/quellbox.out" 2>&1 &
  shaper=$!
  sleep 1
  qpid=$(pgrep -P "$shaper" -x quellbox || echo "$shaper")
  client & load=$!
  measure quellbox "$cap" "$qpid"
  wait "$load"
  kill -TERM "$shaper"; wait "$shaper"; shaper=
  kill "$server"; wait "$server" 2>/dev/null; server=

  # tc tbf: rate in bit/s, burst 2 ms of the rate but at least one full frame
  ip netns exec "$s" iperf3 -s -p 5201 >/dev/null 2>&1 & server=$!
  burst=$(( cap * 1024 / 500 > 1600 ? cap * 1024 / 500 : 1600 ))
  ip netns exec "$s" tc qdisc replace dev "$ls" root tbf rate $((cap * 1024 * 8))bit burst "$burst" latency 50ms
  sleep 0.5
  client & load=$!
  measure tbf "$cap" ""
  wait "$load"
  ip netns exec "$s" tc qdisc del dev "$ls" root
  kill "$server"; wait "$server" 2>/dev/null; server=

  # trickle around the sending iperf3
  ip netns exec "$s" trickle -s -u "$cap" iperf3 -s -p 5201 >/dev/null 2>&1 & server=$!
  sleep 0.5
  tpid=$(pgrep -P "$server" -x iperf3 || echo "$server")
  client & load=$!
  measure trickle "$cap" "$tpid"
  wait "$load"
  kill "$server"; wait "$server" 2>/dev/null; server=
done
