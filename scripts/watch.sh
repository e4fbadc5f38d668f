#!/bin/bash
# Rebuilds a module whenever one of its sources changes, so a running host
# picks up every saved edit within a second or two.
#
#   scripts/watch.sh [--while PID] BUILD_DIR TARGET DIR...
#
# Polls the files under DIR... twice a second; a change runs
# `cmake --build BUILD_DIR --target TARGET`. With --while, stops when the
# process PID ends (the host, when ./run --watch started it).
set -uo pipefail
owner=
if [ "${1:-}" = "--while" ]; then
    owner=$2
    shift 2
fi
build_dir=$1
target=$2
shift 2
stamp=$(mktemp)
trap 'rm -f "$stamp"' EXIT
echo "watching $* (rebuilds $target)"
while [ -z "$owner" ] || kill -0 "$owner" 2>/dev/null; do
    changed=$(find "$@" -type f -newer "$stamp" -print -quit 2>/dev/null)
    if [ -n "$changed" ]; then
        touch "$stamp"
        echo "changed: $changed; rebuilding $target"
        if cmake --build "$build_dir" --target "$target" 2>&1 | tail -20 | grep -E "error|warning|FAILED"; then
            echo "build failed; the host keeps running the previous build"
        else
            echo "rebuilt $target"
        fi
    fi
    sleep 0.5
done
