#!/usr/bin/env bash
# Achieved upload against the cap, end to end through `quellbox --headless` on the simulated
# network: two download clients whose links and windows are wide enough that the engine's
# pacing is the bottleneck. Counts the bytes the clients received on the wire (IP bytes),
# after a settling time, and prints one line per rate.
#
#   bench/headless/rates.sh [path/to/quellbox] [seconds per rate]
set -euo pipefail
binary=${1:-build/release/quellbox}
seconds=${2:-10}
settle=2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME=$work/config XDG_RUNTIME_DIR=$work/run QUELLBOX_SIM_STATE=$work/sim.state
mkdir -p "$XDG_RUNTIME_DIR"

printf '%-12s %14s %14s %9s\n' "cap KiB/s" "achieved KiB/s" "packets/s" "error"
for rate in 10 1024 102400; do
  # Windows sized so that the clients keep the engine's queue busy without overflowing it.
  # Windows sized so that the clients keep the engine's queue busy without overflowing it
  # (200 packets): short round trips at high rates keep the bandwidth-delay product small.
  if [ "$rate" -le 100 ]; then window=4; rtt=20; else window=80; rtt=1; fi
  demand=$((rate * 2 > 1000 ? rate * 2 : 1000))
  cat > "$work/scenario" <<SCENARIO
service 6700 Server
client 192.0.2.10 download port=6700 demand=$demand window=$window rtt=$rtt psh=0
client 192.0.2.11 download port=6700 demand=$demand window=$window rtt=$rtt psh=0
SCENARIO
  "$binary" --headless --backend sim --scenario "$work/scenario" --rate "$rate" \
    --duration "$((seconds + settle))" --stats-json "$work/stats.json" >/dev/null
  python3 - "$work/stats.json" "$rate" "$settle" <<'PY'
import json, sys
path, cap, settle = sys.argv[1], float(sys.argv[2]), int(sys.argv[3])
lines = [json.loads(l) for l in open(path)]
# Each line counts the bytes since the line before it.
first = next(i for i, l in enumerate(lines) if l["time"] > settle + 0.5)
window = lines[first:]
seconds = window[-1]["time"] - lines[first - 1]["time"]
data = sum(c["wire_bytes"] for l in window for c in l["clients"])
packets = data / 1500.0
achieved = data / seconds / 1024.0
print(f"{cap:<12.0f} {achieved:14.2f} {packets / seconds:14.0f} {100.0 * (achieved - cap) / cap:+8.2f}%")
PY
done
