"""A module that faults does not take the host down: every kind of fault is
survived and named in the title, the window keeps running and shows a
marker, a new build resumes with the slot intact, and closing still ends the
host with exit code 0. Both hosts: the Windows host under Wine, the Linux
host natively; the names of codes and libraries come from the harness."""

import re
import shutil
import time
import unittest

import harness
from harness import (DebuggedHost, Host, fault_code, fault_named, install_module, make_run_dir,
                     module_file, read_records, text_section, wait_for, window_title, xdotool)

MAGENTA = (255, 0, 255)
RED = (255, 0, 0)
GREEN = (0, 255, 0)

MODULE = re.escape(harness.MODULE_NAME)
HOST = re.escape(harness.HOST_NAME)


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

    def said(self):
        """The host's own lines on standard error."""
        return [line for line in self.host.stderr().splitlines() if line.startswith("Engine: ")]

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
        # The frame count lives behind the slot: no gap, no restart. A
        # faulting frame's count is undone, so the next build counts it again.
        frames = [int(r["f"]) for r in records if r["fault"] != "1"]
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
            r"Engine - fault: " + fault_named("access violation") + r" writing 0x0 at " + MODULE +
            r"\+0x([0-9A-F]+) - rebuild to resume", title)
        self.assertTrue(match, title)
        self.assertTrue(text_start <= int(match.group(1), 16) < text_end, title)
        records = self.records()
        self.assertEqual(len(records), at)
        self.assertEqual(records[-1]["fault"], "1")
        before = records[0]
        self.assert_not_called()
        # Standard error says it too, once, in the title's words.
        self.assertEqual(self.said(), ["Engine: " + title[len("Engine - "):]])

        # Each new build is called again, and faults in its first frame.
        # Windows may report a trapped float division as several traps at once.
        float_divide = fault_named("float division by zero")
        if harness.WINDOWS:
            float_divide = "(%s|%s)" % (float_divide, fault_named("float multiple traps"))
        kinds = [
            ("faulter_illegal_instruction", fault_named("illegal instruction") + r" at " + MODULE + r"\+"),
            # A fatal stop of the base library, not just any illegal instruction.
            ("faulter_broken_invariant", fault_named("broken invariant") + r" at " + MODULE + r"\+"),
            ("faulter_integer_divide", fault_named("integer division by zero") + r" at " + MODULE + r"\+"),
            ("faulter_float_divide", float_divide + r" at " + MODULE + r"\+"),
            ("faulter_breakpoint", fault_named("breakpoint") + r" at " + HOST + r"\+"),
            ("faulter_stack_overflow", fault_named("stack overflow") + r" at " + MODULE + r"\+"),
            # A second overflow needs the stack's guard page back in place.
            ("faulter_stack_overflow", fault_named("stack overflow") + r" at " + MODULE + r"\+"),
            ("faulter_call_null", fault_named("access violation") + r" executing 0x0 at 0x0 "
                                  r"called from " + MODULE + r"\+0x[0-9A-F]+ - "),
            ("faulter_read_bad", fault_named("access violation") + r" reading 0x10 at " + MODULE + r"\+"),
        ]
        # abort() in the module, and an exception that leaves entry, which
        # ends in abort(): raised in the C library, named an abort.
        kinds.append(("faulter_abort", fault_named("abort") + r" at "))
        kinds.append(("faulter_throw", fault_named("abort") + r" at "))
        if harness.WINDOWS:
            # Declined by the module's own handler, caught once nobody took it.
            kinds.append(("faulter_under_handler",
                          fault_named("access violation") + r" writing 0x0 at " + MODULE + r"\+"))
        else:
            # A page mapped past the end of its file.
            kinds.append(("faulter_bus_error", fault_named("bus error") + r" at " + MODULE + r"\+"))
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
            self.assertEqual(self.said()[-1], "Engine: " + window_title(self.host.window)
                             [len("Engine - "):], module)
        self.assertEqual(len(self.said()), 1 + len(kinds), self.said())

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
        image = self.host.settled_screenshot(self.marked)
        self.check_marked(image)
        self.assertEqual(image.pixel(image.width // 4, image.height - 40), RED)
        self.assertEqual(image.pixel(image.width // 4, 40), GREEN)

        # Resizing still works: the host fits the buffer and marks it again.
        self.host.resize(600, 400)
        self.assertTrue(wait_for(lambda: self.host.geometry()[2:] == (600, 400), timeout=10))
        self.check_marked(self.host.settled_screenshot(
            lambda image: image.width == 600 and self.marked(image)))
        self.assertTrue(self.host.running())

        resumed = self.assert_resumed(before)
        self.assertEqual((resumed[-1]["w"], resumed[-1]["h"]), ("600", "400"))
        image = self.host.settled_screenshot(lambda image: not self.marked(image))
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

    def marked(self, image):
        return image.pixel(image.width // 2, image.height // 2) == MAGENTA

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

    @unittest.skipIf(harness.LINUX and not shutil.which("gdb"), "gdb is not installed")
    def test_with_a_debugger_attached_breakpoints_and_faults_reach_it(self):
        # debug_break stops in the debugger, and going on carries on the build.
        host = self.start_debugged("debug_break", "faulter_breakpoint", {"FAULTER_AT": "10"})
        breakpoint = fault_code("breakpoint")
        self.assertTrue(wait_for(lambda: sum(code == breakpoint and first
                                             for code, first, _ in host.stops()) >= 6),
                        host.log_text())
        count = len(self.records())
        self.assertTrue(wait_for(lambda: len(self.records()) > count + 10, timeout=10))
        self.assertEqual(window_title(host.window), "Engine")
        self.assertTrue(all(first for _, first, _ in host.stops()), host.log_text())
        if harness.LINUX:
            # Stopped inside the module's call, where the trap was raised.
            for _, _, where in host.stops():
                self.assertRegex(where, r"\bdebug_break \(", where)
                self.assertRegex(where, r"\bentry \(", where)
        host.close()
        self.assertEqual(host.wait(timeout=30), 0)
        self.assertEqual(host.exit_code(), 0, host.log_text())

        host = self.start_debugged("debug_fault", "faulter_write_null", {"FAULTER_AT": "10"})
        violation = fault_code("access violation")
        if harness.WINDOWS:
            # A fault is the debugger's: first chance, then, passed on, second
            # chance, as with no handler at all.
            self.assertEqual(host.wait(timeout=30), 0)
            faults = [(code, first) for code, first, _ in host.stops() if code == violation]
            self.assertEqual(faults, [(violation, True), (violation, False)])
            self.assertEqual(host.exit_code(), 3)
            self.assertEqual(len(self.records()), 10)
            return
        # The debugger stops at the fault first, inside entry; passed on, the
        # signal reaches the host's guard, which survives it as without one.
        self.wait_title("^Engine - fault: " + fault_named("access violation") + " writing 0x0 at " +
                        MODULE + r"\+")
        stops = host.stops()
        self.assertEqual([(code, first) for code, first, _ in stops], [(violation, True)],
                         host.log_text())
        self.assertRegex(stops[0][2], r"\bentry \(")
        self.assertEqual(len(self.records()), 10)
        self.assert_not_called(0.5)
        host.close()
        self.assertEqual(host.wait(timeout=30), 0)
        self.assertEqual(host.exit_code(), 0, host.log_text())

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
