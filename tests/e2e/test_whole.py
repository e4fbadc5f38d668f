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
from digest_run import DigestRun, by_frame, digests
from harness import (DebuggedHost, Host, install_module, make_run_dir, module_file, read_records,
                     wait_for)
from harness import window_title
from input_helpers import focus, keys

RECORDING = os.path.join(os.environ["ENGINE_SOURCE_DIR"], "template", "replay", "space.rec")


# Version 2 adds an initialised global, which moves the globals after it
# although the build keeps its place; those pointed at are named.
MOVED_BY_PADDING = (r"^Engine - kept [0-9,]+ variables(; moved, though the build kept its "
                    r"place: .+)?$")


class WholeStateTest(DigestRun):
    builds = "wholer_v"  # the builds swap() installs, by version

    def start(self, name, module="wholer_v1"):
        self.builds = module[:-1]
        self.start_run(name, module)

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
        self.wait_title(MOVED_BY_PADDING)
        self.assertRegex(self.host.stderr(), r"Engine: kept 3,01\d variables(; moved, though the "
                                             r"build kept its place: [^\n]+)?\n")
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

    def test_replays_of_a_program_whose_memory_follows_its_addresses_hash_alike(self):
        """The table keyed by addresses lays its buckets out by them, and the
        program keeps a FILE: two runs hash alike only when the build lies at
        the same place in both and the FILE's place is not hashed."""
        run_dir = make_run_dir("cpp_replay")
        install_module(run_dir, module_file("cppworld_v1"))
        hashes = harness.replay_hashes(run_dir, RECORDING)
        self.assertEqual(hashes[0], hashes[1])
        # The build checks against the hashes it wrote, although the host
        # holds other files open than when it wrote them (the program keeps
        # a FILE the C library placed).
        checked = subprocess.run(harness.SYSTEM.command + [
            "--replay", RECORDING, "--headless", "--check",
            os.path.join(run_dir, "hashes0.txt")], cwd=os.path.join(run_dir, "build"),
            capture_output=True, text=True, timeout=120)
        self.assertEqual(checked.returncode, 0, checked.stderr)

    def test_a_cpp_program_keeps_its_strings_and_its_tables_keyed_by_address(self):
        """Strings and nodes the C++ runtime allocates are undone with the
        rest; tables keyed by the addresses of globals and functions still
        find them after each reload; a build whose struct changed and that
        faults at once leaves the previous build its values."""
        self.start("cpp_plain", "cppworld_v1")
        self.wait_frame(200)
        plain = by_frame(digests(self.run_dir))
        self.host.close()
        self.assertEqual(self.host.wait(timeout=30), 0)

        self.start("cpp_reloaded", "cppworld_v1")
        self.wait_frame(30)
        # Code and constants that grow keep the globals' places where the
        # data has a place of its own (Linux, lld); on Windows the same
        # build comes again.
        growing = 2 if harness.LINUX else 1
        self.swap(growing)
        self.wait_title(r"^Engine - kept [0-9,]+ variables$")
        self.wait_frame(60, version=growing)
        # Frees strings and clears containers, then faults.
        self.swap(3)
        self.wait_title(r"^Engine - fault in the new build: .* - running the previous build$")
        self.wait_frame(100, version=growing)
        # stats's type gains a member: converted by name for that build,
        # which faults at once; converted back for the previous build.
        self.swap(4)
        self.assertTrue(wait_for(lambda: "converted 1 tally (added: spare)" in
                                 self.host.stderr(), 15), self.host.stderr())
        self.assertTrue(wait_for(lambda: re.search(r"previous build: kept [0-9,]+ variables; "
                                                   r"converted 1 tally \(removed: spare\)",
                                                   self.host.stderr()), 15),
                        self.host.stderr())
        self.wait_title(r"^Engine - fault in the new build: .* - running the previous build$")
        self.wait_frame(200, version=growing)
        ran = digests(self.run_dir)
        self.assertLessEqual({r["v"] for r in ran}, {"1", "2", "3"})
        self.assertEqual({r["misses"] for r in ran}, {"0"}, "a key was missed")
        for record in ran:
            frame = int(record["frame"])
            if frame in plain:
                self.assertEqual(record["digest"], plain[frame], "frame %d" % frame)
        # A global added before the keys moves them, and that is said.
        self.swap(5)
        title = self.wait_title(r"^Engine - kept [0-9,]+ variables; moved, though the build "
                                r"kept its place: ")
        self.assertEqual(set(title.split(": ")[-1].split(", ")), {"score", "lives", "level"})
        self.assertTrue(self.host.running())
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

    def test_names_read_as_written_and_a_stale_return_address_is_no_removal(self):
        """A C++ build's heap points at game::probe, which the next build
        lacks, and at the middle of entry (a return address it never reads
        again); two files have a static plr, and five statics change size."""
        self.run_dir = make_run_dir("whole_names")
        install_module(self.run_dir, module_file("namer_v1"))
        self.host = Host(self.run_dir)
        self.addCleanup(self.host.stop)
        self.host.find_window(title="^Engine")
        self.assertTrue(wait_for(lambda: len(read_records(self.run_dir)) >= 20))
        install_module(self.run_dir, module_file("namer_v2"))
        afresh = ["main.cpp:plr (changed size)", "other.cpp:plr (changed size)",
                  "gauge (changed size)", "meter (changed size)", "tally (changed size)"]
        # The title names the first few, what the reload removed first.
        title = self.wait_title(r"^Engine - kept [0-9,]+ variables; pointers to what the reload "
                                r"removed: game::probe\(unsigned long\); 5 start afresh: .* and "
                                r"\d more$")
        shown = re.search(r"afresh: (.*) and (\d) more$", title)
        names = shown.group(1).split(", ")
        self.assertEqual(len(names) + int(shown.group(2)), 5, title)
        self.assertLessEqual(set(names), set(afresh), title)
        fault = self.wait_title(r"^Engine - fault in the new build: call of a function the reload "
                                r"removed: game::probe\(unsigned long\) \((SIGSEGV|0xC0000005)\) "
                                r"called from .* - running the previous build$")
        self.assertTrue(wait_for(lambda: read_records(self.run_dir)[-1]["v"] == "1", 10))
        # Standard error names every one, in a line of its own for each.
        lines = self.host.stderr().splitlines()
        notes = [line for line in lines if line.startswith("Engine: kept ")]
        self.assertEqual(len(notes), 1, lines)
        self.assertRegex(notes[0], r"^Engine: kept [0-9,]+ variables; pointers to what the "
                                   r"reload removed: game::probe\(unsigned long\); 5 start "
                                   r"afresh: (.*)$")
        self.assertEqual(sorted(notes[0].split("afresh: ")[1].split(", ")), sorted(afresh))
        self.assertIn("Engine: " + fault[len("Engine - "):], lines)
        # The previous build has its own values back for what the faulted
        # build started afresh.
        self.assertRegex(self.host.stderr(), r"Engine: the previous build: kept [0-9,]+ "
                                             r"variables\n")
        # The return address into entry is no removal: never named.
        self.assertNotIn("middle", self.host.stderr())
        self.assertNotRegex(self.host.stderr(), r"removed: [^;]*entry")
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
        self.wait_title(MOVED_BY_PADDING)
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
        self.wait_title(MOVED_BY_PADDING)
        self.wait_frame(100, version=2)
        # The state went on where the thread's build left it.
        frames = [int(r["frame"]) for r in digests(self.run_dir)]
        self.assertEqual(frames, list(range(10, frames[-1] + 1, 10)))
        self.assertIn("the new build waits: 1 thread", self.host.stderr())
        self.host.close()
        self.assertEqual(self.host.wait(timeout=30), 0)

    def test_a_reload_longer_than_the_frame_can_spare_runs_in_the_wait_before(self):
        """Builds 2 and 3 take a quarter of a second to load. Their reloads run
        as the frame before waits, so that frame's wait holds the time and the
        new build's first frame is given it; a reload at the frame's start
        would instead give it to the second. Nothing of the state is lost."""
        self.run_dir = make_run_dir("whole_slow_reload")
        install_module(self.run_dir, module_file("slowload_v1"))
        self.host = Host(self.run_dir)
        self.addCleanup(self.host.stop)
        self.host.find_window(title="^Engine")

        def frames(version=None):
            return [r for r in read_records(self.run_dir)
                    if version is None or r["v"] == str(version)]
        for version in (2, 3, 1):
            seen = len(frames())
            self.assertTrue(wait_for(lambda: len(frames()) > seen + 10, 20))
            had = len(frames(version))
            install_module(self.run_dir, module_file("slowload_v%d" % version))
            self.assertTrue(wait_for(lambda: len(frames(version)) >= had + 3, 20), frames()[-3:])
        ran = frames()
        self.assertEqual([int(r["frame"]) for r in ran], list(range(1, len(ran) + 1)))
        for version in (2, 3):
            first = ran.index(frames(version)[0])
            seconds = [float(r["seconds"]) for r in ran[first - 1:first + 2]]
            self.assertLess(seconds[0], 0.24, ran[first - 1:first + 2])
            self.assertGreaterEqual(seconds[1], 0.24, ran[first - 1:first + 2])
            self.assertLess(seconds[2], 0.24, ran[first - 1:first + 2])
        self.host.close()
        self.assertEqual(self.host.wait(timeout=30), 0)

    def test_changed_types_are_converted_by_name_and_a_stripped_build_is_refused(self):
        self.start("whole_types_plain")
        self.wait_frame(90)
        plain = by_frame(digests(self.run_dir))
        self.host.close()
        self.assertEqual(self.host.wait(timeout=30), 0)
        self.start("whole_types")
        self.wait_frame(30)
        # player's members swap places and cache grows: both keep their
        # values, and the build computes what the first does.
        self.swap(4)
        self.wait_title(r"^Engine - kept [0-9,]+ variables; converted 1 player_state$")
        self.wait_frame(90, version=4)
        converted = [r for r in digests(self.run_dir) if r["v"] == "4"]
        self.assertTrue(converted)
        for record in converted:
            frame = int(record["frame"])
            if frame in plain:
                self.assertEqual(record["digest"], plain[frame], "frame %d" % frame)
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
