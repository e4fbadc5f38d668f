"""The default module under the real host: painting with a click and a key,
its save file written and read back through the file services, and the
painting kept across a reload."""

import os
import struct
import unittest

import harness
from harness import Host, install_module, make_run_dir, module_file, wait_for
import input_helpers

RED = (0xFF, 0x5A, 0x5F)   # colour 2, the starting brush
CYAN = (0x3E, 0xC1, 0xD3)  # colour 3


class DemoTest(unittest.TestCase):
    def setUp(self):
        self.run_dir = make_run_dir("demo")
        install_module(self.run_dir, module_file("demo"))
        self.host = Host(self.run_dir)
        self.addCleanup(self.host.stop)
        self.host.find_window(title=harness.SOUNDING_TITLE)
        # Drawn and shown before it is clicked.
        def drawn(image):
            return image.pixel(image.width // 2, image.height // 2) != (0, 0, 0)

        self.assertTrue(drawn(self.host.settled_screenshot(drawn)), "the demo drew nothing")
        input_helpers.focus(self.host)

    def pixel(self, column, row):
        return self.host.screenshot().pixel(column, row)

    def wait_pixel(self, column, row, colour, timeout=10.0):
        seen = wait_for(lambda: self.pixel(column, row) == colour, timeout, interval=0.2)
        self.assertTrue(seen, "(%d, %d) never became %s: %s"
                        % (column, row, colour, self.pixel(column, row)))

    def click_at(self, column, row):
        input_helpers.move(self.host, column, row)
        input_helpers.settle()
        input_helpers.click(1)

    def test_paint_save_reload_clear_and_load(self):
        self.click_at(700, 450)
        self.wait_pixel(700, 450, RED)
        input_helpers.keys("3")
        self.click_at(850, 550)
        self.wait_pixel(850, 550, CYAN)

        save = os.path.join(self.run_dir, "data", "demo_painting.bin")
        input_helpers.keys("s")
        self.assertTrue(wait_for(lambda: os.path.exists(save) and os.path.getsize(save) == 48))
        with open(save, "rb") as f:
            magic, version, count, _ = struct.unpack("<4I", f.read(16))
        self.assertEqual((magic, version, count), (0x544E4950, 1, 2))

        # A new build takes over with the painting intact.
        before = harness.loaded_copies(self.run_dir)
        self.assertTrue(before, "no loaded copy in build/")
        install_module(self.run_dir, module_file("demo"))
        self.assertTrue(wait_for(lambda: harness.loaded_copies(self.run_dir) != before),
                        "the host did not reload the module")
        self.wait_pixel(700, 450, RED)
        self.wait_pixel(850, 550, CYAN)

        input_helpers.keys("c")
        self.assertTrue(wait_for(lambda: self.pixel(850, 550) != CYAN, interval=0.2))
        input_helpers.keys("l")
        self.wait_pixel(700, 450, RED)
        self.wait_pixel(850, 550, CYAN)

        self.host.close()
        self.assertEqual(self.host.wait(), 0)


if __name__ == "__main__":
    unittest.main()
