"""Rewind through the real window with real key presses, on both hosts:
stepping back and forward shows each frame as it first ran (the module's
own digest of its state says so), frames numbered as the module ran them
however long it was paused, going on live from a past frame, a rebuilt
module shown on the paused frame at once and replayed to the newest frame
with alt+R, a rebuild that takes the kept memory along said in the title,
and the history's memory cap holding while the module writes 4 MiB a
frame, each frame shown finding the block it writes as it first did."""

import os
import re
import time
import unittest

import harness
from harness import Host, install_module, make_run_dir, module_file, read_records, wait_for
from harness import window_title
from input_helpers import focus, keys

PAUSED = re.compile(r"^Engine - rewind: frame (\d+) of (\d+) \(-(\d+\.\d\d) s\), paused$")


class RewindTest(unittest.TestCase):
    def start(self, name, env=None, arguments=(), module="rewinder_v1"):
        self.run_dir = make_run_dir(name)
        install_module(self.run_dir, module_file(module))
        self.host = Host(self.run_dir, env=env,
                         command=harness.SYSTEM.command + list(arguments))
        self.addCleanup(self.host.stop)
        self.host.find_window(title="^Engine")
        focus(self.host)

    def records(self):
        return read_records(self.run_dir)

    def wait_records(self, count):
        self.assertTrue(wait_for(lambda: len(self.records()) >= count, 20),
                        "fewer than %d frames" % count)

    def first_run(self):
        """Each frame's digest as it first ran: seen -> digest."""
        found = {}
        for record in self.records():
            found.setdefault((record["v"], record["seen"]), record["digest"])
        return found

    def paused_at(self, presses):
        """Presses the chords, then the title once they have been taken."""
        before = len(self.records())
        focus(self.host)
        keys(*presses)
        title = wait_for(lambda: PAUSED.match(window_title(self.host.window)) and
                         len(self.records()) > before and window_title(self.host.window), 20)
        self.assertTrue(title, window_title(self.host.window))
        return PAUSED.match(title)

    def shown(self):
        return self.records()[-1]

    def test_step_back_and_forward_then_go_on_live_from_a_past_frame(self):
        self.start("rewind")
        self.wait_records(90)
        at = self.paused_at(["alt+Prior"])
        back = self.shown()
        first = self.first_run()
        self.assertEqual(back["digest"], first[("1", back["seen"])])
        self.assertEqual(int(at.group(2)) - int(at.group(1)), 29)
        # Frame n is the module's n-th call.
        self.assertEqual(int(at.group(1)), int(back["seen"]) + 1)
        self.assertAlmostEqual(float(at.group(3)), 29 / 30, delta=0.2)
        # The window stays live while paused: no frame runs but those shown.
        count = len(self.records())
        self.assertFalse(wait_for(lambda: len(self.records()) > count, 1.0))
        for presses, step in ((["alt+Left"] * 3, -3), (["alt+Next"], 30), (["alt+Home"], None)):
            seen = int(self.shown()["seen"])
            self.paused_at(presses)
            shown = self.shown()
            if step is not None and step > 0:
                self.assertGreater(int(shown["seen"]), seen)
            elif step is not None:
                self.assertEqual(int(shown["seen"]), seen + step)
            self.assertEqual(shown["digest"], first[("1", shown["seen"])], presses)
        self.paused_at(["alt+End"])
        newest = self.shown()
        self.paused_at(["alt+Left"] * 10)
        resumed = self.shown()
        resumed_at = len(self.records())
        self.assertEqual(int(resumed["seen"]), int(newest["seen"]) - 10)
        keys("alt+Return")
        self.assertTrue(wait_for(lambda: window_title(self.host.window) == "Engine", 10),
                        window_title(self.host.window))
        self.assertTrue(wait_for(lambda: len(self.records()) > count + 40, 10))
        later = self.records()[resumed_at:]
        # Live again from the shown frame's start: it runs once more, then on.
        self.assertEqual([int(r["seen"]) for r in later[:20]],
                         list(range(int(resumed["seen"]), int(resumed["seen"]) + 20)))
        self.assertEqual(later[0]["digest"], resumed["digest"])
        # The seconds it was paused are no frames of the module's: paused
        # again, the newest frame is its call's number.
        at = self.paused_at(["alt+Left"])
        self.assertEqual((int(at.group(1)), int(at.group(2))),
                         (int(self.shown()["seen"]) + 1,) * 2)
        self.host.close()
        self.assertEqual(self.host.wait(timeout=30), 0)

    def test_a_rebuild_that_takes_the_kept_memory_along_says_why_stepping_stopped(self):
        self.start("rewind_kept", module="rewinder_kept_v1")
        self.wait_records(60)
        at = self.paused_at(["alt+Prior"])
        install_module(self.run_dir, module_file("rewinder_kept_v2"))
        self.assertTrue(wait_for(lambda: self.shown()["v"] == "2", 15))
        why = (r"^Engine - rewind: frame %s of %s \(-\d+\.\d\d s\), paused - can't step: the "
               r"reload took these frames' memory along \(alt\+R replays them\)$"
               % (at.group(1), at.group(2)))
        self.assertTrue(wait_for(lambda: re.match(why, window_title(self.host.window)), 10),
                        window_title(self.host.window))
        # Stepping does nothing, and the title still says why.
        count = len(self.records())
        keys("alt+Left", "alt+Right", "alt+Prior")
        time.sleep(1.0)
        self.assertRegex(window_title(self.host.window), why)
        self.assertEqual(len(self.records()), count)
        # The frames are replayed with the new build, and it goes on live.
        keys("alt+r")
        newest = max(int(r["seen"]) for r in self.records())
        self.assertTrue(wait_for(lambda: int(self.shown()["seen"]) > newest + 10, 15))
        self.host.close()
        self.assertEqual(self.host.wait(timeout=30), 0)

    def test_a_rebuild_shows_on_the_paused_frame_and_replays_to_the_newest(self):
        self.start("rewind_rebuild")
        self.wait_records(60)
        self.paused_at(["alt+Prior"])
        shown = self.shown()
        newest_seen = max(int(r["seen"]) for r in self.records())
        install_module(self.run_dir, module_file("rewinder_v2"))
        # No key pressed: the new build runs the same frame from the same state.
        self.assertTrue(wait_for(lambda: self.shown()["v"] == "2", 15))
        again = self.shown()
        again_at = len(self.records())
        self.assertEqual((again["seen"], again["digest"]), (shown["seen"], shown["digest"]))
        self.assertTrue(PAUSED.match(window_title(self.host.window)))
        keys("alt+r")
        self.assertTrue(wait_for(lambda: int(self.shown()["seen"]) > newest_seen + 30, 15))
        replayed = self.records()[again_at:]
        self.assertEqual({r["v"] for r in replayed}, {"2"})
        seen = [int(r["seen"]) for r in replayed]
        self.assertEqual(seen[:newest_seen - int(shown["seen"])],
                         list(range(int(shown["seen"]), newest_seen)))
        self.host.close()
        self.assertEqual(self.host.wait(timeout=30), 0)

    def test_the_memory_cap_holds_under_4_mib_written_a_frame(self):
        # 4 MiB a frame: little enough for the frame's budget (test_budget.py
        # has more) on a busy machine under Wine too.
        self.start("rewind_cap", env={"REWINDER_WRITE_MIB": "4"},
                   arguments=["--history-memory", "24"])
        self.wait_records(90)
        if harness.LINUX:
            with open("/proc/%d/status" % self.host.process.pid) as status:
                resident = int(re.search(r"VmRSS:\s+(\d+) kB", status.read()).group(1))
            # The block, its shadow, 24 MiB of history and the host: far
            # from the 360 MiB 90 frames wrote.
            self.assertLess(resident, 200 * 1024)
        at = self.paused_at(["alt+Home"])
        kept = int(at.group(2)) - int(at.group(1)) + 1
        self.assertGreaterEqual(kept, 2)
        self.assertLessEqual(kept, 24 // 4)
        first = self.first_run()
        self.assertEqual(self.shown()["digest"], first[("1", self.shown()["seen"])])
        # The kept frames as a recording: it replays headless alike twice.
        keys("alt+s")
        self.assertTrue(wait_for(lambda: window_title(self.host.window) ==
                                 "Engine - saved %d frames to history-0001.rec" % kept, 10),
                        window_title(self.host.window))
        self.host.close()
        self.assertEqual(self.host.wait(timeout=30), 0)
        saved = os.path.join(self.run_dir, "data", "history-0001.rec")
        hashes = harness.replay_hashes(self.run_dir, saved)
        self.assertEqual(len(hashes[0]), kept)
        self.assertEqual(hashes[0], hashes[1])


if __name__ == "__main__":
    unittest.main()
