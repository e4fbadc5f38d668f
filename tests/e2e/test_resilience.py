"""A module that faults does not take the host down: every kind of fault is
survived and named in the title, the window keeps running and shows a
marker, a new build resumes with the slot intact, and closing still ends the
host with exit code 0."""

import os
import re
import shutil
import subprocess
import time
import unittest

import harness
from harness import Host, install_module, make_run_dir, module_file, read_records, wait_for, xdotool

MAGENTA = (255, 0, 255)
RED = (255, 0, 0)
GREEN = (0, 255, 0)


def window_title(window):
    return xdotool("getwindowname", window).stdout.strip()


def text_section(dll):
    """(start, end) of the module's code, relative to its base."""
    out = subprocess.run(["x86_64-w64-mingw32-objdump", "-h", dll],
                         capture_output=True, text=True, check=True).stdout
    image_base = int(re.search(r"ImageBase\s+([0-9a-f]+)", subprocess.run(
        ["x86_64-w64-mingw32-objdump", "-p", dll], capture_output=True, text=True,
        check=True).stdout).group(1), 16)
    for line in out.splitlines():
        fields = line.split()
        if len(fields) > 4 and fields[1] == ".text":
            size, vma = int(fields[2], 16), int(fields[3], 16)
            return vma - image_base, vma - image_base + size
    raise AssertionError("no .text in " + dll)


