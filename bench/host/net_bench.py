"""What the safety net costs the real hosts, side by side: the Linux host
natively and the Windows host under Wine, on the display the caller
provides (bench/session.sh).

    net_bench.py [--hosts linux,windows] [frames]

For each host and each of 16, 64 and 128 MiB written a frame (the pacing
module with PACING_WRITE_MIB), with the default settings (undo and a 10 s
history) and with --no-undo: frames per second, the frame period's median
and 95th percentile over `frames` frames after start-up, the host's peak
resident memory (VmHWM; under Wine the process Wine runs it in), and the
protection the host said it thinned to, if any. Prints each run as it goes,
then a table.

Environment: ENGINE_ROOT_BUILD (default out/ under the repository) holds the
linux/ and windows/ build trees.
"""

import json
import os
import re
import statistics
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))

TICKS = 10_000_000
RESULT = "net_bench result: "
SIZES = [16, 64, 128]
MODES = [("default", []), ("--no-undo", ["--no-undo"])]


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[round(fraction * (len(ordered) - 1))] if ordered else 0.0


def peak_kib(pid):
    try:
        with open("/proc/%d/status" % pid) as status:
            return int(re.search(r"VmHWM:\s+(\d+) kB", status.read()).group(1))
    except (OSError, AttributeError):
        return 0


def start_host(harness, name, module, env, arguments):
    """A host running module, its window found (its title may say a thinning
    already). Started again once when the window does not show: on a display
    without a window manager the Linux host's window now and then never
    appears when it starts right after another host closed (the host from
    before this benchmark's changes does it too)."""
    for attempt in (1, 2):
        run_dir = harness.make_run_dir(name)
        harness.install_module(run_dir, harness.module_file(module))
        host = harness.Host(run_dir, env=env, command=harness.SYSTEM.command + arguments)
        try:
            host.find_window(title="^Engine", timeout=15)
            return run_dir, host
        except AssertionError:
            host.stop()
            if attempt == 2:
                raise
            print("(the window did not appear: started again)", flush=True)


def start(harness, mib, arguments):
    """A host writing mib MiB a frame."""
    return start_host(harness, "bench-net", "pacing_module", {"PACING_WRITE_MIB": str(mib)},
                      arguments)


def run_one(kind, frames):
    import harness

    rows = []
    for mib in SIZES:
        for mode, arguments in MODES:
            run_dir, host = start(harness, mib, arguments)
            log = lambda: harness.read_records(run_dir, "pacing.log")  # noqa: E731
            try:
                harness.wait_for(lambda: len(log()) >= frames + 91, timeout=frames / 5 + 90,
                                 interval=1.0)
                peak = peak_kib(host.process.pid)
                records = log()[90:]  # start-up, the history's first lap
            finally:
                # Closed as a user would: hosts killed one after another left
                # the display unable to show the fifth one's window.
                if host.window:
                    host.close()
                    host.wait(timeout=20)
                host.stop()
            stamps = [int(r["t"]) for r in records][: frames + 1]
            periods = [(b - a) / TICKS * 1000 for a, b in zip(stamps, stamps[1:])]
            said = re.findall(r"Engine: (the last frame wrote \d+ MiB: [^\n]*)", host.stderr())
            row = {"mib": mib, "mode": mode, "frames": len(periods),
                   "fps": len(periods) / ((stamps[-1] - stamps[0]) / TICKS),
                   "median_ms": statistics.median(periods),
                   "p95_ms": percentile(periods, 0.95), "peak_mib": peak / 1024,
                   "said": said[-1] if said else ""}
            print("%(mib)4d MiB %(mode)-10s %(fps)6.2f fps, period median %(median_ms)6.2f ms, "
                  "p95 %(p95_ms)6.2f ms, peak %(peak_mib)6.0f MiB %(said)s" % row, flush=True)
            rows.append(row)
    print(RESULT + json.dumps(rows), flush=True)


def run_hosts(kinds, script, arguments, result):
    """Runs `script --host KIND arguments` for each host kind in a process of
    its own (the harness takes the host's kind and build from its
    environment), printing what it prints; returns, by kind, what it gave
    on its line that starts with `result`."""
    builds = os.environ.get("ENGINE_ROOT_BUILD", os.path.join(ROOT, "out"))
    results = {}
    for kind in kinds:
        print("== %s host" % kind, flush=True)
        env = dict(os.environ, ENGINE_HOST_KIND=kind,
                   ENGINE_BUILD_DIR=os.path.join(builds, kind))
        child = subprocess.run([sys.executable, script, "--host", kind] + arguments,
                               env=env, stdout=subprocess.PIPE, text=True)
        for line in child.stdout.splitlines():
            if line.startswith(result):
                results[kind] = json.loads(line[len(result):])
            else:
                print(line)
    return results


def run_all(kinds, frames):
    results = run_hosts(kinds, __file__, [str(frames)], RESULT)
    print()
    print("%-20s" % "" + "".join("%28s" % kind for kind in kinds))
    print("%-20s" % "MiB a frame, mode" +
          "".join("%28s" % "fps  p95 ms  peak MiB" for _ in kinds))
    for mib in SIZES:
        for mode, _ in MODES:
            cells = []
            for kind in kinds:
                row = next((r for r in results.get(kind, [])
                            if r["mib"] == mib and r["mode"] == mode), None)
                cells.append("%28s" % ("%5.1f %7.1f %9.0f" % (row["fps"], row["p95_ms"],
                                                               row["peak_mib"])
                                       if row else "-"))
            print("%-20s" % ("%d %s" % (mib, mode)) + "".join(cells))
    return 0 if len(results) == len(kinds) else 1


def main(argv):
    kinds = ["linux", "windows"]
    one = None
    frames = 300
    while argv:
        if argv[0] == "--hosts":
            kinds = argv[1].split(",")
            argv = argv[2:]
        elif argv[0] == "--host":
            one = argv[1]
            argv = argv[2:]
        else:
            frames = int(argv[0])
            argv = argv[1:]
    if one:
        run_one(one, frames)
        return 0
    return run_all(kinds, frames)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
