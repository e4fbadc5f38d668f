"""Frame pacing and reload latency of the real hosts: the Linux host natively
and the Windows host under Wine, on the display the caller provides.

    frame_bench.py [--hosts linux,windows] [frames] [reloads]

For each host, in a process of its own (the harness is set up for one host
kind per process): runs the host with a trivial module that logs the counter
at the top of every entry call, and reports the frame period's median and
its deviation from 1/30 s (median, 99th percentile, maximum). Then swaps
builds repeatedly and reports how long each swap took, from the moment the
new file was complete to the first frame that ran it, in milliseconds and in
frames. Prints each host's figures as it goes, then the hosts side by side.

The host's counter ticks at 10 MHz on a monotonic clock: CLOCK_MONOTONIC on
the Linux host, CLOCK_MONOTONIC_RAW under Wine. The file's completion is
stamped on the host's clock; a check at the start confirms which clock that
is by comparing a fresh record with both.

Environment: ENGINE_ROOT_BUILD (default out/ under the repository) holds the
linux/ and windows/ build trees; DISPLAY (and WINEPREFIX for Windows) as set
by bench/session.sh.
"""

import json
import os
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))

TARGET = 1.0 / 30.0
TICKS = 10_000_000
CLOCKS = {"CLOCK_MONOTONIC": time.CLOCK_MONOTONIC,
          "CLOCK_MONOTONIC_RAW": time.CLOCK_MONOTONIC_RAW}
EXPECTED_CLOCK = {"linux": "CLOCK_MONOTONIC", "windows": "CLOCK_MONOTONIC_RAW"}
RESULT = "frame_bench result: "


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[round(fraction * (len(ordered) - 1))]


