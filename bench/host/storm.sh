#!/bin/bash
# The input storm against both hosts, one after the other (scripts/stress.py
# --only storm, each on a display of its own): X events at a fixed rate for a
# fixed time, then the frames per second the module saw while it lasted and
# the key transitions it recorded against those sent. Prints both runs, then
# their result lines together, with the machine's load.
#
#   bench/host/storm.sh [events_per_second] [seconds] [hosts]
#                       (defaults 10000, 60, "linux windows")
set -euo pipefail
cd "$(dirname "$0")/../.."
. bench/session.sh
rate=${1:-10000}
seconds=${2:-60}
hosts=${3:-linux windows}

bench_build linux engine input_recorder input_storm
case " $hosts " in
    *" windows "*) bench_build windows engine input_recorder ;;
esac
engine_install_packages

results=$(mktemp)
echo "before: $(bench_load)"
for host in $hosts; do
    python3 scripts/stress.py --host "$host" --only storm --storm-rate "$rate" \
        --storm-seconds "$seconds" | tee -a "$results" || true
    echo
done
echo "after: $(bench_load)"
echo
grep "storm result" "$results" | sed 's/^ *storm result: //'
rm -f "$results"
