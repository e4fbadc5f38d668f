#!/bin/bash
# Rebuilds a module whenever one of its sources is saved, so a running host
# picks up every edit as soon as the build is done.
#
#   scripts/watch.sh [--while PID] [--settle MS] BUILD_DIR TARGET DIR...
#
# Reacts to the file system's change notifications under DIR... and runs
# `cmake --build BUILD_DIR --target TARGET` once per save, judging the build
# by its exit status. With --while, stops when the process PID ends (the
# host, when ./run --watch started it). The work is done by watch.py, which
# tells more.
exec python3 "$(dirname "$0")/watch.py" "$@"
