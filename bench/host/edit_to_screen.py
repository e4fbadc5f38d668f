#!/usr/bin/env python3
"""Edit to screen: from saving a one-line change to a demo source file under
`./run --watch` to the first frame that runs the new build, and where that
time goes, for the Linux and the Windows host side by side.

    bench/host/edit_to_screen.py [--edits 10] [--hosts linux,windows]
                                 [--tree DIR] [--settings-rounds 7]

Works on private copies of the working tree (one per host, made in a scratch
directory, or under the --tree a previous run left), so nothing in the
shared tree is edited or rebuilt. Each copy's demo gets a line at the top of
`entry` that makes each build say, in its first call, which edit it is and
the host's counter at that moment, "edit 7/3 ran at 123456789" (the first
number is written in main.cpp, the second in draw.cpp), through
debug_print: the Linux host's standard error, Wine's +debugstr trace on
Windows. Each edit rewrites one of the two numbers in place, as an editor
saves. Both hosts run at once, each on its own copy and its own watcher;
the edits take turns (main.cpp on Linux, then on Windows, then draw.cpp...),
so that the machine's drifting load weighs on both alike.

The phases, on CLOCK_MONOTONIC (the Linux host's counter; Wine's is
CLOCK_MONOTONIC_RAW, converted with the offset between the two clocks):

  noticing   save -> the watcher starts compiling (the file system's event
             and the watcher's look at it)
  compiling  the touched sources compiled (from the watcher's line)
  linking    the module linked beside the module file
  staging    renamed into place
  loading    -> the new build's first call (the host's poll waits for its
             next frame, copies the file and loads the copy)

Then, with --settings-rounds, what the module build settings cost: the
demo's compile commands at -O0, -O1 and -O2 (with -g), and its link through
the compiler driver with the default linker, with gold, and the linker
called directly as the watcher does, timed in interleaved rounds.
"""

import argparse
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
import watch  # noqa: E402  (the watcher's own reading of the build tree)

MARKER = re.compile(r"edit (\d+)/(\d+) ran at (\d+)")
BUILT = re.compile(r"^\S+ \[([\d.]+) ms\] built demo in \d+ ms \(([^)]*)\): compiled [^;]*; "
                   r"noticed ([\d.]+) ms, compiled ([\d.]+) ms, linked ([\d.]+) ms, "
                   r"staged ([\d.]+) ms")
PHASES = ("noticing", "compiling", "linking", "staging", "loading", "edit to screen")
ENTRY_START = re.compile(r"(ENTRY_EXPORT void entry\([^)]*\)\s*\{\n)")
MAIN_MARKER = re.compile(r"u32 main_edit = \d+;")
DRAW_MARKER = re.compile(r"u32 draw_edit\(void\) \{ return \d+; \}")


def monotonic_ms():
    return time.clock_gettime_ns(time.CLOCK_MONOTONIC) / 1e6


def raw_offset_ms():
    """CLOCK_MONOTONIC minus CLOCK_MONOTONIC_RAW, in milliseconds."""
    a = time.clock_gettime_ns(time.CLOCK_MONOTONIC)
    b = time.clock_gettime_ns(time.CLOCK_MONOTONIC_RAW)
    c = time.clock_gettime_ns(time.CLOCK_MONOTONIC)
    return ((a + c) / 2 - b) / 1e6


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[round(fraction * (len(ordered) - 1))]


def load_average():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def copy_tree(target):
    """The working tree's files (tracked and new, not ignored) under target."""
    names = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], cwd=ROOT,
                           capture_output=True, check=True).stdout.split(b"\0")
    for name in names:
        source = os.path.join(ROOT, os.fsdecode(name))
        if name and os.path.isfile(source):
            destination = os.path.join(target, os.fsdecode(name))
            os.makedirs(os.path.dirname(destination), exist_ok=True)
            shutil.copy2(source, destination)


def rewrite(path, pattern, text):
    with open(path) as f:
        old = f.read()
    new, count = pattern.subn(text, old, count=1)
    if count != 1:
        raise SystemExit("no marker in " + path)
    started = monotonic_ms()
    with open(path, "w") as f:
        f.write(new)
    return started


def add_markers(root):
    """The lines that make each build say which edit it is."""
    main = os.path.join(root, "demo", "main.cpp")
    draw = os.path.join(root, "demo", "draw.cpp")
    with open(main) as f:
        text = f.read()
    if not MAIN_MARKER.search(text):
        marker = ('    { static u32 said; if (!said) { said = 1; char m[64]; format_text(m, '
                  '"edit %/% ran at %\\n", format_arg_u32(main_edit), '
                  'format_arg_u32(draw_edit()), format_arg_u64(services->get_counter())); '
                  'services->debug_print(m); } }\n')
        text, count = ENTRY_START.subn(lambda m: m.group(1) + marker, text, count=1)
        if count != 1:
            raise SystemExit("no entry function in " + main)
        text = text.replace("ENTRY_EXPORT void entry(",
                            "u32 draw_edit(void);\nstatic u32 main_edit = 0;\n\n"
                            "ENTRY_EXPORT void entry(", 1)
        with open(main, "w") as f:
            f.write(text)
    with open(draw) as f:
        text = f.read()
    if not DRAW_MARKER.search(text):
        with open(draw, "a") as f:
            f.write("\nu32 draw_edit(void) { return 0; }\n")


