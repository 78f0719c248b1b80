#!/usr/bin/env bash
# Quellbox's download rate mode on the real path. Two network namespaces on one veth pair
# (netns-pair.sh): the server (192.0.2.10) runs an iperf3 server on port 5201, and the client
# (192.0.2.20) uploads to it as fast as TCP lets it (iperf3 -c, no -R). Quellbox runs in the
# server namespace on the nfqueue backend with port 5201 capped and --download-rate CAP: it
# releases the server's acknowledgements only as fast as the bytes they acknowledge fit the
# cap. For each cap (100 KiB/s, 1 and 10 MiB/s), REPS runs: WARMUP seconds left out, then
# WINDOW seconds measured.
#
# Columns, each the median over the repetitions:
#   got     payload bytes per second the server received in the window (the sum of its
#           connections' bytes_received from ss: what the acknowledgement numbers count,
#           and so what the cap bounds);
#   CPU     the Quellbox process's share of one core.
# Needs root; says so and exits 0 otherwise. Not part of ctest. About three minutes with the
# defaults (9 runs of WARMUP + WINDOW seconds).
#
# Usage: run-download-rate-bench.sh [build-dir]
#   environment: CAPS (KiB/s, "100 1024 10240"), REPS (3), WARMUP (5), WINDOW (10),
#   CONGESTION (the client's congestion control, cubic: Linux's default; bbr holds its
#   sending to a model of the path that held acknowledgements distort, see the README),
#   QUELLBOX_ARGS (more options for quellbox), VERBOSE (set: the engine's status lines of
#   every run on standard error)
set -uo pipefail
build=${1:-$(cd "$(dirname "$0")/../.." && pwd)/build/release}
quellbox=$build/quellbox
[[ -x $quellbox ]] || quellbox=$build/quellbox-engine
warmup=${WARMUP:-5}
window=${WINDOW:-10}
reps=${REPS:-3}
caps=(${CAPS:-100 1024 10240})
congestion=${CONGESTION:-cubic}
skip() { echo "download rate benchmark skipped: $*"; exit 0; }

[[ $(id -u) == 0 ]] || skip "needs root (network namespaces, iptables, NFQUEUE)"
for program in ip iperf3 iptables ss awk ethtool; do
  command -v $program >/dev/null || skip "$program is not installed"
done
[[ -x $quellbox ]] || skip "$quellbox is not built"
grep -qw "$congestion" /proc/sys/net/ipv4/tcp_available_congestion_control 2>/dev/null ||
  skip "the kernel offers no $congestion congestion control"

source "$(dirname "$0")/netns-pair.sh"
shaper= server= client=
bench_stop() {
  [[ -n $shaper ]] && kill "$shaper" 2>/dev/null && wait "$shaper" 2>/dev/null
  for pid in $client $server; do kill "$pid" 2>/dev/null; done
}
# The client's veth cuts its super-packets, so that the server receives the segments a wire
# carries and acknowledges them as it would from a wire (a veth with TSO hands a super-packet
# of up to 64 KiB over whole, and one acknowledgement covers all of it).
netns_pair dr lc
netns_settings iperf3:5201

ip netns exec "$s" iperf3 -s -p 5201 >/dev/null 2>&1 & server=$!
sleep 0.5

# Payload bytes the server's connections on port 5201 have received.
received() {
  ip netns exec "$s" ss -tinH state established "( sport = :5201 )" |
    awk '{ for (i = 1; i <= NF; i++) if ($i ~ /^bytes_received:/) sum += substr($i, 16) } END { printf "%.0f\n", sum }'
}
# run_once <cap>: one measured run; prints "rate-KiB/s cpu-percent".
run_once() {
  local cap=$1 r0 r1 t0 t1 c0 c1
  HOME=$home XDG_CONFIG_HOME=$home/.config XDG_RUNTIME_DIR=$home \
    ip netns exec "$s" "$quellbox" --headless --backend nfqueue --rate -1 --download-rate "$cap" \
    ${QUELLBOX_ARGS:-} >"$home/quellbox.out" 2>&1 &
  shaper=$!  # ip netns exec and quellbox exec the engine in this process
  sleep 1
  if ! kill -0 "$shaper" 2>/dev/null; then
    echo "quellbox did not start:" >&2; cat "$home/quellbox.out" >&2; shaper=; return 1
  fi
  ip netns exec "$c" iperf3 -c 192.0.2.10 -B 192.0.2.20 -p 5201 -C "$congestion" -t $((warmup + window + 5)) \
    >/dev/null 2>&1 & client=$!
  sleep "$warmup"
  r0=$(received); t0=$(date +%s.%N); c0=$(ticks "$shaper")
  sleep "$window"
  r1=$(received); t1=$(date +%s.%N); c1=$(ticks "$shaper")
  kill -INT "$client" 2>/dev/null; wait "$client" 2>/dev/null; client=
  kill -TERM "$shaper"; wait "$shaper" 2>/dev/null; shaper=
  [[ -n ${VERBOSE:-} ]] && grep -E '^ +[0-9]+ s' "$home/quellbox.out" >&2
  [[ -n ${VERBOSE:-} ]] && grep -c "queue is full" "$home/quellbox.out" >&2
  awk -v b=$((r1 - r0)) -v t0="$t0" -v t1="$t1" -v c=$((c1 - c0)) -v hz="$(getconf CLK_TCK)" \
      'BEGIN { span = t1 - t0; printf "%.1f %.1f\n", b / span / 1024, 100 * c / hz / span }'
}

median() { sort -g | awk '{ v[NR] = $1 } END { print NR ? v[int((NR + 1) / 2)] : "-" }'; }

printf "Download rate mode, client on %s: %s repetitions of %s s after %s s, medians.\n\n" \
  "$congestion" "$reps" "$window" "$warmup"
echo "| cap KiB/s | got KiB/s | error   | Quellbox CPU |"
echo "|-----------|-----------|---------|--------------|"
for cap in "${caps[@]}"; do
  : >"$home/runs.txt"
  for ((rep = 0; rep < reps; rep++)); do
    run_once "$cap" >>"$home/runs.txt" || continue
    sleep 0.5
  done
  [[ -s $home/runs.txt ]] || continue
  read -r got cpu < <(
    for column in 1 2; do awk -v k=$column '{print $k}' "$home/runs.txt" | median; done | paste -sd' ')
  awk -v cap="$cap" -v got="$got" -v cpu="$cpu" 'BEGIN {
    printf "| %9d | %9.1f | %+6.2f%% | %11.1f%% |\n", cap, got, 100 * (got / cap - 1), cpu }'
done
