"""Loop editing on the real host (Windows under Wine, or Linux): the chord
records real input sent through the X server and loops it on the module's
restored state, rebuilds land inside the loop, a recording file replays
headless to the same hashes twice, --check catches a build that draws
differently, and broken recordings are refused."""

import os
import re
import subprocess
import unittest

import harness
from harness import Host, install_module, make_run_dir, module_file, read_records, wait_for
from input_helpers import focus, keys, move, settle

LOG = "loop.log"
LIVE, RECORDING, REPLAYING = 0, 1, 2
CHANGE_AT = 10  # the looper's version 2 paints differently from this frame on
# What a frame's state and input are, whatever round or build it ran in.
SAME = ("input", "dt", "size", "seen", "presses", "a", "b")


def lines(run_dir):
    return read_records(run_dir, LOG)


def in_mode(found, mode):
    return [r for r in found if int(r["mode"]) == mode]


def round_of(found, number):
    return {int(r["frame"]): r for r in in_mode(found, REPLAYING) if int(r["round"]) == number}


def same_fields(record):
    return {name: record[name] for name in SAME}


def chord():
    keys("alt+l")


def command(*arguments):
    return harness.SYSTEM.command + list(arguments)


def run_headless(run_dir, *arguments):
    """Runs the host to its end; (exit code, the host's own lines on standard
    error, without Wine's)."""
    result = subprocess.run(command("--headless", *arguments), cwd=os.path.join(run_dir, "build"),
                            capture_output=True, text=True, timeout=120)
    own = re.findall(r"(?:Engine: |usage: ).*", result.stderr)
    return result.returncode, "\n".join(own)


class ChordLoopTest(unittest.TestCase):
    def test_record_loop_rebuild_and_leave_from_the_keyboard(self):
        run_dir = make_run_dir("loop")
        install_module(run_dir, module_file("looper_v1"))
        host = Host(run_dir)
        self.addCleanup(host.stop)
        host.find_window()
        focus(host)
        self.assertTrue(wait_for(lambda: len(lines(run_dir)) >= 5))

        chord()
        self.assertTrue(wait_for(lambda: host.title() == "Engine - recording", timeout=10),
                        host.title())
        move(host, 100, 100)
        keys("a", "b", "c", "x")
        move(host, 300, 200)
        settle()
        chord()
        self.assertTrue(wait_for(lambda: re.fullmatch(r"Engine - loop \d+/\d+", host.title()),
                                 timeout=10), host.title())
        # Live keys during the loop are not the module's.
        keys("q", "w")
        self.assertTrue(wait_for(lambda: round_of(lines(run_dir), 3), timeout=60))

        found = lines(run_dir)
        recorded = {int(r["frame"]): r for r in in_mode(found, RECORDING)}
        count = len(recorded)
        self.assertEqual(sorted(recorded), list(range(1, count + 1)))
        self.assertEqual({int(r["frames"]) for r in in_mode(found, REPLAYING)}, {count})
        first, second = round_of(found, 1), round_of(found, 2)
        self.assertEqual(sorted(first), list(range(1, count + 1)))
        self.assertEqual(sorted(second), list(range(1, count + 1)))
        for frame in range(1, count + 1):
            self.assertEqual(same_fields(first[frame]), same_fields(recorded[frame]), frame)
            self.assertEqual(same_fields(second[frame]), same_fields(recorded[frame]), frame)
            # The counter starts each replayed frame where the recording did.
            self.assertEqual(first[frame]["counter"], second[frame]["counter"])
        # The recording saw the presses: B came and went, A was freed; each
        # round starts with A back, whole, at its place, and without B.
        last = recorded[count]
        self.assertEqual(int(last["presses"]) - int(recorded[1]["presses"]), 4)
        self.assertEqual(last["a"], "0")
        self.assertEqual((first[1]["a"], first[1]["b"]), (recorded[1]["a"], recorded[1]["b"]))
        self.assertEqual(recorded[1]["a"], "1")
        self.assertNotEqual(len({r["b"] for r in recorded.values()}), 1)
        # The chord never reached the module (nor, as the rounds match the
        # recording, did the live keys).
        self.assertEqual({r["l"] for r in found}, {"0"})

        # A rebuild runs inside the loop, on restored state.
        install_module(run_dir, module_file("looper_v2"))
        def new_round():
            found = lines(run_dir)
            return [r for r in in_mode(found, REPLAYING) if r["v"] == "2" and r["frame"] == "1"]
        self.assertTrue(wait_for(new_round, timeout=60), "the new build never began a round")
        for record in in_mode(lines(run_dir), REPLAYING):
            if record["v"] == "2":
                self.assertEqual(same_fields(record), same_fields(recorded[int(record["frame"])]))

        # The third press: live again, nothing held.
        before = len(lines(run_dir))
        chord()
        self.assertTrue(wait_for(lambda: host.title() == "Engine", timeout=10), host.title())
        self.assertTrue(wait_for(lambda: len(in_mode(lines(run_dir)[before:], LIVE)) >= 5))
        live = in_mode(lines(run_dir)[before:], LIVE)
        self.assertEqual({(r["down"], r["round"], r["frame"]) for r in live}, {("0", "0", "0")})
        keys("a")
        self.assertTrue(wait_for(
            lambda: int(lines(run_dir)[-1]["presses"]) > int(live[0]["presses"]), timeout=10))


class RecordingFileTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        """One recording of real input, made with --record and closed."""
        cls.run_dir = make_run_dir("recording")
        install_module(cls.run_dir, module_file("looper_v1"))
        host = Host(cls.run_dir, command=command("--record", "../take.rec"))
        try:
            host.find_window(title="^Engine - recording$")
            focus(host)
            move(host, 50, 60)
            keys("a", "s", "d")
            move(host, 200, 100)
            settle()
            host.close()
            assert host.wait() == 0
        finally:
            host.stop()
        cls.recording = os.path.join(cls.run_dir, "take.rec")
        cls.recorded = in_mode(lines(cls.run_dir), RECORDING)

    def setUp(self):
        install_module(self.run_dir, module_file("looper_v1"))
        log = os.path.join(self.run_dir, "data", LOG)
        if os.path.exists(log):
            os.remove(log)

    def test_headless_replays_hash_alike_and_check_names_the_first_changed_frame(self):
        count = len(self.recorded)
        self.assertGreater(count, CHANGE_AT)
        self.assertEqual(run_headless(self.run_dir, "--replay", "../take.rec",
                                      "--hashes", "../one.txt"), (0, ""))
        replayed = lines(self.run_dir)
        self.assertEqual(len(replayed), count)
        for mine, theirs in zip(replayed, self.recorded):
            self.assertEqual(same_fields(mine), same_fields(theirs))
        self.assertEqual({r["flags"] for r in replayed}, {"2"})
        self.assertEqual(run_headless(self.run_dir, "--replay", "../take.rec",
                                      "--hashes", "../two.txt"), (0, ""))
        with open(os.path.join(self.run_dir, "one.txt")) as one, \
                open(os.path.join(self.run_dir, "two.txt")) as two:
            first = one.read()
            self.assertEqual(first, two.read())
        numbers = [int(line.split()[0]) for line in first.splitlines()]
        self.assertEqual(numbers, list(range(1, count + 1)))
        self.assertEqual(run_headless(self.run_dir, "--replay", "../take.rec",
                                      "--check", "../one.txt"), (0, ""))

        install_module(self.run_dir, module_file("looper_v2"))
        status, error = run_headless(self.run_dir, "--replay", "../take.rec",
                                     "--check", "../one.txt")
        self.assertEqual(status, 1, error)
        self.assertIn("check failed at frame %d: pixels differ" % CHANGE_AT, error)

    def test_replay_once_then_live_with_keys_released(self):
        host = Host(self.run_dir, command=command("--replay", "../take.rec"))
        self.addCleanup(host.stop)
        host.find_window(title="^Engine - replay")
        self.assertTrue(wait_for(lambda: in_mode(lines(self.run_dir), LIVE), timeout=60))
        found = lines(self.run_dir)
        replayed = in_mode(found, REPLAYING)
        self.assertEqual([int(r["frame"]) for r in replayed],
                         list(range(1, len(self.recorded) + 1)))
        self.assertEqual({r["flags"] for r in replayed}, {"0"})
        self.assertEqual(found[len(replayed)]["down"], "0")
        self.assertTrue(wait_for(lambda: host.title() == "Engine", timeout=10), host.title())

    def test_loop_from_the_command_line_starts_every_round_afresh(self):
        host = Host(self.run_dir, command=command("--replay", "../take.rec", "--loop"))
        self.addCleanup(host.stop)
        host.find_window(title="^Engine - loop")
        self.assertTrue(wait_for(lambda: round_of(lines(self.run_dir), 3), timeout=60))
        found = lines(self.run_dir)
        first, second = round_of(found, 1), round_of(found, 2)
        self.assertEqual(len(first), len(self.recorded))
        for frame, record in first.items():
            self.assertEqual(same_fields(record), same_fields(self.recorded[frame - 1]))
            self.assertEqual(same_fields(second[frame]), same_fields(record))
            self.assertEqual(second[frame]["counter"], record["counter"])
        self.assertEqual({r["flags"] for r in in_mode(found, REPLAYING)}, {"1"})
        self.assertEqual(first[1]["seen"], "0")

    def test_broken_recordings_are_refused_with_their_reason(self):
        with open(self.recording, "rb") as whole:
            data = whole.read()
        broken = {
            "cut.rec": (data[: len(data) - 100], "truncated"),
            "foreign.rec": (b"\x7fELF" + data[4:], "not a recording"),
            "newer.rec": (data[:8] + b"\x09" + data[9:], "format version 9"),
            "short.rec": (data[:10], "not a recording"),
        }
        for name, (content, reason) in broken.items():
            with open(os.path.join(self.run_dir, name), "wb") as out:
                out.write(content)
            status, error = run_headless(self.run_dir, "--replay", "../" + name)
            self.assertEqual(status, 2, name)
            self.assertIn("can't replay ../%s: " % name, error)
            self.assertIn(reason, error)
        status, error = run_headless(self.run_dir, "--replay", "../missing.rec")
        self.assertEqual((status, "can't be opened" in error), (2, True))
        status, error = run_headless(self.run_dir, "--loop")
        self.assertEqual(status, 2)
        self.assertIn("usage:", error)


if __name__ == "__main__":
    unittest.main()
