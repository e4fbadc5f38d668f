#!/usr/bin/env python3
"""Stress runs of the real host on a virtual display (the Windows host under
Wine, or the Linux host natively): rapid reloads, many resizes, an input
storm and a soak. Prints figures and exits non-zero when a check fails.
Bounded in time: about 3 minutes plus the soak (10 minutes unless
--soak-seconds says otherwise).

    scripts/stress.py [--host windows|linux] [--soak-seconds N]
                      [--storm-seconds N] [--storm-rate EVENTS_PER_SECOND]
                      [--storm-sender xlib|xdotool] [--storm-keys N]
                      [--only reloads,resizes,storm,soak]

Needs that host's build (cmake --build out/windows or out/linux) and, for
the storm, the Linux build's bench/host/input_storm (its sender); not part
of ./test. The display (and for Windows a Wine prefix of its own, so that
stopping its Wine server at the end never ends a test run's) comes from
tests/session/setup.sh.
"""

import argparse
import os
import statistics
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def _host_kind(argv):
    """The host to stress, read before the harness is imported: it sets
    itself up for one host kind."""
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--host", choices=("windows", "linux"), default="windows")
    return parser.parse_known_args(argv)[0].host


HOST = _host_kind(sys.argv[1:])
BUILD = os.path.join(ROOT, "out", HOST)
os.environ["ENGINE_BUILD_DIR"] = BUILD
os.environ["ENGINE_HOST_KIND"] = HOST
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))

import harness  # noqa: E402  (reads ENGINE_BUILD_DIR when imported)
from harness import Host, install_module, make_run_dir, module_file, read_records, wait_for, xdotool  # noqa: E402

FRAME = 1.0 / 30.0
KEY_A, MOUSE_PRIMARY = 67, 110  # KEY_A to KEY_Z follow in alphabetical order
failures = []


def check(condition, what):
    print("  %-58s %s" % (what, "ok" if condition else "FAILED"))
    if not condition:
        failures.append(what)


def start_display():
    """The tests' own set-up: Xvfb and, for Windows, a Wine prefix in the
    build tree and one wineserver."""
    env_file = os.path.join(BUILD, "stress-env.sh")
    prefix = [os.path.join(BUILD, "wineprefix-stress")] if harness.WINDOWS else []
    subprocess.run([os.path.join(ROOT, "tests", "session", "setup.sh"), env_file, *prefix],
                   check=True, stdout=subprocess.DEVNULL)
    with open(env_file) as exports:
        for line in exports:
            if line.startswith("export "):
                name, value = line[len("export "):].strip().split("=", 1)
                os.environ[name] = value.strip('"')
    return env_file


def host_pids(prefix):
    """Linux processes of Wine running engine.exe in this prefix."""
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                cmdline = f.read()
            with open("/proc/%s/environ" % pid, "rb") as f:
                environ = f.read().split(b"\0")
        except OSError:
            continue
        if b"engine.exe" in cmdline and ("WINEPREFIX=" + prefix).encode() in environ:
            found.append(pid)
    return found


def server_processes():
    """The X server and, for Windows, the prefix's wineserver: what the
    storm's events pass through before they reach the host."""
    found = {"X server": [os.environ.get("ENGINE_XVFB_PID", "")]}
    if harness.WINDOWS:
        found["wineserver"] = [
            pid for pid in os.listdir("/proc") if pid.isdigit() and _is_wineserver(pid)]
    return found


def _is_wineserver(pid):
    try:
        with open("/proc/%s/cmdline" % pid, "rb") as f:
            program = f.read().split(b"\0")[0]
        with open("/proc/%s/environ" % pid, "rb") as f:
            environ = f.read().split(b"\0")
    except OSError:
        return False
    return (os.path.basename(program).startswith(b"wineserver") and
            ("WINEPREFIX=" + os.environ["WINEPREFIX"]).encode() in environ)


def host_processes(host):
    """The host's own process: the Linux host itself, or Wine's process
    running engine.exe."""
    if harness.LINUX:
        return [str(host.process.pid)]
    return host_pids(os.environ["WINEPREFIX"])


