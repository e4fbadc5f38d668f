#!/bin/bash
# Builds the Windows tree and measures the host under Wine on a virtual
# display: its own work per frame, the fault guard's cost, the frame period
# and the reload latency. Usage: bench/host/run.sh [frames]
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/setup.sh
engine_wine_session
build=$ENGINE_BUILD

frames=${1:-600}
scratch=$(mktemp -d "$build/bench-host-XXXX")
mkdir -p "$scratch/build" "$scratch/data"
cp "$build/modules/recorder_v1.dll" "$scratch/build/main.dll"
(cd "$scratch/data" && wine "$build/bench/host/host_frame_bench.exe" "$frames")
rm -rf "$scratch"
wine "$build/bench/host/fault_bench.exe"
ENGINE_BUILD_DIR=$build python3 bench/host/frame_bench.py "$frames"
