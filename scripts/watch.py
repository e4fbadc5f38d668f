#!/usr/bin/env python3
"""Rebuilds a module whenever one of its sources is saved, doing as little as
the change needs, so a running host has the new build a moment later.

    watch.py [--while PID] [--module-file PATH] BUILD_DIR TARGET DIR...

BUILD_DIR is a Ninja tree (CMake's Ninja generator) that builds TARGET, a
module library; DIR... are the folders whose files are watched (new folders
below them included; BUILD_DIR and names starting with "." or "#" or ending
in "~" never: the build would trigger itself, and editors keep their swap,
lock and backup files there).

What it learns from the tree, once and again whenever build.ninja changes:
the compile command of each of the module's own sources and its link command
(ninja -t compdb, -t commands), which headers each source includes (ninja -t
deps, then the dependency file each compile writes), which files define the
build (the inputs of build.ninja), and the sources of the static libraries
the module links that the tree builds.

What a change does, from the file system's close-write and moved-to events
(no waiting for more):
 - a source of the module, or a header only its sources include: those
   sources are compiled with their own commands, in parallel, and the module
   linked to a temporary name beside the module file, then renamed over it.
   The link runs the linker itself when the compiler driver would run just
   one (as `-###` shows), which spares the driver's own start;
 - anything else that exists (the build definition, a library's source, a
   file it can't place): `ninja TARGET` builds it, then the module is staged.
A change saved while a build runs stops that build and starts the next with
everything still to do, so a burst of saves gives one build, of the last
text. The module file is renamed into place only when nothing changed while
it was built.

The module file is where the host loads it: --module-file, or where the
target's post-build step stages it (stage.cmake's -DTO), or else the
target's own library. Beside it, "<module file>.status" tells the host what
is going on, for its window title: "building" while a build runs, "failed"
and the first error ("<file>:<line>: <message>") after one failed; the file
is removed when a build is in place and when the watcher stops.

Each build is one line, stamped with the wall-clock time and the
CLOCK_MONOTONIC time in milliseconds (the host's clock) when it ended:

    12:00:01.234 [5123.456 ms] built demo in 96 ms (draw.cpp): noticed 0.4 ms,
        compiled 58.2 ms, linked 19.1 ms, staged 0.3 ms

(one line), before it the compilers' warnings; a failed build prints the
whole output first and keeps the running build. With --while, stops once the
process PID has ended (the host, when ./run --watch started it).
"""

import ctypes
import ctypes.util
import datetime
import json
import os
import re
import select
import shlex
import shutil
import signal
import struct
import subprocess
import sys
import time

IN_CLOSE_WRITE = 0x00000008
IN_MOVED_FROM = 0x00000040
IN_MOVED_TO = 0x00000080
IN_CREATE = 0x00000100
IN_DELETE = 0x00000200
IN_Q_OVERFLOW = 0x00004000
IN_IGNORED = 0x00008000
IN_ISDIR = 0x40000000
WATCH_MASK = IN_CLOSE_WRITE | IN_MOVED_FROM | IN_MOVED_TO | IN_CREATE | IN_DELETE
EVENT_HEADER = struct.Struct("iIII")

# How often the --while process is looked at, at the least.
OWNER_CHECK_S = 0.2
# How long a stopped build has to end before it is killed.
STOP_WAIT_S = 2.0
OBJECT_SUFFIXES = (".o", ".obj")
LIBRARY_SUFFIXES = (".a", ".lib")
# What a linker is called, when a compiler driver names the one it runs.
LINKER_NAME = re.compile(r"^(.*-)?(ld(\.(gold|lld|bfd))?|ld64\.lld|mold)$")
COMPILER_ERROR = re.compile(
    r"^(?P<file>[^:\s][^:]*):(?P<line>\d+):(?:\d+:)? (?:fatal )?error: (?P<message>.*)$")
CMAKE_ERROR = re.compile(r"^CMake Error at (?P<file>.+?):(?P<line>\d+) ")


