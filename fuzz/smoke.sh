#!/bin/bash
# A short fuzz run for the test suite that gives the same result every time:
#   fuzz/smoke.sh TARGET SEEDS WORK SEED RUNS
# It starts from the checked-in seeds in SEEDS alone, with a fixed seed and
# number of runs. Random campaigns belong to fuzz/run-long.sh.
#
# A fixed seed is not enough on its own. libFuzzer mutates with values it saw
# compared, addresses among them, and measures stack depth, so the run also
# needs the same addresses each time: address randomisation off, the same
# environment and arguments (relative paths from WORK), and the seeds handed
# over in name order (a directory lists in an order of the file system's
# own, and the shuffle at start-up depends on it).
#
# libFuzzer writes what it finds into its first corpus directory: that is
# WORK/corpus, emptied first, so that one run's finds never change the next.
# A crash is written to WORK/ and stays there.
set -u
if [ $# -ne 5 ]; then
    echo "usage: $0 TARGET SEEDS WORK SEED RUNS" >&2
    exit 2
fi
target=$(realpath "$1") || exit 1
seeds=$(realpath "$2") || exit 1
work=$3
seed=$4
runs=$5

mkdir -p "$work" && cd "$work" || exit 1
rm -rf corpus
mkdir corpus || exit 1
# The target runs from WORK as "./target" and reads "seeds/...", so the
# arguments and the names read are the same wherever the tree lies.
ln -sfn "$target" target
ln -sfn "$seeds" seeds
(cd seeds && find . -maxdepth 1 -type f) | sed 's|^\./|seeds/|' | LC_ALL=C sort |
    paste -sd, - >seeds.txt
if [ ! -s seeds.txt ]; then
    echo "no seeds in $seeds" >&2
    exit 1
fi

# Only what the sanitizers and their symbolizer read passes through.
environment=("PATH=$PATH")
for name in ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS LLVM_SYMBOLIZER_PATH; do
    [ -n "${!name:-}" ] && environment+=("$name=${!name}")
done
fixed=(setarch "$(uname -m)" -R)
if ! "${fixed[@]}" true 2>/dev/null; then
    echo "note: address randomisation cannot be turned off here; this run may differ from the next"
    fixed=()
fi

"${fixed[@]}" env -i "${environment[@]}" ./target -seed="$seed" -runs="$runs" \
    -seed_inputs=@seeds.txt -reload=0 -timeout=10 -print_final_stats=1 \
    -artifact_prefix=./ corpus
status=$?
if [ $status -ne 0 ]; then
    echo "smoke run failed (exit $status); the input is in $(pwd)/ (crash-*, oom-*, timeout-*)."
    echo "Reproduce with: $target <that file>; once fixed, copy it into $seeds as a regression seed."
fi
exit $status
