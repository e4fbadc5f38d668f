"""A hostile module and hostile surroundings against the real host (Windows
under Wine, or Linux): each attack is survived, and what it did is checked
against the system's own view (files on disk, the pointer on the screen,
the bytes that reached standard error, the kernel's log)."""

import os
import shutil
import subprocess
import threading
import time
import unittest

import harness
from harness import (Host, install_module, make_run_dir, module_file, module_path, read_records,
                     wait_for, xdotool)

HUGE = 1 << 32  # a text of this many characters and more


class _Counter:
    """Reads a pipe to its end on a thread of its own, counting the bytes."""

    def __init__(self):
        self.read_end, self.write_end = os.pipe()
        self.count = 0
        self.head = b""
        self.thread = threading.Thread(target=self._drain, daemon=True)
        self.thread.start()

    def _drain(self):
        while True:
            chunk = os.read(self.read_end, 1 << 20)
            if not chunk:
                break
            if len(self.head) < 4096:
                self.head += chunk[:4096]
            self.count += len(chunk)
        os.close(self.read_end)

    def handed_over(self):
        """Call once the host has its copy of the write end."""
        os.close(self.write_end)

    def total(self, timeout=60):
        self.thread.join(timeout)
        return self.count


class HostileModuleTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        xdotool("mousemove", "10", "10")
        cls.run_dir = make_run_dir("hostile")
        cls.data = os.path.join(cls.run_dir, "data")
        if harness.LINUX:
            os.mkfifo(os.path.join(cls.data, "fifo"))
            os.mkdir(os.path.join(cls.data, "back\\slash"))
            os.symlink("back\\slash", os.path.join(cls.data, "plain"))
        install_module(cls.run_dir, module_file("hostile"))
        counter = _Counter() if harness.LINUX else None
        cls.host = Host(cls.run_dir, env={"HOSTILE_PRINT": "1"},
                        stderr=counter.write_end if counter else None)
        if counter:
            counter.handed_over()
        try:
            cls.host.find_window()
            done = wait_for(lambda: any(r.get("step") == "done" for r in cls.records()),
                            timeout=90)
            assert done, "the module never reached its last step: %s" % cls.records()
            cls.pointer = xdotool("getmouselocation", "--shell").stdout
            cls.screen = [int(v) for v in xdotool("getdisplaygeometry").stdout.split()]
            cls.host.close()
            cls.exit_code = cls.host.wait(timeout=60)
        finally:
            cls.host.stop()
        if counter:
            cls.printed = counter.total()
            cls.printed_head = counter.head
        cls.steps = {r["step"]: r for r in cls.records()}

    @classmethod
    def records(cls):
        return read_records(cls.run_dir, "hostile.log")

    def step(self, name):
        self.assertIn(name, self.steps, "no %s line in %s" % (name, self.records()))
        return self.steps[name]

    def path(self, *parts):
        return os.path.join(self.data, *parts)

    def test_the_host_survived_every_attack_and_ended_cleanly(self):
        self.assertIn("done", self.steps)
        self.assertEqual(self.exit_code, 0)

    def test_writing_nothing_by_path_creates_or_empties_the_file(self):
        self.assertEqual(self.step("write_nothing"),
                         {"step": "write_nothing", "emptied": "0", "emptied_size": "0",
                          "created": "0", "created_size": "0"})
        self.assertEqual(os.path.getsize(self.path("precious.txt")), 0)
        self.assertEqual(os.path.getsize(self.path("created.txt")), 0)

    def test_the_clock_conversion_does_not_trap_on_an_unmasked_inexact(self):
        self.assertEqual(self.step("inexact"), {"step": "inexact", "positive": "1", "kept": "1"})

    @unittest.skipUnless(harness.LINUX, "texts of 4 GiB are mapped with POSIX calls")
    def test_paths_of_4_gib_and_more_fail_as_missing_files(self):
        self.assertEqual(self.step("huge"), {"step": "huge", "mapped": "1", "wrong": "0",
                                             "entries_kept": "1", "cwd_kept": "1"})
        self.assertFalse(os.path.exists(self.path("moved.txt")))
        self.assertTrue(os.path.exists(self.path("precious.txt")))

    @unittest.skipUnless(harness.LINUX, "standard error is the Linux host's debugger")
    def test_debug_print_sends_a_text_of_4_gib_whole(self):
        self.assertIn("huge_print", self.steps)
        start_up = (harness.host_directory(self.data) + harness.START_LINE_END).encode()
        self.assertTrue(self.printed_head.startswith(start_up + b"aaaa"), self.printed_head[:300])
        self.assertEqual(self.printed, len(start_up) + HUGE + 10)

    @unittest.skipUnless(harness.LINUX, "devices and FIFOs")
    def test_a_device_or_fifo_that_never_delivers_does_not_hold_the_frame(self):
        devices = self.step("devices")
        self.assertEqual((devices["fifo_open"], devices["fifo_read"], devices["fifo_path"],
                          devices["fifo_write"]), ("1", "0", "0", "0"))
        if not os.access("/dev/kmsg", os.R_OK):
            self.skipTest("the kernel's log is not readable here")
        # What the module read begins with the kernel's own first record.
        descriptor = os.open("/dev/kmsg", os.O_RDONLY | os.O_NONBLOCK)
        try:
            first = os.read(descriptor, 1 << 16)
        finally:
            os.close(descriptor)
        with open(self.path("kmsg.bin"), "rb") as copy:
            read = copy.read()
        self.assertEqual(int(devices["kmsg"]), len(read))
        self.assertTrue(read.startswith(first), (read[:200], first[:200]))
        self.assertGreater(int(devices["by_record"]), 0)

    @unittest.skipUnless(harness.LINUX, "a backslash is a separator on Windows")
    def test_the_working_directory_keeps_a_backslash_in_a_name(self):
        expected = os.path.realpath(self.path("back\\slash"))
        self.assertEqual(self.step("backslash"),
                         {"step": "backslash", "entered": "1", "n": str(len(expected)),
                          "same": "1", "left": "1", "cwd": expected})

    @unittest.skipUnless(harness.LINUX, "PATH_MAX is a POSIX limit")
    def test_the_working_directory_deeper_than_path_max(self):
        deep = self.step("deep")
        self.assertEqual(deep["entered"], "25")
        self.assertGreater(int(deep["n"]), 4096)
        self.assertEqual(deep["n"], deep["expected"])
        self.assertEqual(int(deep["needed"]), int(deep["n"]) + 1)
        self.assertEqual((deep["same"], deep["back"]), ("1", "1"))
        # The kernel's view: the directories are there, one inside the other
        # (walked one at a time: the whole path is too long for one call).
        directory = os.open(self.data, os.O_RDONLY | os.O_DIRECTORY)
        try:
            for _ in range(25):
                inner = os.open("d" * 200, os.O_RDONLY | os.O_DIRECTORY, dir_fd=directory)
                os.close(directory)
                directory = inner
        finally:
            os.close(directory)

    @unittest.skipUnless(harness.LINUX, "checked on the Linux host")
    def test_a_far_cursor_position_stops_at_the_screen_edge(self):
        self.assertIn("cursor", self.steps)
        location = dict(line.split("=", 1) for line in self.pointer.split() if "=" in line)
        width, height = self.screen
        self.assertEqual((int(location["X"]), int(location["Y"])), (width - 1, height - 1))