def host_memory_kib(host):
    """Resident and private (anonymous) memory of the host's process."""
    best = (0, 0)
    for pid in host_processes(host):
        fields = {}
        try:
            with open("/proc/%s/status" % pid) as f:
                for line in f:
                    name, _, value = line.partition(":")
                    fields[name] = value.split()[0] if value.split() else "0"
        except OSError:
            continue
        rss = int(fields.get("VmRSS", 0))
        if rss > best[0]:
            best = (rss, int(fields.get("RssAnon", 0)))
    return best


def start_host(name, module):
    run_dir = make_run_dir(name)
    install_module(run_dir, module_file(module))
    host = Host(run_dir)
    host.find_window()
    return run_dir, host


def stop_host(host):
    host.close()
    code = host.wait(timeout=30)
    host.stop()
    return code


def ticks_per_second():
    return 10_000_000  # both hosts' counter frequency


def reloads(count):
    print("== %d reloads of alternating builds" % count)
    run_dir, host = start_host("stress-reload", "recorder_v1")
    wait_for(lambda: len(read_records(run_dir)) >= 10)
    latencies = []
    for i in range(count):
        version = "2" if i % 2 == 0 else "1"
        started = time.monotonic()
        install_module(run_dir, module_file("recorder_v" + version))
        seen = wait_for(lambda: read_records(run_dir)[-1]["v"] == version, timeout=5, interval=0.01)
        if not seen:
            break
        latencies.append(time.monotonic() - started)
        time.sleep(0.05)
    time.sleep(0.3)
    records = read_records(run_dir)
    code = stop_host(host)
    frames = [int(r["f"]) for r in records]
    switches = sum(1 for a, b in zip(records, records[1:]) if a["v"] != b["v"])
    # Each record's dt is the previous frame's duration, so with a call in
    # every frame the time from the first call to the last equals the sum of
    # the later records' dt, up to where in their frames the two calls fell.
    # Every frame without a call would add its predecessor's whole duration
    # (at least 1/30 s) to the difference.
    elapsed = (int(records[-1]["t"]) - int(records[0]["t"])) / ticks_per_second()
    unaccounted = elapsed - sum(float(r["dt"]) for r in records[1:])
    durations = [float(r["dt"]) for r in records[1:]]
    reload_frames = [float(c["dt"]) for a, b, c in zip(records, records[1:], records[2:])
                     if a["v"] != b["v"]]
    print("  frames %d, build switches %d, reload latency (install to first call) median "
          "%.0f ms, max %.0f ms" % (len(records), switches, 1000 * statistics.median(latencies),
                                    1000 * max(latencies)))
    print("  frame duration: median %.1f ms, max %.1f ms; frames with a reload: median %.1f ms,"
          " max %.1f ms" % (1000 * statistics.median(durations), 1000 * max(durations),
                            1000 * statistics.median(reload_frames), 1000 * max(reload_frames)))
    print("  first to last call %.3f s, frame durations sum to %.3f s less: %.1f ms unaccounted"
          % (elapsed, elapsed - unaccounted, 1000 * unaccounted))
    check(len(latencies) == count, "every new build took over within 5 s")
    check(switches == count, "the records show %d switches" % count)
    check(frames == list(range(1, len(frames) + 1)), "slot intact: frame count never restarted")
    check(len({r["slot"] for r in records}) == 1, "slot, at one address throughout")
    check(abs(unaccounted) < FRAME / 2, "no frame without a module call")
    check(code == 0, "closing ended the host with exit code 0")


