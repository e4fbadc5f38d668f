"""Drives the real host on the test display: the Windows host under Wine, or
the Linux host natively.

A test makes a fresh run directory (build/ with the host and data/ beside
it), installs a module there, starts the host, and then reads what the test
module recorded, looks at the window through screenshots and sends input
with xdotool. The environment (DISPLAY, and WINEPREFIX for Windows) comes
from the session fixture through tests/session/run.sh; ENGINE_HOST_KIND says
which host the build made.

Everything that differs between the two hosts is in this file, in one table
per host: the tests read their expectations from it.
"""

import os
import re
import shutil
import subprocess
import tempfile
import time

HOST_KIND = os.environ.get("ENGINE_HOST_KIND", "")
WINDOWS = HOST_KIND == "windows"
LINUX = HOST_KIND == "linux"
if not (WINDOWS or LINUX):
    raise RuntimeError("ENGINE_HOST_KIND must be windows or linux (CTest sets it), not %r"
                       % HOST_KIND)

BUILD_DIR = os.environ.get("ENGINE_BUILD_DIR", "")
MODULES_DIR = os.path.join(BUILD_DIR, "modules")
RUNS_DIR = os.path.join(BUILD_DIR, "e2e-runs")


class _Windows:
    host_file = "engine.exe"
    command = ["wine", "engine.exe"]
    module_suffix = ".dll"
    objdump = "x86_64-w64-mingw32-objdump"
    # What ends the working directory's start-up line: the debugger takes
    # each message whole.
    start_line_end = ""
    # Whether a test module can plug in controllers the host then sees (SDL's
    # virtual ones; XInput has none).
    virtual_controllers = False
    # The system's code for each kind of fault, as the title gives it.
    codes = {
        "access violation": r"0xC0000005",
        "illegal instruction": r"0xC000001D",
        "broken invariant": r"0xC000001D",
        "integer division by zero": r"0xC0000094",
        "float division by zero": r"0xC000008E",
        "float multiple traps": r"0xC00002B5",
        "breakpoint": r"0x80000003",
        "stack overflow": r"0xC00000FD",
        "abort": r"0x40000015",
        "datatype misalignment": r"0x80000002",
    }
    # Each call that ends a program: how the title names it, and the test
    # build that makes it. MinGW's _Exit is an inline call of _exit, and
    # quick_exit is the UCRT's only (msvcrt.dll has none).
    exit_calls = {"exit": ("exit", "faulter_exit"), "_exit": ("_exit", "faulter_exit"),
                  "_Exit": ("_exit", "faulter_exit"),
                  "quick_exit": ("quick_exit", "faulter_exit_ucrt")}


class _Linux:
    host_file = "engine"
    command = ["./engine"]
    module_suffix = ".so"
    objdump = "objdump"
    start_line_end = "\n"
    virtual_controllers = True
    codes = {
        "access violation": r"SIGSEGV",
        "illegal instruction": r"SIGILL",
        "broken invariant": r"SIGILL",
        "integer division by zero": r"SIGFPE",
        "float division by zero": r"SIGFPE",
        "breakpoint": r"SIGTRAP",
        "stack overflow": r"SIGSEGV",
        "bus error": r"SIGBUS",
        "abort": r"SIGABRT",
        "datatype misalignment": r"SIGBUS",
    }
    exit_calls = {call: (call, "faulter_exit") for call in ("exit", "_exit", "_Exit", "quick_exit")}


SYSTEM = _Windows if WINDOWS else _Linux
HOST_EXE = os.path.join(BUILD_DIR, "run", "build", SYSTEM.host_file)
# The module file the host loads, and the name fault titles give the host.
MODULE_NAME = "main" + SYSTEM.module_suffix
HOST_NAME = SYSTEM.host_file
START_LINE_END = SYSTEM.start_line_end
VIRTUAL_CONTROLLERS = SYSTEM.virtual_controllers


def _asoundrc(run_dir, pcm):
    """ALSA's configuration with the default output of the test's own."""
    config = os.path.join(run_dir, "asoundrc")
    with open(config, "w") as out:
        out.write("pcm.!default { %s }\n" % pcm)
    return {"ALSA_CONFIG_PATH": "/usr/share/alsa/alsa.conf:" + config}


def sound_output(run_dir):
    """(environment, file): the system's real audio path ending in a raw
    file of 32-bit float stereo frames at 48 kHz. Linux: SDL's disk driver.
    Windows: WASAPI under Wine, through Wine's ALSA driver into ALSA's file
    plugin (its null sink is not paced: the queue drains at once)."""
    path = os.path.join(run_dir, "device.raw")
    if LINUX:
        return {"SDL_AUDIODRIVER": "disk", "SDL_DISKAUDIOFILE": path}, path
    env = _asoundrc(run_dir, 'type file slave.pcm "null" file "%s" format "raw"' % path)
    env["PULSE_SERVER"] = "unix:/nonexistent"
    return env, path