@unittest.skipUnless(harness.LINUX, "SIGPIPE and FIFOs are POSIX")
class HostileSurroundingsTest(unittest.TestCase):
    def test_a_closed_standard_error_is_no_reason_to_end(self):
        run_dir = make_run_dir("sigpipe")
        install_module(run_dir, module_file("recorder_v1"))
        read_end, write_end = os.pipe()
        os.close(read_end)  # the reader is gone before the first message
        host = Host(run_dir, stderr=write_end)
        os.close(write_end)
        self.addCleanup(host.stop)
        host.find_window()
        self.assertTrue(wait_for(lambda: len(read_records(run_dir)) >= 10, timeout=30))
        host.close()
        self.assertEqual(host.wait(), 0)

    def test_a_fifo_at_the_module_path_does_not_stop_the_frames(self):
        run_dir = make_run_dir("fifo")
        install_module(run_dir, module_file("recorder_v1"))
        host = Host(run_dir)
        self.addCleanup(host.stop)
        host.find_window()
        self.assertTrue(wait_for(lambda: len(read_records(run_dir)) >= 10, timeout=30))
        os.remove(module_path(run_dir))
        os.mkfifo(module_path(run_dir))
        os.utime(module_path(run_dir), ns=(time.time_ns() + 10**9,) * 2)
        count = len(read_records(run_dir))
        # No writer ever comes: the frames go on all the same.
        self.assertTrue(wait_for(lambda: len(read_records(run_dir)) >= count + 30, timeout=10),
                        "the frames stopped")
        self.assertEqual({r["v"] for r in read_records(run_dir)}, {"1"})
        install_module(run_dir, module_file("recorder_v2"))
        self.assertTrue(wait_for(lambda: read_records(run_dir)[-1]["v"] == "2", timeout=10))
        host.close()
        self.assertEqual(host.wait(), 0)


if __name__ == "__main__":
    unittest.main()