def resizes(count):
    print("== %d window resizes" % count)
    run_dir, host = start_host("stress-resize", "recorder_v1")
    wait_for(lambda: len(read_records(run_dir)) >= 30)
    _, _, width0, height0 = host.geometry()
    time.sleep(2.0)
    before = host_memory_kib(host)
    mismatched = 0
    for i in range(count):
        width = 200 + (i * 137) % 1200
        height = 150 + (i * 89) % 900
        if i == count - 1:
            width, height = width0, height0
        host.resize(width, height)
        want = (str(width), str(height))
        seen = wait_for(lambda: (read_records(run_dir)[-1]["w"], read_records(run_dir)[-1]["h"])
                        == want, timeout=5, interval=0.01)
        if not seen or host.geometry()[2:] != (width, height):
            mismatched += 1
    time.sleep(2.0)
    after = host_memory_kib(host)
    records = read_records(run_dir)
    code = stop_host(host)
    bad_layout = [r for r in records
                  if int(r["pitch"]) != int(r["w"]) - int(r["w"]) % 4 + 4
                  or int(r["alloc"]) != int(r["pitch"]) * (int(r["h"]) + 2)]
    print("  frames %d; memory before %d KiB resident (%d private), after %d KiB (%d private)"
          % (len(records), before[0], before[1], after[0], after[1]))
    print("  growth: %+d KiB resident, %+d KiB private" % (after[0] - before[0],
                                                          after[1] - before[1]))
    check(mismatched == 0, "the buffer matched the client area after every resize")
    check(not bad_layout, "pitch and allocation consistent in every frame")
    check(after[1] - before[1] < 1024, "private memory after within 1 MiB of before")
    check(code == 0, "closing ended the host with exit code 0")


