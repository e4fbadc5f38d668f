"""The safety net keeps within the frame, through the real window on both
hosts: a module that writes more a frame than the undo can take in thins
protection, says so once in the title and on standard error, and gets it
all back, said too, once its writes shrink; and the host holds no more
with a history than without one plus the history's cap."""

import re
import unittest

import harness
from harness import Host, install_module, make_run_dir, module_file, read_records, wait_for
from harness import window_title
from input_helpers import focus, keys

THINNED = re.compile(r"Engine: the last frame wrote (\d+) MiB: "
                     r"(it can't be undone|the history keeps fewer frames)$", re.M)
BACK = "the frames fit again: each is undone and kept"
PAUSED = re.compile(r"^Engine - rewind: frame (\d+) of (\d+) \(-(\d+\.\d\d) s\), paused")


class BudgetTest(unittest.TestCase):
    def start(self, name, env, arguments=()):
        self.run_dir = make_run_dir(name)
        install_module(self.run_dir, module_file("rewinder_v1"))
        self.host = Host(self.run_dir, env=env, command=harness.SYSTEM.command + list(arguments))
        self.addCleanup(self.host.stop)
        self.host.find_window(title="^Engine")

    def records(self):
        return read_records(self.run_dir)

    def test_writes_beyond_the_frame_thin_protection_said_once_then_it_all_returns(self):
        # 256 MiB a frame for its first 90 frames, then nothing.
        self.start("budget_thin", {"REWINDER_WRITE_MIB": "256", "REWINDER_WRITE_FRAMES": "90"})
        self.assertTrue(wait_for(lambda: THINNED.search(self.host.stderr()), 60),
                        self.host.stderr()[-2000:])
        self.assertTrue(wait_for(lambda: "Engine: " + BACK in self.host.stderr(), 90),
                        self.host.stderr()[-2000:])
        said = self.host.stderr()
        thinned = THINNED.findall(said)
        self.assertTrue(any(int(mib) >= 200 for mib, _ in thinned), thinned)
        # Once for each change, not once a frame: 90 frames wrote.
        self.assertLessEqual(len(thinned), 6, thinned)
        self.assertEqual(said.count("Engine: " + BACK), 1, said[-2000:])
        self.assertTrue(wait_for(lambda: window_title(self.host.window) == "Engine - " + BACK,
                                 10), window_title(self.host.window))
        # Fully protected again: the history steps back over the frames since.
        count = len(self.records())
        self.assertTrue(wait_for(lambda: len(self.records()) > count + 45, 20))
        first = {}
        for record in self.records():
            first.setdefault(record["seen"], record["digest"])
        focus(self.host)
        keys("alt+Prior")
        title = wait_for(lambda: PAUSED.match(window_title(self.host.window)) and
                         window_title(self.host.window), 20)
        self.assertTrue(title, window_title(self.host.window))
        self.assertEqual(int(PAUSED.match(title).group(2)) - int(PAUSED.match(title).group(1)),
                         29)
        shown = self.records()[-1]
        self.assertEqual(shown["digest"], first[shown["seen"]])
        self.host.close()
        self.assertEqual(self.host.wait(timeout=30), 0)

    @unittest.skipUnless(harness.LINUX, "reads the host's peak memory from /proc")
    def test_the_history_holds_no_more_than_its_cap(self):
        peaks = {}
        for history in ("0", "10"):
            self.start("budget_memory_" + history, {"REWINDER_WRITE_MIB": "16"},
                       ["--history", history, "--history-memory", "64"])
            # Past the ring's first lap: 16 MiB a frame fill 64 MiB in 4.
            self.assertTrue(wait_for(lambda: len(self.records()) >= 120, 60))
            with open("/proc/%d/status" % self.host.process.pid) as status:
                peaks[history] = int(re.search(r"VmHWM:\s+(\d+) kB", status.read()).group(1))
            self.host.close()
            self.assertEqual(self.host.wait(timeout=30), 0)
        # The cap, and 16 MiB for a frame's entries beyond it at most.
        self.assertLessEqual(peaks["10"], peaks["0"] + (64 + 16) * 1024, peaks)


if __name__ == "__main__":
    unittest.main()