class Bench:
    def __init__(self, kind):
        import harness  # set up for this process's host kind

        self.h = harness
        self.kind = kind
        self.clock = CLOCKS[EXPECTED_CLOCK[kind]]

    def now_ticks(self):
        return time.clock_gettime_ns(self.clock) // 100

    def check_clock(self):
        """Which clock the host's counter follows: the one on which a record
        just written is less than 100 ms old."""
        h = self.h
        run_dir = h.make_run_dir("bench-clock")
        h.install_module(run_dir, h.module_file("recorder_v1"))
        host = h.Host(run_dir)
        try:
            host.find_window()
            h.wait_for(lambda: len(h.read_records(run_dir)) > 5)
            last = int(h.read_records(run_dir)[-1]["t"])
            ages = {name: time.clock_gettime_ns(clock) // 100 - last
                    for name, clock in CLOCKS.items()}
        finally:
            host.stop()
        matching = [name for name, age in ages.items() if 0 <= age < TICKS // 10]
        expected = EXPECTED_CLOCK[self.kind]
        assert expected in matching, (
            "the %s host's counter is not %s in 100 ns ticks (a fresh record's age: %s)"
            % (self.kind, expected, ", ".join("%s %.1f ms" % (n, a / 1e4)
                                             for n, a in ages.items())))
        print("counter: %s in 100 ns ticks (a fresh record's age on it: %.1f ms)"
              % (expected, ages[expected] / 1e4))
        return expected

    def pacing(self, frames):
        h = self.h
        run_dir = h.make_run_dir("bench-pacing")
        h.install_module(run_dir, h.module_file("pacing_module"))
        host = h.Host(run_dir)
        log = lambda: h.read_records(run_dir, "pacing.log")  # noqa: E731
        try:
            host.find_window()
            h.wait_for(lambda: len(log()) >= frames + 61, timeout=frames / 10 + 60,
                       interval=1.0)
            records = log()[60:]  # skip start-up
        finally:
            host.stop()
        stamps = [int(r["t"]) for r in records][: frames + 1]
        periods = [(b - a) / TICKS for a, b in zip(stamps, stamps[1:])]
        deviations = [abs(p - TARGET) * 1000 for p in periods]
        wall = (stamps[-1] - stamps[0]) / TICKS
        figures = {
            "frames": len(periods),
            "period_median_ms": statistics.median(periods) * 1000,
            "deviation_median_ms": statistics.median(deviations),
            "deviation_p99_ms": percentile(deviations, 0.99),
            "deviation_max_ms": max(deviations),
            "frames_per_second": len(periods) / wall,
        }
        print("frame period over %(frames)d frames: median %(period_median_ms).3f ms; "
              "deviation from 1/30 s: median %(deviation_median_ms).3f ms, p99 "
              "%(deviation_p99_ms).3f ms, max %(deviation_max_ms).3f ms; "
              "%(frames_per_second).2f frames per second" % figures)
        return figures

    def reload_latency(self, reloads):
        h = self.h
        run_dir = h.make_run_dir("bench-reload")
        h.install_module(run_dir, h.module_file("recorder_v1"))
        host = h.Host(run_dir)
        latencies, frame_counts = [], []
        try:
            host.find_window()
            h.wait_for(lambda: len(h.read_records(run_dir)) >= 10)
            for i in range(reloads):
                version = "2" if i % 2 == 0 else "1"
                time.sleep(0.2 + 0.0137 * i)  # land at different points of the frame
                seen = len(h.read_records(run_dir))
                h.install_module(run_dir, h.module_file("recorder_v" + version))
                complete = self.now_ticks()
                first = h.wait_for(lambda: next((r for r in h.read_records(run_dir)[seen:]
                                                 if r["v"] == version), None),
                                   timeout=10, interval=0.02)
                assert first, "build %s never ran" % version
                records = h.read_records(run_dir)[seen:]
                before = [r for r in records if int(r["t"]) <= complete]
                latencies.append((int(first["t"]) - complete) / TICKS * 1000)
                frame_counts.append(int(first["f"]) - int(before[-1]["f"]) if before else 1)
        finally:
            host.stop()
        figures = {
            "reloads": reloads,
            "latency_median_ms": statistics.median(latencies),
            "latency_p90_ms": percentile(latencies, 0.9),
            "latency_max_ms": max(latencies),
            "frames_median": statistics.median(frame_counts),
            "frames_max": max(frame_counts),
        }
        print("reload latency over %(reloads)d reloads: median %(latency_median_ms).1f ms, "
              "p90 %(latency_p90_ms).1f ms, max %(latency_max_ms).1f ms; frames from "
              "completion to first run: median %(frames_median)g, max %(frames_max)d"
              % figures)
        return figures


def run_one(kind, frames, reloads):
    bench = Bench(kind)
    figures = {"host": kind, "clock": bench.check_clock()}
    figures.update(bench.pacing(frames))
    figures.update(bench.reload_latency(reloads))
    print(RESULT + json.dumps(figures), flush=True)


ROWS = [
    ("frames measured", "frames", "%d"),
    ("frame period, median (ms)", "period_median_ms", "%.3f"),
    ("deviation from 1/30 s, median (ms)", "deviation_median_ms", "%.3f"),
    ("deviation from 1/30 s, p99 (ms)", "deviation_p99_ms", "%.3f"),
    ("deviation from 1/30 s, max (ms)", "deviation_max_ms", "%.3f"),
    ("frames per second", "frames_per_second", "%.2f"),
    ("reloads", "reloads", "%d"),
    ("reload latency, median (ms)", "latency_median_ms", "%.1f"),
    ("reload latency, p90 (ms)", "latency_p90_ms", "%.1f"),
    ("reload latency, max (ms)", "latency_max_ms", "%.1f"),
    ("reload latency, median (frames)", "frames_median", "%g"),
    ("reload latency, max (frames)", "frames_max", "%d"),
]


def run_all(kinds, frames, reloads):
    builds = os.environ.get("ENGINE_ROOT_BUILD", os.path.join(ROOT, "out"))
    results = []
    for kind in kinds:
        print("== %s host" % kind, flush=True)
        env = dict(os.environ, ENGINE_HOST_KIND=kind,
                   ENGINE_BUILD_DIR=os.path.join(builds, kind))
        child = subprocess.run([sys.executable, __file__, "--host", kind, str(frames),
                                str(reloads)], env=env, stdout=subprocess.PIPE, text=True)
        found = None
        for line in child.stdout.splitlines():
            if line.startswith(RESULT):
                found = json.loads(line[len(RESULT):])
            else:
                print(line)
        if child.returncode != 0 or not found:
            print("(the %s host's run failed)" % kind)
        results.append(found or {})
    print()
    print("%-38s" % "" + "".join("%16s" % kind for kind in kinds))
    for name, key, form in ROWS:
        print("%-38s" % name + "".join(
            "%16s" % (form % r[key] if key in r else "-") for r in results))
    return 0 if all(results) else 1


def main(argv):
    kinds = ["linux", "windows"]
    one = None
    numbers = []
    while argv:
        if argv[0] == "--hosts":
            kinds = argv[1].split(",")
            argv = argv[2:]
        elif argv[0] == "--host":
            one = argv[1]
            argv = argv[2:]
        else:
            numbers.append(int(argv[0]))
            argv = argv[1:]
    frames = numbers[0] if numbers else 600
    reloads = numbers[1] if len(numbers) > 1 else 20
    if one:
        run_one(one, frames, reloads)
        return 0
    return run_all(kinds, frames, reloads)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
