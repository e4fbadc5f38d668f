# Shared by the benchmark scripts (sourced, from the repository's root):
# building the trees they measure, one virtual display and Wine prefix for
# both hosts, and the machine's load to print beside the figures.
#
#   . bench/session.sh
#   bench_build linux host_frame_bench engine     # configures once, then -j2
#   bench_session                                 # DISPLAY, WINEPREFIX; stopped at exit
#   bench_load                                    # "load average 1.02 0.80 0.75 (2 cores)"
#
# The Wine prefix is the benchmarks' own (out/windows/wineprefix-bench): the
# session's end stops its Wine server, which must not end a test run's.

. scripts/setup.sh

BENCH_JOBS=${BENCH_JOBS:-2}

# Configures (once) and builds the given targets of one preset's tree.
bench_build() {
    local preset=$1
    shift
    if [ ! -f "out/$preset/build.ninja" ]; then
        cmake --preset "$preset" >/dev/null || return 1
    fi
    local targets=()
    for target in "$@"; do
        targets+=(--target "$target")
    done
    # Quietly; a failure is tried once more with its output shown (the shared
    # tree may have been caught in the middle of someone's save).
    cmake --build "out/$preset" -j"$BENCH_JOBS" "${targets[@]}" >/dev/null 2>&1 && return 0
    cmake --build "out/$preset" -j"$BENCH_JOBS" "${targets[@]}" 2>&1 | tail -30
    return "${PIPESTATUS[0]}"
}

# Starts the display and the prefix (once per script) and sources their
# environment; they stop when the calling script exits.
bench_session() {
    engine_install_packages || return 1
    BENCH_ENV=$PWD/out/windows/bench-session.sh
    mkdir -p out/windows
    tests/session/setup.sh "$BENCH_ENV" "$PWD/out/windows/wineprefix-bench" >/dev/null ||
        return 1
    trap "tests/session/cleanup.sh '$BENCH_ENV'" EXIT
    . "$BENCH_ENV"
}

bench_load() {
    local load
    read -r -a load </proc/loadavg
    echo "load average ${load[0]} ${load[1]} ${load[2]} ($(nproc) cores)"
}
