#!/usr/bin/env python3
"""Edit to screen: from saving a one-line change to a demo source file under
`./run --watch` to the first frame that runs the new build, and where that
time goes, for a set of compiler and linker settings of the demo module.

    bench/host/edit_to_screen.py [--host linux|windows] [--variants NAME,...]
                                 [--cycles 5] [--edits-per-turn 2] [--tree DIR]
                                 [--rounds 11] [--cost-frames 300] [--no-loop]

Works on a private copy of the working tree (made in a scratch directory,
or the --tree a previous run left), so nothing in the shared tree is edited
or rebuilt. The copy's demo/main.cpp gets one line at the top of `entry` that
makes each build say, in its first call, which edit it is and the host's
counter at that moment:

    edit 7 ran at 123456789      (debug_print: the Linux host's standard
                                  error; Wine's +debugstr trace on Windows)

Each edit rewrites only that line's number in place, as an editor saves.
The phases, all on CLOCK_MONOTONIC (the Linux host's counter; Wine's is
CLOCK_MONOTONIC_RAW, converted with the offset between the two clocks):

  noticing   save -> watch.py's "build started" (its inotify wait and the
             burst's settling time; "change noticed" gives the first event)
  compiling  build started -> the object file is in place (cmake --build and
             ninja starting up and checking, then the compiler)
  linking    object file -> the module library is written
  staging    library -> the copy renamed into run/build (the build's own
             post-build step)
  loading    staged -> the new build's first call (the host's poll waits for
             its next frame, copies the file and loads the copy)

Variants set the demo target's own compile and link options (appended after
the build type's, so -O1 overrides -O2), through a CMake file that the copy's
configure includes: cmake/module.cmake is not changed. One `./run --watch`
serves all of them: the run cycles through the variants (reconfiguring the
copy, a warm-up edit that rebuilds the demo with the new options, then the
measured edits), so that a shared machine's drifting load weighs on every
variant alike. Medians and 90th percentiles are printed per phase, then all
variants side by side.

Then, without the loop: the demo's compile and link commands alone, each
variant's options appended (and, on Linux, GCC in place of clang), timed in
interleaved rounds with their ratios to the first variant, beside the
staging step's alternatives and the build tool's own start-up; and what the
compile options cost the demo's frame at run time (host_frame_bench).
"""

import argparse
import ctypes
import ctypes.util
import os
import re
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# name: (compile options, link options) for the demo target.
VARIANTS = {
    "O2 -g (build type's)": ([], []),
    "O1 -g": (["-O1"], []),
    "O0 -g": (["-O0"], []),
    "O2 -g1": (["-g1"], []),
    "O1 -g1": (["-O1", "-g1"], []),
    "O2 -g lld": ([], ["-fuse-ld=lld"]),
    "O1 -g lld": (["-O1"], ["-fuse-ld=lld"]),
    "O1 -g1 lld": (["-O1", "-g1"], ["-fuse-ld=lld"]),
    "O0 -g lld": (["-O0"], ["-fuse-ld=lld"]),
}
DEFAULT_VARIANTS = list(VARIANTS)
# Timed as commands only (changing the compiler rebuilds the whole tree):
# GCC in place of clang for the native module, its driver and linkers.
GCC_VARIANTS = {
    "g++ O2 -g": ([], []),
    "g++ O1 -g": (["-O1"], []),
    "g++ O1 -g1": (["-O1", "-g1"], []),
    "g++ O1 -g gold": (["-O1"], ["-fuse-ld=gold"]),
    "g++ O1 -g lld": (["-O1"], ["-fuse-ld=lld"]),
}

MARKER = re.compile(r"edit (\d+) ran at (\d+)")
SOURCE_MARKER = re.compile(r"edit \d+ ran at %")
WATCH_LINE = re.compile(r"^\S+ \[([\d.]+) ms\] (.*)$")
FIRST_EVENT = re.compile(r"first event at ([\d.]+) ms")

MODULE_FLAGS_CMAKE = """\
# Written by bench/host/edit_to_screen.py: the demo target's extra options,
# applied once every directory has been read.
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL edit_bench_module_options)
function(edit_bench_module_options)
    if(TARGET demo)
        set_property(TARGET demo APPEND PROPERTY COMPILE_OPTIONS ${EDIT_BENCH_COMPILE_OPTIONS})
        set_property(TARGET demo APPEND PROPERTY LINK_OPTIONS ${EDIT_BENCH_LINK_OPTIONS})
    endif()
endfunction()
"""


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