class DebuggedHost(Host):
    """The host started by the test debugger, which logs what it is told."""

    def __init__(self, run_dir, env=None):
        self.run_dir = run_dir
        build = os.path.join(run_dir, "build")
        shutil.copy(os.path.join(harness.BUILD_DIR, "tools", "debugger.exe"), build)
        self.log_path = os.path.join(run_dir, "debugger.log")
        environment = dict(os.environ)
        environment.update(env or {})
        self.stdout_path = os.path.join(run_dir, "host.stdout")
        self.stderr_path = os.path.join(run_dir, "host.stderr")
        with open(self.stdout_path, "wb") as out, open(self.stderr_path, "wb") as err:
            self.process = subprocess.Popen(
                ["wine", "debugger.exe", "Z:" + self.log_path], cwd=build, env=environment,
                stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        self.window = None

    def events(self):
        try:
            with open(self.log_path) as log:
                return log.read().splitlines()
        except FileNotFoundError:
            return []


class ResilienceTest(unittest.TestCase):
    def start(self, name, module, env=None):
        self.run_dir = make_run_dir(name)
        install_module(self.run_dir, module_file(module))
        self.host = Host(self.run_dir, env=env)
        self.addCleanup(self.host.stop)
        self.host.find_window()
        return self.host

    def records(self):
        return read_records(self.run_dir)

    def wait_title(self, pattern, timeout=15.0):
        title = wait_for(lambda: re.search(pattern, window_title(self.host.window)) and
                         window_title(self.host.window), timeout)
        self.assertTrue(title, "title %r never matched %r" % (window_title(self.host.window),
                                                               pattern))
        return title

    def assert_not_called(self, seconds=1.0):
        """The faulted build gets no more calls while the host keeps running."""
        count = len(self.records())
        time.sleep(seconds)
        self.assertTrue(self.host.running())
        self.assertEqual(len(self.records()), count)

    def assert_resumed(self, before):
        """A good build is called again and finds everything as it was."""
        install_module(self.run_dir, module_file("faulter_none"))
        self.wait_title("^Engine$")
        resumed = wait_for(lambda: [r for r in self.records() if r["v"] == "0"][5:], timeout=10)
        self.assertTrue(resumed, "the good build was not called")
        records = self.records()
        frames = [int(r["f"]) for r in records]
        # The frame count lives behind the slot: no gap, no restart.
        self.assertEqual(frames, list(range(1, len(frames) + 1)))
        self.assertEqual({r["magic"] for r in records}, {"1"})
        for key in ("run", "in", "svc", "slot"):
            self.assertEqual({r[key] for r in records}, {before[key]}, key)
        self.assertEqual({r["runv"] for r in resumed}, {"1"})
        return resumed

    def test_every_kind_of_fault_is_survived_named_and_followed_by_a_new_build(self):
        at = 8
        self.start("kinds", "faulter_write_null", env={"FAULTER_AT": str(at)})
        text_start, text_end = text_section(module_file("faulter_write_null"))
        title = self.wait_title("fault")
        match = re.fullmatch(
            r"Engine - fault: access violation \(0xC0000005\) writing 0x0 at "
            r"main\.dll\+0x([0-9A-F]+) - rebuild to resume", title)
        self.assertTrue(match, title)
        self.assertTrue(text_start <= int(match.group(1), 16) < text_end, title)
        records = self.records()
        self.assertEqual(len(records), at)
        self.assertEqual(records[-1]["fault"], "1")
        before = records[0]
        self.assert_not_called()

        # Each new build is called again, and faults in its first frame.
        kinds = [
            ("faulter_illegal_instruction", r"illegal instruction \(0xC000001D\) at main\.dll\+"),
            ("faulter_integer_divide", r"integer division by zero \(0xC0000094\) at main\.dll\+"),
            ("faulter_float_divide",
             r"float (division by zero \(0xC000008E\)|multiple traps \(0xC00002B5\)) "
             r"at main\.dll\+"),
            ("faulter_breakpoint", r"breakpoint \(0x80000003\) at engine\.exe\+"),
            ("faulter_stack_overflow", r"stack overflow \(0xC00000FD\) at main\.dll\+"),
            # A second overflow needs the stack's guard page back in place.
            ("faulter_stack_overflow", r"stack overflow \(0xC00000FD\) at main\.dll\+"),
            ("faulter_call_null", r"access violation \(0xC0000005\) executing 0x0 at 0x0 "
                                  r"called from main\.dll\+0x[0-9A-F]+ - "),
            # Declined by the module's own handler, caught once nobody took it.
            ("faulter_under_handler", r"access violation \(0xC0000005\) writing 0x0 at main\.dll\+"),
        ]
        for module, pattern in kinds:
            count = len(self.records())
            install_module(self.run_dir, module_file(module))
            self.assertTrue(wait_for(lambda: len(self.records()) > count, timeout=10), module)
            self.wait_title("^Engine - fault: " + pattern)
            time.sleep(0.2)
            records = self.records()
            self.assertEqual(len(records), count + 1, module)
            self.assertEqual(records[-1]["fault"], "1", module)
            self.assert_not_called(0.5)

        resumed = self.assert_resumed(before)
        # The trapping build's half-made change to the control word is undone.
        self.assertEqual({r["fpcw"] for r in resumed}, {before["fpcw"]})
        self.host.close()
        self.assertEqual(self.host.wait(timeout=30), 0)

    def test_a_fault_on_a_key_leaves_the_window_responsive_and_marked(self):
        self.start("key", "faulter_write_null", env={"FAULTER_KEY": "1"})
        wait_for(lambda: len(self.records()) >= 10)
        before = self.records()[0]
        self.press("g")
        time.sleep(0.5)
        self.assertEqual(window_title(self.host.window), "Engine")
        self.press("f")
        self.wait_title("access violation")
        self.assertEqual(self.records()[-1]["keyf"], "1")
        self.assert_not_called(0.5)

        # The last image stays, with the marker over it.
        time.sleep(0.3)
        image = self.host.screenshot()
        self.check_marked(image)
        self.assertEqual(image.pixel(image.width // 4, image.height - 40), RED)
        self.assertEqual(image.pixel(image.width // 4, 40), GREEN)

        # Resizing still works: the host fits the buffer and marks it again.
        self.host.resize(600, 400)
        self.assertTrue(wait_for(lambda: self.host.geometry()[2:] == (600, 400), timeout=10))
        time.sleep(0.5)
        self.check_marked(self.host.screenshot())
        self.assertTrue(self.host.running())

        resumed = self.assert_resumed(before)
        self.assertEqual((resumed[-1]["w"], resumed[-1]["h"]), ("600", "400"))
        time.sleep(0.3)
        image = self.host.screenshot()
        self.assertEqual(image.pixel(image.width - 1, image.height - 1), RED)
        self.assertEqual(image.pixel(0, 0), GREEN)
        self.assertEqual(image.pixel(image.width // 2, image.height // 2 + 2), RED)
        # Input still reaches the resumed build.
        self.press("f")
        self.assertTrue(wait_for(lambda: any(r["v"] == "0" and r["keyf"] != "0"
                                             for r in self.records()), timeout=10))
        self.host.close()
        self.assertEqual(self.host.wait(timeout=30), 0)

    def press(self, key):
        """Holds the key for a few frames, so one frame sees it down."""
        xdotool("windowfocus", "--sync", self.host.window)
        self.assertEqual(xdotool("keydown", key).returncode, 0)
        time.sleep(0.2)
        self.assertEqual(xdotool("keyup", key).returncode, 0)

    def check_marked(self, image):
        for x, y in ((0, 0), (image.width - 1, image.height - 1), (image.width // 2, 3),
                     (3, image.height // 2), (image.width // 2, image.height // 2)):
            self.assertEqual(image.pixel(x, y), MAGENTA, (x, y))

    def start_debugged(self, name, module, env):
        self.run_dir = make_run_dir(name)
        install_module(self.run_dir, module_file(module))
        self.host = DebuggedHost(self.run_dir, env=env)
        self.addCleanup(self.host.stop)
        self.host.find_window()
        return self.host

    def test_with_a_debugger_attached_breakpoints_and_faults_reach_it(self):
        # debug_break stops in the debugger, and going on carries on the build.
        host = self.start_debugged("debug_break", "faulter_breakpoint", {"FAULTER_AT": "10"})
        breaks = "exception code=80000003 first=1"
        self.assertTrue(wait_for(lambda: sum(breaks in e for e in host.events()) >= 6), host.events())
        count = len(self.records())
        self.assertTrue(wait_for(lambda: len(self.records()) > count + 10, timeout=10))
        self.assertEqual(window_title(host.window), "Engine")
        self.assertNotIn("first=0", "\n".join(host.events()))
        host.close()
        self.assertEqual(host.wait(timeout=30), 0)
        self.assertEqual(host.events()[-1], "exit code=0")

        # A fault is the debugger's: first chance, then, passed on, second
        # chance, as with no handler at all.
        host = self.start_debugged("debug_fault", "faulter_write_null", {"FAULTER_AT": "10"})
        self.assertEqual(host.wait(timeout=30), 0)
        events = [e for e in host.events() if "C0000005" in e or "exit" in e]
        self.assertEqual(events, ["exception code=C0000005 first=1 at_instruction=-1",
                                  "exception code=C0000005 first=0 at_instruction=-1",
                                  "exit code=3"])
        self.assertEqual(len(self.records()), 10)

    def test_a_fault_that_the_system_handles_itself_is_no_fault(self):
        self.start("probe", "faulter_handled_probe")
        records = wait_for(lambda: self.records()[30:], timeout=20)
        self.assertTrue(records)
        self.assertEqual({r["probe"] for r in self.records()}, {"1"})
        self.assertEqual(window_title(self.host.window), "Engine")
        self.host.close()
        self.assertEqual(self.host.wait(timeout=30), 0)


if __name__ == "__main__":
    unittest.main()
