#!/usr/bin/env python3
"""Rebuilds a module whenever one of its sources is saved, so a running host
picks up every edit as soon as the build is done.

    scripts/watch.py [--while PID] [--settle MS] BUILD_DIR TARGET DIR...

Watches every directory under DIR... with inotify (new directories included)
and builds TARGET in BUILD_DIR (with ninja itself in a Ninja tree) once per
burst of changes.
The build's exit status decides: a failed build prints its whole output, a
successful one prints "rebuilt TARGET in N ms". With --while, stops once the
process PID has ended (the host, when ./run --watch started it).

Each line of its own starts with the wall-clock time and the CLOCK_MONOTONIC
time in milliseconds (the clock the host reads), so that a benchmark of edit
to screen can line the phases up with the host's: "change noticed" (with the
time the burst's first event was read), "build started", "build finished".
--settle sets how long a burst must stay quiet before the build starts (10 ms
unless told).

Not watched: BUILD_DIR when it lies inside a watched directory (the build
would trigger itself), and names starting with "." or ending in "~": hidden
directories such as .git, and editors' swap, lock and backup files.
"""

import ctypes
import ctypes.util
import datetime
import os
import shutil
import select
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
IN_ONLYDIR = 0x01000000
IN_ISDIR = 0x40000000
IN_NONBLOCK = os.O_NONBLOCK
IN_CLOEXEC = os.O_CLOEXEC
WATCH_MASK = (IN_CLOSE_WRITE | IN_MOVED_FROM | IN_MOVED_TO | IN_CREATE | IN_DELETE
              | IN_ONLYDIR)
EVENT_HEADER = struct.Struct("iIII")

# An editor's save is a handful of events within a millisecond or two: the
# burst ends once this long has passed without another.
DEFAULT_SETTLE_MS = 10
# A file created but not yet closed is still being written (an editor may
# fsync before closing it): the burst waits for its close, up to this long.
UNFINISHED_WAIT_S = 1.0
# Something that writes without pause still gets a build this often.
LONGEST_BURST_S = 1.0
# How often the --while process is looked at, at the least.
OWNER_CHECK_S = 0.2


def monotonic():
    """Seconds on CLOCK_MONOTONIC, the host's clock."""
    return time.clock_gettime(time.CLOCK_MONOTONIC)


def say(message):
    wall = datetime.datetime.now().strftime("%H:%M:%S.%f")[:-3]
    print("%s [%.3f ms] %s" % (wall, monotonic() * 1000.0, message), flush=True)


def usage():
    sys.stderr.write("usage: %s [--while PID] [--settle MS] BUILD_DIR TARGET DIR...\n"
                     % sys.argv[0])
    sys.exit(2)


def parse_arguments(argv):
    owner = None
    settle_ms = DEFAULT_SETTLE_MS
    while argv and argv[0].startswith("--"):
        if len(argv) < 2:
            usage()
        if argv[0] == "--while":
            owner = int(argv[1])
        elif argv[0] == "--settle":
            settle_ms = float(argv[1])
        else:
            usage()
        argv = argv[2:]
    if len(argv) < 3:
        usage()
    return owner, settle_ms, argv[0], argv[1], argv[2:]


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
    return name.startswith(".") or name.endswith("~")



def build_command(build_dir, target):
    """Ninja itself where the tree is a Ninja tree: cmake --build only starts
    it, and that costs tens of milliseconds of every edit."""
    ninja = shutil.which("ninja")
    if ninja and os.path.exists(os.path.join(build_dir, "build.ninja")):
        return [ninja, "-C", build_dir, target]
    return ["cmake", "--build", build_dir, "--target", target]

class Inotify:
    def __init__(self, build_dir):
        self.libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6", use_errno=True)
        self.libc.inotify_add_watch.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_uint32]
        self.libc.inotify_rm_watch.argtypes = [ctypes.c_int, ctypes.c_int]
        self.fd = self.libc.inotify_init1(IN_NONBLOCK | IN_CLOEXEC)
        if self.fd < 0:
            raise OSError(ctypes.get_errno(), "inotify_init1: " + os.strerror(ctypes.get_errno()))
        self.build_dir = os.path.realpath(build_dir)
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
        return os.path.realpath(path) == self.build_dir

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