# ---------------------------------------------------------------------------
# File events, read by a thread of their own so that each is stamped when the
# kernel hands it over.

IN_CLOSE_WRITE = 0x00000008
IN_MOVED_TO = 0x00000080
EVENT_HEADER = struct.Struct("iIII")


class FileEvents(threading.Thread):
    def __init__(self, directories):
        super().__init__(daemon=True)
        libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6", use_errno=True)
        libc.inotify_add_watch.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_uint32]
        self.fd = libc.inotify_init1(os.O_CLOEXEC)
        self.paths = {}
        for directory in directories:
            os.makedirs(directory, exist_ok=True)
            wd = libc.inotify_add_watch(self.fd, os.fsencode(directory),
                                        IN_CLOSE_WRITE | IN_MOVED_TO)
            if wd < 0:
                raise OSError(ctypes.get_errno(), "inotify_add_watch " + directory)
            self.paths[wd] = directory
        self.events = []  # (ms, path), in order
        self.lock = threading.Lock()

    def run(self):
        while True:
            data = os.read(self.fd, 65536)
            when = monotonic_ms()
            offset = 0
            while offset < len(data):
                wd, _mask, _cookie, length = EVENT_HEADER.unpack_from(data, offset)
                offset += EVENT_HEADER.size
                name = os.fsdecode(data[offset:offset + length].split(b"\0", 1)[0])
                offset += length
                with self.lock:
                    self.events.append((when, os.path.join(self.paths.get(wd, "?"), name)))

    def first_after(self, since, matches):
        with self.lock:
            for when, path in self.events:
                if when >= since and matches(path):
                    return when
        return None


# ---------------------------------------------------------------------------
# The output of ./run --watch: watch.py's timestamped lines and the host's
# marker, each line stamped when read.

class RunOutput(threading.Thread):
    def __init__(self, stream, log_path):
        super().__init__(daemon=True)
        self.stream = stream
        self.log = open(log_path, "w")
        self.lines = []  # (ms read, text)
        self.lock = threading.Lock()
        self.changed = threading.Condition(self.lock)

    def run(self):
        for raw in iter(self.stream.readline, b""):
            when = monotonic_ms()
            text = raw.decode(errors="replace").rstrip("\n")
            self.log.write("%.3f %s\n" % (when, text))
            self.log.flush()
            with self.lock:
                self.lines.append((when, text))
                self.changed.notify_all()

    def wait_for(self, predicate, since_index, timeout):
        """The first (index, when, text) from since_index on that satisfies
        predicate(text), or None after timeout seconds."""
        deadline = time.monotonic() + timeout
        index = since_index
        with self.lock:
            while True:
                while index < len(self.lines):
                    when, text = self.lines[index]
                    if predicate(text):
                        return index, when, text
                    index += 1
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self.changed.wait(left)

    def count(self):
        with self.lock:
            return len(self.lines)


# ---------------------------------------------------------------------------

class Tree:
    """The private copy and the names of what its build writes."""

    def __init__(self, root, host):
        self.root = root
        self.host = host
        self.preset = host
        self.build = os.path.join(root, "out", self.preset)
        suffix = ".dll" if host == "windows" else ".so"
        obj = ".obj" if host == "windows" else ".o"
        self.source = os.path.join(root, "demo", "main.cpp")
        self.object_dir = os.path.join(self.build, "demo", "CMakeFiles", "demo.dir")
        self.object_name = "main.cpp" + obj
        self.modules_dir = os.path.join(self.build, "modules")
        self.library_name = "demo" + suffix
        self.stage_dir = os.path.join(self.build, "run", "build")
        self.staged_name = "main" + suffix
        self.copy_prefix = "active_main" + suffix
        self.flags_file = os.path.join(root, "out", "edit-bench-module-options.cmake")


