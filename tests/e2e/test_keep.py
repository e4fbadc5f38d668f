"""Kept variables end to end: a module whose state lives in global and
static variables it marks to keep carries them across reloads (two files
keeping a `count` each, a pointer to another kept variable moved to its new
place), refuses by name a pointer into the old build's image and a record
whose size changed, and a faulting frame's writes to them are undone, the
previous build brought back with the values it last saw. Both hosts."""

import os
import unittest

import harness
from harness import Host, install_module, make_run_dir, module_file, read_records, wait_for
from harness import window_title

# Three presses of space, 53 frames: any recording drives a module that
# counts frames.
RECORDING = os.path.join(os.environ["ENGINE_SOURCE_DIR"], "template", "replay", "space.rec")


def numbers(record):
    return {key: int(record[key]) for key in ("frames", "count", "other", "x")}


class KeepTest(unittest.TestCase):
    def start(self, env=None):
        self.run_dir = make_run_dir("keep")
        install_module(self.run_dir, module_file("keeper_v1"))
        self.host = Host(self.run_dir, env=env)
        self.addCleanup(self.host.stop)
        self.host.find_window()

    def of_version(self, version, count):
        found = wait_for(lambda: len([r for r in read_records(self.run_dir)
                                      if r["v"] == str(version)]) >= count)
        self.assertTrue(found, "build %s was not called %d times" % (version, count))
        return [r for r in read_records(self.run_dir) if r["v"] == str(version)]

    def assert_continues(self, before, after, afresh=()):
        """The new build's first frame finds every count where the last frame
        of the old one left it, but those that start afresh."""
        expected = {"frames": before["frames"] + 1, "count": before["count"] + 1,
                    "other": before["other"] + 2, "x": before["x"] + 1}
        for key in afresh:
            expected[key] = 0
        self.assertEqual(numbers(after), expected)

    def test_kept_values_cross_reloads_and_a_changed_record_starts_afresh(self):
        self.start()
        first = self.of_version(1, 5)
        self.assertEqual(first[0]["linked"], "1")
        self.assertEqual(numbers(first[0]), {"frames": 0, "count": 0, "other": 0, "x": 0})

        install_module(self.run_dir, module_file("keeper_v2"))
        second = self.of_version(2, 3)
        old = [r for r in read_records(self.run_dir) if r["v"] == "1"]
        self.assert_continues(numbers(old[-1]), second[0])
        # The pointer to the frame count was moved to the new build's; the
        # one to a string literal of the old build was refused.
        self.assertEqual(second[0]["linked"], "1")
        self.assertEqual(second[0]["label"], "hello")
        title = wait_for(lambda: "kept" in window_title(self.host.window) and
                         window_title(self.host.window))
        self.assertEqual(title, "Engine - kept 5 variables; label points into the old build "
                                "and starts afresh")
        self.assertIn("Engine: kept 5 variables; label points", self.host.stderr())

        install_module(self.run_dir, module_file("keeper_wide"))
        wide = self.of_version(3, 3)
        old = [r for r in read_records(self.run_dir) if r["v"] == "2"]
        self.assert_continues(numbers(old[-1]), wide[0], afresh=("x",))
        self.assertTrue(wait_for(lambda: "player changed size and starts afresh" in
                                 window_title(self.host.window)), window_title(self.host.window))
        self.host.close()
        self.assertEqual(self.host.wait(timeout=30), 0)

    def test_a_faulting_frames_writes_to_kept_variables_are_undone(self):
        # The first build faults in its sixth frame after adding 1000 to
        # every count: it is held, its kept variables put back as the frame
        # found them, and the next build takes them from there.
        self.run_dir = make_run_dir("keep_undo")
        install_module(self.run_dir, module_file("keeper_faulty"))
        self.host = Host(self.run_dir, env={"KEEPER_FAULT_AT": "6"})
        self.addCleanup(self.host.stop)
        self.host.find_window(title="^Engine")
        self.assertTrue(wait_for(lambda: window_title(self.host.window)
                                 .startswith("Engine - fault: "), timeout=15),
                        window_title(self.host.window))
        faulted = [r for r in read_records(self.run_dir) if r["v"] == "4"]
        self.assertEqual(int(faulted[-1]["frames"]), 5)
        install_module(self.run_dir, module_file("keeper_wide"))
        after = self.of_version(3, 3)
        self.assertEqual(numbers(after[0]), numbers(faulted[-1]))
        self.host.close()
        self.assertEqual(self.host.wait(timeout=30), 0)


    def test_loops_put_kept_variables_back_every_round_and_hashes_cover_them(self):
        self.run_dir = make_run_dir("keep_loop")
        install_module(self.run_dir, module_file("keeper_v1"))
        hashes = harness.replay_hashes(self.run_dir, RECORDING)
        self.assertEqual(hashes[0], hashes[1])
        # The module keeps nothing in blocks: the memory hash moves with its
        # kept variables alone.
        memory = [line[2] for line in hashes[0]]
        self.assertEqual(len(set(memory)), len(memory))

        os.remove(os.path.join(self.run_dir, "data", "frames.log"))
        self.host = Host(self.run_dir, command=harness.SYSTEM.command +
                         ["--replay", RECORDING, "--loop"])
        self.addCleanup(self.host.stop)
        self.host.find_window(title="^Engine")
        self.assertTrue(wait_for(lambda: len(read_records(self.run_dir)) > 2 * 53 + 3, 30))
        frames = [int(r["frames"]) for r in read_records(self.run_dir)]
        # Every round starts from the kept values the replay began with.
        self.assertEqual(frames[:53], list(range(53)))
        self.assertEqual(frames[53:106], list(range(53)))


if __name__ == "__main__":
    unittest.main()
