#!/bin/bash
# Runs the number and formatter fuzz targets for longer than the smoke runs
# of ./test and prints how many inputs each executed.
# Usage: fuzz/format/run-long.sh [SECONDS_PER_TARGET [TARGET...]]
# (default 600 seconds, both targets). New inputs go to a scratch directory;
# copy the few worth keeping into the checked-in corpus by hand.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-600}
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(number_fuzz format_fuzz)

[ -f out/native/build.ninja ] || cmake --preset native >/dev/null
cmake --build out/native -j2 --target "${targets[@]}" >/dev/null

declare -A corpus=([number_fuzz]=number_corpus [format_fuzz]=corpus)
status=0
for target in "${targets[@]}"; do
    scratch=$(mktemp -d)
    log=out/native/fuzz/format/$target-long.log
    if ! out/native/fuzz/format/$target -max_total_time="$seconds" -timeout=10 \
            -print_final_stats=1 "$scratch" "fuzz/format/${corpus[$target]}" >"$log" 2>&1; then
        echo "$target: FAILED, see $log"
        status=1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "$target: ${runs:-?} executions in $seconds s, $(ls "$scratch" | wc -l) new inputs in $scratch"
done
exit $status
