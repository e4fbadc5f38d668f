"""The module author's kit: the engine's SDK installed into a folder of its
own (cmake --install), the template project built against it outside this
tree with find_package(Engine), its module run by the installed host in the
project's own run directory; the host reacts to a key, the watch loop
rebuilds an edit that the running host reloads with its state intact, and
the template's golden replay passes for its build and fails for one that
draws differently. The template builds natively for the Linux host and with
the installed MinGW-w64 toolchain file for the Windows host. A module built
with make and pkg-config instead loads the same way (Linux)."""

import os
import shutil
import subprocess
import time
import unittest

import harness
from harness import Host, make_run_dir, wait_for
import input_helpers

SOURCE_DIR = os.environ["ENGINE_SOURCE_DIR"]
BUILD_DIR = os.environ["ENGINE_BUILD_DIR"]


def hex_colour(value):
    return ((value >> 16) & 0xFF, (value >> 8) & 0xFF, value & 0xFF)


def run(command, **options):
    return subprocess.run(command, capture_output=True, text=True, timeout=300, **options)


class KitTest(unittest.TestCase):
    def setUp(self):
        self.run_dir = make_run_dir("kit")
        self.sdk = os.path.join(self.run_dir, "sdk")
        harness.install_sdk(self.sdk)
        self.project = os.path.join(self.run_dir, "my_module")
        shutil.copytree(os.path.join(SOURCE_DIR, "template"), self.project)
        self.build = os.path.join(self.run_dir, "module-build")
        harness.build_module_project(self.project, self.build, self.sdk)
        # The project's own run directory, nothing of this tree's.
        self.module_run_dir = os.path.join(self.build, "run", "my_module")
        self.assertTrue(os.path.exists(harness.module_path(self.module_run_dir)),
                        "the template did not stage " + harness.MODULE_NAME)
        self.host_command = harness.installed_host_command(self.sdk)

    def start_installed_host(self, run_dir):
        self.host = Host(run_dir, command=self.host_command)
        self.addCleanup(self.host.stop)
        self.host.find_window(title=harness.SOUNDING_TITLE)

    def centre_colour(self):
        image = self.host.screenshot()
        return image.pixel(image.width // 2, image.height // 2)

    def wait_colour(self, colour, timeout=20.0):
        seen = wait_for(lambda: self.centre_colour() == colour, timeout, interval=0.3)
        self.assertTrue(seen, "the window never showed %s (last %s)"
                        % (colour, self.centre_colour()))

    def test_template_runs_reacts_to_space_and_the_watch_loop_reloads_an_edit(self):
        self.start_installed_host(self.module_run_dir)
        self.wait_colour(hex_colour(0x203040))

        input_helpers.focus(self.host)
        input_helpers.keys("space")
        self.wait_colour(hex_colour(0x6A2C70))

        watch = subprocess.Popen(
            [os.path.join(self.sdk, "bin", "engine-watch"), "--while",
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
        self.assertIn("built my_module", output)

    def test_the_templates_golden_replay_passes_for_its_build_and_fails_for_another(self):
        ctest = ["ctest", "--test-dir", self.build, "--output-on-failure"]
        passed = run(ctest)
        self.assertEqual(passed.returncode, 0, passed.stdout + passed.stderr)
        self.assertIn("space_replay", passed.stdout)
        source = os.path.join(self.project, "main.c")
        with open(source) as f:
            text = f.read()
        with open(source, "w") as f:
            f.write(text.replace("0x2c7061", "0x2c7062"))  # the third colour
        built = run(["cmake", "--build", self.build])
        self.assertEqual(built.returncode, 0, built.stdout + built.stderr)
        failed = run(ctest)
        self.assertNotEqual(failed.returncode, 0, failed.stdout)
        self.assertRegex(failed.stdout + failed.stderr, r"check failed at frame \d+: pixels differ")
        # On purpose: the hashes written anew from this build pass again.
        rewritten = run(["cmake", "--build", self.build, "--target", "space_replay_hashes"])
        self.assertEqual(rewritten.returncode, 0, rewritten.stdout + rewritten.stderr)
        self.assertEqual(run(ctest).returncode, 0)

    def test_modules_build_for_quick_rebuilds_unless_asked_for_release(self):
        def module_commands(*options):
            build = os.path.join(self.run_dir, "settings-%d" % len(options))
            configured = run(["cmake", "-S", self.project, "-B", build, "-G", "Ninja",
                              "-DCMAKE_PREFIX_PATH=" + self.sdk, *harness.toolchain_options(
                                  self.sdk), *options])
            if configured.returncode != 0:
                return None, configured.stdout + configured.stderr
            listed = run(["ninja", "-C", build, "-t", "commands", "my_module"])
            lines = listed.stdout.splitlines()
            return ([l for l in lines if " -c " in l][0],
                    [l for l in lines if " -shared " in l][0])

        compile_line, link_line = module_commands()
        self.assertIn(" -O0 -g ", compile_line + " ")
        if harness.LINUX:
            # lld, at the module's fixed place.
            self.assertIn("-fuse-ld=lld", link_line)
            self.assertIn("module_layout.ld", link_line)
        compile_line, link_line = module_commands("-DENGINE_MODULE_BUILD=release")
        self.assertNotIn("-O0", compile_line)
        self.assertIn(" -O2 -g ", compile_line + " ")
        self.assertNotIn("-fuse-ld=gold", link_line)
        missing, output = module_commands("-DENGINE_MODULE_BUILD=fast")
        self.assertIsNone(missing)
        self.assertIn("ENGINE_MODULE_BUILD is development or release", output)

    @unittest.skipUnless(harness.LINUX and shutil.which("pkg-config"), "pkg-config, Linux")
    def test_a_module_built_with_pkg_config_loads_in_the_installed_host(self):
        run_dir = os.path.join(self.run_dir, "by-hand")
        os.makedirs(os.path.join(run_dir, "build"))
        os.makedirs(os.path.join(run_dir, "data"))
        environment = dict(os.environ, PKG_CONFIG_PATH=os.path.join(self.sdk, "lib", "pkgconfig"))
        flags = run(["pkg-config", "--cflags", "--libs", "engine-module"], env=environment)
        self.assertEqual(flags.returncode, 0, flags.stderr)
        self.assertIn("-lengine_base", flags.stdout.split())
        built = run(["cc", "-shared", "-fPIC", os.path.join(self.project, "main.c"),
                     *flags.stdout.split(), "-o", harness.module_path(run_dir)])
        self.assertEqual(built.returncode, 0, built.stdout + built.stderr)
        self.start_installed_host(run_dir)
        self.wait_colour(hex_colour(0x203040))


if __name__ == "__main__":
    unittest.main()
