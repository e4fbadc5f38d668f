#!/bin/bash
# Builds the Windows tree and measures the host under Wine on a virtual
# display: its own work per frame, the frame period and the reload latency.
# Usage: bench/host/run.sh [frames]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
. scripts/setup.sh
engine_install_packages
engine_build windows >/dev/null
build=$root/out/windows
env_file=$build/bench-env.sh
tests/wine/setup.sh "$env_file" "$build/wineprefix" >/dev/null
trap 'tests/wine/cleanup.sh "$env_file"' EXIT
. "$env_file"

frames=${1:-600}
scratch=$(mktemp -d "$build/bench-host-XXXX")
mkdir -p "$scratch/build" "$scratch/data"
cp "$build/modules/recorder_v1.dll" "$scratch/build/main.dll"
(cd "$scratch/data" && wine "$build/bench/host/host_frame_bench.exe" "$frames")
rm -rf "$scratch"
wine "$build/bench/host/fault_bench.exe"
ENGINE_BUILD_DIR=$build python3 bench/host/frame_bench.py "$frames"
