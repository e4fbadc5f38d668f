"""Frame pacing and reload latency of the real host under Wine.

Runs the host with a trivial module that logs the counter at the top of
every entry call, and prints the frame period's median
and 99th-percentile deviation from 1/30 s. Then swaps builds repeatedly and
prints how long each took, from the moment the new file was complete to the
first frame that ran it. Wine's performance counter ticks at 10 MHz on the
raw monotonic clock, so the two clocks are compared directly (checked below).
"""

import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tests", "e2e"))
from harness import Host, install_module, make_run_dir, module_file, read_records, wait_for

TARGET = 1.0 / 30.0
TICKS = 10_000_000


def now_ticks():
    return time.clock_gettime_ns(time.CLOCK_MONOTONIC_RAW) // 100


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[round(fraction * (len(ordered) - 1))]


def pacing(frames):
    run_dir = make_run_dir("bench-pacing")
    install_module(run_dir, module_file("pacing_module"))
    host = Host(run_dir)
    log = lambda: read_records(run_dir, "pacing.log")
    try:
        host.find_window()
        wait_for(lambda: len(log()) >= frames + 60, timeout=frames / 10 + 60, interval=1.0)
        records = log()[60:]  # skip start-up
    finally:
        host.stop()
    stamps = [int(r["t"]) for r in records]
    periods = [(b - a) / TICKS for a, b in zip(stamps, stamps[1:])]
    deviations = [abs(p - TARGET) * 1000 for p in periods]
    wall = (stamps[-1] - stamps[0]) / TICKS
    print("frame period over %d frames: median %.3f ms, deviation from 1/30 s: "
          "median %.3f ms, p99 %.3f ms, max %.3f ms; %.2f frames per second"
          % (len(periods), statistics.median(periods) * 1000, statistics.median(deviations),
             percentile(deviations, 0.99), max(deviations), len(periods) / wall))


def reload_latency(reloads):
    run_dir = make_run_dir("bench-reload")
    install_module(run_dir, module_file("recorder_v1"))
    host = Host(run_dir)
    latencies, frame_counts = [], []
    try:
        host.find_window()
        wait_for(lambda: len(read_records(run_dir)) >= 10)
        for i in range(reloads):
            version = "2" if i % 2 == 0 else "1"
            time.sleep(0.2 + 0.0137 * i)  # land at different points of the frame
            seen = len(read_records(run_dir))
            install_module(run_dir, module_file("recorder_v" + version))
            complete = now_ticks()
            first = wait_for(lambda: next((r for r in read_records(run_dir)[seen:]
                                           if r["v"] == version), None), timeout=10)
            assert first, "build %s never ran" % version
            before = [r for r in read_records(run_dir)[seen:] if int(r["t"]) <= complete]
            latencies.append((int(first["t"]) - complete) / TICKS * 1000)
            frame_counts.append(int(first["f"]) - int(before[-1]["f"]) if before else 1)
    finally:
        host.stop()
    print("reload latency over %d reloads: median %.1f ms, p90 %.1f ms, max %.1f ms; "
          "frames from completion to first run: median %d, max %d"
          % (reloads, statistics.median(latencies), percentile(latencies, 0.9),
             max(latencies), statistics.median(frame_counts), max(frame_counts)))


def check_clock():
    run_dir = make_run_dir("bench-clock")
    install_module(run_dir, module_file("recorder_v1"))
    host = Host(run_dir)
    try:
        host.find_window()
        wait_for(lambda: read_records(run_dir))
        now = now_ticks()
        last = int(read_records(run_dir)[-1]["t"])
    finally:
        host.stop()
    assert 0 <= now - last < TICKS // 10, "the counter is not the monotonic clock in 100 ns ticks"


if __name__ == "__main__":
    frames = int(sys.argv[1]) if len(sys.argv) > 1 else 600
    check_clock()
    pacing(frames)
    reload_latency(20)
