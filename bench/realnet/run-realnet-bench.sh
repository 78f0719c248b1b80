#!/usr/bin/env bash
# Quellbox against the kernel's own shapers on the same veth pair, in one run. Two network
# namespaces: the server (192.0.2.10) runs two iperf3 servers (ports 5201 and 5202) that send
# (iperf3 -R) to the client namespace (192.0.2.20 and 192.0.2.21). For each cap (100 KiB/s,
# 1, 10, 50 and 100 MiB/s) and each shaper:
#   quellbox  quellbox --headless --backend nfqueue --rate KIB, ports 5201 and 5202 capped in
#             a private settings file (one engine per cap, serving every run at that cap);
#   tbf       tc qdisc tbf on the server's veth: rate at the cap, burst of 2 ms (at least one
#             full frame), latency 50 ms;
#   the reference: tc cake (bandwidth at the cap, besteffort, flows) where the kernel has it,
#             else htb at the cap with an fq_codel leaf, else plain htb at the cap;
# it runs 1 flow (192.0.2.20 to port 5201) and 8 flows (4 from 192.0.2.20 to 5201, 4 from
# 192.0.2.21 to 5202), REPS times each: WARMUP seconds left out, then WINDOW seconds measured.
#
# Columns, each the median over the repetitions:
#   got      IP bytes per second the server's veth sent (frame bytes less 14 per frame); tbf
#            and htb count whole frames, so they land about 0.9% under the cap by this measure;
#   Jain     Jain's fairness index over the flows' bytes acknowledged in the window (ss);
#   RTT      the flows' own smoothed round-trip time under load, sampled from `ss -ti` every
#            SAMPLE seconds on the sender: median and 99th percentile of all samples;
#   resent   segments the server resent (nstat TcpRetransSegs) per segment it sent, in %;
#   CPU      the Quellbox process's share of one core (the kernel shapers work in softirq).
# Needs root; says so and exits 0 otherwise. Not part of ctest. About 20 minutes with the
# defaults (90 runs of WARMUP + WINDOW seconds).
#
# Usage: run-realnet-bench.sh [build-dir]
#   environment: CAPS (KiB/s, "100 1024 10240 51200 102400"), FLOWS ("1 8"),
#   SHAPERS ("quellbox tbf ref"), REPS (3), WARMUP (3), WINDOW (10), SAMPLE (0.25),
#   QUELLBOX_ARGS (more options for quellbox, e.g. "--max-queue-delay 50")
set -uo pipefail
build=${1:-$(cd "$(dirname "$0")/../.." && pwd)/build/release}
quellbox=$build/quellbox
[[ -x $quellbox ]] || quellbox=$build/quellbox-engine
warmup=${WARMUP:-3}
window=${WINDOW:-10}
reps=${REPS:-3}
sample=${SAMPLE:-0.25}
caps=(${CAPS:-100 1024 10240 51200 102400})
flowCounts=(${FLOWS:-1 8})
shapers=(${SHAPERS:-quellbox tbf ref})
skip() { echo "realnet benchmark skipped: $*"; exit 0; }

[[ $(id -u) == 0 ]] || skip "needs root (network namespaces, iptables, NFQUEUE, tc)"
for program in ip iperf3 iptables tc ss nstat awk ethtool; do
  command -v $program >/dev/null || skip "$program is not installed"
done
[[ -x $quellbox ]] || skip "$quellbox is not built"

source "$(dirname "$0")/netns-pair.sh"
shaper= servers=() clients=()
bench_stop() {
  [[ -n $shaper ]] && kill "$shaper" 2>/dev/null && wait "$shaper" 2>/dev/null
  for pid in "${clients[@]}" "${servers[@]}"; do kill "$pid" 2>/dev/null; done
}
# The server's veth cuts the super-packets, so that its counters count the segments a wire
# carries, each with its own headers (a veth left with TSO passes a super-packet on as one,
# counting its headers once). The stack above still builds super-packets, so every shaper
# sees them whole.
netns_pair rn ls 192.0.2.21

# The reference qdisc: the best this kernel has.
ref=htb
if ip netns exec "$s" tc qdisc add dev "$ls" root cake bandwidth 1mbit besteffort flows 2>/dev/null; then
  ref=cake
elif ip netns exec "$s" tc qdisc add dev "$ls" root handle 1: htb default 1 2>/dev/null &&
     ip netns exec "$s" tc class add dev "$ls" parent 1: classid 1:1 htb rate 1mbit &&
     ip netns exec "$s" tc qdisc add dev "$ls" parent 1:1 fq_codel 2>/dev/null; then
  ref=htb+fq_codel
