#!/bin/bash
# Measures the services against the bare system calls on both systems, each
# in a scratch directory of its build tree: the Linux build natively, the
# Windows build under Wine. Prints both tables, then the two side by side,
# with the machine's load before and after.
#
#   bench/platform/run.sh [rounds]        (default 31)
set -euo pipefail
cd "$(dirname "$0")/../.."
. bench/session.sh
rounds=${1:-31}

bench_build linux services_bench
bench_build windows services_bench
bench_session

results=$(mktemp -d)
echo "before: $(bench_load)"
linux_scratch=$(mktemp -d "$PWD/out/linux/bench-platform-XXXX")
(cd "$linux_scratch" && "$OLDPWD/out/linux/bench/platform/services_bench" "$rounds") |
    tee "$results/linux.txt"
rm -rf "$linux_scratch"
echo
windows_scratch=$(mktemp -d "$PWD/out/windows/bench-platform-XXXX")
(cd "$windows_scratch" && wine "$OLDPWD/out/windows/bench/platform/services_bench.exe" \
    "$rounds") | tr -d '\r' | tee "$results/windows.txt"
rm -rf "$windows_scratch"
echo "after: $(bench_load)"
echo
python3 bench/platform/side_by_side.py "$results/linux.txt" "$results/windows.txt"
rm -rf "$results"
