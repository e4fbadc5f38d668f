"""Drives the real host under Wine on the test display.

A test makes a fresh run directory (build/ with the host and data/ beside
it), installs a module there, starts the host, and then reads what the test
module recorded, looks at the window through screenshots and sends input
with xdotool. The environment (DISPLAY, WINEPREFIX) comes from the wine_setup
fixture through tests/wine/run.sh.
"""

import os
import re
import shutil
import subprocess
import tempfile
import time

BUILD_DIR = os.environ.get("ENGINE_BUILD_DIR", "")
HOST_EXE = os.path.join(BUILD_DIR, "run", "build", "engine.exe")
MODULES_DIR = os.path.join(BUILD_DIR, "modules")
RUNS_DIR = os.path.join(BUILD_DIR, "e2e-runs")


def module_file(name):
    """The path of a test module built by engine_add_module."""
    return os.path.join(MODULES_DIR, name + ".dll")


def make_run_dir(name):
    """A fresh run directory: build/ holding the host, data/ beside it."""
    os.makedirs(RUNS_DIR, exist_ok=True)
    run_dir = tempfile.mkdtemp(prefix=name + "-", dir=RUNS_DIR)
    os.makedirs(os.path.join(run_dir, "build"))
    os.makedirs(os.path.join(run_dir, "data"))
    shutil.copy(HOST_EXE, os.path.join(run_dir, "build", "engine.exe"))
    return run_dir


def module_path(run_dir):
    return os.path.join(run_dir, "build", "main.dll")


_stamp = [0]


def _fresh_stamp(path):
    """Gives the file a last-write time no earlier install has had, so the
    host sees a change even when two installs fall in one clock tick."""
    now = time.time_ns()
    _stamp[0] = max(now, _stamp[0] + 10_000_000)
    os.utime(path, ns=(_stamp[0], _stamp[0]))


def install_module(run_dir, dll):
    """Puts dll at build/main.dll at once (written beside, then renamed)."""
    target = module_path(run_dir)
    partial = target + ".partial"
    shutil.copyfile(dll, partial)
    _fresh_stamp(partial)
    os.replace(partial, target)


def write_module_part(run_dir, dll, fraction):
    """Writes only the first part of dll to build/main.dll, as a build tool
    that is still writing it would leave it."""
    with open(dll, "rb") as source:
        data = source.read()
    target = module_path(run_dir)
    with open(target, "wb") as out:
        out.write(data[: int(len(data) * fraction)])
    _fresh_stamp(target)


def wait_for(predicate, timeout=20.0, interval=0.1):
    """Polls until predicate() is truthy; returns its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(interval)


_FIELD = re.compile(r"(\w+)=(\S+)")


def read_records(run_dir, name="frames.log"):
    """The recording module's lines as dicts of text fields; only whole lines."""
    path = os.path.join(run_dir, "data", name)
    try:
        with open(path, "r") as log:
            text = log.read()
    except FileNotFoundError:
        return []
    lines = text.split("\n")[:-1]
    return [dict(_FIELD.findall(line)) for line in lines]


def xdotool(*args):
    return subprocess.run(["xdotool", *args], capture_output=True, text=True, timeout=30)


class Host:
    """One run of the host: the process, its window and its output files."""

    def __init__(self, run_dir, env=None, winedebug=None):
        self.run_dir = run_dir
        environment = dict(os.environ)
        environment.update(env or {})
        if winedebug:
            environment["WINEDEBUG"] = winedebug
        self.stdout_path = os.path.join(run_dir, "host.stdout")
        self.stderr_path = os.path.join(run_dir, "host.stderr")
        with open(self.stdout_path, "wb") as out, open(self.stderr_path, "wb") as err:
            self.process = subprocess.Popen(
                ["wine", "engine.exe"],
                cwd=os.path.join(run_dir, "build"),
                env=environment,
                stdin=subprocess.DEVNULL,
                stdout=out,
                stderr=err,
            )
        self.window = None

    def find_window(self, timeout=30.0):
        def search():
            if self.process.poll() is not None:
                return "exited"
            found = xdotool("search", "--name", "^Engine$").stdout.split()
            return found[0] if found else None

        window = wait_for(search, timeout)
        if window in (None, "exited"):
            raise AssertionError("the host's window did not appear (%s)" % window)
        self.window = window
        return window

    def geometry(self):
        """The window's client area on the screen: x, y, width, height."""
        out = xdotool("getwindowgeometry", "--shell", self.window).stdout
        values = dict(line.split("=", 1) for line in out.split() if "=" in line)
        return (int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"]))

    def screenshot(self):
        """The client area's pixels as an Image, top row first."""
        x, y, width, height = self.geometry()
        ppm = subprocess.run(
            ["import", "-silent", "-window", "root", "-crop",
             "%dx%d+%d+%d" % (width, height, x, y), "+repage", "-depth", "8", "ppm:-"],
            capture_output=True, timeout=60, check=True,
        ).stdout
        return Image.from_ppm(ppm)

    def resize(self, width, height):
        xdotool("windowsize", self.window, str(width), str(height))

    def close(self):
        """Closes the window as a user would, with alt+F4."""
        xdotool("windowfocus", "--sync", self.window)
        xdotool("key", "--window", self.window, "alt+F4")

    def wait(self, timeout=30.0):
        """The exit code, or None if the host is still running after timeout."""
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def running(self):
        return self.process.poll() is None

    def stop(self):
        if self.running():
            self.process.kill()
            self.process.wait(10)

    def stderr(self):
        with open(self.stderr_path, "r", errors="replace") as err:
            return err.read()


class Image:
    """RGB pixels of a screenshot, rows from the top."""

    def __init__(self, width, height, data):
        self.width, self.height, self.data = width, height, data

    @staticmethod
    def from_ppm(ppm):
        # P6 header: magic, width, height, maximum value, one whitespace byte.
        fields, offset = [], 0
        while len(fields) < 4:
            while ppm[offset : offset + 1].isspace():
                offset += 1
            start = offset
            while not ppm[offset : offset + 1].isspace():
                offset += 1
            fields.append(ppm[start:offset])
        assert fields[0] == b"P6", fields[0]
        assert fields[3] == b"255", fields[3]  # one byte per channel
        width, height = int(fields[1]), int(fields[2])
        return Image(width, height, ppm[offset + 1 :])

    def pixel(self, x, y_from_top):
        """(red, green, blue) at column x, row y counted from the top."""
        at = 3 * (y_from_top * self.width + x)
        return tuple(self.data[at : at + 3])
