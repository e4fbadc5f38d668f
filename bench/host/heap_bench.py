"""The frame period around a whole-state reload and around a full collection
of a big heap, on the real hosts side by side: the Linux host natively and
the Windows host under Wine, on the display the caller provides
(bench/session.sh; net.sh runs it).

    heap_bench.py [--hosts linux,windows] [--reloads N] [--parts reload,collect]

reload: the heap module (heap_module.c) with 64 MiB of heap in 100,000
objects, reloaded N times, 2 s apart, between builds that keep every
object's function pointer (its first and third builds, in turns) and
between builds that move them all (its first and second), with the default
settings and with --no-undo: for each reload the period that ends at the new
build's first frame (the reload runs in it) and the one after, median and
worst over the reloads, and the 95th percentile of the other frames'
periods.

collect: 100 MiB of heap in objects of 48 bytes, every one visited and
rewritten every 60th frame (as an interpreter's full collection marks and
sweeps), default against --no-undo: the worst period that holds a
collection or ends right after one, and the 95th percentile of the others.

With ENGINE_PHASE_TIMES=1 in the environment the hosts time each reload's
phases (platform/clock.h) and the medians and worsts per phase are printed
after each row.

Environment: ENGINE_ROOT_BUILD (default out/ under the repository) holds the
linux/ and windows/ build trees.
"""

import json
import statistics
import sys
import time

from net_bench import MODES, TICKS, percentile, run_hosts, start_host

PERIOD_MS = 1000.0 / 30
RESULT = "heap_bench result: "
# Which builds a reload goes between: pointers kept, or all moved.
PAIRS = [("kept", 3), ("moved", 2)]


def start(harness, env, arguments):
    """A host running the heap module's first build."""
    return start_host(harness, "bench-heap", "heap_module_1", env, arguments)


def close(host):
    if host.window:
        host.close()
        host.wait(timeout=30)
    host.stop()


def log(harness, run_dir):
    return [(int(r["t"]), int(r["b"]), int(r["c"]))
            for r in harness.read_records(run_dir, "heap.log")]


def periods_of(records):
    return [((b[0] - a[0]) / TICKS * 1000, a, b) for a, b in zip(records, records[1:])]


def phase_lines(said):
    """The hosts' "Engine times: reload 12.30 ms: copy 0.10, load 2.00" lines,
    as (total, {phase: ms})."""
    lines = []
    for line in said.splitlines():
        if not line.startswith("Engine times: reload "):
            continue
        head, _, rest = line[len("Engine times: reload "):].partition(" ms:")
        phases = {}
        for part in rest.split(","):
            name, _, ms = part.strip().rpartition(" ")
            if name:
                phases[name] = phases.get(name, 0.0) + float(ms)
        lines.append((float(head), phases))
    return lines


def print_phases(lines):
    if not lines:
        return
    names = []
    for _, phases in lines:
        names += [name for name in phases if name not in names]
    totals = [total for total, _ in lines]
    print("    phases over %d reloads, median/worst ms: total %.1f/%.1f" % (
        len(lines), statistics.median(totals), max(totals)))
    for name in names:
        values = [phases.get(name, 0.0) for _, phases in lines]
        print("      %-16s %6.2f %6.2f" % (name, statistics.median(values), max(values)))


def measure_reloads(harness, reloads, mode, arguments, pair):
    run_dir, host = start(harness, {"HEAP_MIB": "64"}, arguments)
    other = dict(PAIRS)[pair]
    try:
        # Built, and past start-up.
        harness.wait_for(lambda: len(log(harness, run_dir)) >= 90, timeout=120, interval=0.5)
        for i in range(reloads):
            build = other if i % 2 == 0 else 1
            harness.install_module(run_dir, harness.module_file("heap_module_%d" % build))
            time.sleep(2.0)
        wanted = len(log(harness, run_dir)) + 60
        harness.wait_for(lambda: len(log(harness, run_dir)) >= wanted, timeout=60, interval=0.5)
        said = host.stderr()
    finally:
        close(host)
    periods = periods_of(log(harness, run_dir)[60:])
    at, after = [], []
    quiet = []
    for i, (ms, a, b) in enumerate(periods):
        if a[1] != b[1]:
            at.append(ms)
            if i + 1 < len(periods):
                after.append(periods[i + 1][0])
        elif not (i and periods[i - 1][1][1] != periods[i - 1][2][1]):
            quiet.append(ms)
    row = {"mode": mode, "pointers": pair, "reloads": len(at),
           "at_median": statistics.median(at) if at else 0.0, "at_worst": max(at, default=0.0),
           "after_median": statistics.median(after) if after else 0.0,
           "after_worst": max(after, default=0.0), "quiet_p95": percentile(quiet, 0.95),
           "thinned": said.count("Engine: the last frame wrote")}
    print("reload %(mode)-10s pointers %(pointers)-5s %(reloads)2d reloads: reload frame median %(at_median)6.1f, "
          "worst %(at_worst)6.1f ms; the next median %(after_median)6.1f, worst "
          "%(after_worst)6.1f ms; others p95 %(quiet_p95)5.1f ms; thinning said %(thinned)d "
          "times" % row, flush=True)
    print_phases(phase_lines(said)[1:])  # the first is the start-up's load
    return row