def cpu_seconds(pids):
    """User and system time the processes have used so far, in seconds."""
    total = 0
    for pid in pids:
        try:
            with open("/proc/%s/stat" % pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            total += int(fields[11]) + int(fields[12])
        except (OSError, IndexError, ValueError):
            pass
    return total / os.sysconf("SC_CLK_TCK")


class Producer(threading.Thread):
    """One xdotool process after another, each sending a batch of X events,
    paced so that this producer's events go out at its rate on average. A
    batch is a list of xdotool commands chained into one process, and the
    number of X events it sends."""

    def __init__(self, name, rate, seconds, make_batch):
        super().__init__(name=name, daemon=True)
        self.rate = rate
        self.seconds = seconds
        self.make_batch = make_batch
        self.events = 0
        self.batches = 0
        self.error = None

    def run(self):
        started = time.monotonic()
        while time.monotonic() - started < self.seconds:
            arguments, events = self.make_batch(self.batches)
            result = subprocess.run(["xdotool", *arguments], capture_output=True, timeout=60)
            if result.returncode != 0:
                self.error = result.stderr.decode(errors="replace")
                return
            self.events += events
            self.batches += 1
            ahead = self.events / self.rate - (time.monotonic() - started)
            if ahead > 0:
                time.sleep(ahead)


def key_transitions(records, codes):
    """Transitions the module recorded for each code, over all records."""
    seen = dict.fromkeys(codes, 0)
    wheel_frames = 0
    for record in records:
        if float(record["wheel"]) != 0:
            wheel_frames += 1
        if record["b"] == "-":
            continue
        for entry in record["b"].split(","):
            code, _, count = (int(v) for v in entry.split(":")[:3])
            if code in seen:
                seen[code] += count
    return seen, wheel_frames


# The Xlib storm sender, from the Linux build (bench/host/input_storm.cpp).
STORM_SENDER = os.path.join(ROOT, "out", "linux", "bench", "host", "input_storm")
LETTERS = "abcdefghijklmnopqrstuvwxyz"


class Sender(threading.Thread):
    """The Xlib sender: keys and pointer moves at its rate for the whole
    storm, in one process; its last line tells what it sent."""

    def __init__(self, window, rate, seconds):
        super().__init__(name="xlib sender", daemon=True)
        self.command = [STORM_SENDER, window, str(rate), str(seconds)]
        self.figures = {}
        self.error = None

    def run(self):
        result = subprocess.run(self.command, capture_output=True, text=True,
                                timeout=float(self.command[3]) + 120)
        if result.returncode != 0:
            self.error = result.stderr.strip() or "exit %d" % result.returncode
            return
        self.figures = dict(field.split("=", 1) for field in result.stdout.split())


def storm(seconds, rate, sender, keys_each):
    """Key presses and releases, pointer moves over the client area, and a
    few clicks and wheel notches, at `rate` X events a second in all through
    the X server, for `seconds`.

    sender xlib (the default): one process sends the keys (XSendEvent,
    cycling a to z) and the moves (XWarpPointer) with no round trip per
    event, and xdotool adds the clicks at 1/50 of the rate. sender xdotool:
    two xdotool producers send keys through XTest, each cycling through
    keys_each letters of its own, a third the moves and clicks; xdotool
    waits for the server after every event, so on a busy machine it falls
    short of high rates.

    SDL's X11 backend takes a release followed by a press of the same key
    within 2 ms (server time) for auto-repeat: it drops the release and marks
    the press as a repeat. So keys cycle: keys_each 2 with xdotool shows what
    a fast alternation of two keys loses on the Linux host."""
    if sender == "xlib" and not os.path.exists(STORM_SENDER):
        print("  (no %s: build the Linux tree's input_storm; using xdotool)" % STORM_SENDER)
        sender = "xdotool"
    print("== input storm: %d X events a second for %d s, sent by %s (%s host)"
          % (rate, seconds, sender, HOST))
    run_dir, host = start_host("stress-storm", "input_recorder")
    log = lambda: read_records(run_dir, "input.log")  # noqa: E731
    wait_for(lambda: len(log()) >= 10)
    xdotool("windowfocus", "--sync", host.window)
    left, top, width, height = host.geometry()
    xdotool("mousemove", "--window", host.window, "100", "100")
    time.sleep(0.5)

    presses = {}
    sent = {"move": 0, "click": 0, "wheel": 0}
    last_move = [None]
    clicks_per_batch = 5

    def key_batch(keys, presses_per_batch=156):
        for key in keys:
            presses[key] = 0

        def batch(index):
            chosen = [keys[(index * presses_per_batch + i) % len(keys)]
                      for i in range(presses_per_batch)]
            for key in chosen:
                presses[key] += 1
            return ["key", "--delay", "0", *chosen], 2 * presses_per_batch
        return batch

    def pointer_batch(index, moves_per_batch=200):
        arguments = []
        for i in range(moves_per_batch):
            n = index * moves_per_batch + i
            x, y = 20 + (n * 37) % (width - 40), 20 + (n * 23) % (height - 40)
            arguments += ["mousemove", str(left + x), str(top + y)]
        last_move[0] = (x, y)
        sent["move"] += moves_per_batch
        return arguments + click_batch(index)[0], moves_per_batch + 4 * clicks_per_batch

    def click_batch(_):
        sent["click"] += clicks_per_batch
        sent["wheel"] += clicks_per_batch
        return (["click", "--repeat", str(clicks_per_batch), "--delay", "0", "1",
                 "click", "--repeat", str(clicks_per_batch), "--delay", "0", "4"],
                4 * clicks_per_batch)

    if sender == "xlib":
        workers = [Sender(host.window, rate * 49 // 50, seconds),
                   Producer("clicks", rate / 50, seconds, click_batch)]
    else:
        key_sets = [LETTERS[:keys_each], LETTERS[13:13 + keys_each]]
        workers = [Producer("keys " + key_sets[0], 0.3 * rate, seconds, key_batch(key_sets[0])),
                   Producer("keys " + key_sets[1], 0.3 * rate, seconds, key_batch(key_sets[1])),
                   Producer("pointer", 0.4 * rate, seconds, pointer_batch)]
    pids = host_processes(host)
    servers = server_processes()
    frames_before = len(log())
    cpu_before = cpu_seconds(pids)
    servers_before = {name: cpu_seconds(found) for name, found in servers.items()}
    started = time.monotonic()
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    elapsed = time.monotonic() - started
    frames_during = len(log()) - frames_before
    cpu_during = cpu_seconds(pids) - cpu_before
    servers_during = {name: cpu_seconds(found) - servers_before[name]
                      for name, found in servers.items()}
    events = sum(getattr(worker, "events", 0) for worker in workers)
    if sender == "xlib":
        figures = workers[0].figures
        if figures:
            presses = {key: int(count) for key, count in
                       zip(LETTERS, figures["presses"].split(","))}
            sent["move"] += int(figures["moves"])
            last = figures["last"].split(",")
            last_move[0] = (int(last[0]), int(last[1]))
            events += int(figures["events"])

    # What is still queued drains now. A host that takes every queued event
    # in each frame shows no frame until the queue is empty, so wait until
    # every transition has arrived, or the counts stand still for 5 s while
    # frames go on, or no frame comes for four times as long as the storm.
    key_codes = {key: KEY_A + LETTERS.index(key) for key in presses}
    wanted = {key_codes[key]: 2 * count for key, count in presses.items()}
    wanted[MOUSE_PRIMARY] = 2 * sent["click"]
    previous, still_since = None, time.monotonic()
    frames_seen, frame_since = 0, time.monotonic()
    while True:
        records = log()
        transitions, _ = key_transitions(records, wanted)
        if transitions == wanted:
            break
        if len(records) != frames_seen:
            frames_seen, frame_since = len(records), time.monotonic()
        if transitions != previous:
            previous, still_since = transitions, time.monotonic()
        elif time.monotonic() - still_since > 5.0 and time.monotonic() - frame_since < 1.0:
            break
        if time.monotonic() - frame_since > max(30.0, 4.0 * seconds):
            print("  no frame for %.0f s: giving up on the backlog"
                  % (time.monotonic() - frame_since))
            break
        time.sleep(0.25)
    drained = time.monotonic() - started - elapsed
    time.sleep(0.5)
    records = log()
    code = stop_host(host)
    transitions, wheel_frames = key_transitions(records, wanted)

    keys_sent = sum(presses.values())
    keys_seen = sum(transitions[key_codes[key]] for key in presses)
    short = {key: 2 * presses[key] - transitions[key_codes[key]] for key in presses
             if transitions[key_codes[key]] != 2 * presses[key]}
    print("  sent %d X events in %.1f s (%.0f a second): %d key presses and as many releases,"
          " %d pointer moves, %d clicks, %d wheel notches"
          % (events, elapsed, events / elapsed, keys_sent, sent["move"], sent["click"],
             sent["wheel"]))
    for worker in workers:
        if isinstance(worker, Producer):
            print("    %-20s %6.0f events a second in %d xdotool runs"
                  % (worker.name, worker.events / elapsed, worker.batches))
        elif worker.figures:
            print("    %-20s %6.0f events a second (%s key events, %s moves in %s s)"
                  % (worker.name, int(worker.figures["events"]) / elapsed,
                     worker.figures["keys"], worker.figures["moves"],
                     worker.figures["seconds"]))
    print("  frames a second the module saw during the storm: %.1f (%d frames in %.1f s); "
          "cores used: the host's process %.0f %%%s"
          % (frames_during / elapsed, frames_during, elapsed, 100.0 * cpu_during / elapsed,
             "".join(", %s %.0f %%" % (name, 100.0 * used / elapsed)
                     for name, used in servers_during.items())))
    print("  key transitions recorded %d of %d sent (%d lost%s); left button %d of %d; "
          "frames with wheel %d of %d"
          % (keys_seen, 2 * keys_sent, 2 * keys_sent - keys_seen,
             ": " + ", ".join("%s %d" % item for item in sorted(short.items())) if short else "",
             transitions[MOUSE_PRIMARY], 2 * sent["click"], wheel_frames, len(records)))
    print("  the queue had drained %.1f s after the storm ended; load average %s"
          % (drained, " ".join(open("/proc/loadavg").read().split()[:3])))
    print("  storm result: host=%s sender=%s rate=%d sent_per_second=%.0f fps=%.1f "
          "key_transitions=%d/%d buttons=%d/%d drained_s=%.1f host_cpu=%.0f%%"
          % (HOST, sender, rate, events / elapsed, frames_during / elapsed, keys_seen,
             2 * keys_sent, transitions[MOUSE_PRIMARY], 2 * sent["click"], drained,
             100.0 * cpu_during / elapsed))
    for worker in workers:
        if worker.error:
            failures.append("%s: %s" % (worker.name, worker.error.strip()))
    check(keys_sent > 0 and not short, "every key transition arrived")
    check(transitions[MOUSE_PRIMARY] == wanted[MOUSE_PRIMARY], "every button transition arrived")
    check(wheel_frames > 0, "wheel notches arrived")
    last = records[-1]
    check(last_move[0] is not None and (float(last["x"]), float(last["y"])) ==
          (last_move[0][0], float(last["h"]) - last_move[0][1]),
          "the pointer's last position arrived")
    check(code == 0, "closing ended the host with exit code 0")


def soak(seconds):
    print("== soak for %d s" % seconds)
    run_dir, host = start_host("stress-soak", "recorder_v1")
    wait_for(lambda: len(read_records(run_dir)) >= 30)
    samples = []
    started = time.monotonic()
    while time.monotonic() - started < seconds and host.running():
        frames = len(read_records(run_dir))
        samples.append((time.monotonic(), frames, host_memory_kib(host)))
        time.sleep(10.0)
    records = read_records(run_dir)
    code = stop_host(host)
    rates = [(b[1] - a[1]) / (b[0] - a[0]) for a, b in zip(samples, samples[1:])]
    private = [s[2][1] for s in samples]
    resident = [s[2][0] for s in samples]
    # Pacing per minute: the median frame duration. Single long frames are
    # the shared machine's doing (see the load average), not the pacing's.
    durations = [(int(r["t"]), float(r["dt"])) for r in records[1:]]
    minute = 60 * ticks_per_second()
    first = durations[0][0]
    minutes = {}
    for t, dt in durations:
        minutes.setdefault((t - first) // minute, []).append(dt)
    medians = [statistics.median(v) for k, v in sorted(minutes.items()) if len(v) > 100]
    long_frames = sum(1 for _, dt in durations if dt > 1.2 * FRAME)
    print("  frames %d over %.0f s; frames a second per 10 s: min %.2f median %.2f max %.2f"
          % (len(records), samples[-1][0] - samples[0][0], min(rates), statistics.median(rates),
             max(rates)))
    print("  median frame duration per minute: %.2f to %.2f ms; frames over 40 ms: %d (%.1f %%),"
          " longest %.0f ms; load average %s"
          % (1000 * min(medians), 1000 * max(medians), long_frames,
             100.0 * long_frames / len(durations), 1000 * max(dt for _, dt in durations),
             open("/proc/loadavg").read().split()[1]))
    print("  private memory first %d KiB, last %d KiB, max %d KiB; resident first %d, last %d"
          % (private[0], private[-1], max(private), resident[0], resident[-1]))
    check(all(abs(m - FRAME) < 0.001 for m in medians), "pacing steady: every minute's median "
          "frame within 1 ms of 1/30 s")
    check(max(private) - private[0] < 1024, "private memory flat (within 1 MiB)")
    check(code == 0, "closing ended the host with exit code 0")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--host", choices=("windows", "linux"), default="windows",
                        help="the host to stress (default: windows, under Wine)")
    parser.add_argument("--soak-seconds", type=int, default=600)
    parser.add_argument("--storm-seconds", type=int, default=60)
    parser.add_argument("--storm-rate", type=int, default=10000,
                        help="X events a second during the input storm")
    parser.add_argument("--storm-sender", choices=("xlib", "xdotool"), default="xlib",
                        help="what sends the storm's keys and moves (see storm())")
    parser.add_argument("--storm-keys", type=int, default=13, choices=range(1, 14),
                        metavar="1..13",
                        help="with xdotool: keys each key producer cycles through")
    parser.add_argument("--only", default="reloads,resizes,storm,soak")
    args = parser.parse_args()
    runs = args.only.split(",")
    env_file = start_display()
    try:
        if "reloads" in runs:
            reloads(200)
        if "resizes" in runs:
            resizes(500)
        if "storm" in runs:
            storm(args.storm_seconds, args.storm_rate, args.storm_sender, args.storm_keys)
        if "soak" in runs:
            soak(args.soak_seconds)
    finally:
        subprocess.run([os.path.join(ROOT, "tests", "session", "cleanup.sh"), env_file])
    print("== %s" % ("all checks passed" if not failures else "FAILED: " + "; ".join(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