def start_display():
    env_file = tempfile.mktemp(prefix="edit-bench-env-", suffix=".sh")
    subprocess.run([os.path.join(ROOT, "tests", "session", "setup.sh"), env_file], check=True,
                   stdout=subprocess.DEVNULL)
    env = {}
    with open(env_file) as exports:
        for line in exports:
            if line.startswith("export "):
                name, value = line[len("export "):].strip().split("=", 1)
                env[name] = value.strip('"')
    return env_file, env


class Session:
    """One ./run --watch on a copy: its output, each line stamped when read."""

    def __init__(self, host, root, display_env, log_path):
        self.host = host
        self.root = root
        self.main_edit = 0
        self.draw_edit = 0
        env = dict(os.environ)
        env.update(display_env)
        command = [os.path.join(root, "run"), "--watch"]
        if host == "windows":
            command.insert(1, "--windows")
            env["WINEDEBUG"] = "+debugstr"
        self.log = open(log_path, "w")
        self.lines = []
        self.changed = threading.Condition()
        self.process = subprocess.Popen(command, cwd=root, env=env, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                        start_new_session=True)
        threading.Thread(target=self._read, daemon=True).start()
        if self.wait_for(lambda t: MARKER.search(t), 0, 900) is None:
            self.stop()
            raise SystemExit("%s: the host never ran the demo (log: %s)" % (host, log_path))

    def _read(self):
        for raw in iter(self.process.stdout.readline, b""):
            when = monotonic_ms()
            text = raw.decode(errors="replace").rstrip("\n")
            self.log.write("%.3f %s\n" % (when, text))
            self.log.flush()
            with self.changed:
                self.lines.append((when, text))
                self.changed.notify_all()

    def wait_for(self, predicate, start, timeout):
        """The first (index, text) from start on that satisfies predicate."""
        deadline = time.monotonic() + timeout
        with self.changed:
            while True:
                for i in range(start, len(self.lines)):
                    if predicate(self.lines[i][1]):
                        return i, self.lines[i][1]
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self.changed.wait(left)

    def stop(self):
        try:
            os.killpg(self.process.pid, signal.SIGTERM)
            self.process.wait(30)
        except (ProcessLookupError, subprocess.TimeoutExpired):
            os.killpg(self.process.pid, signal.SIGKILL)

    def edit(self, which, number):
        """Saves an edit of main.cpp or draw.cpp and follows it to the first
        call of its build; the phases in milliseconds."""
        start = len(self.lines)
        if which == "main.cpp":
            self.main_edit = number
            saved = rewrite(os.path.join(self.root, "demo", "main.cpp"), MAIN_MARKER,
                            "u32 main_edit = %d;" % number)
        else:
            self.draw_edit = number
            saved = rewrite(os.path.join(self.root, "demo", "draw.cpp"), DRAW_MARKER,
                            "u32 draw_edit(void) { return %d; }" % number)
        wanted = (str(self.main_edit), str(self.draw_edit))

        def ran(text):
            found = MARKER.search(text)
            return found and found.group(1, 2) == wanted or "failed" in text

        found = self.wait_for(ran, start, 180)
        if found is None or "failed" in found[1]:
            raise SystemExit("%s: edit %d of %s never ran (log: %s)"
                             % (self.host, number, which, self.log.name))
        ran_at = int(MARKER.search(found[1]).group(3)) / 1e4
        if self.host == "windows":
            ran_at += raw_offset_ms()
        line = self.wait_for(lambda t: BUILT.search(t), start, 5)
        if line is None:
            raise SystemExit("%s: no build line for edit %d" % (self.host, number))
        stamp, changed, noticed, compiled, linked, staged = BUILT.search(line[1]).groups()
        end = float(stamp)
        compiled, linked, staged = float(compiled), float(linked), float(staged)
        began = end - staged - linked - compiled
        return {"noticing": began - saved, "compiling": compiled, "linking": linked,
                "staging": staged, "loading": ran_at - end, "edit to screen": ran_at - saved}


