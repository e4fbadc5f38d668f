#!/bin/bash
# Runs a Windows program under the test environment that setup.sh wrote.
# Usage: run.sh ENV_FILE PROGRAM [ARGS...]; PROGRAM may be a .exe (run with
# wine) or any other command, which then sees the same environment.
# Before setup.sh has run (CTest lists the test cases first) the prefix
# beside ENV_FILE serves without a display.
env_file=$1
shift
if [ -f "$env_file" ]; then
    . "$env_file"
else
    export WINEPREFIX=$(dirname "$env_file")/wineprefix
    export WINEDLLOVERRIDES="mscoree,mshtml="
    export WINEDEBUG=-all
fi
case "$1" in
    *.exe) exec wine "$@" ;;
    *) exec "$@" ;;
esac