class Watcher:
    def __init__(self, owner, settle_ms, build_dir, target, directories):
        self.owner = owner
        self.settle_s = settle_ms / 1000.0
        self.build_dir = build_dir
        self.target = target
        self.directories = directories
        self.inotify = Inotify(build_dir)
        # The burst being gathered: changed paths in order, when its first
        # and last events were read, and files created but not yet closed.
        self.changed = []
        self.first_event = None
        self.last_event = None
        self.unfinished = {}
        self.build = None
        self.build_started = 0.0
        self.build_output = []

    def start(self):
        for directory in self.directories:
            self.inotify.watch_tree(directory)
        say("watching %s (rebuilds %s)" % (" ".join(self.directories), self.target))

    def note_change(self, path, when):
        if self.first_event is None:
            self.first_event = when
        self.last_event = when
        if path not in self.changed:
            self.changed.append(path)

    def take_events(self):
        when = monotonic()
        for wd, mask, name in self.inotify.read():
            if mask & IN_Q_OVERFLOW:
                # Events were lost: look again at everything.
                for directory in self.directories:
                    self.inotify.watch_tree(directory)
                self.note_change("(too many events to list)", when)
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
                        self.note_change(found, when)
                elif mask & IN_MOVED_FROM:
                    self.inotify.forget_tree(path)
            elif mask & IN_CREATE:
                try:
                    if os.path.isfile(path) and not os.path.islink(path):
                        self.unfinished[path] = when + UNFINISHED_WAIT_S
                except OSError:
                    pass
            if mask & (IN_CLOSE_WRITE | IN_DELETE | IN_MOVED_FROM):
                self.unfinished.pop(path, None)
            self.note_change(path, when)

    def burst_over_in(self, when):
        """Seconds until the burst being gathered is over (0 or less: it is)."""
        wait = self.last_event + self.settle_s - when
        self.unfinished = {p: d for p, d in self.unfinished.items() if d > when}
        if self.unfinished:
            wait = max(wait, min(self.unfinished.values()) - when)
        return min(wait, self.first_event + LONGEST_BURST_S - when)

    def start_build(self):
        shown = self.changed[:3]
        more = len(self.changed) - len(shown)
        say("change noticed: %s%s (first event at %.3f ms)"
            % (", ".join(shown), " and %d more" % more if more > 0 else "",
               self.first_event * 1000.0))
        self.changed = []
        self.first_event = self.last_event = None
        self.unfinished = {}
        command = build_command(self.build_dir, self.target)
        say("build started: %s" % " ".join(command))
        self.build_started = monotonic()
        self.build_output = []
        try:
            self.build = subprocess.Popen(command, stdout=subprocess.PIPE,
                                          stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        except OSError as error:
            self.build = None
            self.finish_build(127, [("%s\n" % error).encode()])

    def take_build_output(self):
        """Reads what the build wrote; True once it has ended. The end is its
        output's end, or its exit when something it started keeps the pipe."""
        while True:
            try:
                chunk = os.read(self.build.stdout.fileno(), 65536)
            except BlockingIOError:
                if self.build.poll() is None:
                    return False
                break
            if not chunk:
                break
            self.build_output.append(chunk)
        self.build.stdout.close()
        status = self.build.wait()
        self.build = None
        self.finish_build(status, self.build_output)
        return True

    def finish_build(self, status, output):
        elapsed_ms = (monotonic() - self.build_started) * 1000.0
        say("build finished: exit %d" % status)
        if status == 0:
            say("rebuilt %s in %d ms" % (self.target, round(elapsed_ms)))
            return
        sys.stdout.flush()
        sys.stdout.buffer.write(b"".join(output))
        sys.stdout.buffer.flush()
        say("build of %s failed (exit %d, output above); the host keeps running the "
            "previous build" % (self.target, status))

    def run(self):
        self.start()
        poller = select.poll()
        poller.register(self.inotify.fd, select.POLLIN)
        build_fd = None
        owner_gone = False
        while True:
            if self.owner is not None and not owner_gone and not alive(self.owner):
                owner_gone = True
            if owner_gone and self.build is None:
                say("process %d has ended; stopping" % self.owner)
                return 0

            timeout = OWNER_CHECK_S
            if self.first_event is not None and self.build is None:
                left = self.burst_over_in(monotonic())
                if left <= 0:
                    self.start_build()
                    if self.build is not None:
                        build_fd = self.build.stdout.fileno()
                        os.set_blocking(build_fd, False)
                        poller.register(build_fd, select.POLLIN)
                    continue
                timeout = min(timeout, left)

            ready = [fd for fd, _ in poller.poll(max(timeout, 0) * 1000.0)]
            if self.inotify.fd in ready:
                self.take_events()
            if build_fd is not None and (build_fd in ready or self.build.poll() is not None):
                if self.take_build_output():
                    # Changes saved during the build start the next one once
                    # their own burst is over.
                    poller.unregister(build_fd)
                    build_fd = None


def main():
    owner, settle_ms, build_dir, target, directories = parse_arguments(sys.argv[1:])
    try:
        return Watcher(owner, settle_ms, build_dir, target, directories).run()
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
