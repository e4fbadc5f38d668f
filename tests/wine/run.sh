#!/bin/bash
# Runs a Windows program under the test environment that setup.sh wrote.
# Usage: run.sh ENV_FILE PROGRAM [ARGS...]; PROGRAM may be a .exe (run with
# wine) or any other command, which then sees the same environment.
env_file=$1
shift
. "$env_file"
case "$1" in
    *.exe) exec wine "$@" ;;
    *) exec "$@" ;;
esac