def monotonic():
    """Seconds on CLOCK_MONOTONIC, the host's clock."""
    return time.clock_gettime(time.CLOCK_MONOTONIC)


def say(message):
    wall = datetime.datetime.now().strftime("%H:%M:%S.%f")[:-3]
    print("%s [%.3f ms] %s" % (wall, monotonic() * 1000.0, message), flush=True)


def show(output):
    if output:
        sys.stdout.flush()
        sys.stdout.buffer.write(output if output.endswith(b"\n") else output + b"\n")
        sys.stdout.buffer.flush()


def usage():
    sys.stderr.write("usage: %s [--while PID] [--module-file PATH] BUILD_DIR TARGET DIR...\n"
                     % sys.argv[0])
    sys.exit(2)


def parse_arguments(argv):
    owner = None
    module_file = None
    while argv and argv[0].startswith("--"):
        if len(argv) < 2:
            usage()
        if argv[0] == "--while":
            owner = int(argv[1])
        elif argv[0] == "--module-file":
            module_file = os.path.abspath(argv[1])
        else:
            usage()
        argv = argv[2:]
    if len(argv) < 3:
        usage()
    return owner, module_file, os.path.abspath(argv[0]), argv[1], argv[2:]


def alive(pid):
    """Whether the process runs. One that has ended but that its parent has
    not reaped yet still answers signal 0, so its state is read as well."""
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        pass
    try:
        with open("/proc/%d/stat" % pid) as f:
            state = f.read().rsplit(")", 1)[1].split()[0]
    except FileNotFoundError:
        return False
    except (OSError, IndexError):
        return True
    return state not in ("Z", "X")


def ignored_name(name):
    return name.startswith((".", "#")) or name.endswith("~")


def real(path, directory=None):
    if directory and not os.path.isabs(path):
        path = os.path.join(directory, path)
    return os.path.realpath(path)


def milliseconds(seconds):
    return "%.1f ms" % (seconds * 1000.0)


# ---------------------------------------------------------------------------
# What the build tree says.

def ninja(build_dir, *arguments):
    done = subprocess.run(["ninja", "-C", build_dir] + list(arguments), capture_output=True,
                          text=True, stdin=subprocess.DEVNULL)
    if done.returncode != 0:
        raise LookupError("ninja %s: %s" % (" ".join(arguments), done.stderr.strip()
                                            or done.stdout.strip()))
    return done.stdout


def query_inputs(build_dir, output):
    """The rule and the explicit and implicit (|) inputs of the edge that
    builds output; order-only ones (||) are no part of what it builds from."""
    rule, explicit, implicit = None, [], []
    section = None
    for line in ninja(build_dir, "-t", "query", output).splitlines():
        stripped = line.strip()
        if line.startswith("  input: "):
            rule, section = stripped[len("input: "):], "input"
        elif line.startswith("  outputs:"):
            section = "outputs"
        elif section == "input" and line.startswith("    "):
            if stripped.startswith("|| "):
                continue
            if stripped.startswith("| "):
                implicit.append(stripped[2:])
            else:
                explicit.append(stripped)
    return rule, explicit, implicit


def read_depfile(path, directory):
    """The files a Makefile-style dependency file names, as real paths."""
    with open(path, "rb") as f:
        text = f.read().decode(errors="surrogateescape")
    text = text.replace("\\\r\n", " ").replace("\\\n", " ")
    _, _, names = text.partition(": ")
    words, word, i = [], "", 0
    while i < len(names):
        c = names[i]
        if c == "\\" and i + 1 < len(names) and names[i + 1] in " #":
            word += names[i + 1]
            i += 2
            continue
        if c.isspace():
            if word:
                words.append(word)
            word = ""
        else:
            word += c
        i += 1
    if word:
        words.append(word)
    return [real(w, directory) for w in words]


