"""A module built the way the Windows platform's own toolchain builds one
(MSVC's dialect and ABI: clang's MSVC target and lld-link, no C runtime) in
the Windows host under Wine, through the real window: its frames, input, the
file and memory services, reloads, kept variables of its C and C++ halves
(whose table has zeros in its middle, as MSVC's linker may leave), and a
fault the host survives."""

import os
import re
import subprocess
import unittest

import harness
from harness import Host, install_module, make_run_dir, module_file, read_records, wait_for
from input_helpers import focus, keys

COLOURS = {"1": (0x30, 0x60, 0xC0), "2": (0x40, 0xA0, 0x40)}


class MsvcModuleTest(unittest.TestCase):
    def records(self):
        return read_records(self.run_dir)

    def wait_version(self, version, count=1):
        found = wait_for(lambda: len([r for r in self.records() if r["v"] == version]) >= count,
                         timeout=20)
        self.assertTrue(found, "build %s did not run: %s" % (version, self.records()[-3:]))

    def assert_colour(self, version):
        image = self.host.settled_screenshot(
            lambda image: image.pixel(image.width // 2, image.height // 2) == COLOURS[version])
        self.assertEqual(image.pixel(image.width // 2, image.height // 2), COLOURS[version])

    def press_a(self, times, expected):
        focus(self.host)
        keys(*["a"] * times)
        self.assertTrue(wait_for(lambda: self.records()[-1]["presses"] == str(expected)),
                        self.records()[-1])

    def test_an_msvc_built_module_runs_reloads_keeps_its_variables_and_survives_a_fault(self):
        library = module_file("msvc_v1")
        headers = subprocess.run([harness.SYSTEM.objdump, "-p", "-h", library],
                                 capture_output=True, text=True, check=True).stdout
        self.assertIn("engkept", headers)
        self.assertNotIn("DLL Name", headers)  # no runtime: it imports nothing
        # Its objects hold the table in MSVC's grouped section, as cl's would.
        objects = os.path.join(harness.BUILD_DIR, "tests", "e2e", "msvc", "msvc_v1")
        sections = subprocess.run([harness.SYSTEM.objdump, "-h",
                                   os.path.join(objects, "module.c.obj"),
                                   os.path.join(objects, "part.cpp.obj")],
                                  capture_output=True, text=True, check=True).stdout
        self.assertEqual(sections.count("engkept$m"), 2, sections)

        self.run_dir = make_run_dir("msvc")
        install_module(self.run_dir, library)
        self.host = Host(self.run_dir)
        self.addCleanup(self.host.stop)
        self.host.find_window()
        self.wait_version("1", 10)
        first = self.records()[-1]
        _, _, width, height = self.host.geometry()
        self.assertEqual((first["w"], first["h"]), (str(width), str(height)))
        self.assert_colour("1")
        self.press_a(3, 3)

        # A reload: both halves' kept variables and the slot carry on.
        install_module(self.run_dir, module_file("msvc_v2"))
        self.wait_version("2", 10)
        self.assertEqual(self.host.title(), "Engine - kept 2 variables")
        self.assert_colour("2")

        # A build that faults in its first frame: the previous one runs again,
        # with the frame undone.
        install_module(self.run_dir, module_file("msvc_faulty"))
        title = wait_for(lambda: "fault" in self.host.title() and self.host.title(), timeout=20)
        self.assertTrue(re.fullmatch(
            r"Engine - fault in the new build: access violation \(0xC0000005\) writing 0x0 at "
            r"main\.dll\+0x[0-9A-F]+ - running the previous build", title or ""), title)
        count = len(self.records())
        self.assertTrue(wait_for(lambda: len(self.records()) > count + 10))
        self.press_a(1, 4)

        records = self.records()
        self.assertEqual([r["v"] for r in records if r["v"] not in ("1", "2")], [])
        frames = [int(r["f"]) for r in records]
        self.assertEqual(frames, list(range(1, len(frames) + 1)))
        self.assertEqual([r["kept"] for r in records], [r["f"] for r in records])
        presses = [int(r["presses"]) for r in records]
        self.assertEqual(presses, sorted(presses))
        self.assertTrue(all(int(r["ms"]) >= 33 for r in records[1:]), records[-1])
        self.host.close()
        self.assertEqual(self.host.wait(timeout=30), 0)


if __name__ == "__main__":
    unittest.main()
