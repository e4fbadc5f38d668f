#!/bin/bash
# Runs every fuzz target of the native build for longer than the smoke test:
#   fuzz/run-long.sh [runs] [target-name...]
# Each target starts from its checked-in corpus (fuzz/<subsystem>/corpus/<name>
# or fuzz/<subsystem>/corpus) and grows a scratch copy in out/fuzz-long/, so the
# checked-in corpus stays small. Unlike the smoke test, every campaign draws a
# new random seed (the summary shows it). Crashes land in out/fuzz-long/<name>/
# and the script exits non-zero; once fixed, copy the input into the target's
# corpus as a regression seed, so that the smoke test keeps it fixed.
# Build first: cmake --preset native && cmake --build out/native
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-10000000}
shift $(( $# > 0 ? 1 : 0 ))
wanted=" $* "
status=0
for target in "$root"/out/native/fuzz/*/*_fuzz; do
    [ -x "$target" ] || continue
    name=$(basename "$target")
    subsystem=$(basename "$(dirname "$target")")
    if [ -n "${*:-}" ] && [[ "$wanted" != *" $name "* ]]; then continue; fi
    seeds="$root/fuzz/$subsystem/corpus/$name"
    [ -d "$seeds" ] || seeds="$root/fuzz/$subsystem/corpus"
    work="$root/out/fuzz-long/$name"
    mkdir -p "$work/corpus"
    log="$work/log.txt"
    echo "== $name: $runs runs from $seeds"
    "$target" -runs="$runs" -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$work/" "$work/corpus" "$seeds" >"$log" 2>&1
    result=$?
    grep -E "^INFO: Seed:" "$log" | head -1
    grep -E "^Done|stat::number_of_executed_units|stat::peak_rss_mb|NEW_FUNC|ERROR" "$log" | tail -4
    if [ $result -ne 0 ]; then
        echo "!! $name failed (exit $result); see $log"
        status=1
    fi
done
exit $status
