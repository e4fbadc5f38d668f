"""The services table through the real host (Windows under Wine, or Linux): a
module uses the slots during its entry calls, against real files in the run's
data/, and records what they returned; the test checks that record, the files
left on disk, the pointer's place on the screen and the debugger output."""

import os
import re
import unittest

import harness
from harness import Host, install_module, make_run_dir, module_file, read_records, wait_for, xdotool

GIVEN = b"given-by-the-test"


class PlatformServicesTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # The pointer starts away from where the module will put it.
        xdotool("mousemove", "1590", "1190")
        cls.run_dir = make_run_dir("services")
        cls.data = os.path.join(cls.run_dir, "data")
        with open(os.path.join(cls.data, "given.txt"), "wb") as given:
            given.write(GIVEN)
        install_module(cls.run_dir, module_file("services_user"))
        cls.host = Host(cls.run_dir, debug_output=True)
        try:
            cls.host.find_window()
            done = wait_for(
                lambda: any(r.get("step") == "survived" for r in cls.records()), timeout=30
            )
            assert done, "the module never reached its last step: %s" % cls.records()
            cls.geometry = cls.host.geometry()
            location = xdotool("getmouselocation", "--shell").stdout
            cls.pointer = {k: int(v) for k, v in re.findall(r"(\w+)=(\d+)", location)}
            cls.host.close()
            cls.exit_code = cls.host.wait()
        finally:
            cls.host.stop()
        cls.steps = {}
        for found in cls.records():
            cls.steps.setdefault(found["step"], found)

    @classmethod
    def records(cls):
        return read_records(cls.run_dir, "services.log")

    def step(self, name):
        self.assertIn(name, self.steps, "no %s line in %s" % (name, self.records()))
        return self.steps[name]

    def path(self, *parts):
        return os.path.join(self.data, *parts)

    def test_the_host_hands_over_a_full_table_and_ends_cleanly(self):
        self.assertEqual(self.step("table")["filled"], "30")
        self.assertNotIn("moved_table", self.steps)
        self.assertEqual(self.exit_code, 0)

    def test_writes_and_reads_at_offsets_through_a_record(self):
        write = self.step("write")
        self.assertEqual(write["name"], "services/notes/log.txt")
        self.assertEqual(write["open"], "1")
        self.assertEqual(write["w"], "5,5")
        self.assertEqual(write["wpos"], "15")
        self.assertEqual((write["r"], write["rpos"]), ("15", "15"))
        self.assertEqual((write["read"], write["written"]), ("15", "10"))
        self.assertEqual(write["text"], "hello.....world")
        self.assertEqual((write["size"], write["size_of_handle"]), ("15", "15"))
        self.assertEqual(self.step("write_path"), {"step": "write_path", "n": "3", "size": "5"})

    def test_reads_by_path_lists_and_watches(self):
        self.assertEqual(self.step("given"),
                         {"step": "given", "n": str(len(GIVEN)), "text": GIVEN.decode(),
                          "size": str(len(GIVEN)), "exists": "1"})
        self.assertEqual(self.step("read_path")["text"], ".abc")

        listing = self.step("list")
        self.assertEqual(listing["n"], "4")
        entries = sorted(listing["entries"].split(","))
        if harness.LINUX:
            # A directory's size there is the file system's own figure.
            entries = [re.sub(r"^(\.\.?:1):\d+$", r"\1:0", e) for e in entries]
        self.assertEqual(entries, ["..:1:0", ".:1:0", "log.txt:0:15", "second.txt:0:5"])
        self.assertEqual((listing["capped"], listing["untouched"]), ("2", "1"))

        watch = self.step("watch")
        self.assertEqual((watch["open"], watch["pos"], watch["changed"]), ("1", "10", "0"))
        self.assertEqual((watch["kept_time"], watch["time"], watch["same_time"]), ("1", "1", "1"))
        self.assertEqual(watch["kind3"], "0")
        self.assertEqual((watch["exists"], watch["missing"]), ("1", "0"))
        # Held open for writing, the file refuses the by-path size query on
        # Windows; POSIX has no sharing modes to refuse it with.
        size_while_writing = "0" if harness.WINDOWS else "15"
        self.assertEqual((watch["size_while_writing"], watch["size"]), (size_while_writing, "15"))

        modify = self.step("modify")
        self.assertEqual((modify["n"], modify["pos"], modify["written"]), ("1", "16", "1"))
        changed = self.step("changed")
        self.assertEqual((changed["first"], changed["second"], changed["size"]), ("2", "0", "16"))

    def test_moves_deletes_and_reports_a_failed_open(self):
        move = self.step("move")
        self.assertEqual(move, {"step": "move", "moved": "1", "doomed": "1", "deleted": "1",
                                "gone": "1", "again": "0"})
        failed = self.step("failed")
        self.assertEqual((failed["zero"], failed["read"], failed["pos"]), ("1", "0", "3"))
        self.assertEqual((failed["code"], failed["message"]), ("1", "path_not_found"))

    def test_directories_and_the_working_directory(self):
        dirs = self.step("dirs")
        self.assertTrue(dirs["cwd"].endswith("/data"), dirs["cwd"])
        self.assertNotIn("\\", dirs["cwd"])
        self.assertEqual(int(dirs["n"]), len(dirs["cwd"]))
        self.assertEqual(int(dirs["needed"]), len(dirs["cwd"]) + 1)
        self.assertEqual(dirs["inside"], dirs["cwd"] + "/services/made")
        for key in ("made", "entered", "left", "back", "removed", "kept"):
            self.assertEqual(dirs[key], "1", key)
        self.assertEqual(dirs["nested"], "0")  # one directory at a time

    def test_over_long_paths_fail_without_harm(self):
        self.assertEqual(self.step("long"),
                         {"step": "long", "open_zero": "1", "write": "0", "read": "0",
                          "exists": "0", "size": "0", "time": "0", "mkdir": "0", "cd": "0",
                          "rmdir": "0"})
        self.assertFalse(os.path.exists(self.path("services", "long")))

    def test_the_files_left_on_disk(self):
        with open(self.path("services", "notes", "log.txt"), "rb") as log:
            self.assertEqual(log.read(), b"hello\0\0\0\0\0world!")
        with open(self.path("services", "moved.txt"), "rb") as moved:
            self.assertEqual(moved.read(), b"\0\0abc")
        self.assertFalse(os.path.exists(self.path("services", "notes", "second.txt")))
        self.assertFalse(os.path.exists(self.path("services", "doomed.txt")))
        self.assertFalse(os.path.exists(self.path("services", "made")))
        self.assertTrue(os.path.isdir(self.path("services", "kept")))
        self.assertFalse(os.path.exists(self.path("services", "a")))
        # The failed read left its parent directories behind, and no file.
        self.assertTrue(os.path.isdir(self.path("services", "missing", "deeper")))
        self.assertEqual(os.listdir(self.path("services", "missing", "deeper")), [])

    def test_pages_with_and_without_a_guard(self):
        guarded = self.step("guarded")
        self.assertEqual((guarded["size"], guarded["reserved"]), ("100", "0"))
        self.assertEqual(guarded["mod8"], "4")  # aligned only as far as 100 allows
        for key in ("zeroed", "end_on_page", "past_noaccess", "freed"):
            self.assertEqual(guarded[key], "1", key)
        plain = self.step("plain")
        self.assertEqual(plain, {"step": "plain", "size": str(1 << 20), "zeroed": "1",
                                 "page_aligned": "1", "freed": "1"})

    def test_the_counter_and_its_conversion(self):
        self.assertEqual(self.step("counter")["ordered"], "1")
        clock = self.step("clock")
        # Two readings a frame apart, converted as the module would itself.
        seconds, expected = float(clock["seconds"]), float(clock["expected"])
        self.assertGreater(expected, 0.0)
        self.assertAlmostEqual(seconds / expected, 1.0, places=5)
        self.assertEqual(float(clock["zero"]), 0.0)

    def test_float_exceptions_reach_the_processor(self):
        floats = self.step("float")
        enabled, disabled = int(floats["enabled"], 16), int(floats["disabled"], 16)
        # MXCSR masks: invalid 0x80, denormal 0x100, divide 0x200, overflow
        # 0x400, underflow 0x800, inexact 0x1000.
        self.assertEqual(enabled & 0xF80, 0)
        self.assertEqual(enabled & 0x1000, 0x1000)  # inexact stays masked
        self.assertEqual(disabled & 0x1F80, 0x1F80)

    def test_the_cursor_lands_from_the_bottom_left_of_the_client_area(self):
        cursor = self.step("cursor")
        x, y, width, height = self.geometry
        self.assertEqual((int(cursor["width"]), int(cursor["height"])), (width, height))
        self.assertEqual((self.pointer["X"], self.pointer["Y"]), (x + 100, y + height - 50))

    def test_debug_print_reaches_the_debugger_unchanged(self):
        # After the host's own start-up line (a line of its own on Linux),
        # with no line end added to the module's.
        self.assertEqual(self.host.debug_output(),
                         harness.host_directory(self.data) + harness.START_LINE_END +
                         "services_user: hello from entry")

    def test_a_hostile_module_harms_neither_the_host_nor_its_files(self):
        cwd = self.step("dirs")["cwd"]
        self.assertEqual(self.step("hostile_cwd"),
                         {"step": "hostile_cwd", "no_buffer": str(len(cwd) + 1),
                          "small": str(len(cwd) + 1), "unchanged": "1"})
        self.assertEqual(self.step("hostile_memory"),
                         {"step": "hostile_memory", "pixels_kept": "1", "successor_kept": "1"})
        self.assertEqual(self.step("hostile_files"),
                         {"step": "hostile_files", "null_write": "0", "text": "precious",
                          "past_end_zero": "1", "past_end_code": "0", "created_zero": "1",
                          "closed_handle": "0", "after_close": "0"})
        self.assertFalse(os.path.exists(self.path("services", "new.txt")))
        self.assertEqual(self.step("hostile_records"),
                         {"step": "hostile_records", "shared": "shared", "block_freed": "1"})
        if harness.LINUX:
            self.assertEqual(self.step("size_zero_reads"),
                             {"step": "size_zero_reads", "status": "1", "same_status": "1",
                              "same_zero": "1"})
        exists = self.step("hostile_exists")
        self.assertEqual((exists["length"], exists["written"], exists["exists"]),
                         ("255", "1", "1"))
        # The denormal cursor call and the pixels' frees did not end the host:
        # it ran on, blitting, until the window was closed.
        self.assertEqual(self.step("survived")["frames"], "12")
        self.assertEqual(self.exit_code, 0)


if __name__ == "__main__":
    unittest.main()
