"""Sound on the real host: a tone from entry_sound goes through the system's
real audio path into a file, where sox finds its pitch and level; a module
without entry_sound opens no device until a reload adds the export; a
faulting frame's samples are heard nowhere and the previous build's
entry_sound makes them instead; headless replays write the same --sound
file twice, hash the samples in a fourth column and --check names the
first frame whose samples differ; samples no device should get are
clamped and said once."""

import array
import os
import re
import struct
import subprocess
import unittest

import harness
from harness import Host, install_module, make_run_dir, module_file, read_records, wait_for
from input_helpers import click, focus, keys, move, settle

LOG = "sound.log"
FRAME = 1600  # stereo frames a frame asks for headless and without a device
NO_DEVICE = "Engine - no sound device: sound is off"
MARK = 0.125  # the sounder's right channel (0.375 in the build that faults)


def command(*arguments):
    return harness.SYSTEM.command + list(arguments)


def run_headless(run_dir, *arguments):
    """(exit code, the host's own lines on standard error)."""
    result = subprocess.run(command("--headless", *arguments), cwd=os.path.join(run_dir, "build"),
                            capture_output=True, text=True, timeout=120)
    return result.returncode, "\n".join(re.findall(r"Engine: .*", result.stderr))


def read_wav(path, killed=False):
    """(frames per second, the samples as floats) of a float WAV, checked
    against what its header says. A host killed between a frame's samples
    and the header that counts them leaves them after what the header says:
    a few frames' at most, and the header never claims more than is there."""
    with open(path, "rb") as wav:
        data = wav.read()
    assert data[:4] == b"RIFF" and data[8:12] == b"WAVE", path
    said = struct.unpack_from("<I", data, 4)[0] + 8
    uncounted = len(data) - said
    if killed:
        assert 0 <= uncounted <= 4 * FRAME * 8 and uncounted % 8 == 0, (said, len(data))
        data = data[:said]
    assert said == len(data), (said, len(data))
    at, rate, samples = 12, None, None
    while at + 8 <= len(data):
        name, size = data[at:at + 4], struct.unpack_from("<I", data, at + 4)[0]
        if name == b"fmt ":
            tag, channels, rate, _, _, bits = struct.unpack_from("<HHIIHH", data, at + 8)
            assert (tag, channels, bits) == (3, 2, 32), (tag, channels, bits)
        elif name == b"data":
            samples = array.array("f", data[at + 8:at + 8 + size])
            assert len(samples) * 4 == size == len(data) - at - 8
        at += 8 + size
    return rate, samples


def read_raw(path):
    with open(path, "rb") as raw:
        return array.array("f", raw.read())


def without_silence(samples):
    """The stereo frames whose right channel is not 0: what a device played,
    less the silence it fills in while its queue is empty."""
    kept = array.array("f")
    for at in range(0, len(samples) - 1, 2):
        if samples[at + 1] != 0:
            kept.extend(samples[at:at + 2])
    return kept


def sox_stat(path, *input_format):
    """sox's figures for the left channel: {'Rough frequency': ..., ...}."""
    done = subprocess.run(["sox", *input_format, path, "-n", "remix", "1", "stat"],
                          capture_output=True, text=True, timeout=60)
    figures = {}
    for line in done.stderr.splitlines():
        name, _, value = line.partition(":")
        try:
            figures[re.sub(r"\s+", " ", name.strip())] = float(value)
        except ValueError:
            pass
    return figures


RAW_FLOAT_STEREO = ["-t", "raw", "-r", "48000", "-e", "floating-point", "-b", "32", "-c", "2"]


def assert_tone(test, path, input_format=(), seconds=0.5):
    figures = sox_stat(path, *input_format)
    test.assertGreater(figures.get("Length (seconds)", 0), seconds, figures)
    test.assertAlmostEqual(figures["Rough frequency"], 440, delta=8)
    test.assertAlmostEqual(figures["Maximum amplitude"], 0.5, delta=0.01)
    test.assertAlmostEqual(figures["RMS amplitude"], 0.5 / 2 ** 0.5, delta=0.01)


def sound_lines(run_dir):
    return read_records(run_dir, LOG)


def tones(samples, rate):
    """The left channel's sounding stretches, as (start in seconds, Hz by
    its zero crossings)."""
    left = samples[0::2]
    found, start, quiet = [], None, 0
    for i, value in enumerate(list(left) + [0.0] * 200):
        if abs(value) > 1e-4:
            start = i if start is None else start
            quiet = 0
        elif start is not None:
            quiet += 1
            if quiet == 200:
                part = left[start:i - quiet]
                crossings = sum(1 for a, b in zip(part, part[1:]) if (a < 0) != (b < 0))
                found.append((start / rate, crossings / 2 / (len(part) / rate)))
                start = None
    return found


