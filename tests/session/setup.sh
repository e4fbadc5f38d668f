#!/bin/bash
# Starts what the tests that need a display run on: a virtual X display and,
# for the Windows build (given a Wine prefix), the prefix inside the build
# tree and one Wine server kept alive for the whole run.
#
#   setup.sh ENV_FILE [WINEPREFIX]
#
# Writes the environment to ENV_FILE (sourced by run.sh); reuses a display
# that an earlier setup with the same file left running.
set -eu
env_file=$1
prefix=${2:-}

if [ -f "$env_file" ]; then
    . "$env_file"
    if [ -n "${ENGINE_XVFB_PID:-}" ] && kill -0 "$ENGINE_XVFB_PID" 2>/dev/null; then
        exit 0
    fi
fi

# Xvfb takes a free number itself and says which (-displayfd), so two
# sessions starting at once can't both pick the same one.
display_file=$(mktemp)
Xvfb -displayfd 3 -screen 0 1600x1200x24 -nolisten tcp 3>"$display_file" >/dev/null 2>&1 &
xvfb_pid=$!
display=
for _ in $(seq 200); do
    display=$(tr -dc 0-9 <"$display_file")
    [ -n "$display" ] && [ -e "/tmp/.X11-unix/X$display" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || break
    sleep 0.05
done
rm -f "$display_file"
if [ -z "$display" ] || [ ! -e "/tmp/.X11-unix/X$display" ]; then
    kill "$xvfb_pid" 2>/dev/null || true
    echo "the virtual display did not start" >&2
    exit 1
fi

{
    echo "export DISPLAY=:$display"
    echo "export ENGINE_XVFB_PID=$xvfb_pid"
    if [ -n "$prefix" ]; then
        echo "export WINEPREFIX=$prefix"
        echo "export WINEDLLOVERRIDES=\"mscoree,mshtml=\""
        echo "export WINEDEBUG=-all"
    fi
} >"$env_file"
. "$env_file"

if [ -z "$prefix" ]; then
    echo "X display :$display"
    exit 0
fi

# A Wine server left from an earlier session keeps that session's display for
# its desktop; new windows would then find no driver. Start afresh.
wineserver -k >/dev/null 2>&1 || true
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot -i >/dev/null 2>&1 || true
fi
# No crash debugger: a process that stops on purpose (death tests, fatal
# invariants) should end at once, not wait on winedbg. Wine falls back to
# winedbg when the value is missing, so name a debugger that exits at once.
if ! grep -q '"Debugger"="cmd /c exit"' "$WINEPREFIX/system.reg" 2>/dev/null; then
    wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
        /v Debugger /d 'cmd /c exit' /f >/dev/null 2>&1 || true
fi
wineserver -p >/dev/null 2>&1 </dev/null &
# Start the prefix's services now, with their output on /dev/null: started by
# the first test instead, they would inherit its pipes and keep CTest waiting
# for as long as the server lives.
wine cmd /c exit >/dev/null 2>&1 </dev/null || true
echo "X display :$display, Wine prefix $WINEPREFIX"
