"""The module author's kit: the template project built outside this tree runs
under the real host, reacts to a key, and the watch loop rebuilds it on an
edit so the running host reloads it with its state intact. The template
builds natively for the Linux host, and for the Windows host with the
engine's MinGW-w64 toolchain file."""

import os
import shutil
import subprocess
import time
import unittest

import harness
from harness import Host, make_run_dir, wait_for
import input_helpers

SOURCE_DIR = os.environ["ENGINE_SOURCE_DIR"]


def hex_colour(value):
    return ((value >> 16) & 0xFF, (value >> 8) & 0xFF, value & 0xFF)


class KitTest(unittest.TestCase):
    def setUp(self):
        self.run_dir = make_run_dir("kit")
        self.project = os.path.join(self.run_dir, "my_module")
        shutil.copytree(os.path.join(SOURCE_DIR, "template"), self.project)
        self.build = os.path.join(self.run_dir, "module-build")
        toolchain = []
        if harness.WINDOWS:
            toolchain = ["-DCMAKE_TOOLCHAIN_FILE=" +
                         os.path.join(SOURCE_DIR, "cmake", "mingw-w64.cmake")]
        configure = subprocess.run(
            ["cmake", "-S", self.project, "-B", self.build, "-G", "Ninja",
             "-DENGINE_DIR=" + SOURCE_DIR,
             "-DMODULE_STAGE_DIR=" + os.path.join(self.run_dir, "build"), *toolchain],
            capture_output=True, text=True, timeout=300)
        self.assertEqual(configure.returncode, 0, configure.stdout + configure.stderr)
        built = subprocess.run(["cmake", "--build", self.build, "-j2"], capture_output=True,
                               text=True, timeout=300)
        self.assertEqual(built.returncode, 0, built.stdout + built.stderr)
        self.assertTrue(os.path.exists(harness.module_path(self.run_dir)),
                        "the template did not stage " + harness.MODULE_NAME)

    def centre_colour(self):
        image = self.host.screenshot()
        return image.pixel(image.width // 2, image.height // 2)

    def wait_colour(self, colour, timeout=20.0):
        seen = wait_for(lambda: self.centre_colour() == colour, timeout, interval=0.3)
        self.assertTrue(seen, "the window never showed %s (last %s)"
                        % (colour, self.centre_colour()))

    def test_template_runs_reacts_to_space_and_the_watch_loop_reloads_an_edit(self):
        self.host = Host(self.run_dir)
        self.addCleanup(self.host.stop)
        self.host.find_window()
        self.wait_colour(hex_colour(0x203040))

        input_helpers.focus(self.host)
        input_helpers.keys("space")
        self.wait_colour(hex_colour(0x6A2C70))

        watch = subprocess.Popen(
            [os.path.join(SOURCE_DIR, "scripts", "watch.sh"), "--while",
             str(self.host.process.pid), self.build, "my_module", self.project],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.addCleanup(watch.kill)
        time.sleep(1.0)  # the watch loop takes its first look
        source = os.path.join(self.project, "main.c")
        with open(source) as f:
            text = f.read()
        with open(source, "w") as f:
            f.write(text.replace("0x6a2c70", "0x11aa33"))
        # The slot still counts one press, so the edited second colour shows.
        self.wait_colour(hex_colour(0x11AA33), timeout=60)
        self.assertTrue(self.host.running())

        self.host.close()
        self.assertEqual(self.host.wait(), 0)
        output, _ = watch.communicate(timeout=10)
        self.assertIn("rebuilt my_module", output)


if __name__ == "__main__":
    unittest.main()
