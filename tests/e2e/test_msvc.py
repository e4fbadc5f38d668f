"""A module built the way the Windows platform's own toolchain builds one
(MSVC's dialect and ABI: clang's MSVC target and lld-link, no C runtime) in
the Windows host under Wine, through the real window: its frames, input, the
file and memory services, reloads, kept variables of its C and C++ halves
(whose table has zeros in its middle, as MSVC's linker may leave), and a
fault the host survives."""

import os
import re
import shutil
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
        # Whole state needs symbols this host reads: a PDB's are not, said so.
        install_module(self.run_dir, module_file("msvc_whole"))
        self.wait_version("4", 10)
        self.assertEqual(self.host.title(), "Engine - main.dll keeps its debug information in a "
                         "PDB, which this host doesn't read: whole state can't be kept; kept 2 "
                         "variables")
        self.host.close()
        self.assertEqual(self.host.wait(timeout=30), 0)


    def test_the_template_built_with_msvc_s_options_against_the_installed_sdk_runs_and_reloads(self):
        """As a Visual Studio project builds it: cl's options and link's,
        through clang-cl and lld-link (clang-cl.cmake), with find_package."""
        self.run_dir = make_run_dir("msvc_kit")
        sdk = os.path.join(self.run_dir, "sdk")
        harness.install_sdk(sdk)
        project = os.path.join(self.run_dir, "my_module")
        shutil.copytree(os.path.join(os.environ["ENGINE_SOURCE_DIR"], "template"), project)
        build = os.path.join(self.run_dir, "module-build")
        runtime = os.path.join(harness.BUILD_DIR, "tests", "e2e", "msvc", "runtime",
                               "runtime.c.obj")
        configure = ["cmake", "-S", project, "-B", build, "-G", "Ninja",
                     "-DCMAKE_PREFIX_PATH=" + sdk,
                     "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(os.path.dirname(__file__),
                                                              "clang-cl.cmake"),
                     "-DCMAKE_C_STANDARD_LIBRARIES=" + runtime]
        for command in (configure, ["cmake", "--build", build]):
            done = harness.run_tool(command)
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        module_run_dir = os.path.join(build, "run", "my_module")
        self.host = Host(module_run_dir, command=harness.installed_host_command(sdk))
        self.addCleanup(self.host.stop)
        # The template sounds: without a device the title says so.
        self.host.find_window(title=harness.SOUNDING_TITLE)
        self.wait_centre((0x20, 0x30, 0x40))
        focus(self.host)
        keys("space")
        self.wait_centre((0x6A, 0x2C, 0x70))
        # A rebuild of an edit reloads; the state behind the slot stays.
        source = os.path.join(project, "main.c")
        with open(source) as f:
            text = f.read()
        with open(source, "w") as f:
            f.write(text.replace("0x6a2c70", "0x11aa33"))
        done = harness.run_tool(["cmake", "--build", build])
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.wait_centre((0x11, 0xAA, 0x33))
        self.host.close()
        self.assertEqual(self.host.wait(timeout=30), 0)

    def wait_centre(self, colour):
        def centre():
            image = self.host.screenshot()
            return image.pixel(image.width // 2, image.height // 2)
        self.assertTrue(wait_for(lambda: centre() == colour, timeout=20, interval=0.3),
                        "the window never showed %s (last %s)" % (colour, centre()))


if __name__ == "__main__":
    unittest.main()
