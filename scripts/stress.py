#!/usr/bin/env python3
"""Stress runs of the real host under Wine on a virtual display: rapid
reloads, many resizes, an input storm and a soak. Prints figures and exits
non-zero when a check fails. Bounded in time: about 3 minutes plus the soak
(10 minutes unless --soak-seconds says otherwise).

    scripts/stress.py [--soak-seconds N] [--only reloads,resizes,storm,soak]

Needs the Windows build (cmake --build out/windows); not part of ./test.
"""

import argparse
import os
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "out", "windows")
os.environ["ENGINE_BUILD_DIR"] = BUILD
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))

import harness  # noqa: E402  (reads ENGINE_BUILD_DIR when imported)
from harness import Host, install_module, make_run_dir, module_file, read_records, wait_for, xdotool  # noqa: E402

FRAME = 1.0 / 30.0
KEY_A, KEY_B, MOUSE_PRIMARY = 67, 68, 110
failures = []


def check(condition, what):
    print("  %-58s %s" % (what, "ok" if condition else "FAILED"))
    if not condition:
        failures.append(what)


def start_display():
    """The tests' own set-up: Xvfb, a Wine prefix in the build tree, one wineserver."""
    env_file = os.path.join(BUILD, "stress-env.sh")
    subprocess.run([os.path.join(ROOT, "tests", "wine", "setup.sh"), env_file,
                    os.path.join(BUILD, "wineprefix")], check=True, stdout=subprocess.DEVNULL)
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


def host_memory_kib():
    """Resident and private (anonymous) memory of the host's Wine process."""
    best = (0, 0)
    for pid in host_pids(os.environ["WINEPREFIX"]):
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
    return 10_000_000  # Wine's performance-counter frequency


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
    before = host_memory_kib()
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
    after = host_memory_kib()
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


def storm(seconds):
    print("== input storm for %d s" % seconds)
    run_dir, host = start_host("stress-storm", "input_recorder")
    log = lambda: read_records(run_dir, "input.log")  # noqa: E731
    wait_for(lambda: len(log()) >= 10)
    xdotool("windowfocus", "--sync", host.window)
    xdotool("mousemove", "--window", host.window, "100", "100")
    sent = {"key": 0, "click": 0, "wheel": 0, "move": 0}
    batch_keys = ["a", "b"] * 100
    ended = time.monotonic() + seconds
    started = time.monotonic()
    while time.monotonic() < ended:
        x, y = 50 + sent["move"] % 600, 50 + (sent["move"] * 7) % 400
        result = subprocess.run(
            ["xdotool", "key", "--delay", "0", *batch_keys,
             "mousemove", "--window", host.window, str(x), str(y),
             "click", "--repeat", "20", "--delay", "0", "1",
             "click", "--repeat", "20", "--delay", "0", "4"],
            capture_output=True, timeout=30)
        if result.returncode != 0:
            failures.append("xdotool: " + result.stderr.decode())
            break
        sent["key"] += len(batch_keys)
        sent["click"] += 20
        sent["wheel"] += 20
        sent["move"] += 1
        last_move = (x, y)
    elapsed = time.monotonic() - started
    time.sleep(1.0)
    records = log()
    code = stop_host(host)
    transitions = {KEY_A: 0, KEY_B: 0, MOUSE_PRIMARY: 0}
    wheel_frames = 0
    for record in records:
        if float(record["wheel"]) > 0:
            wheel_frames += 1
        if record["b"] == "-":
            continue
        for entry in record["b"].split(","):
            code_, _, count = (int(v) for v in entry.split(":")[:3])
            if code_ in transitions:
                transitions[code_] += count
    events = 2 * sent["key"] + 2 * sent["click"] + sent["wheel"] + sent["move"]
    print("  sent %d X events in %.0f s (%.0f a second): %d key presses, %d clicks, "
          "%d wheel notches, %d moves" % (events, elapsed, events / elapsed, sent["key"],
                                          sent["click"], sent["wheel"], sent["move"]))
    print("  transitions seen: a %d, b %d, left button %d; frames with wheel %d of %d"
          % (transitions[KEY_A], transitions[KEY_B], transitions[MOUSE_PRIMARY], wheel_frames,
             len(records)))
    print("  frames a second during the storm: %.1f (the drain takes every queued message "
          "each frame)" % (len(records) / (elapsed + 1.0)))
    check(transitions[KEY_A] == sent["key"] and transitions[KEY_B] == sent["key"],
          "every key transition arrived")
    check(transitions[MOUSE_PRIMARY] == 2 * sent["click"], "every button transition arrived")
    check(wheel_frames > 0, "wheel notches arrived")
    last = records[-1]
    check((float(last["x"]), float(last["y"])) == (last_move[0], float(last["h"]) - last_move[1]),
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
        samples.append((time.monotonic(), frames, host_memory_kib()))
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
    parser.add_argument("--soak-seconds", type=int, default=600)
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
            storm(60)
        if "soak" in runs:
            soak(args.soak_seconds)
    finally:
        subprocess.run([os.path.join(ROOT, "tests", "wine", "cleanup.sh"), env_file])
    print("== %s" % ("all checks passed" if not failures else "FAILED: " + "; ".join(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
