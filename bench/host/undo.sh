#!/bin/bash
# What the undo costs on both hosts, side by side on one machine: undo_bench
# natively for the Linux host, then under Wine for the Windows host. The
# machine's load is printed before and after.
#
#   bench/host/undo.sh [rounds]        (default 15)
set -euo pipefail
cd "$(dirname "$0")/../.."
. bench/session.sh
rounds=${1:-15}

bench_build linux undo_bench
bench_build windows undo_bench
bench_session
echo "before: $(bench_load)"
echo "== Linux host"
out/linux/bench/host/undo_bench "$rounds"
echo
echo "== Windows host (Wine)"
wine out/windows/bench/host/undo_bench.exe "$rounds" | tr -d '\r'
echo "after: $(bench_load)"