def direct_linker(words, directory):
    """The one command the compiler driver runs for words, when it is a
    linker's; otherwise None."""
    try:
        shown = subprocess.run(words + ["-###"], cwd=directory, capture_output=True, text=True,
                               stdin=subprocess.DEVNULL, timeout=60)
        commands = [line for line in shown.stderr.splitlines() if line.startswith(" ")]
        if shown.returncode == 0 and len(commands) == 1:
            candidate = shlex.split(commands[0])
            if LINKER_NAME.match(os.path.basename(candidate[0])):
                return candidate
    except (OSError, ValueError, subprocess.TimeoutExpired):
        pass
    return None


def split_command(command):
    """A build command's words, or None when it needs a shell."""
    try:
        words = shlex.split(command)
    except ValueError:
        return None
    if any(w in ("&&", "||", ";", "|", ">", "<") for w in words):
        return None
    return words


def replace_output(words, old, new):
    """The words with the value of `-o old` replaced by new, or None."""
    for i in range(len(words) - 1):
        if words[i] == "-o" and words[i + 1] == old:
            return words[:i + 1] + [new] + words[i + 2:]
    return None


class Module:
    """The module's build as the tree defines it."""

    def __init__(self, build_dir, target, module_file):
        self.build_dir = build_dir
        self.target = target
        self.stamp = self.build_ninja_stamp()
        rule, explicit, _ = query_inputs(build_dir, target)
        self.library = explicit[0] if rule == "phony" and len(explicit) == 1 else target
        _, objects, implicit = query_inputs(build_dir, self.library)
        self.objects = [o for o in objects if o.endswith(OBJECT_SUFFIXES)]
        self.libraries = [i for i in objects + implicit if i.endswith(LIBRARY_SUFFIXES)]
        self.compiles = self.learn_compiles()
        self.shadow_commands = {o: self.shadow_command(o) for o in self.objects}
        self.linked = {}  # object -> the shadow linked in its place
        self.link_command, staged_to = self.learn_link()
        self.module_file = module_file or staged_to or real(self.library, build_dir)
        # The link as the watcher runs it: writing beside the module file,
        # and the linker's own command when the compiler driver would run
        # just that one (as -### shows): the driver's start is spared.
        words = replace_output(self.link_command, self.library, self.module_file + ".partial")
        direct = direct_linker(words, build_dir)
        self.linker = direct if direct and self.names_objects(direct) else words
        # Objects passed in a response file can't be swapped for shadows:
        # then every change is ninja's.
        self.links_objects = self.names_objects(words)
        self.definition = set(real(i, build_dir) for i in
                              query_inputs(build_dir, "build.ninja")[2])
        self.definition.add(real("build.ninja", build_dir))
        self.foreign_objects = self.learn_library_objects()
        self.users = {}    # real path -> the module's objects that depend on it
        self.foreign = set()  # real paths the libraries' objects depend on
        self.learn_dependencies()

    def build_ninja_stamp(self):
        try:
            return os.stat(os.path.join(self.build_dir, "build.ninja")).st_mtime_ns
        except OSError:
            return None

    def stale(self):
        return self.build_ninja_stamp() != self.stamp

    def learn_compiles(self):
        entries = json.loads(ninja(self.build_dir, "-t", "compdb"))
        wanted = set(self.objects)
        compiles = {}
        for entry in entries:
            output = entry.get("output")
            if output in wanted:
                compiles[output] = entry
        missing = wanted - set(compiles)
        if missing:
            raise LookupError("no compile command for " + ", ".join(sorted(missing)))
        return compiles

    def learn_library_objects(self):
        """The objects of the static libraries the tree builds for the
        module: a change to one of their inputs is ninja's to build."""
        objects = []
        for library in dict.fromkeys(self.libraries):
            try:
                _, inputs, _ = query_inputs(self.build_dir, library)
            except LookupError:
                continue  # not built here (an installed library)
            objects += [o for o in inputs if o.endswith(OBJECT_SUFFIXES)]
        return objects

    def learn_link(self):
        """The link command's words and, when a post-build step stages the
        library with stage.cmake, where it puts it."""
        command = ninja(self.build_dir, "-t", "commands", "-s", self.library).strip()
        command = command.splitlines()[-1] if command else ""
        parts = [p.strip() for p in command.split(" && ")]
        link, staged_to = None, None
        for part in parts:
            words = split_command(part)
            if not words:
                continue
            if "-o" in words and replace_output(words, self.library, self.library):
                link = words
            elif words[-1:] and words[-1].endswith("stage.cmake"):
                for word in words:
                    if word.startswith("-DTO="):
                        staged_to = word[len("-DTO="):]
        if not link:
            raise LookupError("cannot read the link command of " + self.library)
        return link, staged_to

    def learn_dependencies(self):
        listed = ninja(self.build_dir, "-t", "deps", *(self.objects + self.foreign_objects))
        current, mine = None, False
        module_objects = set(self.objects)
        for line in listed.splitlines():
            if line and not line[0].isspace():
                current = line.split(":", 1)[0]
                mine = current in module_objects
            elif line.strip() and current:
                path = real(line.strip(), self.build_dir)
                if mine:
                    self.users.setdefault(path, set()).add(current)
                else:
                    self.foreign.add(path)
        for output, entry in self.compiles.items():
            self.users.setdefault(real(entry["file"], entry["directory"]), set()).add(output)

    def shadow_command(self, output):
        """The command that compiles output's source into its shadow: the
        watcher links shadows in place of ninja's objects, so ninja's objects
        and its record of them stay as it left them, and its next build does
        just what it would have done. None when the command can't be read."""
        stem, suffix = os.path.splitext(output)
        shadow = stem + ".watch" + suffix
        words = split_command(self.compiles[output]["command"])
        words = words and replace_output(words, output, shadow)
        if not words:
            return None
        for i in range(len(words) - 1):
            if words[i] == "-MF":
                words[i + 1] = shadow + ".d"
        return words, shadow

    def compiled(self, output):
        """After the watcher's own compile: its shadow is linked from now on,
        and the headers the source includes now are read from its
        dependency file."""
        shadow = self.shadow_commands[output][1]
        self.linked[output] = shadow
        directory = self.compiles[output]["directory"]
        path = real(shadow + ".d", directory)
        try:
            files = read_depfile(path, directory)
        except OSError:
            return
        for users in self.users.values():
            users.discard(output)
        for file in files:
            self.users.setdefault(file, set()).add(output)
        os.unlink(path)

    def names_objects(self, words):
        return set(self.objects) <= set(words)

    def link_words(self):
        """The link, with the shadows compiled since ninja last built."""
        return [self.linked.get(word, word) for word in self.linker]

    def place(self, path):
        """What a change to path asks: ("compile", objects), ("ninja", None)
        or ("unknown", None) for a file the build does not name."""
        if path in self.definition or path in self.foreign:
            return "ninja", None
        users = self.users.get(path)
        if users and self.links_objects and all(self.shadow_commands[o] for o in users):
            return "compile", users
        if users:
            return "ninja", None
        return "unknown", None


