#!/bin/bash
# What the safety net costs on both hosts, side by side on one display: the
# in-process pieces (budget_bench, rewind_bench) natively and under Wine,
# then the real hosts writing 16, 64 and 128 MiB a frame (net_bench.py),
# and the frame period around a whole-state reload of 64 MiB of heap and
# around a full collection of 100 MiB (heap_bench.py). The machine's load is
# printed before and after.
#
#   bench/host/net.sh [frames]        (default 300)
set -euo pipefail
cd "$(dirname "$0")/../.."
. bench/session.sh
frames=${1:-300}

bench_build linux engine pacing_module heap_module_1 heap_module_2 heap_module_3 budget_bench rewind_bench
bench_build windows engine pacing_module heap_module_1 heap_module_2 heap_module_3 budget_bench rewind_bench
bench_session
echo "before: $(bench_load)"
echo "== Linux host"
out/linux/bench/host/budget_bench
out/linux/bench/host/rewind_bench
echo
echo "== Windows host (Wine)"
wine out/windows/bench/host/budget_bench.exe | tr -d '\r'
wine out/windows/bench/host/rewind_bench.exe | tr -d '\r'
echo
echo "mid-way: $(bench_load)"
ENGINE_ROOT_BUILD=$PWD/out python3 bench/host/net_bench.py "$frames"
echo "then: $(bench_load)"
ENGINE_ROOT_BUILD=$PWD/out python3 bench/host/heap_bench.py
echo "after: $(bench_load)"
