"""The real host (Windows under Wine, or Linux): pacing, reload, start-up
without a module, stopping, pixels on screen, resizing and the start-up
debugger line."""

import os
import shutil
import subprocess
import time
import unittest

import harness
from harness import Host, install_module, make_run_dir, module_file, read_records, wait_for

TARGET_FRAME_SECONDS = 0.033333335


def frames_at_least(run_dir, count):
    return lambda: len(read_records(run_dir)) >= count and read_records(run_dir)


class HostTest(unittest.TestCase):
    def start(self, name, module="recorder_v1", env=None, debug_output=False):
        self.run_dir = make_run_dir(name)
        if module:
            install_module(self.run_dir, module_file(module))
        self.host = Host(self.run_dir, env=env, debug_output=debug_output)
        self.addCleanup(self.host.stop)
        return self.host

    def wait_frames(self, count, timeout=30.0):
        records = wait_for(frames_at_least(self.run_dir, count), timeout)
        self.assertTrue(records, "fewer than %d frames recorded" % count)
        return records

    def test_frames_are_paced_at_30_per_second_with_stable_records(self):
        self.start("pacing")
        self.host.find_window()
        first = self.wait_frames(10)
        time.sleep(3.0)
        later = read_records(self.run_dir)
        rate = (int(later[-1]["f"]) - int(first[-1]["f"])) / 3.0
        self.assertGreater(rate, 20.0)
        self.assertLess(rate, 40.0)

        self.assertEqual(float(later[0]["dt"]), 0.0)
        for record in later[1:]:
            self.assertGreaterEqual(float(record["dt"]), TARGET_FRAME_SECONDS - 1e-9, record)
        for key in ("run", "in", "svc", "slot", "mem", "px"):
            self.assertEqual(len({r[key] for r in later}), 1, key)
        record = later[-1]
        self.assertEqual(record["z"], "0,0")
        self.assertEqual(record["res"], "0")
        self.assertEqual(record["runv"], "1")
        width, height, pitch = int(record["w"]), int(record["h"]), int(record["pitch"])
        self.assertEqual(pitch, width - width % 4 + 4)
        self.assertEqual(record["bpp"], "4")
        self.assertEqual(int(record["alloc"]), pitch * (height + 2))
        self.assertEqual(int(record["px"], 16) - int(record["mem"], 16), pitch * 4)
        self.assertEqual(later[0]["black"], "1")
        # The client area of the 1080 x 720 outer window (Linux: the same
        # client area as Windows gives it).
        _, _, client_width, client_height = self.host.geometry()
        self.assertEqual((width, height), (client_width, client_height))
        self.assertLess(width, 1080)
        self.assertLess(height, 720)

    def test_a_new_build_takes_over_with_the_slot_and_addresses_intact(self):
        self.start("reload")
        self.host.find_window()
        before = self.wait_frames(15)
        install_module(self.run_dir, module_file("recorder_v2"))
        swapped = wait_for(
            lambda: [r for r in read_records(self.run_dir) if r["v"] == "2"], timeout=10
        )
        self.assertTrue(swapped, "the new build never ran")
        records = read_records(self.run_dir)
        frames = [int(r["f"]) for r in records]
        # The frame count lives behind the slot: it carries on, no gap, no restart.
        self.assertEqual(frames, list(range(1, len(frames) + 1)))
        for key in ("run", "in", "svc", "slot", "mem", "px"):
            self.assertEqual({r[key] for r in records}, {before[0][key]}, key)

        # Half a build is never loaded; the running build carries on meanwhile.
        harness.write_module_part(self.run_dir, module_file("recorder_v1"), 0.5)
        count = len(read_records(self.run_dir))
        records = self.wait_frames(count + 15, timeout=10)
        self.assertEqual({r["v"] for r in records[count:]}, {"2"})
        install_module(self.run_dir, module_file("recorder_v1"))
        self.assertTrue(
            wait_for(lambda: read_records(self.run_dir)[-1]["v"] == "1", timeout=10)
        )
        self.assertTrue(self.host.running())

    def test_a_module_missing_at_start_up_is_picked_up_when_it_appears(self):
        self.start("missing", module=None)
        self.host.find_window()
        time.sleep(1.0)
        self.assertTrue(self.host.running())
        harness.write_module_part(self.run_dir, module_file("recorder_v1"), 0.4)
        time.sleep(1.0)
        install_module(self.run_dir, module_file("no_entry"))
        time.sleep(1.0)
        self.assertTrue(self.host.running())
        self.assertEqual(read_records(self.run_dir), [])
        install_module(self.run_dir, module_file("recorder_v1"))
        records = self.wait_frames(5, timeout=10)
        self.assertEqual(records[0]["f"], "1")
        self.host.close()
        self.assertEqual(self.host.wait(), 0)

    def test_the_module_clearing_the_running_flag_ends_the_host_after_that_frame(self):
        self.start("quit_flag", env={"RECORDER_QUIT_AT": "12"})
        self.assertEqual(self.host.wait(timeout=30), 0)
        records = read_records(self.run_dir)
        self.assertEqual(records[-1]["f"], "12")
        self.assertEqual(records[-1]["runv"], "0")

    def test_closing_the_window_ends_the_host_after_one_more_frame(self):
        self.start("close")
        self.host.find_window()
        self.wait_frames(5)
        self.host.close()
        self.assertEqual(self.host.wait(timeout=30), 0)
        records = read_records(self.run_dir)
        # The frame that took the quit message still called the module.
        self.assertEqual(records[-1]["runv"], "0")
        self.assertEqual([r["runv"] for r in records[:-1]], ["1"] * (len(records) - 1))

    def test_pixels_appear_bottom_up_and_a_resized_window_gets_a_fresh_black_buffer(self):
        self.start("pixels")
        self.host.find_window()
        self.wait_frames(5)
        self.check_pattern(self.host.settled_screenshot(self.shows_pattern))

        self.host.resize(500, 300)
        resized = wait_for(
            lambda: [r for r in read_records(self.run_dir) if r["w"] == "500"], timeout=10
        )
        self.assertTrue(resized, "the module never saw the new size")
        self.assertEqual(resized[0]["h"], "300")
        self.assertEqual(resized[0]["black"], "1")
        image = self.host.settled_screenshot(
            lambda image: (image.width, image.height) == (500, 300) and self.shows_pattern(image))
        self.assertEqual((image.width, image.height), (500, 300))
        self.check_pattern(image)

    def shows_pattern(self, image):
        return image.pixel(5, image.height - 6) == (0, 0, 255)

    def check_pattern(self, image):
        bottom = image.height - 1
        self.assertEqual(image.pixel(5, bottom - 5), (0, 0, 255))  # blue square, bottom-left
        self.assertEqual(image.pixel(30, bottom - 5), (255, 0, 0))  # lower half red
        self.assertEqual(image.pixel(image.width - 1, bottom), (255, 0, 0))
        self.assertEqual(image.pixel(5, 5), (0, 255, 0))  # upper half green
        self.assertEqual(image.pixel(image.width - 1, 0), (0, 255, 0))

    def test_a_module_whose_stamp_has_a_low_half_of_zero_loads_at_start_up(self):
        self.run_dir = make_run_dir("low_half_zero")
        path = harness.module_path(self.run_dir)
        install_module(self.run_dir, module_file("recorder_v1"))
        # A file time (100 ns steps since 1601) whose low 32 bits are 0.
        stamp = 0x01DD000000000000
        nanoseconds = (stamp - 116444736000000000) * 100
        os.utime(path, ns=(nanoseconds, nanoseconds))
        self.host = Host(self.run_dir)
        self.addCleanup(self.host.stop)
        self.host.find_window()
        self.assertEqual(self.wait_frames(3)[0]["v"], "1")

    def padded_run_dir(self, name, length):
        """A run directory whose path, as the host names it, has length
        characters: build/ with the host, data/ beside it."""
        os.makedirs(harness.RUNS_DIR, exist_ok=True)
        base = os.path.join(os.path.realpath(harness.RUNS_DIR), name + "-")
        pad = length - len(harness.host_directory(base))
        self.assertTrue(0 < pad < 250, pad)
        run_dir = base + "x" * pad
        shutil.rmtree(run_dir, ignore_errors=True)
        os.makedirs(os.path.join(run_dir, "build"))
        os.makedirs(os.path.join(run_dir, "data"))
        shutil.copy(harness.HOST_EXE, os.path.join(run_dir, "build", harness.HOST_NAME))
        self.assertEqual(len(harness.host_directory(run_dir)), length)
        return run_dir

    def test_the_copy_fits_to_the_last_character_and_past_it_the_host_says_so_once(self):
        # Every copy's name has one length; a path holds 259 characters.
        copy_name = len("active_" + harness.MODULE_NAME) + 2 * 11
        longest = 259 - len("/build/") - copy_name
        self.run_dir = self.padded_run_dir("fits", longest)
        install_module(self.run_dir, module_file("recorder_v1"))
        self.host = Host(self.run_dir)
        self.addCleanup(self.host.stop)
        self.host.find_window()
        self.wait_frames(5)
        install_module(self.run_dir, module_file("recorder_v2"))  # a second copy fits as well
        self.assertTrue(wait_for(lambda: read_records(self.run_dir)[-1]["v"] == "2", timeout=10))
        copies = harness.loaded_copies(self.run_dir)
        build = harness.host_directory(os.path.join(self.run_dir, "build"))
        self.assertEqual({len(build) + 1 + len(name) for name in copies}, {259}, copies)
        self.host.close()
        self.assertEqual(self.host.wait(), 0)

        self.run_dir = self.padded_run_dir("long", longest + 1)
        install_module(self.run_dir, module_file("recorder_v1"))
        self.host = Host(self.run_dir)
        self.addCleanup(self.host.stop)
        self.host.find_window(title="^Engine")
        message = "the module path is too long for the copy the host loads: 260 characters"
        self.assertTrue(wait_for(lambda: self.host.title() == "Engine - " + message),
                        self.host.title())
        time.sleep(1.0)
        self.assertEqual(read_records(self.run_dir), [])
        self.assertEqual(harness.loaded_copies(self.run_dir), {})
        self.assertEqual(self.host.stderr().count(message), 1, self.host.stderr())
        self.host.close()
        self.assertEqual(self.host.wait(), 0)

    def test_start_up_sends_the_working_directory_to_the_debugger_once(self):
        self.start("debugstr", debug_output=True)
        self.host.find_window()
        self.wait_frames(3)
        self.host.close()
        self.assertEqual(self.host.wait(), 0)
        # Read back, with "/" separators, and only once; on Linux, where it
        # shares standard error with what follows, as a line of its own.
        data = harness.host_directory(os.path.join(self.run_dir, "data"))
        self.assertEqual(self.host.debug_output(), data + harness.START_LINE_END)
        if harness.WINDOWS:
            self.assertEqual(len(self.host.debug_messages()), 1)

    @unittest.skipUnless(harness.LINUX, "a display taken away, on the Linux host")
    def test_without_a_display_the_host_says_so_and_ends(self):
        """No display to open the window on: said on standard error, and the
        host ends with a status of its own instead of stopping on a check."""
        run_dir = make_run_dir("no_display")
        install_module(run_dir, module_file("recorder_v1"))
        environment = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
        environment["SDL_VIDEODRIVER"] = "x11"
        done = subprocess.run(harness.SYSTEM.command, cwd=os.path.join(run_dir, "build"),
                              env=environment, capture_output=True, text=True, timeout=60)
        self.assertEqual(done.returncode, 3, done.stderr)
        self.assertRegex(done.stderr, r"Engine: can't open the window: .+\n")


if __name__ == "__main__":
    unittest.main()
