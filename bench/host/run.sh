#!/bin/bash
# Measures both hosts on one virtual display: the Linux host natively, the
# Windows host under Wine. For each: the host's own work per frame on a real
# window of the default size (host_frame_bench), what the fault guard costs
# (fault_bench), then the frame period and reload latency of the real host
# (frame_bench.py, both hosts side by side). The machine's load is printed
# before and after.
#
#   bench/host/run.sh [frames] [reloads]        (defaults 600 and 20)
set -euo pipefail
cd "$(dirname "$0")/../.."
. bench/session.sh
frames=${1:-600}
reloads=${2:-20}

bench_build linux engine host_frame_bench fault_bench pacing_module recorder_v1 recorder_v2
bench_build windows engine host_frame_bench fault_bench pacing_module recorder_v1 recorder_v2
bench_session
echo "before: $(bench_load)"

# host_frame_bench from data/ of a scratch run directory whose build/ holds
# a module, so the poll reads a real file's stamp.
frame_bench() {
    local preset=$1 module=$2
    shift 2
    local scratch
    scratch=$(mktemp -d "$PWD/out/$preset/bench-host-XXXX")
    mkdir -p "$scratch/build" "$scratch/data"
    cp "out/$preset/modules/$module" "$scratch/build/main.${module##*.}"
    # The host's start-up message to the debugger goes to standard error.
    local status=0
    (cd "$scratch/data" && "$@" "$frames" 2>"$scratch/stderr") | tr -d '\r' || status=$?
    [ "$status" -eq 0 ] || { cat "$scratch/stderr"; rm -rf "$scratch"; return "$status"; }
    rm -rf "$scratch"
}

echo "== Linux host (native, SDL2 on Xvfb $DISPLAY)"
frame_bench linux recorder_v1.so "$PWD/out/linux/bench/host/host_frame_bench"
out/linux/bench/host/fault_bench
echo
echo "== Windows host (Wine on Xvfb $DISPLAY)"
frame_bench windows recorder_v1.dll wine "$PWD/out/windows/bench/host/host_frame_bench.exe"
wine out/windows/bench/host/fault_bench.exe | tr -d '\r'
echo
echo "mid-way: $(bench_load)"
echo
ENGINE_ROOT_BUILD=$PWD/out python3 bench/host/frame_bench.py "$frames" "$reloads"
echo "after: $(bench_load)"