# ---------------------------------------------------------------------------
# File events.

class Inotify:
    def __init__(self, build_dir):
        self.libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6", use_errno=True)
        self.libc.inotify_add_watch.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_uint32]
        self.libc.inotify_rm_watch.argtypes = [ctypes.c_int, ctypes.c_int]
        self.fd = self.libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        if self.fd < 0:
            raise OSError(ctypes.get_errno(), "inotify_init1: " + os.strerror(ctypes.get_errno()))
        self.build_dir = real(build_dir)
        self.paths = {}  # watch descriptor -> directory
        self.warned = False

    def watch_tree(self, top):
        """Watches top and every directory below it; returns the files found
        there (a directory that appears may already hold some)."""
        files = []
        for directory, subdirectories, names in os.walk(top):
            if not self.add(directory):
                subdirectories[:] = []
                continue
            subdirectories[:] = [d for d in subdirectories
                                 if not ignored_name(d) and not self.is_build_dir(
                                     os.path.join(directory, d))]
            files += [os.path.join(directory, n) for n in names if not ignored_name(n)]
        return files

    def is_build_dir(self, path):
        return real(path) == self.build_dir

    def add(self, directory):
        wd = self.libc.inotify_add_watch(self.fd, os.fsencode(directory), WATCH_MASK)
        if wd < 0:
            error = ctypes.get_errno()
            if not self.warned:
                say("cannot watch %s: %s" % (directory, os.strerror(error)))
                self.warned = True
            return False
        self.paths[wd] = directory
        return True

    def forget_tree(self, top):
        """Stops watching a directory that moved away, and everything below."""
        prefix = top + os.sep
        for wd, path in list(self.paths.items()):
            if path == top or path.startswith(prefix):
                self.libc.inotify_rm_watch(self.fd, wd)
                del self.paths[wd]

    def read(self):
        """The pending events as (watch descriptor, mask, name) tuples."""
        events = []
        while True:
            try:
                data = os.read(self.fd, 65536)
            except BlockingIOError:
                return events
            offset = 0
            while offset < len(data):
                wd, mask, _cookie, length = EVENT_HEADER.unpack_from(data, offset)
                offset += EVENT_HEADER.size
                name = os.fsdecode(data[offset:offset + length].split(b"\0", 1)[0])
                offset += length
                events.append((wd, mask, name))


