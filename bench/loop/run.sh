#!/bin/bash
# Loop editing's figures on both hosts: snapshots of 64 MiB and recording's
# cost per frame (loop_bench), then a headless replay of 3,000 recorded
# frames with a trivial module, in frames per second (whole runs, start-up
# included; the median of five).
#
#   bench/loop/run.sh [rounds]        (default 15)
set -euo pipefail
cd "$(dirname "$0")/../.."
. bench/session.sh
rounds=${1:-15}
frames=3000

bench_build linux engine loop_bench trivial_module
bench_build windows engine loop_bench trivial_module
bench_session
echo "before: $(bench_load)"

# The median frame rate of five headless replays in a scratch run directory.
# runner: "" or wine.
headless_rate() {
    local preset=$1 suffix=$2 runner=$3 host=$4
    local scratch
    scratch=$(mktemp -d "$PWD/out/$preset/bench-loop-XXXX")
    mkdir -p "$scratch/build" "$scratch/data"
    cp "out/$preset/modules/trivial_module.$suffix" "$scratch/build/main.$suffix"
    cp "out/$preset/run/build/$host" "$scratch/build/"
    $runner "out/$preset/bench/loop/loop_bench${host#engine}" --make "$scratch/idle.rec" "$frames"
    local rates=()
    for _ in 1 2 3 4 5; do
        local start end
        start=$(date +%s.%N)
        (cd "$scratch/build" && $runner "./$host" --replay ../idle.rec --headless >/dev/null 2>&1)
        end=$(date +%s.%N)
        rates+=("$(python3 -c "print('%.0f' % ($frames / ($end - $start)))")")
    done
    printf '%s\n' "${rates[@]}" | sort -n | sed -n 3p
    rm -rf "$scratch"
}

echo "== Linux host (native)"
out/linux/bench/loop/loop_bench "$rounds"
echo "  headless replay, $frames frames: $(headless_rate linux so "" engine) frames/s"
echo
echo "== Windows host (Wine)"
wine out/windows/bench/loop/loop_bench.exe "$rounds" | tr -d '\r'
echo "  headless replay, $frames frames: $(headless_rate windows dll wine engine.exe) frames/s"
echo "after: $(bench_load)"
