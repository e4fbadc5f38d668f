#!/bin/bash
# What converting a changed layout costs a reload, on both hosts side by
# side: layout_bench natively for the Linux host, then under Wine for the
# Windows host. The machine's load is printed before and after.
#
#   bench/carry/layout.sh [rounds]        (default 9)
set -euo pipefail
cd "$(dirname "$0")/../.."
. bench/session.sh
rounds=${1:-9}

bench_build linux layout_bench layout_module_v1 layout_module_v2 layout_module_v3
bench_build windows layout_bench layout_module_v1 layout_module_v2 layout_module_v3
bench_session
echo "before: $(bench_load)"
run() {
    local preset=$1 suffix=$2
    shift 2
    local scratch
    scratch=$(mktemp -d "$PWD/out/$preset/bench-layout-XXXX")
    mkdir -p "$scratch/build" "$scratch/data"
    local modules=()
    for version in 1 2 3; do
        modules+=("$(pwd)/out/$preset/modules/layout_module_v$version.$suffix")
    done
    (cd "$scratch/data" && "$@" "${modules[@]}" "$rounds" 2>"$scratch/stderr") | tr -d '\r' ||
        { cat "$scratch/stderr"; rm -rf "$scratch"; return 1; }
    rm -rf "$scratch"
}
echo "== Linux host"
run linux so "$PWD/out/linux/bench/carry/layout_bench"
echo
echo "== Windows host (Wine)"
run windows dll wine "$PWD/out/windows/bench/carry/layout_bench.exe"
echo "after: $(bench_load)"
