#!/bin/bash
# Sound figures on both hosts: the host's own work per frame for
# entry_sound's samples (sound_bench, in process; the Windows host under
# Wine without a device and with Wine's ALSA driver into ALSA's file
# plugin), then the real Linux host's queue over a quiet run and under the
# input storm, and key press to tone (sound_bench.py). Prints the machine's
# load before and after.
#
#   bench/sound/sound.sh [seconds] [storm_rate]     (defaults 60 and 10000)
set -euo pipefail
cd "$(dirname "$0")/../.."
. bench/session.sh
seconds=${1:-60}
rate=${2:-10000}

bench_build linux engine sound_bench sound_module input_storm
bench_build windows engine sound_bench sound_module
bench_session
echo "before: $(bench_load)"
scratch=$(mktemp -d "$PWD/out/linux/bench-sound-XXXX")
trap "rm -rf '$scratch'; tests/session/cleanup.sh '$BENCH_ENV'" EXIT

echo "== Linux host (SDL's disk driver)"
SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE=/dev/null out/linux/bench/sound/sound_bench 3000 \
    "$scratch/linux.wav" $((seconds * 30)) 2>/dev/null
echo "== Windows host under Wine, no sound device"
wine out/windows/bench/sound/sound_bench.exe 3000 "$scratch/windows.wav" 300 2>/dev/null |
    tr -d '\r'
echo "== Windows host under Wine, WASAPI through Wine's ALSA driver into a file (unpaced)"
printf 'pcm.!default { type file slave.pcm "null" file "%s" format "raw" }\n' \
    "$scratch/alsa.raw" >"$scratch/asoundrc"
ALSA_CONFIG_PATH=/usr/share/alsa/alsa.conf:$scratch/asoundrc \
    wine out/windows/bench/sound/sound_bench.exe 3000 "$scratch/windows.wav" 300 2>/dev/null |
    tr -d '\r'
echo
python3 bench/sound/sound_bench.py --host linux --seconds "$seconds" --storm-rate "$rate"
echo "after: $(bench_load)"