# ---------------------------------------------------------------------------
# Builds: a queue of commands, each a process of its own (its own process
# group, so a stopped build takes its children along).

class Step:
    def __init__(self, name, words, directory):
        self.name = name
        self.output = []
        self.process = subprocess.Popen(
            words, cwd=directory, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            stdin=subprocess.DEVNULL, start_new_session=True)
        self.fd = self.process.stdout.fileno()
        os.set_blocking(self.fd, False)
        self.status = None

    def take_output(self):
        """Reads what it wrote; True once it has ended (its output's end, or
        its exit when something it started keeps the pipe)."""
        while True:
            try:
                chunk = os.read(self.fd, 65536)
            except BlockingIOError:
                if self.process.poll() is None:
                    return False
                break
            if not chunk:
                break
            self.output.append(chunk)
        self.process.stdout.close()
        self.status = self.process.wait()
        return True

    def stop(self):
        """Ends it and what it started: asked first, so that ninja leaves its
        logs whole, then made to."""
        for sent in (signal.SIGTERM, signal.SIGKILL):
            try:
                os.killpg(self.process.pid, sent)
            except (ProcessLookupError, PermissionError):
                break
            try:
                self.process.wait(STOP_WAIT_S)
                break
            except subprocess.TimeoutExpired:
                pass
        self.process.wait()
        self.process.stdout.close()


def first_error(output, directories):
    """The first error of a build's output as "<file>:<line>: <message>", the
    file named relative to the watched folder that holds it."""
    lines = output.decode(errors="replace").splitlines()
    for i, line in enumerate(lines):
        found = COMPILER_ERROR.match(line)
        if found:
            return "%s:%s: %s" % (short_name(found["file"], directories), found["line"],
                                  found["message"].strip())
        found = CMAKE_ERROR.match(line)
        if found:
            message = next((l.strip() for l in lines[i + 1:] if l.strip()), "")
            return "%s:%s: %s" % (short_name(found["file"], directories), found["line"],
                                  message)
    for line in lines:
        if re.search(r"\berror\b|undefined reference", line, re.IGNORECASE):
            return line.strip()
    return lines[-1].strip() if lines else "no output"


def short_name(path, directories):
    """path from the folder that holds the watched ones (or from the only one)."""
    tops = [real(d) for d in directories]
    top = os.path.commonpath(tops) if len(tops) > 1 else tops[0]
    full = real(path)
    if full.startswith(top + os.sep):
        return os.path.relpath(full, top)
    return path


class Build:
    """A build under way: what it does and when each phase began."""

    def __init__(self, kind, objects, changed, noticed):
        self.kind = kind            # "fast" or "ninja"
        self.objects = objects      # the module's objects it compiles (fast)
        self.queue = sorted(objects)
        self.done = set()           # those compiled
        self.changed = changed      # the changes' names, for the line
        self.noticed = noticed      # when the first of them was read
        self.started = monotonic()
        self.phase = kind
        self.phases = {}
        self.steps = []             # the running commands
        self.output = []            # what the finished ones printed


