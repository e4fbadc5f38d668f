#!/bin/bash
# Stops the Wine server (if the session has one) and the virtual display
# that setup.sh started.
env_file=$1
[ -f "$env_file" ] || exit 0
. "$env_file"
if [ -n "${WINEPREFIX:-}" ]; then
    wineserver -k >/dev/null 2>&1 || true
fi
if [ -n "${ENGINE_XVFB_PID:-}" ]; then
    kill "$ENGINE_XVFB_PID" 2>/dev/null || true
fi
rm -f "$env_file"
