#!/bin/bash
# Installs what the build, the host and the tests need on Debian, when it is
# missing. Sourced by ./run and ./test.

# What the Linux host and its modules need to build and run (./run).
ENGINE_NATIVE_PACKAGES=(
    cmake ninja-build clang python3 xvfb x11-utils imagemagick libsdl2-dev libx11-dev
    libxext-dev pkg-config googletest libdw-dev lld
)
# What the Windows host needs on top (./run --windows; lld's lld-link links
# the tree's test modules built for the MSVC ABI with clang), and what the
# tests and benchmarks need (./test).
ENGINE_WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix wine wine64 lld)
ENGINE_TEST_PACKAGES=(xdotool libbenchmark-dev libclang-rt-14-dev gdb sox)

# engine_install_packages [native | windows | all]   (all unless told)
engine_install_packages() {
    local wanted=("${ENGINE_NATIVE_PACKAGES[@]}")
    case "${1:-all}" in
        native) ;;
        windows) wanted+=("${ENGINE_WINDOWS_PACKAGES[@]}") ;;
        *) wanted+=("${ENGINE_WINDOWS_PACKAGES[@]}" "${ENGINE_TEST_PACKAGES[@]}") ;;
    esac
    local missing=()
    for package in "${wanted[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    if ! { $sudo apt-get update -q && DEBIAN_FRONTEND=noninteractive \
            $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"; } >/tmp/engine-apt.log 2>&1; then
        tail -20 /tmp/engine-apt.log
        echo "Could not install the packages above. Install them with:" >&2
        echo "  sudo apt-get update && sudo apt-get install ${missing[*]}" >&2
        return 1
    fi
}

# Configures (once) and builds one preset's tree.
engine_build() {
    local preset=$1
    shift
    if [ ! -f "out/$preset/build.ninja" ]; then
        cmake --preset "$preset" >/dev/null || return 1
    fi
    cmake --build "out/$preset" -j"$(nproc)" "$@"
}

# Puts a built module where a host loads it: written beside, then renamed,
# so a running host never sees half of it.
engine_stage_module() {
    local built=$1 target=$2
    mkdir -p "$(dirname "$target")" &&
        cp "$built" "$target.partial" && mv -f "$target.partial" "$target"
}

# For the Wine benchmarks: builds the Windows tree and starts the tests'
# virtual display and Wine server, stopped again when the caller exits.
# Sets ENGINE_BUILD and sources the environment (DISPLAY, WINEPREFIX).
engine_wine_session() {
    engine_install_packages || return 1
    engine_build windows >/dev/null || return 1
    ENGINE_BUILD=$PWD/out/windows
    local env_file=$ENGINE_BUILD/bench-env.sh
    tests/session/setup.sh "$env_file" "$ENGINE_BUILD/wineprefix" >/dev/null || return 1
    trap "tests/session/cleanup.sh '$env_file'" EXIT
    . "$env_file"
}
