"""Whole state end to end: a program that never heard of hot reload (its
state in thousands of globals and statics, records pointing at each other,
at functions and at strings, a heap of thousands of nodes with function
pointers) goes through reloads to builds whose code differs, a build that
faults after scribbling over its state and its rollback, a build without a
function its state points at, and a loop round, and prints the same digests
frame by frame as a run without any of it. Changed types start afresh by
name, a stripped build is refused by name, and replays hash the whole state
alike twice."""

import os
import re
import shutil
import subprocess
import unittest

import harness
from harness import (DebuggedHost, Host, install_module, make_run_dir, module_file, read_records,
                     wait_for)
from harness import window_title
from input_helpers import focus, keys

RECORDING = os.path.join(os.environ["ENGINE_SOURCE_DIR"], "template", "replay", "space.rec")


def digests(run_dir):
    return read_records(run_dir, "digest.log")


def by_frame(records):
    return {int(r["frame"]): r["digest"] for r in records}


class WholeStateTest(unittest.TestCase):
    builds = "wholer_v"  # the builds swap() installs, by version

    def start(self, name, module="wholer_v1"):
        self.builds = module[:-1]
        self.run_dir = make_run_dir(name)
        install_module(self.run_dir, module_file(module))
        self.host = Host(self.run_dir)
        self.addCleanup(self.host.stop)
        self.host.find_window(title="^Engine")

    def wait_frame(self, frame, version=None, timeout=30.0):
        def reached():
            found = [r for r in digests(self.run_dir)
                     if version is None or r["v"] == str(version)]
            return found and int(found[-1]["frame"]) >= frame
        self.assertTrue(wait_for(reached, timeout), digests(self.run_dir)[-3:])

    def wait_title(self, pattern):
        title = wait_for(lambda: re.search(pattern, window_title(self.host.window)) and
                         window_title(self.host.window), 15)
        self.assertTrue(title, window_title(self.host.window))
        return title

    def swap(self, version):
        """The next build, once the one before has written a digest."""
        seen = len(digests(self.run_dir))
        self.assertTrue(wait_for(lambda: len(digests(self.run_dir)) > seen, 10))
        install_module(self.run_dir, module_file("%s%d" % (self.builds, version)))

    def test_reloads_a_rollback_a_removed_function_and_a_loop_keep_every_digest(self):
        self.start("whole_plain")
        self.wait_frame(320)
        plain = by_frame(digests(self.run_dir))
        self.host.close()
        self.assertEqual(self.host.wait(timeout=30), 0)

        self.start("whole_reloaded")
        self.wait_frame(30)
        self.swap(2)
        self.wait_title(r"^Engine - kept [0-9,]+ variables$")
        self.assertRegex(self.host.stderr(), r"Engine: kept 3,01\d variables\n")
        self.wait_frame(60, version=2)
        # Scribbles over globals and heap, then faults: the frame is undone
        # and the previous build takes the state as the frame found it.
        self.swap(3)
        self.wait_title(r"^Engine - fault in the new build: .* - running the previous build$")
        self.wait_frame(100, version=2)
        # The state points at act_rare, which this build lacks: named when
        # it loads, a named fault when called, and the previous build has
        # it back.
        self.swap(5)
        self.wait_title(r"^Engine - fault in the new build: call of a function the reload "
                        r"removed: act_rare \((SIGSEGV|0xC0000005)\)")
        self.assertRegex(self.host.stderr(), r"pointers to what the reload removed: .*act_rare")
        self.wait_frame(140, version=2)
        self.swap(1)
        self.wait_frame(170, version=1)
        # One loop round: the state goes back to where recording began.
        focus(self.host)
        keys("alt+l")
        self.assertTrue(wait_for(lambda: "recording" in window_title(self.host.window), 10))
        self.wait_frame(200, version=1)
        keys("alt+l")
        self.assertTrue(wait_for(lambda: "loop" in window_title(self.host.window), 10))
        frames = [int(r["frame"]) for r in digests(self.run_dir)]
        self.assertTrue(wait_for(lambda: [int(r["frame"]) for r in digests(self.run_dir)]
                                 .count(frames[-1]) >= 2, 20), "no replayed frame")
        keys("alt+l")
        self.wait_frame(320, version=1)
        reloaded = digests(self.run_dir)
        self.assertTrue(self.host.running())
        self.assertLessEqual({r["v"] for r in reloaded}, {"1", "2", "3"})
        replayed = [int(r["frame"]) for r in reloaded]
        self.assertGreater(len(replayed), len(set(replayed)), "the loop replayed no frame")
        for record in reloaded:
            frame = int(record["frame"])
            if frame in plain:
                self.assertEqual(record["digest"], plain[frame], "frame %d" % frame)
        self.assertEqual(sorted(set(replayed)), [f for f in sorted(plain) if f <= 320])
        self.host.close()
        self.assertEqual(self.host.wait(timeout=30), 0)

    def test_lambdas_keep_their_code_and_a_build_from_another_folder_keeps_every_static(self):
        """std::function objects of lambdas, in globals and on the heap,
        through a build with one more lambda before them and two of one
        signature swapped, and a build of the same sources from another
        folder: every call still reaches its own code. Two lambdas changed
        alike can't be told apart: named, and a named fault once called."""
        self.start("closures_plain", "closures_v1")
        self.wait_frame(200)
        plain = by_frame(digests(self.run_dir))
        self.host.close()
        self.assertEqual(self.host.wait(timeout=30), 0)

        self.start("closures", "closures_v1")
        self.wait_frame(20)
        self.swap(1)
        self.wait_title(r"^Engine - kept \d+ variables$")
        kept = re.findall(r"Engine: kept (\d+) variables\n", self.host.stderr())
        self.assertEqual(len(kept), 1, self.host.stderr())
        # The same sources built in another folder: every file's statics too.
        install_module(self.run_dir, module_file("closures_moved"))
        self.assertTrue(wait_for(lambda: self.host.stderr().count("Engine: kept") == 2, 15),
                        self.host.stderr())
        self.assertRegex(self.host.stderr(), r"Engine: kept %s variables\n$" % kept[0])
        self.wait_frame(60)
        self.swap(2)
        self.assertTrue(wait_for(lambda: self.host.stderr().count("Engine: kept") == 3, 15))
        self.assertRegex(self.host.stderr(), r"Engine: kept %s variables\n$" % kept[0])
        self.wait_frame(100, version=2)
        self.swap(3)
        self.wait_title(r"^Engine - fault in the new build: call of a function the reload can't "
                        r"tell apart: .*_M_invoke")
        self.assertRegex(self.host.stderr(),
                         r"Engine: kept %s variables; pointers to what the reload can't tell "
                         r"apart: .*_M_invoke" % kept[0])
        self.wait_frame(200, version=2)
        ran = [r for r in digests(self.run_dir) if int(r["frame"]) <= 200]
        self.assertLessEqual({r["v"] for r in ran}, {"1", "2", "3"})
        for record in ran:
            frame = int(record["frame"])
            self.assertEqual(record["digest"], plain[frame], "frame %d" % frame)
        self.assertEqual([int(r["frame"]) for r in ran], list(range(10, 201, 10)))
        self.host.close()
        self.assertEqual(self.host.wait(timeout=30), 0)

    @unittest.skipUnless(harness.WINDOWS, "a Windows runtime")
    def test_a_build_against_the_ucrt_keeps_its_heap_through_a_reload_and_a_rollback(self):
        self.start("whole_ucrt_plain", "wholer_ucrt_v1")
        self.wait_frame(120)
        plain = by_frame(digests(self.run_dir))
        self.host.close()
        self.assertEqual(self.host.wait(timeout=30), 0)

        self.start("whole_ucrt", "wholer_ucrt_v1")
        self.wait_frame(30)
        self.swap(2)
        self.wait_title(r"^Engine - kept [0-9,]+ variables$")
        self.wait_frame(60, version=2)
        self.swap(3)
        self.wait_title(r"^Engine - fault in the new build: .* - running the previous build$")
        self.wait_frame(120, version=2)
        ran = digests(self.run_dir)
        self.assertLessEqual({r["v"] for r in ran}, {"1", "2", "3"})
        for record in ran:
            frame = int(record["frame"])
            if frame in plain:
                self.assertEqual(record["digest"], plain[frame], "frame %d" % frame)
        self.host.close()
        self.assertEqual(self.host.wait(timeout=30), 0)

    def test_a_new_build_waits_while_a_thread_the_running_one_started_runs(self):
        self.start("whole_threads", "wholer_v6")
        self.wait_frame(10)
        self.swap(2)
        self.wait_title(r"^Engine - the new build waits: 1 thread the running build started "
                        r"still runs$")
        self.wait_title(r"^Engine - kept [0-9,]+ variables$")
        self.wait_frame(100, version=2)
        # The state went on where the thread's build left it.
        frames = [int(r["frame"]) for r in digests(self.run_dir)]
        self.assertEqual(frames, list(range(10, frames[-1] + 1, 10)))
        self.assertIn("the new build waits: 1 thread", self.host.stderr())
        self.host.close()
        self.assertEqual(self.host.wait(timeout=30), 0)

    def test_changed_types_start_afresh_by_name_and_a_stripped_build_is_refused(self):
        self.start("whole_types")
        self.wait_frame(30)
        self.swap(4)
        self.wait_title(r"^Engine - kept [0-9,]+ variables; 2 start afresh: player \(its type "
                        r"changed\), cache \(changed size\)$")
        self.wait_frame(60, version=4)
        stripped = os.path.join(self.run_dir, "stripped" + harness.SYSTEM.module_suffix)
        shutil.copy(module_file("wholer_v1"), stripped)
        subprocess.run(["strip" if harness.LINUX else "x86_64-w64-mingw32-strip", stripped],
                       check=True)
        install_module(self.run_dir, stripped)
        self.wait_title(r"^Engine - main\.(so|dll) has no symbol table: whole state can't be "
                        r"kept - rebuild with symbols$")
        # It starts afresh and runs on.
        def started_again():
            frames = [int(r["frame"]) for r in digests(self.run_dir) if r["v"] == "1"]
            return any(later < earlier for earlier, later in zip(frames, frames[1:]))
        self.assertTrue(wait_for(started_again, 10), digests(self.run_dir)[-5:])
        self.host.close()
        self.assertEqual(self.host.wait(timeout=30), 0)

    @unittest.skipUnless(harness.LINUX and shutil.which("gdb"), "gdb on the Linux host")
    def test_gdb_breaks_in_the_new_build_and_sees_no_signal_of_the_tracking(self):
        self.run_dir = make_run_dir("whole_gdb")
        install_module(self.run_dir, module_file("wholer_v1"))
        self.host = DebuggedHost(self.run_dir, gdb_commands=["set breakpoint pending on",
                                                             "break wholer_padded"])
        self.addCleanup(self.host.stop)
        self.host.find_window(title="^Engine")
        self.wait_frame(20)
        self.swap(2)
        self.wait_frame(110, version=2)
        log = self.host.log_text()
        self.assertRegex(log, r"Breakpoint 1, wholer_padded \(value=0\) at .*main\.c:\d+")
        self.assertEqual(self.host.stops(), [], log[-3000:])

    def test_a_replay_hashes_the_whole_state_alike_twice(self):
        run_dir = make_run_dir("whole_replay")
        install_module(run_dir, module_file("wholer_v1"))
        hashes = harness.replay_hashes(run_dir, RECORDING)
        self.assertEqual(hashes[0], hashes[1])
        # Nothing lives in blocks but the heap: the memory hash moves with
        # the globals and the heap every frame.
        memory = [line[2] for line in hashes[0]]
        self.assertEqual(len(set(memory)), len(memory))



if __name__ == "__main__":
    unittest.main()
