"""A module's exit never ends the host on its own say: exit(0) (or _exit,
_Exit, quick_exit with 0) ends it as closing the window does, after the
frame, with status 0 and a line on standard error; any other status is a
fault named "the module called exit(3)", rolled back from a new build to
the previous one or held until a rebuild, whether the module exits in
entry, in entry_sound, as it loads or as it unloads. Both hosts, with the
faulter module's builds."""

import os
import re
import time
import unittest

import harness
from harness import (Host, exit_call, install_module, make_run_dir, module_file,
                     no_sound_output, read_records, text_section, wait_for, window_title)

MODULE = re.escape(harness.MODULE_NAME)
PLACE = MODULE + r"\+0x([0-9A-F]+)"
CALLS = ["exit", "_exit", "_Exit", "quick_exit"]
# What the faulter's exit.txt asks for: a call, (POSIX) a child of its own
# that calls _exit, or a thread of its own that calls exit.
ASKED = {name: number for number, name in enumerate(CALLS + ["fork", "thread"])}


class ExitTest(unittest.TestCase):
    def start(self, name, module, env=None, exit_asked=None):
        """env: the host's environment, or what makes it from the run
        directory."""
        self.run_dir = make_run_dir(name)
        if exit_asked:
            self.ask_exit(*exit_asked)
        install_module(self.run_dir, module_file(module))
        self.host = Host(self.run_dir, env=env(self.run_dir) if callable(env) else env)
        self.addCleanup(self.host.stop)
        self.host.find_window(title="^Engine")

    def ask_exit(self, call, status):
        """What the faulter's exit calls next: "exit.txt" in data/."""
        with open(os.path.join(self.run_dir, "data", "exit.txt"), "w") as out:
            out.write("%d %d\n" % (ASKED[call], status))

    def records(self):
        return read_records(self.run_dir)

    def lifecycle(self):
        with open(os.path.join(self.run_dir, "data", "lifecycle.log")) as log:
            return log.read().split()

    def wait_records(self, count):
        records = wait_for(lambda: self.records()[count - 1:] and self.records())
        self.assertTrue(records, "fewer than %d frames were recorded" % count)
        return records

    def wait_title(self, pattern):
        title = wait_for(lambda: re.search(pattern, window_title(self.host.window)) and
                         window_title(self.host.window))
        self.assertTrue(title, "title %r never matched %r" % (window_title(self.host.window),
                                                               pattern))
        return title

    def assert_in_text(self, title, module):
        """The place the title names lies in the module's code."""
        start, end = text_section(module_file(module))
        offset = int(re.search(PLACE, title).group(1), 16)
        self.assertTrue(start <= offset < end, title)

    def assert_animating(self, kind):
        count = len(self.records())
        later = self.wait_records(count + 15)[count:]
        self.assertEqual({r["v"] for r in later}, {kind})
        self.assertTrue(self.host.running())

    def close(self):
        self.host.close()
        self.assertEqual(self.host.wait(timeout=30), 0)

    def test_exit_3_from_a_new_build_rolls_back_to_the_previous_build(self):
        self.start("exit_rollback", "faulter_none", env={"FAULTER_AT": "1"})
        self.wait_records(10)
        install_module(self.run_dir, module_file("faulter_exit"))
        title = self.wait_title("fault in the new build")
        self.assertRegex(title, r"^Engine - fault in the new build: the module called exit\(3\) "
                                r"at " + PLACE + r" - running the previous build$")
        self.assert_in_text(title, "faulter_exit")
        self.assert_animating("0")
        records = self.records()
        exited = [i for i, r in enumerate(records) if r["v"] == "22"]
        self.assertEqual(len(exited), 1, "the build that exited is not called again")
        # The previous build goes on in that very frame, its count undone.
        after = records[exited[0] + 1]
        self.assertEqual((after["v"], after["held"]), ("0", records[exited[0]]["held"]))
        self.assertEqual(after["f"], records[exited[0]]["f"])
        self.assertEqual(self.lifecycle(), ["+0", "-0", "+22", "-22", "+0"])
        self.close()

    def test_exit_3_from_the_only_build_is_held_until_a_rebuild_whichever_call(self):
        """Each call in a build of its own, with a status of its own: exit(3),
        _exit(4), _Exit(5), quick_exit(6)."""
        self.start("exit_held", "faulter_exit", env={"FAULTER_AT": "3"})
        for status, call in enumerate(CALLS, 3):
            named, module = exit_call(call)
            if call != "exit":
                self.ask_exit(call, status)
                install_module(self.run_dir, module_file(module))
            said = r"^Engine - fault: the module called %s\(%d\)" % (named, status)
            title = self.wait_title(said)
            self.assertRegex(title, said + r" at " + PLACE + r" - rebuild to resume$")
            self.assert_in_text(title, module)
            count = len(self.records())
            time.sleep(1.0)
            self.assertTrue(self.host.running())
            self.assertEqual(len(self.records()), count, "a held build is not called")
        install_module(self.run_dir, module_file("faulter_none"))
        self.wait_title("^Engine$")
        self.assert_animating("0")
        frames = [int(r["f"]) for r in self.records() if r["fault"] != "1"]
        self.assertEqual(frames, list(range(1, len(frames) + 1)))
        self.close()

    def test_exit_0_ends_the_host_after_the_frame_with_status_0(self):
        self.start("exit_0", "faulter_exit", env={"FAULTER_AT": "60"}, exit_asked=("exit", 0))
        self.assertEqual(self.host.wait(timeout=30), 0)
        self.assertEqual([int(r["f"]) for r in self.records()], list(range(1, 61)))
        self.assertIn("Engine: the module called exit(0)\n", self.host.stderr())

    @unittest.skipUnless(harness.LINUX, "fork is POSIX's")
    def test_a_child_the_module_forks_ends_by_its_own_exit(self):
        """The child inherits the module's call in progress, but its _exit is
        its own: it ends, and the host runs on alone."""
        self.start("exit_fork", "faulter_exit", env={"FAULTER_AT": "3"},
                   exit_asked=("fork", 7))
        children = wait_for(lambda: read_records(self.run_dir, "children.log")[4:])
        self.assertTrue(children, "no child ended")
        self.assertEqual({c["status"] for c in children}, {"7"})
        self.assert_animating("22")
        frames = [int(r["f"]) for r in self.records()]
        self.assertEqual(frames, list(range(1, len(frames) + 1)))
        self.assertEqual(self.host.title(), "Engine")
        self.close()

    def test_a_thread_the_module_started_ends_by_its_exit_and_the_host_goes_on(self):
        self.start("exit_thread", "faulter_exit", env={"FAULTER_AT": "3"},
                   exit_asked=("thread", 9))
        self.assertTrue(wait_for(lambda: read_records(self.run_dir, "children.log")))
        self.assertEqual(read_records(self.run_dir, "children.log"), [{"thread": "1"}])
        self.assert_animating("22")
        self.assertEqual(self.host.title(), "Engine")
        self.close()
        self.assertEqual(self.host.stderr().count("Engine: a thread of the module called "
                                                  "exit(9): that thread ends, the host goes on\n"),
                         1)

    def test_exit_as_a_build_loads_unloads_or_makes_sound_is_survived(self):
        self.start("exit_lifecycle", "faulter_exit_in_destructor",
                   env=lambda run_dir: dict(no_sound_output(run_dir), FAULTER_AT="1"))
        self.wait_records(5)
        # Its shut-down exits: the next build runs all the same.
        install_module(self.run_dir, module_file("faulter_none"))
        title = self.wait_title("while unloading")
        self.assertRegex(title, r"^Engine - fault while unloading the old build: the module "
                                r"called exit\(3\) at " + PLACE + "$")
        self.assert_in_text(title, "faulter_exit_in_destructor")
        self.assert_animating("0")
        # Its start-up exits: a load that failed, the running build goes on.
        install_module(self.run_dir, module_file("faulter_exit_in_constructor"))
        title = self.wait_title("did not load")
        self.assertRegex(title, r"^Engine - the new build did not load: fault in start-up: the "
                                r"module called exit\(3\) at " + PLACE + " - rebuild to retry$")
        self.assert_in_text(title, "faulter_exit_in_constructor")
        self.assert_animating("0")
        # Its entry_sound exits: back to the build before it.
        install_module(self.run_dir, module_file("faulter_none"))
        self.wait_title("^Engine$")
        self.wait_records(len(self.records()) + 5)
        install_module(self.run_dir, module_file("faulter_exit_in_sound"))
        title = self.wait_title("fault in the new build")
        self.assertRegex(title, r"^Engine - fault in the new build: the module called exit\(3\) "
                                r"at " + PLACE + r" - running the previous build$")
        self.assert_in_text(title, "faulter_exit_in_sound")
        self.assert_animating("0")
        self.close()


if __name__ == "__main__":
    unittest.main()