fi
ip netns exec "$s" tc qdisc del dev "$ls" root 2>/dev/null

netns_settings iperf3:5201 iperf3-b:5202

for port in 5201 5202; do
  ip netns exec "$s" iperf3 -s -p $port >/dev/null 2>&1 & servers+=($!)
done
sleep 0.5

sent() { ip -n "$s" -s -j link show dev "$ls" | sed -E 's/.*"tx":\{"bytes":([0-9]+),"packets":([0-9]+).*/\1 \2/'; }
segments() { ip netns exec "$s" nstat -asz TcpRetransSegs TcpOutSegs | awk '/TcpRetransSegs/ { r = $2 } /TcpOutSegs/ { o = $2 } END { print r + 0, o + 0 }'; }

# set_qdisc <shaper> <cap KiB/s>: the kernel shaper at the cap (rates in bit/s).
set_qdisc() {
  local bits=$(($2 * 1024 * 8)) burst=$(($2 * 1024 / 500 > 1600 ? $2 * 1024 / 500 : 1600))
  case $1 in
    tbf) ip netns exec "$s" tc qdisc replace dev "$ls" root tbf rate ${bits}bit burst $burst latency 50ms ;;
    cake) ip netns exec "$s" tc qdisc replace dev "$ls" root cake bandwidth ${bits}bit besteffort flows ;;
    htb*)
      ip netns exec "$s" tc qdisc replace dev "$ls" root handle 1: htb default 1 &&
        ip netns exec "$s" tc class add dev "$ls" parent 1: classid 1:1 htb rate ${bits}bit ceil ${bits}bit quantum 1514 &&
        if [[ $1 == htb+fq_codel ]]; then ip netns exec "$s" tc qdisc add dev "$ls" parent 1:1 fq_codel; fi ;;
  esac
}

# run_once <flows> <pid whose CPU counts, or empty>: one measured run; prints
# "rate-KiB/s jain rtt-median rtt-p99 cpu-percent resent-percent".
run_once() {
  local flows=$1 pid=${2:-} client b0 p0 b1 p1 t0 t1 c0 c1 r0 o0 r1 o1 samples=$home/ss.txt
  local length=$((warmup + window + 5))  # stopped after the window; this only bounds it
  clients=()
  if ((flows == 1)); then
    ip netns exec "$c" iperf3 -c 192.0.2.10 -B 192.0.2.20 -p 5201 -R -t $length >/dev/null 2>&1 & clients+=($!)
  else
    ip netns exec "$c" iperf3 -c 192.0.2.10 -B 192.0.2.20 -p 5201 -R -t $length -P $((flows / 2)) >/dev/null 2>&1 & clients+=($!)
    ip netns exec "$c" iperf3 -c 192.0.2.10 -B 192.0.2.21 -p 5202 -R -t $length -P $((flows - flows / 2)) >/dev/null 2>&1 & clients+=($!)
  fi
  sleep "$warmup"
  read -r b0 p0 < <(sent); t0=$(date +%s.%N); c0=$(ticks "$pid"); read -r r0 o0 < <(segments)
  # One sampling loop inside the namespace, one "@ <seconds>" line before each sample.
  ip netns exec "$s" bash -c '
    end=$(( $(date +%s%N) + $1 * 1000000000 ))
    while :; do
      now=$(date +%s%N); echo "@ $now"; ss -tinH state established "( sport = :5201 or sport = :5202 )"
      (( now >= end )) && break; sleep $2
    done' sampler "$window" "$sample" >"$samples"
  read -r b1 p1 < <(sent); t1=$(date +%s.%N); c1=$(ticks "$pid"); read -r r1 o1 < <(segments)
  for client in "${clients[@]}"; do kill -INT "$client" 2>/dev/null; done
  for client in "${clients[@]}"; do wait "$client" 2>/dev/null; done
  clients=()
  awk -v flows="$flows" -v b=$((b1 - b0)) -v p=$((p1 - p0)) -v t0="$t0" -v t1="$t1" \
      -v c=$((c1 - c0)) -v hz="$(getconf CLK_TCK)" -v hasPid="${pid:+1}" \
      -v resent=$((r1 - r0)) -v out=$((o1 - o0)) '
    /^@/ { n++; next }
    /^[^ \t]/ { key = ""; for (i = 1; i <= NF; i++) if ($i ~ /192\.0\.2\.10\]?:520[12]$/) key = $i " " $(i + 1); next }
    key != "" {
      rtt = ""; acked = 0
      for (i = 1; i <= NF; i++) {
        if ($i ~ /^rtt:/) { split(substr($i, 5), r, "/"); rtt = r[1] }
        if ($i ~ /^bytes_acked:/) acked = substr($i, 13)
      }
      if (!(key in first)) first[key] = acked
      last[key] = acked; if (rtt != "") rtts[key] = rtts[key] " " rtt
      key = ""
    }
    END {
      # The data connections are the ones that moved most (iperf3 also keeps a control one).
      m = 0; for (k in last) { d[++m] = last[k] - first[k]; name[m] = k }
      for (i = 1; i <= m; i++) for (j = i + 1; j <= m; j++) if (d[j] > d[i]) {
        t = d[i]; d[i] = d[j]; d[j] = t; t = name[i]; name[i] = name[j]; name[j] = t }
      used = m < flows ? m : flows; sum = 0; squares = 0; count = 0
      for (i = 1; i <= used; i++) {
        sum += d[i]; squares += d[i] * d[i]
        split(rtts[name[i]], values, " "); for (v in values) all[++count] = values[v] + 0
      }
      jain = (used > 1 && squares > 0) ? sprintf("%.3f", sum * sum / (used * squares)) : "-"
      for (i = 2; i <= count; i++) { x = all[i]; for (j = i - 1; j >= 1 && all[j] > x; j--) all[j + 1] = all[j]; all[j + 1] = x }
      median = count ? all[int((count + 1) / 2)] : "nan"; p99 = count ? all[int(0.99 * (count - 1)) + 1] : "nan"
      span = t1 - t0
      printf "%.1f %s %s %s %s %.2f\n", (b - 14 * p) / span / 1024, jain, median, p99, hasPid ? sprintf("%.1f", 100 * c / hz / span) : "-", out ? 100 * resent / out : 0
    }' "$samples"
}

