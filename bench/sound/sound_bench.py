#!/usr/bin/env python3
"""Sound on the real host, figures rather than checks: the device's queue
as each frame's entry_sound finds it (the frames the host asks for are the
queue's target less what is still queued), over a quiet run and under the
input storm, the underruns, and the time from a key press reaching the
module to its samples leaving the host (Linux: SDL's disk driver writes
the stream the device would play into a file; the moment the file reaches
the key's samples is when they left).

    python3 bench/sound/sound_bench.py [--host windows|linux] [--seconds 60]
                                      [--storm-rate 10000] [--presses 20]

Windows runs under Wine, whose audio here is ALSA's file plugin with an
unpaced null sink: its queue drains at once, so its figures tell only
that the host keeps asking; Wine without a driver is the no-device path.
"""

import argparse
import os
import statistics
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
# The stress script's set-up for one host kind (its --host, read from this
# command line) and its display and Wine prefix.
import stress  # noqa: E402
from stress import harness, start_display  # noqa: E402
from harness import Host, install_module, make_run_dir, module_file, wait_for, xdotool  # noqa: E402

parser = argparse.ArgumentParser()
parser.add_argument("--host", choices=("linux", "windows"), default=stress.HOST)
parser.add_argument("--seconds", type=int, default=60)
parser.add_argument("--storm-rate", type=int, default=10000)
parser.add_argument("--presses", type=int, default=20)
ARGS = parser.parse_args()

STORM_SENDER = stress.STORM_SENDER
TICKS = 10_000_000  # the Linux host's counter ticks a second


def load():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def lines(run_dir):
    path = os.path.join(run_dir, "data", "sound_bench.log")
    with open(path) as log:
        return [dict(field.split("=", 1) for field in line.split())
                for line in log.read().splitlines() if line.count("=") == 4]


class FileWatch(threading.Thread):
    """The device file's size over time: (counter, bytes) at each change."""

    def __init__(self, path):
        super().__init__(daemon=True)
        self.path, self.samples, self.stop = path, [], False

    def run(self):
        last = -1
        while not self.stop:
            try:
                size = os.stat(self.path).st_size
            except FileNotFoundError:
                size = 0
            if size != last:
                self.samples.append((time.monotonic_ns() // 100, size))
                last = size
            time.sleep(0.0002)


def run(name, storm):
    run_dir = make_run_dir(name)
    install_module(run_dir, module_file("sound_module"))
    env, device_file = harness.sound_output(run_dir)
    watch = FileWatch(device_file)
    watch.start()
    host = Host(run_dir, env=env)
    try:
        host.find_window()
        xdotool("windowfocus", "--sync", host.window)
        wait_for(lambda: os.path.exists(os.path.join(run_dir, "data", "sound_bench.log")))
        started = time.monotonic()
        sender = None
        if storm:
            sender = subprocess.Popen([STORM_SENDER, host.window, str(ARGS.storm_rate),
                                       str(ARGS.seconds)], stdout=subprocess.DEVNULL)
        else:
            for i in range(ARGS.presses):
                time.sleep(ARGS.seconds / (ARGS.presses + 1))
                xdotool("key", "a")
        remaining = ARGS.seconds - (time.monotonic() - started)
        time.sleep(max(0.0, remaining))
        if sender:
            sender.wait(60)
    finally:
        host.stop()
        watch.stop = True
        watch.join()
    return lines(run_dir), watch.samples


def queue_figures(found, label):
    rate = int(found[0]["rate"])
    target = 2 * ((rate + 29) // 30 + ((rate + 29) // 30) % 2)
    asked = [int(line["frames"]) for line in found[1:]]
    at_call = [(target - frames) * 1000.0 / rate for frames in asked if frames]
    underruns = sum(1 for frames in asked if frames == target)
    # After the frame's samples went in, the queue is at its target again
    # whenever the host asked for any: at_call + frames.
    print("  %-15s %5d frames  queue when entry_sound is called: median %5.1f ms  min %5.1f"
          "  max %5.1f  (target %.1f ms);  underruns %d" %
          (label, len(asked), statistics.median(at_call), min(at_call), max(at_call),
           target * 1000.0 / rate, underruns))


def latencies(found, samples):
    """From each key's frame to the moment the device file held its first
    sample, in ms."""
    out = []
    for line in found:
        key, offset = int(line["key"]), int(line["made"])
        if not key:
            continue
        needed = (offset + 1) * 8
        reached = next((t for t, size in samples if size >= needed), None)
        if reached:
            out.append((reached - key) * 1000.0 / TICKS)
    return out


def main():
    env_file = start_display()
    try:
        print("sound on the %s host, %d s a run; load average before: %s" %
              (ARGS.host, ARGS.seconds, load()))
        quiet, samples = run("sound-bench-quiet", storm=False)
        queue_figures(quiet, "quiet")
        stormy, _ = run("sound-bench-storm", storm=True)
        queue_figures(stormy, "storm %d/s" % ARGS.storm_rate)
        if harness.LINUX:
            found = latencies(quiet, samples)
            if found:
                print("  key press in entry to its samples leaving the host: median %.1f ms"
                      "  min %.1f  max %.1f  (%d presses)" %
                      (statistics.median(found), min(found), max(found), len(found)))
        print("load average after: %s" % load())
    finally:
        subprocess.run([os.path.join(ROOT, "tests", "session", "cleanup.sh"), env_file])


main()