class Watcher:
    def __init__(self, owner, module_file, build_dir, target, directories):
        self.owner = owner
        self.requested_module_file = module_file
        self.build_dir = build_dir
        self.target = target
        self.directories = directories
        self.jobs = os.cpu_count() or 2
        self.inotify = Inotify(build_dir)
        self.module = None
        # What is still to do: the module's objects to compile and whether
        # ninja must build; `waiting` once a change asks for a build (a
        # failed build waits for the next change).
        self.dirty = set()
        self.need_ninja = False
        self.unknown = {}  # files the build does not name: real path -> name
        self.waiting = False
        self.changed = []
        self.first_event = None
        self.build = None

    # -- learning ----------------------------------------------------------

    def learn(self):
        try:
            self.module = Module(self.build_dir, self.target, self.requested_module_file)
        except (LookupError, OSError, ValueError) as error:
            if self.module is None:
                raise
            say("could not read the build tree again (%s); ninja builds every change" % error)
            self.module.stamp = None

    def status_file(self):
        return self.module.module_file + ".status"

    def partial_file(self):
        return self.module.module_file + ".partial"

    def write_status(self, *lines):
        partial = self.status_file() + ".partial"
        try:
            with open(partial, "w") as f:
                f.write("\n".join(lines) + "\n")
            os.replace(partial, self.status_file())
        except OSError:
            pass

    def clear_status(self):
        try:
            os.unlink(self.status_file())
        except OSError:
            pass

    # -- changes -----------------------------------------------------------

    def take_events(self):
        """Reads the pending events into what is to do; True when one of them
        asks for a build."""
        relevant = False
        when = monotonic()
        for wd, mask, name in self.inotify.read():
            if mask & IN_Q_OVERFLOW:
                for directory in self.directories:
                    self.inotify.watch_tree(directory)
                relevant |= self.note("(too many changes to list)", "ninja", when)
                continue
            if mask & IN_IGNORED:
                self.inotify.paths.pop(wd, None)
                continue
            directory = self.inotify.paths.get(wd)
            if directory is None or not name or ignored_name(name):
                continue
            path = os.path.join(directory, name)
            if mask & IN_ISDIR:
                if self.inotify.is_build_dir(path):
                    continue
                if mask & (IN_CREATE | IN_MOVED_TO):
                    for found in self.inotify.watch_tree(path):
                        relevant |= self.note(found, None, when)
                elif mask & IN_MOVED_FROM:
                    self.inotify.forget_tree(path)
                continue
            # A file's creation is followed by its close; a link's is not.
            if mask & IN_CREATE and not os.path.islink(path):
                continue
            relevant |= self.note(path, None, when)
        return relevant

    def note(self, path, kind, when):
        objects = set()
        if kind is None:
            kind, objects = self.module.place(real(path))
            if self.module.stamp is None and kind == "compile":
                kind = "ninja"
        # Editors write temporary files beside the ones they save, and some
        # are gone before anything looks: only what is still there at the
        # build's start goes to ninja.
        if kind == "unknown" and not os.path.lexists(path):
            return False
        name = short_name(path, self.directories) if os.path.isabs(path) else path
        if kind == "unknown":
            self.unknown[path] = name
        elif kind == "ninja":
            self.need_ninja = True
        else:
            self.dirty |= objects
        self.waiting = True
        if self.first_event is None:
            self.first_event = when
        if name not in self.changed:
            self.changed.append(name)
        return True

    def settle_unknown(self):
        """The files the build does not name that are still there go to
        ninja; the others are forgotten."""
        for path, name in self.unknown.items():
            if os.path.lexists(path):
                self.need_ninja = True
            elif name in self.changed:
                self.changed.remove(name)
        self.unknown = {}

    # -- building ----------------------------------------------------------

    def start_build(self):
        self.waiting = False
        self.settle_unknown()
        if self.module.stale():
            self.learn()
            self.need_ninja = True  # the build's definition changed
        if not self.dirty and not self.need_ninja:
            self.changed, self.first_event = [], None
            return
        kind = "ninja" if self.need_ninja or self.module.stamp is None else "fast"
        build = Build(kind, self.dirty if kind == "fast" else set(), list(self.changed),
                      self.first_event)
        self.build = build
        self.dirty = set() if kind == "fast" else self.dirty
        self.changed, self.first_event = [], None
        self.write_status("building")
        if kind == "ninja":
            self.start_step("ninja", ["ninja", "-C", self.build_dir, self.target], self.build_dir)
            return
        build.phase = "compile"
        build.phases["compile"] = monotonic()
        self.fill_compiles()
        if self.build is build and not build.steps:
            self.start_link()

    def start_step(self, name, words, directory):
        try:
            step = Step(name, words, directory)
        except OSError as error:
            self.fail(("%s: %s\n" % (words[0] if words else name, error)).encode())
            return
        self.build.steps.append(step)

    def fill_compiles(self):
        build = self.build
        while self.build is build and build.queue and len(build.steps) < self.jobs:
            output = build.queue.pop(0)
            words = self.module.shadow_commands[output][0]
            self.start_step(output, words, self.module.compiles[output]["directory"])

    def start_link(self):
        self.build.phase = "link"
        self.build.phases["link"] = monotonic()
        words = self.module.link_words()
        self.start_step("link", words, self.build_dir)

    def step_ended(self, step):
        build = self.build
        build.steps.remove(step)
        output = b"".join(step.output)
        if step.status != 0:
            self.fail(output)
            return
        build.output.append(output)
        if build.kind == "ninja":
            self.finish_ninja(output)
        elif build.phase == "compile":
            self.module.compiled(step.name)
            build.done.add(step.name)
            self.fill_compiles()
            if self.build is build and not build.steps and not build.queue:
                self.start_link()
        else:
            self.stage(self.partial_file())

    def stop_build(self):
        """Stops what runs; what did not compile is still to do, and the
        changes it was for are named again by the next build."""
        build = self.build
        for step in build.steps:
            step.stop()
        self.dirty |= build.objects - build.done
        self.changed = build.changed + [c for c in self.changed if c not in build.changed]
        self.first_event = build.noticed
        self.build = None
        try:
            os.unlink(self.partial_file())
        except OSError:
            pass
        return build

    def fail(self, output):
        build = self.stop_build()
        self.changed, self.first_event = [], None
        for earlier in build.output:
            show(earlier)
        show(output)
        message = first_error(output, self.directories)
        self.write_status("failed", message)
        say("build of %s failed in %d ms (%s): %s; the host keeps running the previous build"
            % (self.target, round((monotonic() - build.started) * 1000.0),
               ", ".join(build.changed), message))

    def restart(self, why):
        self.stop_build()
        say("build of %s stopped: %s" % (self.target, why))

    def stage(self, built):
        """Puts the new build in place, unless something changed while it was
        built: then the next build starts instead."""
        if self.take_events():
            self.restart("a file changed while it was built")
            return
        staging = monotonic()
        try:
            if built == self.partial_file():
                os.replace(built, self.module.module_file)
            else:
                copy_over(built, self.module.module_file)
        except OSError as error:
            self.fail(("cannot put the module in place: %s\n" % error).encode())
            return
        self.succeed(staging, monotonic())

    def finish_ninja(self, output):
        """After ninja built the target: staged here unless its own post-build
        step did, or it did nothing."""
        built = real(self.module.library, self.build_dir)
        target = self.module.module_file
        try:
            fresh = os.stat(built).st_mtime_ns > os.stat(target).st_mtime_ns
        except FileNotFoundError:
            fresh = os.path.exists(built)
        if fresh and built != target:
            self.stage(built)
        elif self.take_events():
            self.restart("a file changed while it was built")
        else:
            now = monotonic()
            self.succeed(now, now, nothing=b"ninja: no work to do" in output)

    def succeed(self, staging, staged, nothing=False):
        build = self.build
        self.build = None
        self.clear_status()
        if build.kind == "ninja":
            self.need_ninja = False
        for output in build.output:
            show(without_progress(output))
        self.report(build, staging, staged, nothing)
        if build.kind == "ninja":
            self.learn()

    def report(self, build, staging, staged, nothing):
        changed = ", ".join(build.changed)
        if nothing:
            say("nothing to rebuild for %s" % changed)
            return
        total = round((staged - build.noticed) * 1000.0)
        noticed = milliseconds(build.started - build.noticed)
        if build.kind == "ninja":
            compiled = re.findall(r"Building \S+ object \S*?([^/\s]+)\.o(?:bj)?\b",
                                  b"".join(build.output).decode(errors="replace"))
            say("built %s with ninja in %d ms (%s): compiled %s; noticed %s, built %s, staged %s"
                % (self.target, total, changed, ", ".join(compiled) or "nothing", noticed,
                   milliseconds(staging - build.started), milliseconds(staged - staging)))
            return
        compiled = sorted(os.path.basename(self.module.compiles[o]["file"]) for o in build.done)
        say("built %s in %d ms (%s): compiled %s; noticed %s, compiled %s, linked %s, staged %s"
            % (self.target, total, changed, ", ".join(compiled), noticed,
               milliseconds(build.phases["link"] - build.phases["compile"]),
               milliseconds(staging - build.phases["link"]), milliseconds(staged - staging)))

    # -- the loop ----------------------------------------------------------

    def run(self):
        self.learn()
        for directory in self.directories:
            self.inotify.watch_tree(directory)
        # The first build brings the module up to date, whatever changed
        # before the watch began.
        self.note("start-up", "ninja", monotonic())
        say("watching %s (builds %s into %s)" % (" ".join(self.directories), self.target,
                                                 self.module.module_file))
        try:
            return self.loop()
        finally:
            if self.build:
                self.stop_build()
            self.clear_status()

    def loop(self):
        while True:
            if self.owner is not None and not alive(self.owner):
                say("process %d has ended; stopping" % self.owner)
                return 0
            if self.build is None and self.waiting:
                self.start_build()
                continue
            poller = select.poll()
            poller.register(self.inotify.fd, select.POLLIN)
            steps = {step.fd: step for step in (self.build.steps if self.build else [])}
            for fd in steps:
                poller.register(fd, select.POLLIN)
            ready = [fd for fd, _ in poller.poll(OWNER_CHECK_S * 1000.0)]
            if self.inotify.fd in ready and self.take_events() and self.build is not None:
                self.restart("a file changed again")
                continue
            for fd, step in steps.items():
                if self.build is None or step not in self.build.steps:
                    continue
                if (fd in ready or step.process.poll() is not None) and step.take_output():
                    self.step_ended(step)


def without_progress(output):
    """A build's output without ninja's own lines: what the tools said."""
    return b"".join(line for line in output.splitlines(keepends=True)
                    if not re.match(rb"^(\[\d+/\d+\] |ninja: )", line))


def copy_over(built, target):
    """Copies a build beside the module file and renames it into place."""
    partial = target + ".partial"
    shutil.copyfile(built, partial)
    os.chmod(partial, 0o755)
    os.replace(partial, target)


def main():
    owner, module_file, build_dir, target, directories = parse_arguments(sys.argv[1:])
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    if not os.path.isfile(os.path.join(build_dir, "build.ninja")) or not shutil.which("ninja"):
        say("cannot watch: %s is not a Ninja build tree (configure it with cmake -G Ninja, "
            "with ninja installed)" % build_dir)
        return 1
    try:
        return Watcher(owner, module_file, build_dir, target, directories).run()
    except KeyboardInterrupt:
        return 130
    except LookupError as error:
        say("cannot watch: %s" % error)
        return 1


if __name__ == "__main__":
    sys.exit(main())
