#!/usr/bin/env bash
# The soak: an optimised run for most of the time, then a ThreadSanitizer run.
#   bench/soak/run.sh [minutes, default 30] [minutes under TSan, default 5]
set -euo pipefail
cd "$(dirname "$0")/../.."
minutes=${1:-30}
tsan_minutes=${2:-5}
cmake -S . -B build/soak -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUELLBOX_BUILD_TESTS=OFF \
  -DQUELLBOX_BUILD_GUI=OFF >/dev/null
cmake --build build/soak --target quellbox_soak quellbox-sim-ipfw quellbox-sim-netstat quellbox-sim-ifconfig
cmake -S . -B build/soak-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=-O1 \
  -DQUELLBOX_SANITIZE=thread -DQUELLBOX_BUILD_TESTS=OFF -DQUELLBOX_BUILD_GUI=OFF >/dev/null
cmake --build build/soak-tsan --target quellbox_soak quellbox-sim-ipfw quellbox-sim-netstat quellbox-sim-ifconfig
echo "== optimised, ${minutes} minutes"
/usr/bin/time -v build/soak/bench/soak/quellbox_soak "$minutes" 2>build/soak/time.txt
grep -E 'Maximum resident|Elapsed' build/soak/time.txt
echo "== ThreadSanitizer, ${tsan_minutes} minutes"
TSAN_OPTIONS=halt_on_error=1 build/soak-tsan/bench/soak/quellbox_soak "$tsan_minutes" 60
echo "no data race reported"