# The first title of a module that makes sound: where there is no sound
# device (Wine without a driver, a machine without sound) it says so.
SOUNDING_TITLE = "^Engine( - no sound device: sound is off)?$"


def no_sound_output(run_dir):
    """An environment in which the host finds no sound device."""
    if LINUX:
        return {"SDL_AUDIODRIVER": "none"}
    env = _asoundrc(run_dir, "type hw card 99")
    env["PULSE_SERVER"] = "unix:/nonexistent"
    return env


def fault_code(kind):
    """The system's code for a kind of fault, as a pattern for the title."""
    return SYSTEM.codes[kind]


def fault_named(kind):
    """The title's words for a kind of fault: its name and the system's code."""
    return r"%s \(%s\)" % (kind, fault_code(kind))


def exit_call(call):
    """(the title's name for the call, the test build that makes it)."""
    return SYSTEM.exit_calls[call]


def module_file(name):
    """The path of a test module built by engine_add_module."""
    return os.path.join(MODULES_DIR, name + SYSTEM.module_suffix)


def make_run_dir(name):
    """A fresh run directory: build/ holding the host, data/ beside it."""
    os.makedirs(RUNS_DIR, exist_ok=True)
    run_dir = tempfile.mkdtemp(prefix=name + "-", dir=RUNS_DIR)
    os.makedirs(os.path.join(run_dir, "build"))
    os.makedirs(os.path.join(run_dir, "data"))
    shutil.copy(HOST_EXE, os.path.join(run_dir, "build", SYSTEM.host_file))
    return run_dir


def module_path(run_dir):
    return os.path.join(run_dir, "build", MODULE_NAME)


def host_directory(path):
    """A directory as the host names it: Wine shows the Unix root as Z:."""
    path = os.path.realpath(path)
    return "Z:" + path if WINDOWS else path


def loaded_copies(run_dir):
    """The copies the host loaded its builds from, with their change times:
    different after every load (each copy has a name of its own)."""
    build = os.path.join(run_dir, "build")
    found = {}
    for name in os.listdir(build):
        if name.startswith("active_" + MODULE_NAME):
            try:
                found[name] = os.stat(os.path.join(build, name)).st_ctime_ns
            except FileNotFoundError:
                pass
    return found


def copy_numbers(run_dir):
    """The numbers of the copies left in the build folder: the host names
    copy n "active_main.<suffix>.<pid>.<n>" and counts every copy it makes."""
    return sorted(int(name.rsplit(".", 1)[1]) for name in loaded_copies(run_dir))


def text_section(library):
    """(start, end) of the library's code, as offsets from where it loads."""
    headers = subprocess.run([SYSTEM.objdump, "-h", library], capture_output=True, text=True,
                             check=True).stdout
    private = subprocess.run([SYSTEM.objdump, "-p", library], capture_output=True,
                             text=True, check=True).stdout
    if WINDOWS:
        base = int(re.search(r"ImageBase\s+([0-9a-f]+)", private).group(1), 16)
    else:
        # The lowest loaded segment's address (modules link at a fixed base).
        base = min(int(vaddr, 16) for vaddr in re.findall(r"LOAD\s+off\s+\S+\s+vaddr\s+(\S+)",
                                                          private))
    for line in headers.splitlines():
        fields = line.split()
        if len(fields) > 4 and fields[1] == ".text":
            size, vma = int(fields[2], 16), int(fields[3], 16)
            return vma - base, vma - base + size
    raise AssertionError("no .text in " + library)


_stamp = [0]


def _fresh_stamp(path):
    """Gives the file a last-write time no earlier install has had, so the
    host sees a change even when two installs fall in one clock tick."""
    now = time.time_ns()
    _stamp[0] = max(now, _stamp[0] + 10_000_000)
    os.utime(path, ns=(_stamp[0], _stamp[0]))


def install_module(run_dir, library):
    """Puts the library in the host's place at once (written beside, then
    renamed)."""
    target = module_path(run_dir)
    partial = target + ".partial"
    shutil.copyfile(library, partial)
    _fresh_stamp(partial)
    os.replace(partial, target)


def write_module_part(run_dir, library, fraction):
    """Writes only the first part of the library to the host's place, as a
    build tool that is still writing it would leave it."""
    with open(library, "rb") as source:
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