# median of the lines on standard input (numbers, or "-" throughout)
median() { sort -g | awk '{ v[NR] = $1 } END { print NR ? v[int((NR + 1) / 2)] : "-" }'; }

printf "Reference qdisc: %s; %s repetitions of %s s after %s s, medians.\n\n" "$ref" "$reps" "$window" "$warmup"
echo "| shaper       | flows | cap KiB/s | got KiB/s | error   | Jain  | RTT median ms | RTT p99 ms | resent | Quellbox CPU |"
echo "|--------------|-------|-----------|-----------|---------|-------|---------------|------------|--------|--------------|"
for cap in "${caps[@]}"; do
  for kind in "${shapers[@]}"; do
    name=$kind pid=
    [[ $kind == ref ]] && name=$ref
    if [[ $kind == quellbox ]]; then
      HOME=$home XDG_CONFIG_HOME=$home/.config XDG_RUNTIME_DIR=$home \
        ip netns exec "$s" "$quellbox" --headless --backend nfqueue --rate "$cap" ${QUELLBOX_ARGS:-} >"$home/quellbox.out" 2>&1 &
      shaper=$! pid=$shaper  # ip netns exec and quellbox exec the engine in this process
      sleep 1
      if ! kill -0 "$shaper" 2>/dev/null; then
        echo "quellbox did not start:"; cat "$home/quellbox.out"; shaper=; continue
      fi
    else
      set_qdisc "$name" "$cap" || { echo "tc refused $name at $cap KiB/s"; continue; }
    fi
    for flows in "${flowCounts[@]}"; do
      : >"$home/runs.txt"
      for ((rep = 0; rep < reps; rep++)); do
        run_once "$flows" "$pid" >>"$home/runs.txt"
        sleep 0.3
      done
      read -r got jain rttMedian rttP99 cpu resent < <(
        for column in 1 2 3 4 5 6; do awk -v k=$column '{print $k}' "$home/runs.txt" | median; done | paste -sd' ')
      awk -v n="$name" -v f="$flows" -v cap="$cap" -v got="$got" -v jain="$jain" -v m="$rttMedian" \
          -v p="$rttP99" -v cpu="$cpu" -v resent="$resent" 'BEGIN {
        printf "| %-12s | %5d | %9d | %9.1f | %+6.2f%% | %5s | %13.2f | %10.2f | %5.2f%% | %12s |\n",
               n, f, cap, got, 100 * (got / cap - 1), jain, m, p, resent, cpu == "-" ? "(kernel)" : cpu "%" }'
    done
    if [[ $kind == quellbox ]]; then
      kill -TERM "$shaper"; wait "$shaper"; shaper=
    else
      ip netns exec "$s" tc qdisc del dev "$ls" root
    fi
  done
done
