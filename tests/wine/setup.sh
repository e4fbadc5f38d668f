#!/bin/bash
# Starts what the Windows tests run on: a virtual X display, a Wine prefix
# inside the build tree and one Wine server kept alive for the whole run.
# Writes the environment to $1 (sourced by run.sh); reuses a live display.
set -eu
env_file=$1
prefix=$2

if [ -f "$env_file" ]; then
    . "$env_file"
    if [ -n "${ENGINE_XVFB_PID:-}" ] && kill -0 "$ENGINE_XVFB_PID" 2>/dev/null; then
        exit 0
    fi
fi

display=
for n in $(seq 90 140); do
    if [ ! -e /tmp/.X$n-lock ] && [ ! -e /tmp/.X11-unix/X$n ]; then
        display=$n
        break
    fi
done
[ -n "$display" ] || { echo "no free X display number" >&2; exit 1; }

Xvfb :$display -screen 0 1600x1200x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do
    [ -e /tmp/.X11-unix/X$display ] && break
    sleep 0.05
done

cat > "$env_file" <<ENV
export DISPLAY=:$display
export ENGINE_XVFB_PID=$xvfb_pid
export WINEPREFIX=$prefix
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEDEBUG=-all
ENV
. "$env_file"

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