def copy_tree(target):
    """The working tree's files (tracked and new, not ignored) under target."""
    names = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], cwd=ROOT,
                           capture_output=True, check=True).stdout.split(b"\0")
    for name in names:
        if not name:
            continue
        source = os.path.join(ROOT, os.fsdecode(name))
        if not os.path.isfile(source):
            continue  # deleted in the working tree
        destination = os.path.join(target, os.fsdecode(name))
        os.makedirs(os.path.dirname(destination), exist_ok=True)
        shutil.copy2(source, destination)


ENTRY_START = re.compile(r"(ENTRY_EXPORT void entry\([^)]*\)\s*\{\n)")


def marker_line(number):
    return ('    { static u32 said; if (!said) { said = 1; char m[64]; format_text(m, '
            '"edit %d ran at %%\\n", format_arg_u64(services->get_counter())); '
            'services->debug_print(m); } }\n' % number)


def add_marker(tree):
    with open(tree.source) as f:
        text = f.read()
    if SOURCE_MARKER.search(text):
        return
    text, count = ENTRY_START.subn(lambda m: m.group(1) + marker_line(0), text, count=1)
    if count != 1:
        raise SystemExit("no entry function found in " + tree.source)
    with open(tree.source, "w") as f:
        f.write(text)


def save_edit(tree, number):
    """Rewrites the marker line with a new number, in place, as an editor
    saves; returns the time just before the save began."""
    with open(tree.source) as f:
        lines = f.readlines()
    lines = [marker_line(number) if SOURCE_MARKER.search(line) else line for line in lines]
    text = "".join(lines)
    started = monotonic_ms()
    with open(tree.source, "w") as f:
        f.write(text)
    return started


def configure(tree, compile_options, link_options):
    with open(tree.flags_file, "w") as f:
        f.write(MODULE_FLAGS_CMAKE)
    command = ["cmake", "--preset", tree.preset, "-DCMAKE_PROJECT_INCLUDE=" + tree.flags_file,
               "-DEDIT_BENCH_COMPILE_OPTIONS=" + ";".join(compile_options),
               "-DEDIT_BENCH_LINK_OPTIONS=" + ";".join(link_options)]
    result = subprocess.run(command, cwd=tree.root, capture_output=True, text=True)
    if result.returncode != 0:
        print(result.stdout[-3000:], result.stderr[-3000:])
        raise SystemExit("configuring the copy failed")


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


def demo_command(tree):
    """How the compiler and linker are called for the demo's main.cpp and
    library, as ninja would call them (for the report)."""
    out = subprocess.run(["ninja", "-C", tree.build, "-t", "commands", "demo"],
                         capture_output=True, text=True).stdout.splitlines()
    compile_line = next((line for line in out if "demo/main.cpp" in line), "")
    link_line = next((line for line in out if " -o modules/" + tree.library_name in line
                      or "-o modules/" + tree.library_name in line), "")
    return compile_line, link_line