def replay_hashes(run_dir, recording, runs=2):
    """Replays a recording headless in run_dir this many times with --hashes:
    each run's lines, split into words. Fails with the host's output when a
    run does not end with status 0."""
    hashes = []
    for run in range(runs):
        path = os.path.join(run_dir, "hashes%d.txt" % run)
        done = subprocess.run(SYSTEM.command + ["--replay", recording, "--headless",
                                                "--hashes", path],
                              cwd=os.path.join(run_dir, "build"), capture_output=True,
                              timeout=120)
        assert done.returncode == 0, done.stderr
        with open(path) as lines:
            hashes.append([line.split() for line in lines])
    return hashes


def run_tool(command, **options):
    return subprocess.run(command, capture_output=True, text=True, timeout=300, **options)


def install_sdk(prefix):
    """The engine's SDK as `cmake --install` lays it out, from this build."""
    installed = run_tool(["cmake", "--install", BUILD_DIR, "--prefix", prefix])
    if installed.returncode != 0:
        raise AssertionError("cmake --install failed:\n" + installed.stdout + installed.stderr)


def toolchain_options(sdk):
    """What configures a module project for this host's system."""
    if WINDOWS:
        return ["-DCMAKE_TOOLCHAIN_FILE=" +
                os.path.join(sdk, "lib", "cmake", "Engine", "mingw-w64.cmake")]
    return []


def build_module_project(source, build, sdk):
    """Configures (with Ninja, for this host's system) and builds a module
    project that finds the SDK installed at sdk."""
    for command in (["cmake", "-S", source, "-B", build, "-G", "Ninja",
                     "-DCMAKE_PREFIX_PATH=" + sdk, *toolchain_options(sdk)],
                    ["cmake", "--build", build, "-j2"]):
        done = run_tool(command)
        if done.returncode != 0:
            raise AssertionError(" ".join(command) + " failed:\n" + done.stdout + done.stderr)


def installed_host_command(sdk):
    host = os.path.join(sdk, "bin", "engine")
    return ["wine", host + ".exe"] if WINDOWS else [host]


def xdotool(*args):
    return subprocess.run(["xdotool", *args], capture_output=True, text=True, timeout=30)


def window_title(window):
    return xdotool("getwindowname", window).stdout.strip()


# Wine's trace of OutputDebugStringA: the text in quotes, C escapes inside.
_DEBUGSTR = re.compile(r'OutputDebugStringA? "((?:[^"\\]|\\.)*)"')
_ESCAPE = re.compile(r"\\(x[0-9a-fA-F]{2}|.)")
_ESCAPES = {"n": "\n", "r": "\r", "t": "\t"}


def _unescape(text):
    def one(match):
        code = match.group(1)
        if code.startswith("x") and len(code) == 3:
            return chr(int(code[1:], 16))
        return _ESCAPES.get(code, code)

    return _ESCAPE.sub(one, text)


class Host:
    """One run of the host: the process, its window and its output files."""

    def __init__(self, run_dir, env=None, debug_output=False, command=None, stderr=None):
        """debug_output: the Windows host's debugger text is traced by Wine
        into standard error (the Linux host writes it there anyway).
        stderr: a descriptor for the host's standard error instead of the
        run's host.stderr file."""
        self.run_dir = run_dir
        environment = dict(os.environ)
        environment.update(env or {})
        if debug_output and WINDOWS:
            environment["WINEDEBUG"] = "+debugstr"
        self.stdout_path = os.path.join(run_dir, "host.stdout")
        self.stderr_path = os.path.join(run_dir, "host.stderr")
        with open(self.stdout_path, "wb") as out, open(self.stderr_path, "wb") as err:
            self.process = subprocess.Popen(
                command or SYSTEM.command,
                cwd=os.path.join(run_dir, "build"),
                env=environment,
                stdin=subprocess.DEVNULL,
                stdout=out,
                stderr=err if stderr is None else stderr,
            )
        self.window = None

    def find_window(self, timeout=30.0, title="^Engine$"):
        """title: a pattern for the title the window starts with."""
        def search():
            if self.process.poll() is not None:
                return "exited"
            found = xdotool("search", "--name", title).stdout.split()
            return found[0] if found else None

        window = wait_for(search, timeout)
        if window == "exited":
            raise AssertionError("the host exited with %s before its window appeared: %s"
                                 % (self.process.returncode, self.stderr()[-2000:]))
        if window is None:
            raise AssertionError("the host's window did not appear")
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

    def settled_screenshot(self, ready, timeout=10.0):
        """A screenshot once ready(image) holds, or the last one taken when it
        never did: the blit may trail the frame that drew the image."""
        image = [None]

        def take():
            image[0] = self.screenshot()
            return ready(image[0])

        wait_for(take, timeout, interval=0.2)
        return image[0]

    def title(self):
        return window_title(self.window)

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

    def debug_output(self):
        """Everything the host sent to the debugger, as one text: the Windows
        host's OutputDebugStringA calls (traced by Wine; start it with
        debug_output=True), the Linux host's standard error."""
        if LINUX:
            return self.stderr()
        return "".join(_unescape(m.group(1)) for m in _DEBUGSTR.finditer(self.stderr()))

    def debug_messages(self):
        """The Windows host's debugger messages one by one (Linux has only the
        stream, see debug_output)."""
        return [_unescape(m.group(1)) for m in _DEBUGSTR.finditer(self.stderr())]


