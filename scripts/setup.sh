#!/bin/bash
# Installs what the build, the host and the tests need on Debian, when it is
# missing. Sourced by ./run and ./test.

# What the Linux host and its modules need to build and run (./run, ./run
# --watch), then what the Windows host needs on top (./run --windows; lld's
# lld-link links the tree's test modules built for the MSVC ABI with
# clang), then what the tests and benchmarks need (./test). Each list is the
# commands the scripts run themselves, as "command:package", and the
# packages they need besides (libraries, headers, sources): everything a
# fresh machine lacks is installed from them (tests/e2e/test_fresh_machine.py
# runs ./run with nothing else on the PATH), and a script names a command it
# needs that is still missing (engine_need_commands).
ENGINE_NATIVE_COMMANDS=(
    cmake:cmake ninja:ninja-build clang:clang python3:python3 pkg-config:pkg-config
    Xvfb:xvfb xdpyinfo:x11-utils xdotool:xdotool import:imagemagick ld.lld:lld
)
ENGINE_NATIVE_PACKAGES=(libsdl2-dev libx11-dev libxext-dev googletest libdw-dev)
ENGINE_WINDOWS_COMMANDS=(
    x86_64-w64-mingw32-g++-posix:g++-mingw-w64-x86-64-posix wine:wine wineboot:wine
    wineserver:wine lld-link:lld
)
ENGINE_WINDOWS_PACKAGES=(wine64)
ENGINE_TEST_COMMANDS=(gdb:gdb sox:sox)
ENGINE_TEST_PACKAGES=(libbenchmark-dev libclang-rt-14-dev)

# engine_packages [native | windows | all]: the commands ("command:package")
# and then the packages a script needs (all unless told), one a line.
engine_packages() {
    local lists=(NATIVE)
    case "${1:-all}" in
        native) ;;
        windows) lists+=(WINDOWS) ;;
        *) lists+=(WINDOWS TEST) ;;
    esac
    local list
    for list in "${lists[@]}"; do
        local -n commands=ENGINE_${list}_COMMANDS
        printf '%s\n' "${commands[@]}"
    done
    for list in "${lists[@]}"; do
        local -n packages=ENGINE_${list}_PACKAGES
        printf '%s\n' "${packages[@]}"
    done
}

# engine_install_packages [native | windows | all]   (all unless told)
engine_install_packages() {
    local wanted=() entry
    while IFS= read -r entry; do
        wanted+=("${entry#*:}")
    done < <(engine_packages "${1:-all}")
    # One look at dpkg's database for them all (a look a package cost ./run
    # a tenth of a second).
    local -A installed=()
    local status package
    while read -r status package; do
        [ "$status" = ii ] && installed[$package]=1
    done < <(dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' "${wanted[@]}" 2>/dev/null)
    local missing=()
    for package in "${wanted[@]}"; do
        [ -n "${installed[$package]:-}" ] || [[ " ${missing[*]} " == *" $package "* ]] ||
            missing+=("$package")
    done
    if [ ${#missing[@]} -gt 0 ]; then
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
    fi
}

# engine_need_commands COMMAND...: says which of the commands a script is
# about to run is missing, and which package brings it; false then.
engine_need_commands() {
    local command entry package status=0
    for command in "$@"; do
        command -v "$command" >/dev/null && continue
        package=
        while IFS= read -r entry; do
            [ "${entry%%:*}" = "$command" ] && package=${entry#*:}
        done < <(engine_packages all)
        if [ -n "$package" ]; then
            echo "The command $command is missing: Debian's package $package brings it" \
                 "(sudo apt-get install $package), but none is on the PATH ($PATH)" >&2
        else
            echo "The command $command is missing, and scripts/setup.sh installs no package" \
                 "that brings it" >&2
        fi
        status=1
    done
    return $status
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