class Session:
    """One ./run --watch on the copy, its output and the file events of the
    directories the build writes."""

    def __init__(self, tree, display_env, log_path):
        env = dict(os.environ)
        env.update(display_env)
        if tree.host == "windows":
            env["WINEDEBUG"] = "+debugstr"
        command = [os.path.join(tree.root, "run"), "--watch"]
        if tree.host == "windows":
            command.insert(1, "--windows")
        self.tree = tree
        self.log_path = log_path
        self.files = FileEvents([tree.object_dir, tree.modules_dir, tree.stage_dir])
        self.files.start()
        self.run = subprocess.Popen(command, cwd=tree.root, env=env, stdin=subprocess.DEVNULL,
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                    start_new_session=True)
        self.output = RunOutput(self.run.stdout, log_path)
        self.output.start()
        if not self.output.wait_for(lambda t: "watching" in t, 0, timeout=900):
            self.stop()
            raise SystemExit("./run --watch did not start watching (log: %s)" % log_path)
        # The build it started with runs and says so.
        if not self.output.wait_for(lambda t: MARKER.search(t), 0, timeout=120):
            self.stop()
            raise SystemExit("the host never ran the demo (log: %s)" % log_path)
        time.sleep(1.0)

    def stop(self):
        try:
            os.killpg(self.run.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        try:
            self.run.wait(30)
        except subprocess.TimeoutExpired:
            os.killpg(self.run.pid, signal.SIGKILL)
            self.run.wait(10)

    def edit(self, number):
        """Saves edit `number` and follows it to the first call of its build;
        returns the moments of each phase."""
        tree, output, files = self.tree, self.output, self.files
        seen = output.count()
        saved = save_edit(tree, number)
        wanted = str(number)
        found = output.wait_for(
            lambda t: (MARKER.search(t) and MARKER.search(t).group(1) == wanted)
            or "failed" in t, seen, timeout=180)
        if not found or "failed" in found[2]:
            raise SystemExit("edit %d never ran (log: %s)" % (number, self.log_path))
        _, read_at, text = found
        counter_ms = int(MARKER.search(text).group(2)) / 1e4
        ran = counter_ms + (raw_offset_ms() if tree.host == "windows" else 0.0)
        noticed = output.wait_for(lambda t: "change noticed" in t, seen, 0)
        started = output.wait_for(lambda t: "build started" in t, seen, 0)
        finished = output.wait_for(lambda t: "build finished" in t, seen, 5)
        time.sleep(0.3)  # the last file events are in

        def event(matches):
            return files.first_after(saved, matches)

        def stamp(found_line):
            return float(WATCH_LINE.match(found_line[2]).group(1)) if found_line else None

        row = {"saved": saved, "event": None, "started": stamp(started),
               "finished": stamp(finished),
               "object": event(lambda p: p == os.path.join(tree.object_dir, tree.object_name)),
               "library": event(lambda p: p == os.path.join(tree.modules_dir,
                                                            tree.library_name)),
               "staged": event(lambda p: p == os.path.join(tree.stage_dir, tree.staged_name)),
               "copied": event(lambda p: os.path.basename(p).startswith(tree.copy_prefix)),
               "ran": ran, "read": read_at}
        row.update(ninja_durations(tree))
        if None not in (row["object"], row["started"]) and "compiler" in row:
            row["tool"] = row["object"] - row["started"] - row["compiler"]
        if noticed:
            first = FIRST_EVENT.search(noticed[2])
            row["event"] = float(first.group(1)) if first else stamp(noticed)
        time.sleep(0.5)
        return row


def measure(tree, variants, cycles, edits_per_cycle, display_env, logs_dir):
    """Cycles through the variants within one ./run --watch, so that a
    machine whose load drifts weighs on all of them alike: each turn sets a
    variant's options (reconfiguring the copy), makes one warm-up edit (it
    rebuilds all of the demo with the new options) and then the measured
    ones. Returns the rows by variant and each variant's commands."""
    configure(tree, *VARIANTS[variants[0]])
    session = Session(tree, display_env, os.path.join(logs_dir, "run-watch.log"))
    results = {name: [] for name in variants}
    commands = {}
    number = int(time.time()) % 100000 * 100
    try:
        for cycle in range(cycles):
            for name in variants:
                configure(tree, *VARIANTS[name])
                commands[name] = demo_command(tree)
                for i in range(edits_per_cycle + 1):
                    number += 1
                    row = session.edit(number)
                    if i > 0:
                        results[name].append(row)
            print("  cycle %d of %d done; load average %s"
                  % (cycle + 1, cycles, " ".join(open("/proc/loadavg").read().split()[:3])),
                  flush=True)
    finally:
        session.stop()
    return results, commands


def ninja_durations(tree):
    """The last compile of main.cpp and link of the library as ninja timed
    them (the link's step includes the staging commands after it)."""
    found = {}
    wanted = {"demo/CMakeFiles/demo.dir/" + tree.object_name: "compiler",
              "modules/" + tree.library_name: "link_step"}
    try:
        with open(os.path.join(tree.build, ".ninja_log")) as log:
            for line in log:
                fields = line.rstrip("\n").split("\t")
                if len(fields) >= 4 and fields[3] in wanted:
                    found[wanted[fields[3]]] = int(fields[1]) - int(fields[0])
    except OSError:
        pass
    return found


# ---------------------------------------------------------------------------
# The same settings without the rest of the loop: the demo's compile and link
# commands as ninja runs them, each variant's options appended, timed in
# interleaved rounds in this one process (the machine is shared and noisy),
# with the staging step's alternatives and the build tool's own start beside.

STAGE_SCRIPT = """\
file(COPY_FILE ${FROM} ${TO}.partial)
file(RENAME ${TO}.partial ${TO})
"""


def timed(command, cwd):
    started = time.monotonic()
    result = subprocess.run(command, cwd=cwd, shell=True, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True)
    elapsed = (time.monotonic() - started) * 1000.0
    return elapsed if result.returncode == 0 else None, result.stderr[-500:]


def toolchain_rounds(tree, variants, rounds):
    configure(tree, [], [])
    subprocess.run(["cmake", "--build", tree.build, "--target", "demo"], check=True,
                   stdout=subprocess.DEVNULL)
    compile_line, link_line = demo_command(tree)
    link_only = link_line.split(" && cd ")[0].lstrip(": &").strip()
    scratch = tempfile.mkdtemp(prefix="toolchain-", dir=os.path.join(tree.root, "out"))
    obj = os.path.join(scratch, tree.object_name)
    lib = os.path.join(scratch, tree.library_name)
    object_path = "demo/CMakeFiles/demo.dir/" + tree.object_name
    compile_base = compile_line.replace("-o " + object_path, "-o " + obj).replace(
        "-MF " + object_path + ".d", "-MF " + obj + ".d")
    link_base = link_only.replace("-o modules/" + tree.library_name, "-o " + lib)
    commands = {}
    for name in variants:
        compile_options, link_options = VARIANTS[name]
        commands[name] = (compile_base + " " + " ".join(compile_options),
                          link_base + " " + " ".join(link_options))
    driver = compile_base.split()[0]
    if tree.host == "linux" and os.path.basename(driver).startswith("clang"):
        for name, (compile_options, link_options) in GCC_VARIANTS.items():
            commands[name] = (
                compile_base.replace(driver, "g++", 1) + " " + " ".join(compile_options),
                link_base.replace(driver, "g++", 1) + " " + " ".join(link_options))
        variants = variants + list(GCC_VARIANTS)
    stage_file = os.path.join(scratch, "stage.cmake")
    with open(stage_file, "w") as f:
        f.write(STAGE_SCRIPT)
    target = os.path.join(scratch, "staged" + os.path.splitext(tree.library_name)[1])
    built = os.path.join(tree.modules_dir, tree.library_name)
    others = {
        "staging: make_directory, copy, rename (cmake -E x3, as now)":
            "cmake -E make_directory %s && cmake -E copy %s %s.partial && "
            "cmake -E rename %s.partial %s" % (scratch, built, target, target, target),
        "staging: one cmake -P script (COPY_FILE, RENAME)":
            "cmake -DFROM=%s -DTO=%s -P %s" % (built, target, stage_file),
        "staging: cp and mv": "cp %s %s.partial && mv -f %s.partial %s"
                              % (built, target, target, target),
        "no-op build: cmake --build --target demo":
            "cmake --build %s --target demo" % tree.build,
        "no-op build: ninja demo": "ninja -C %s demo" % tree.build,
        "compiler driver start: clang++ --version / g++ --version":
            compile_line.split()[0] + " --version",
    }
    times = {("compile", n): [] for n in variants}
    times.update({("link", n): [] for n in variants})
    times.update({("other", n): [] for n in others})
    sizes = {}
    failed = {}
    for r in range(rounds):
        order = variants[r % len(variants):] + variants[:r % len(variants)]
        for name in order:
            for kind, command in (("compile", commands[name][0]), ("link", commands[name][1])):
                if (kind, name) in failed:
                    continue
                if kind == "link":
                    # The link of this variant's own object.
                    subprocess.run(commands[name][0], cwd=tree.build, shell=True,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                    command = command.replace(object_path, obj)
                elapsed, error = timed(command, tree.build)
                if elapsed is None:
                    failed[(kind, name)] = error
                    continue
                times[(kind, name)].append(elapsed)
                if r == 0:
                    sizes[(kind, name)] = os.path.getsize(obj if kind == "compile" else lib)
        for name, command in others.items():
            elapsed, _ = timed(command, tree.build)
            if elapsed is not None:
                times[("other", name)].append(elapsed)
    base = variants[0]
    print("toolchain rounds: %d, interleaved; ms per command (median) and the median of the "
          "per-round ratios to %s" % (rounds, base))
    print("  %-58s %9s %9s %7s %9s" % ("command", "median", "p90", "ratio", "output KiB"))
    for kind in ("compile", "link"):
        for name in variants:
            values = times[(kind, name)]
            if (kind, name) in failed:
                print("  %-58s failed: %s" % ("%s main.cpp, %s" % (kind, name),
                                             failed[(kind, name)].strip()[-200:]))
                continue
            reference = times[(kind, base)]
            ratios = [a / b for a, b in zip(values, reference)] if reference else []
            print("  %-58s %9.1f %9.1f %7s %9.1f"
                  % ("%s %s, %s" % (kind, "main.cpp" if kind == "compile" else "the library",
                                    name),
                     statistics.median(values), percentile(values, 0.9),
                     "%.2f" % statistics.median(ratios) if ratios else "-",
                     sizes.get((kind, name), 0) / 1024.0))
    for name in others:
        values = times[("other", name)]
        if values:
            print("  %-58s %9.1f %9.1f" % (name[:58], statistics.median(values),
                                           percentile(values, 0.9)))
    shutil.rmtree(scratch, ignore_errors=True)


def module_call_cost(tree, variants, display_env, frames):
    """What the settings cost at run time: the demo's entry call per frame,
    built with each set of compile options, on the real frame loop of
    host_frame_bench (the shared tree's build of it) at the default window
    size."""
    build = os.path.join(ROOT, "out", tree.preset)
    subprocess.run(["cmake", "--build", build, "-j2", "--target", "host_frame_bench"],
                   check=True, stdout=subprocess.DEVNULL)
    bench = os.path.join(build, "bench", "host", "host_frame_bench")
    command = ["wine", bench + ".exe"] if tree.host == "windows" else [bench]
    env = dict(os.environ)
    env.update(display_env)
    if tree.host == "windows":
        env["WINEPREFIX"] = os.path.join(tree.build, "wineprefix-run")
        env["WINEDEBUG"] = "-all"
    seen = set()
    print("  %-24s %12s %12s   (demo's entry per frame, %d frames)"
          % ("compile options", "median ms", "p99 ms", frames))
    for name in variants:
        compile_options = tuple(VARIANTS[name][0])
        if compile_options in seen:
            continue
        seen.add(compile_options)
        configure(tree, list(compile_options), [])
        subprocess.run(["cmake", "--build", tree.build, "--target", "demo"], check=True,
                       stdout=subprocess.DEVNULL)
        run_dir = tempfile.mkdtemp(prefix="module-cost-", dir=os.path.join(tree.root, "out"))
        os.makedirs(os.path.join(run_dir, "build"))
        os.makedirs(os.path.join(run_dir, "data"))
        shutil.copy(os.path.join(tree.modules_dir, tree.library_name),
                    os.path.join(run_dir, "build", tree.staged_name))
        result = subprocess.run(command + [str(frames)], cwd=os.path.join(run_dir, "data"),
                                env=env, capture_output=True, text=True, timeout=300)
        shutil.rmtree(run_dir, ignore_errors=True)
        row = re.search(r"module call \(not host work\)\s+median\s+([\d.]+) ms\s+p99\s+"
                        r"([\d.]+) ms", result.stdout)
        label = " ".join(compile_options) or "(build type's)"
        if row:
            print("  %-24s %12s %12s" % (label, row.group(1), row.group(2)))
        else:
            print("  %-24s failed: %s" % (label, (result.stdout + result.stderr)[-300:]))
    configure(tree, [], [])


PHASES = [
    ("noticing", "saved", "started"),
    ("  of which inotify to watch.py", "saved", "event"),
    ("compiling (with build tool start)", "started", "object"),
    ("  of which the compiler (ninja's)", None, "compiler"),
    ("  of which cmake and ninja", None, "tool"),
    ("linking", "object", "library"),
    ("  link and staging step (ninja's)", None, "link_step"),
    ("staging", "library", "staged"),
    ("loading", "staged", "ran"),
    ("  of which poll wait and copy", "staged", "copied"),
    ("edit to screen", "saved", "ran"),
    ("(build finished, after staging)", "staged", "finished"),
]


def phase_values(rows, start, end):
    if start is None:
        return [row[end] for row in rows if row.get(end) is not None]
    return [row[end] - row[start] for row in rows
            if row.get(start) is not None and row.get(end) is not None]


def print_variant(name, rows):
    print("  %-36s %9s %9s %9s" % ("phase (ms)", "median", "p90", "max"))
    for label, start, end in PHASES:
        values = phase_values(rows, start, end)
        if values:
            print("  %-36s %9.1f %9.1f %9.1f" % (label, statistics.median(values),
                                                 percentile(values, 0.9), max(values)))
        else:
            print("  %-36s %9s" % (label, "-"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--host", choices=("linux", "windows"), default="linux")
    parser.add_argument("--cycles", type=int, default=5,
                        help="times through the variants (default 5)")
    parser.add_argument("--edits-per-turn", type=int, default=2,
                        help="measured edits per variant and cycle, after a warm-up "
                             "(default 2: 10 edits per variant in all)")
    parser.add_argument("--variants", default=",".join(DEFAULT_VARIANTS),
                        help="comma-separated, from: " + ", ".join(VARIANTS))
    parser.add_argument("--tree", help="a copy made by an earlier run (kept, not removed)")
    parser.add_argument("--rounds", type=int, default=11,
                        help="rounds of the compile and link commands alone (0: none)")
    parser.add_argument("--no-loop", action="store_true",
                        help="only the commands' rounds, not ./run --watch")
    parser.add_argument("--cost-frames", type=int, default=300,
                        help="frames of the demo per compile setting for its run-time cost "
                             "(0: not measured)")
    args = parser.parse_args()
    variants = [v for v in args.variants.split(",") if v]
    for variant in variants:
        if variant not in VARIANTS:
            raise SystemExit("unknown variant %r" % variant)

    scratch = None
    if args.tree:
        root = args.tree
    else:
        scratch = tempfile.mkdtemp(prefix="edit-to-screen-")
        root = os.path.join(scratch, "engine")
        copy_tree(root)
    tree = Tree(root, args.host)
    add_marker(tree)
    logs_dir = os.path.join(root, "out", "edit-bench-logs")
    os.makedirs(logs_dir, exist_ok=True)
    env_file, display_env = start_display()
    print("edit to screen, %s host, %d edits per variant, copy in %s (logs in %s)"
          % (args.host, args.cycles * args.edits_per_turn, root, logs_dir))
    print("load average before: %s" % " ".join(open("/proc/loadavg").read().split()[:3]))
    results = {}
    try:
        if not args.no_loop:
            print("== edits: %d cycles through the variants, %d measured edits per turn"
                  % (args.cycles, args.edits_per_turn), flush=True)
            results, commands = measure(tree, variants, args.cycles, args.edits_per_turn,
                                        display_env, logs_dir)
            for variant in variants:
                print("== %s" % variant)
                print("  compile: ...%s" % commands[variant][0][-120:])
                print("  link:    ...%s" % commands[variant][1].split(" && cd ")[0][-120:])
                print_variant(variant, results[variant])
        if args.rounds:
            print("== the commands alone", flush=True)
            toolchain_rounds(tree, variants, args.rounds)
        if args.cost_frames:
            print("== what the compile settings cost the demo at run time", flush=True)
            module_call_cost(tree, variants, display_env, args.cost_frames)
    finally:
        subprocess.run([os.path.join(ROOT, "tests", "session", "cleanup.sh"), env_file])
        if scratch and not args.tree:
            print("(the copy stays for --tree reruns: %s)" % root)
    if not results:
        return 0
    print()
    print("medians in ms, %s host, %d edits each"
          % (args.host, args.cycles * args.edits_per_turn))
    header = "%-20s" % "variant" + "".join("%11s" % label for label in (
        "noticing", "compiling", "linking", "staging", "loading", "total", "total p90"))
    print(header)
    for variant, rows in results.items():
        cells = []
        by_label = {label: (start, end) for label, start, end in PHASES}
        for label in ("noticing", "compiling (with build tool start)", "linking", "staging",
                      "loading", "edit to screen"):
            start, end = by_label[label]
            values = phase_values(rows, start, end)
            cells.append("%11.1f" % statistics.median(values) if values else "%11s" % "-")
        totals = phase_values(rows, "saved", "ran")
        cells.append("%11.1f" % percentile(totals, 0.9) if totals else "%11s" % "-")
        print("%-20s" % variant + "".join(cells))
    print("load average after: %s" % " ".join(open("/proc/loadavg").read().split()[:3]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