class LiveSoundTest(unittest.TestCase):
    def start(self, name, module, device=True):
        """A host on the module, writing --sound ../out.wav, with its sound
        going into a file through the real audio path (or to no device);
        (run directory, host, the device's file)."""
        run_dir = make_run_dir(name)
        env, device_file = harness.sound_output(run_dir)
        if not device:
            env, device_file = harness.no_sound_output(run_dir), None
        install_module(run_dir, module_file(module))
        host = Host(run_dir, env=env, command=command("--sound", "../out.wav"))
        self.addCleanup(host.stop)
        host.find_window(title="^Engine")
        return run_dir, host, device_file

    def test_no_device_without_the_export_then_a_tone_through_the_device(self):
        run_dir, host, device_file = self.start("sound_device", "sounder_v0")
        self.assertTrue(wait_for(lambda: len(read_records(run_dir, "entry.log")) >= 20))
        self.assertFalse(os.path.exists(device_file), "a device without entry_sound")
        self.assertEqual(read_wav(os.path.join(run_dir, "out.wav"))[1].tolist(), [])

        install_module(run_dir, module_file("sounder_v1"))
        self.assertTrue(wait_for(lambda: len(sound_lines(run_dir)) >= 45))
        host.stop()
        self.assertNotIn("Engine: no sound device", host.stderr())
        made = int(sound_lines(run_dir)[-1]["made"])
        rate, samples = read_wav(os.path.join(run_dir, "out.wav"), killed=True)
        self.assertEqual(rate, 48000)
        # The host may have been stopped before the last frame was written.
        self.assertGreaterEqual(len(samples) // 2, made - 2 * FRAME)
        assert_tone(self, os.path.join(run_dir, "out.wav"))
        self.assertEqual(set(samples[1::2]), {MARK})
        # What the device played is what the module made, in order.
        played = without_silence(read_raw(device_file))
        self.assertGreater(len(played), 2 * 48000)
        self.assertEqual(played.tolist(), samples[:len(played)].tolist())
        with open(os.path.join(run_dir, "played.raw"), "wb") as out:
            played.tofile(out)
        assert_tone(self, os.path.join(run_dir, "played.raw"), RAW_FLOAT_STEREO)

    def test_without_a_device_entry_sound_is_called_and_its_samples_dropped(self):
        run_dir, host, _ = self.start("sound_none", "sounder_v1", device=False)
        self.assertTrue(wait_for(lambda: host.title() == NO_DEVICE), host.title())
        self.assertTrue(wait_for(lambda: len(sound_lines(run_dir)) >= 30))
        host.stop()
        self.assertEqual(len(re.findall(r"Engine: no sound device: sound is off \(.+\)\n",
                                        host.stderr())), 1, host.stderr())
        self.assertEqual({(r["frames"], r["rate"]) for r in sound_lines(run_dir)},
                         {(str(FRAME), "48000")})
        assert_tone(self, os.path.join(run_dir, "out.wav"))

    def test_a_faulting_frame_is_heard_nowhere_and_the_previous_build_sounds_it(self):
        # With no build to go back to the fault is held: nothing is heard.
        run_dir, host, device_file = self.start("sound_held", "sounder_v3")
        self.assertTrue(wait_for(lambda: "rebuild to resume" in host.title()), host.title())
        self.assertTrue(wait_for(lambda: len(read_records(run_dir, "entry.log")) >= 1))
        host.stop()
        self.assertEqual(len(sound_lines(run_dir)), 1)
        self.assertEqual(read_wav(os.path.join(run_dir, "out.wav"))[1].tolist(), [])
        if os.path.exists(device_file):
            self.assertEqual(without_silence(read_raw(device_file)).tolist(), [])

        run_dir, host, device_file = self.start("sound_fault", "sounder_v1")
        self.assertTrue(wait_for(lambda: len(sound_lines(run_dir)) >= 10))
        install_module(run_dir, module_file("sounder_v3"))
        self.assertTrue(wait_for(lambda: "running the previous build" in host.title()),
                        host.title())
        self.assertTrue(wait_for(lambda: len(sound_lines(run_dir)) >= 40))
        host.stop()
        lines = sound_lines(run_dir)
        # The faulting call wrote its samples and logged them; the previous
        # build, called in the same frame, made the frame's instead, from the
        # state as it was before the frame.
        twice = [i for i in range(1, len(lines)) if lines[i]["frame"] == lines[i - 1]["frame"]]
        self.assertEqual(len(twice), 1, lines)
        at = twice[0]
        self.assertEqual(lines[at]["made"], lines[at - 1]["made"])
        heard = sum(int(line["frames"]) for i, line in enumerate(lines) if i != at - 1)
        rate, samples = read_wav(os.path.join(run_dir, "out.wav"), killed=True)
        self.assertGreaterEqual(len(samples) // 2, heard - 4 * FRAME)
        self.assertLessEqual(len(samples) // 2, heard)
        self.assertEqual(set(samples[1::2]), {MARK})
        played = without_silence(read_raw(device_file))
        self.assertEqual(played.tolist(), samples[:len(played)].tolist())

    def test_the_demo_sounds_a_click_and_a_key_pitched_by_the_pointer(self):
        run_dir, host, _ = self.start("sound_demo", "demo")
        focus(host)
        move(host, 50, 600)
        settle()
        click(1)
        settle()
        settle()
        move(host, 1000, 100)
        settle()
        keys("a")
        settle()
        settle()
        host.stop()
        rate, samples = read_wav(os.path.join(run_dir, "out.wav"), killed=True)
        found = tones(samples, rate)
        # A tone for the click, one for the key; none for their releases.
        self.assertEqual(len(found), 2, found)
        self.assertAlmostEqual(found[0][1], 220, delta=15)
        self.assertAlmostEqual(found[1][1], 1480, delta=40)


class HeadlessSoundTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        """A recording of real input, made with --record and closed."""
        cls.run_dir = make_run_dir("sound_recording")
        install_module(cls.run_dir, module_file("sounder_v1"))
        env, _ = harness.sound_output(cls.run_dir)
        host = Host(cls.run_dir, env=env, command=command("--record", "../take.rec"))
        try:
            host.find_window(title="^Engine - recording$")
            wait_for(lambda: len(sound_lines(cls.run_dir)) >= 30)
            focus(host)
            move(host, 50, 60)
            keys("a")
            settle()
            host.close()
            assert host.wait() == 0
        finally:
            host.stop()
        cls.frames = int(sound_lines(cls.run_dir)[-1]["frame"])

    def path(self, name):
        return os.path.join(self.run_dir, name)

    def replay(self, *arguments):
        log = self.path(os.path.join("data", LOG))
        if os.path.exists(log):
            os.remove(log)
        return run_headless(self.run_dir, "--replay", "../take.rec", *arguments)

    def test_replays_write_the_same_sound_and_check_names_the_first_changed_frame(self):
        install_module(self.run_dir, module_file("sounder_v1"))
        self.assertEqual(self.replay("--sound", "../one.wav", "--hashes", "../one.txt"), (0, ""))
        self.assertEqual({(r["frames"], r["rate"]) for r in sound_lines(self.run_dir)},
                         {(str(FRAME), "48000")})
        self.assertEqual(self.replay("--sound", "../two.wav", "--hashes", "../two.txt"), (0, ""))
        with open(self.path("one.wav"), "rb") as one, open(self.path("two.wav"), "rb") as two:
            self.assertEqual(one.read(), two.read())
        rate, samples = read_wav(self.path("one.wav"))
        self.assertEqual((rate, len(samples)), (48000, 2 * FRAME * self.frames))
        assert_tone(self, self.path("one.wav"))
        with open(self.path("one.txt")) as one, open(self.path("two.txt")) as two:
            hashes = one.read()
            self.assertEqual(hashes, two.read())
        rows = [line.split() for line in hashes.splitlines()]
        self.assertEqual({len(row) for row in rows}, {4})
        self.assertEqual(len({row[3] for row in rows}), len(rows))  # every frame sounds new
        self.assertEqual(self.replay("--check", "../one.txt"), (0, ""))

        install_module(self.run_dir, module_file("sounder_v2"))
        status, error = self.replay("--check", "../one.txt")
        self.assertEqual(status, 1, error)
        self.assertIn("check failed at frame 10: samples differ", error)
        # Against the three columns of a build without sound, every frame
        # differs in its samples.
        with open(self.path("three.txt"), "w") as three:
            three.write("".join(" ".join(row[:3]) + "\n" for row in rows))
        install_module(self.run_dir, module_file("sounder_v1"))
        status, error = self.replay("--check", "../three.txt")
        self.assertEqual((status, error), (1, "Engine: check failed at frame 1: samples differ"))

    def test_samples_no_device_should_get_are_clamped_and_said_once(self):
        install_module(self.run_dir, module_file("sounder_v4"))
        status, error = self.replay("--sound", "../bad.wav")
        self.assertEqual(status, 0)
        self.assertEqual(error.count("clamped"), 1, error)
        _, samples = read_wav(self.path("bad.wav"))
        for frame in range(self.frames):
            start = frame * FRAME * 2
            self.assertEqual(samples[start:start + 12:2].tolist(), [0, 1, -1, 1, -1, 1])
        self.assertLessEqual(max(samples), 1.0)
        self.assertGreaterEqual(min(samples), -1.0)


if __name__ == "__main__":
    unittest.main()