# gdb in batch mode: stop on everything, show where, go on until the program
# has ended. Breakpoint traps are the debugger's own (not passed on); faults
# are passed on to the program, as gdb does by default.
_GDB_SCRIPT = """\
set pagination off
set confirm off
set print thread-events off
handle SIGTRAP stop print nopass
handle SIGSEGV SIGILL SIGFPE SIGBUS stop print pass
%s
run
while $_isvoid($_exitcode) && $_isvoid($_exitsignal)
  bt 12
  continue
end
"""
# "Program received signal ...", or "Thread 1 "engine" received signal ..."
# once the program has started a thread.
_GDB_STOP = re.compile(r"^(?:Program|Thread \d+ \"[^\"]*\") received signal (\w+)")
_GDB_EXIT = re.compile(r"\[Inferior \d+ \(process \d+\) exited (normally|with code (\d+))\]")
_WINDOWS_EVENT = re.compile(r"exception code=([0-9A-F]{8}) first=(\d)")


def _children(pid):
    """The processes whose parent is pid."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as stat:
                # The parent follows the state, after the parenthesised name.
                fields = stat.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[1]) == pid:
            found.append(int(entry))
    return found


class DebuggedHost(Host):
    """The host started under a debugger that logs what it is told and goes
    on: the project's own on Windows (tools/debugger.exe), gdb on Linux."""

    def __init__(self, run_dir, env=None, gdb_commands=()):
        build = os.path.join(run_dir, "build")
        self.log_path = os.path.join(run_dir, "debugger.log")
        if WINDOWS:
            shutil.copy(os.path.join(BUILD_DIR, "tools", "debugger.exe"), build)
            command = ["wine", "debugger.exe", "Z:" + self.log_path]
            super().__init__(run_dir, env=env, command=command)
            return
        script = os.path.join(run_dir, "debugger.gdb")
        with open(script, "w") as out:
            out.write(_GDB_SCRIPT % "\n".join(gdb_commands))
        self.log = open(self.log_path, "wb")
        environment = dict(os.environ)
        environment.update(env or {})
        # No symbol downloads: with confirm off gdb would say yes to them.
        environment.pop("DEBUGINFOD_URLS", None)
        self.run_dir = run_dir
        self.stdout_path = self.log_path
        self.stderr_path = self.log_path
        self.process = subprocess.Popen(
            ["gdb", "-q", "-nx", "-batch", "-x", script, "./engine"], cwd=build,
            env=environment, stdin=subprocess.DEVNULL, stdout=self.log,
            stderr=subprocess.STDOUT)
        self.window = None

    def stop(self):
        # gdb killed first would leave its program running, detached.
        if LINUX and self.running():
            for child in _children(self.process.pid):
                try:
                    os.kill(child, 9)
                except ProcessLookupError:
                    pass
        super().stop()
        if LINUX:
            self.log.close()

    def log_text(self):
        try:
            with open(self.log_path, "r", errors="replace") as log:
                return log.read()
        except FileNotFoundError:
            return ""

    def stops(self):
        """What the debugger was told about, in order: (code, first chance,
        backtrace). The code as fault_code gives it; on Linux every stop comes
        before the program's own handler, and the backtrace is gdb's."""
        found = []
        if WINDOWS:
            codes = {v[2:]: v for v in _Windows.codes.values()}
            for line in self.log_text().splitlines():
                match = _WINDOWS_EVENT.search(line)
                if match:
                    found.append((codes.get(match.group(1), match.group(1)),
                                  match.group(2) == "1", ""))
            return found
        for block in re.split(r"\n(?=Program received signal |Thread \d+ \"[^\"]*\" received signal )",
                              self.log_text()):
            match = _GDB_STOP.match(block.lstrip("\n"))
            # A stop whose backtrace gdb is still writing is left for later.
            if match and "\n#0 " in block:
                found.append((match.group(1), True, block))
        return found

    def exit_code(self):
        """The host's exit code as the debugger saw it, or None."""
        text = self.log_text()
        if WINDOWS:
            codes = re.findall(r"^exit code=(\d+)$", text, re.M)
            return int(codes[-1]) if codes else None
        match = _GDB_EXIT.search(text)
        if not match:
            return None
        return 0 if match.group(1) == "normally" else int(match.group(2), 8)


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