def measure_collections(harness, frames, mode, arguments):
    env = {"HEAP_MIB": "100", "HEAP_OBJECT_BYTES": "48", "HEAP_COLLECT_EVERY": "60"}
    run_dir, host = start(harness, env, arguments)
    try:
        harness.wait_for(lambda: len(log(harness, run_dir)) >= frames + 90, timeout=frames / 5 + 120,
                         interval=1.0)
        said = host.stderr()
    finally:
        close(host)
    periods = periods_of(log(harness, run_dir)[90:frames + 91])
    around, quiet = [], []
    for i, (ms, a, b) in enumerate(periods):
        # The period that ends at the stamp after a collection holds it; the
        # next one holds the undo's start that takes it in.
        if b[2] or (i and periods[i - 1][2][2]):
            around.append(ms)
        else:
            quiet.append(ms)
    row = {"mode": mode, "collections": sum(1 for _, _, b in periods if b[2]),
           "worst": max(around, default=0.0), "median": statistics.median(around) if around else 0,
           "quiet_p95": percentile(quiet, 0.95),
           "thinned": said.count("Engine: the last frame wrote")}
    print("collect %(mode)-10s %(collections)2d collections: around them median %(median)6.1f, "
          "worst %(worst)6.1f ms; others p95 %(quiet_p95)5.1f ms; thinning said %(thinned)d "
          "times" % row, flush=True)
    return row


def run_one(kind, reloads, parts):
    import harness

    rows = {"reload": [], "collect": []}
    for mode, arguments in MODES:
        for pair, _ in PAIRS if "reload" in parts else []:
            rows["reload"].append(measure_reloads(harness, reloads, mode, arguments, pair))
        if "collect" in parts:
            rows["collect"].append(measure_collections(harness, 300, mode, arguments))
    print(RESULT + json.dumps(rows), flush=True)


def table(kinds, results):
    print()
    print("frame period around a whole-state reload, 64 MiB of heap (ms; one period is %.1f)"
          % PERIOD_MS)
    print("%-20s" % "" + "".join("%36s" % kind for kind in kinds))
    print("%-20s" % "mode, pointers" + "".join("%36s" % "reload frame med/worst, next, p95"
                                               for _ in kinds))
    for mode, _ in MODES:
        for pair, _ in PAIRS:
            cells = []
            for kind in kinds:
                row = next((r for r in results.get(kind, {}).get("reload", [])
                            if r["mode"] == mode and r["pointers"] == pair), None)
                cells.append("%36s" % ("%6.1f %6.1f %6.1f %6.1f" % (
                    row["at_median"], row["at_worst"], row["after_worst"], row["quiet_p95"])
                    if row else "-"))
            print("%-20s" % ("%s, %s" % (mode, pair)) + "".join(cells))
    print()
    print("frame period around a full collection of 100 MiB in 48-byte objects (ms)")
    print("%-20s" % "mode" + "".join("%36s" % "around med/worst, others p95" for _ in kinds))
    for mode, _ in MODES:
        cells = []
        for kind in kinds:
            row = next((r for r in results.get(kind, {}).get("collect", [])
                        if r["mode"] == mode), None)
            cells.append("%36s" % ("%6.1f %6.1f %6.1f" % (row["median"], row["worst"],
                                                          row["quiet_p95"]) if row else "-"))
        print("%-20s" % mode + "".join(cells))


def run_all(kinds, reloads, parts):
    results = run_hosts(kinds, __file__, ["--reloads", str(reloads), "--parts", ",".join(parts)],
                        RESULT)
    table(kinds, results)
    return 0 if len(results) == len(kinds) else 1


def main(argv):
    kinds = ["linux", "windows"]
    one = None
    reloads = 8
    parts = ["reload", "collect"]
    while argv:
        if argv[0] == "--hosts":
            kinds = argv[1].split(",")
        elif argv[0] == "--host":
            one = argv[1]
        elif argv[0] == "--reloads":
            reloads = int(argv[1])
        elif argv[0] == "--parts":
            parts = argv[1].split(",")
        else:
            raise SystemExit(__doc__)
        argv = argv[2:]
    if one:
        run_one(one, reloads, parts)
        return 0
    return run_all(kinds, reloads, parts)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
