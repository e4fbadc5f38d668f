#!/bin/bash
# Runs a program in the session that setup.sh wrote the environment of.
# Usage: run.sh ENV_FILE PROGRAM [ARGS...]; a .exe runs under Wine, anything
# else as it is, with the same environment.
# Before setup.sh has run (CTest lists the Windows test cases first) the
# prefix beside ENV_FILE serves without a display.
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