def measure(sessions, edits):
    """Edits in turns: each file on each host, then again."""
    results = {(s.host, f): [] for s in sessions for f in ("main.cpp", "draw.cpp")}
    number = 0
    for round_number in range(edits + 1):
        for which in ("main.cpp", "draw.cpp"):
            for session in sessions:
                number += 1
                row = session.edit(which, number)
                if round_number > 0:  # the first is a warm-up
                    results[(session.host, which)].append(row)
                time.sleep(0.3)
        if round_number:
            print("  round %d of %d; load average %s" % (round_number, edits, load_average()),
                  flush=True)
    return results


def print_results(results):
    print("  %-22s %-10s" % ("host, file", "") +
          "".join("%16s" % p for p in PHASES))
    print("  %-33s" % "" + "".join("%16s" % "median / p90" for _ in PHASES))
    for (host, which), rows in results.items():
        cells = []
        for phase in PHASES:
            values = [row[phase] for row in rows]
            cells.append("%16s" % ("%.1f / %.1f" % (statistics.median(values),
                                                    percentile(values, 0.9))))
        print("  %-33s%s" % ("%s, %s (%d)" % (host, which, len(rows)), "".join(cells)))


# ---------------------------------------------------------------------------
# The build settings on their own: the commands the watcher runs, with each
# optimisation level, and the link three ways.

def timed(words, directory):
    started = time.perf_counter()
    done = subprocess.run(words, cwd=directory, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE)
    if done.returncode != 0:
        raise SystemExit("%s failed: %s" % (" ".join(words[:3]), done.stderr[-400:]))
    return (time.perf_counter() - started) * 1000.0


def settings_rounds(root, host, rounds):
    build = os.path.join(root, "out", host)
    module = watch.Module(build, "demo", None)
    scratch = tempfile.mkdtemp(prefix="settings-", dir=build)
    commands = {}
    for output, (words, _) in module.shadow_commands.items():
        source = os.path.basename(module.compiles[output]["file"])
        if source not in ("main.cpp", "draw.cpp"):
            continue
        words = watch.replace_output(words, words[words.index("-o") + 1],
                                     os.path.join(scratch, source + ".o"))
        for level in ("-O0", "-O1", "-O2"):
            commands["compile %s %s -g" % (source, level)] = (words + [level, "-g"], build)
    link = watch.replace_output(module.link_command, module.library,
                                os.path.join(scratch, "demo.so"))
    link = [w for w in link if not w.startswith("-fuse-ld=")]
    commands["link: driver, default linker"] = (link, build)
    if host == "linux":
        commands["link: driver, gold"] = (link + ["-fuse-ld=gold"], build)
        direct = watch.direct_linker(link + ["-fuse-ld=gold"], build)
        if direct:
            commands["link: gold itself (the watcher's)"] = (direct, build)
    times = {name: [] for name in commands}
    for r in range(rounds):
        names = list(commands)
        names = names[r % len(names):] + names[:r % len(names)]
        for name in names:
            times[name].append(timed(*commands[name]))
    print("  %-40s %9s %9s" % ("%s command (ms, %d rounds)" % (host, rounds), "median", "p90"))
    for name, values in times.items():
        print("  %-40s %9.1f %9.1f" % (name, statistics.median(values),
                                       percentile(values, 0.9)))
    shutil.rmtree(scratch, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--edits", type=int, default=10,
                        help="measured edits of each file on each host (default 10)")
    parser.add_argument("--hosts", default="linux,windows")
    parser.add_argument("--tree", help="where the copies are, or are made (kept)")
    parser.add_argument("--settings-rounds", type=int, default=7,
                        help="rounds of the build settings' commands (0: none)")
    args = parser.parse_args()
    hosts = [h for h in args.hosts.split(",") if h]
    top = args.tree or tempfile.mkdtemp(prefix="edit-to-screen-")
    roots = {}
    for host in hosts:
        roots[host] = os.path.join(top, host)
        if not os.path.exists(os.path.join(roots[host], "run")):
            copy_tree(roots[host])
        add_markers(roots[host])
    logs = os.path.join(top, "logs")
    os.makedirs(logs, exist_ok=True)
    env_file, display_env = start_display()
    print("edit to screen: %d edits of demo/main.cpp and demo/draw.cpp on %s; copies in %s"
          % (args.edits, " and ".join(hosts), top))
    print("load average before: %s" % load_average(), flush=True)
    sessions = []
    try:
        for host in hosts:
            sessions.append(Session(host, roots[host], display_env,
                                    os.path.join(logs, host + ".log")))
        results = measure(sessions, args.edits)
    finally:
        for session in sessions:
            session.stop()
        subprocess.run([os.path.join(ROOT, "tests", "session", "cleanup.sh"), env_file],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    print("load average after: %s" % load_average())
    print_results(results)
    if args.settings_rounds:
        for host in hosts:
            settings_rounds(roots[host], host, args.settings_rounds)
    print("load average at the end: %s" % load_average())


if __name__ == "__main__":
    main()
