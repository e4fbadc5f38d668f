"""Controllers through the real host. With none connected the record's
controller block stays zero on both hosts. On the Linux host the recording
module plugs in SDL's virtual controllers, presses their buttons, moves their
sticks and triggers and unplugs them; the host takes their events through its
own pump, and the module reads the result in the next frame."""

import os
import unittest

import harness
from harness import Host, install_module, make_run_dir, module_file, read_records, wait_for

LOG = "gamepad.log"

# gamepad_button values, as the record's masks and lists give them.
CONNECTED, DPAD_UP, THUMB_LEFT = 0, 1, 7
A, B, X, Y = 11, 12, 13, 14
# SDL's controller buttons and axes, as the module's commands take them.
SDL_A, SDL_B, SDL_X, SDL_Y, SDL_GUIDE, SDL_LEFTSTICK, SDL_DPAD_UP = 0, 1, 2, 3, 5, 7, 11
LEFT_X, LEFT_Y, RIGHT_X, RIGHT_Y, LEFT_TRIGGER, RIGHT_TRIGGER = range(6)



def tilt(raw):
    """A stick pushed along one axis, past the 0.24 dead zone."""
    return (raw / 32767 - 0.24) / (1 - 0.24)


def mask(*buttons):
    return sum(1 << b for b in buttons)


class Place:
    """One place of a record: the held mask, the sticks and triggers, the
    seconds in the connection's current state, and the buttons that changed
    this frame (button -> (transitions, duration_index, time))."""

    def __init__(self, record, place):
        fields = record["p%d" % place].split(":")
        self.text = record["p%d" % place]
        self.held = int(fields[0])
        self.left = (float(fields[1]), float(fields[2]))
        self.right = (float(fields[3]), float(fields[4]))
        self.triggers = (float(fields[5]), float(fields[6]))
        self.duration = float(fields[7])
        self.changed = {}
        if record["t%d" % place] != "-":
            for entry in record["t%d" % place].split(","):
                button, *rest = (int(value) for value in entry.split(":"))
                self.changed[button] = tuple(rest)


class GamepadTest(unittest.TestCase):
    def setUp(self):
        self.run_dir = make_run_dir("gamepad")
        install_module(self.run_dir, module_file("gamepad_recorder"))
        self.host = Host(self.run_dir)
        self.addCleanup(self.host.stop)
        self.host.find_window()
        self.commands = 0

    def records(self):
        return read_records(self.run_dir, LOG)

    def frame(self, number):
        """The record of frame number, once it is written."""
        def find():
            return next((r for r in self.records() if int(r["f"]) == number), None)

        found = wait_for(find, timeout=20.0, interval=0.05)
        self.assertIsNotNone(found, "frame %d was never recorded" % number)
        return found

    def command(self, *lines):
        """Has the module carry out the lines in one frame; returns the
        number of that frame. Their events arrive in the next one."""
        path = os.path.join(self.run_dir, "data", "gamepad_control.txt")
        with open(path + ".partial", "w") as out:
            out.write("".join(line + "\n" for line in lines))
        os.replace(path + ".partial", path)
        self.commands += 1

        def carried_out():
            return next((r for r in self.records() if int(r["cmds"]) >= self.commands), None)

        found = wait_for(carried_out, timeout=20.0, interval=0.05)
        self.assertIsNotNone(found, "the module never carried out %s" % (lines,))
        return int(found["f"])

    def after(self, *lines):
        """The places as the frame after the commands' frame shows them."""
        record = self.frame(self.command(*lines) + 1)
        return [Place(record, p) for p in range(4)]

    def assert_empty(self, place):
        self.assertEqual((place.held, place.changed, place.duration), (0, {}, 0.0), place.text)
        self.assertEqual(place.left + place.right + place.triggers, (0.0,) * 6, place.text)

    def assert_axes(self, place, left, right=(0.0, 0.0), triggers=(0.0, 0.0)):
        for got, expected in zip(place.left + place.right + place.triggers,
                                 left + right + triggers):
            self.assertAlmostEqual(got, expected, places=5, msg=place.text)

    def test_no_controller_leaves_the_block_zero(self):
        # Past the first poll and XInput's next look at the empty places.
        self.frame(40)
        found = self.records()
        self.assertGreaterEqual(len(found), 40)
        self.assertTrue(all(r["zero"] == "1" and r["res"] == "1" for r in found),
                        [r for r in found if r["zero"] != "1"][:1])

    @unittest.skipUnless(harness.VIRTUAL_CONTROLLERS, "no virtual controllers on this host")
    def test_connect_buttons_sticks_triggers_and_unplug_mid_press(self):
        pads = self.after("attach 0")
        self.assertEqual(pads[0].held, mask(CONNECTED))
        self.assertEqual(list(pads[0].changed), [CONNECTED])
        transitions, index, connected_at = pads[0].changed[CONNECTED]
        self.assertEqual((transitions, index), (1, 3))
        self.assertGreater(connected_at, 0)
        self.assert_axes(pads[0], (0.0, 0.0))
        for other in pads[1:]:
            self.assert_empty(other)

        # Buttons: one change each, the guide button has no place in the
        # record; a frame later they are held without transitions and the
        # connection's time has grown.
        pads = self.after("button 0 %d 1" % SDL_A, "button 0 %d 1" % SDL_DPAD_UP,
                          "button 0 %d 1" % SDL_GUIDE)
        self.assertEqual(pads[0].held, mask(CONNECTED, A, DPAD_UP))
        self.assertEqual(sorted(pads[0].changed), [DPAD_UP, A])
        pressed_at = pads[0].changed[A][2]
        self.assertEqual(pads[0].changed[A][:2], (1, 3))
        self.assertGreaterEqual(pressed_at, connected_at)
        later = Place(self.frame(self.command() + 1), 0)
        self.assertEqual((later.held, later.changed), (mask(CONNECTED, A, DPAD_UP), {}))
        self.assertGreater(later.duration, 0.0)
        pads = self.after("button 0 %d 0" % SDL_A)
        self.assertEqual(pads[0].held, mask(CONNECTED, DPAD_UP))
        self.assertEqual(pads[0].changed[A][:2], (1, 2))

        # Sticks: full tilt is 1, y points up, the dead zone reads 0, a
        # diagonal is never longer than 1; triggers from released to pulled.
        self.assert_axes(self.after("axis 0 %d 32767" % LEFT_X)[0], (1.0, 0.0))
        self.assert_axes(self.after("axis 0 %d 0" % LEFT_X, "axis 0 %d -32768" % LEFT_Y)[0],
                         (0.0, 1.0))
        self.assert_axes(self.after("axis 0 %d 7800" % LEFT_Y)[0], (0.0, 0.0))
        self.assert_axes(self.after("axis 0 %d -16384" % RIGHT_X)[0], (0.0, 0.0),
                         (-tilt(16384), 0.0))
        corner = 0.5 ** 0.5
        self.assert_axes(self.after("axis 0 %d 32767" % RIGHT_X, "axis 0 %d 32767" % RIGHT_Y)[0],
                         (0.0, 0.0), (corner, -corner))
        pads = self.after("axis 0 %d 32767" % LEFT_TRIGGER, "axis 0 %d 0" % RIGHT_TRIGGER)
        self.assert_axes(pads[0], (0.0, 0.0), (corner, -corner),
                         (1.0, (16383 / 32767 - 0.12) / (1 - 0.12)))

        # Unplugged with buttons held: each is released in that frame, then
        # the place keeps still.
        self.after("button 0 %d 1" % SDL_B, "button 0 %d 1" % SDL_LEFTSTICK)
        frame = self.command("detach 0")
        gone = Place(self.frame(frame + 1), 0)
        self.assertEqual(gone.held, 0)
        self.assertEqual(sorted(gone.changed), [CONNECTED, DPAD_UP, THUMB_LEFT, B])
        self.assertTrue(all(change[0] == 1 for change in gone.changed.values()), gone.text)
        self.assert_axes(gone, (0.0, 0.0))
        still = [Place(self.frame(frame + n), 0) for n in (2, 4)]
        self.assertEqual(still[0].text, still[1].text)
        self.assertEqual((still[1].held, still[1].changed), (0, {}))

    @unittest.skipUnless(harness.VIRTUAL_CONTROLLERS, "no virtual controllers on this host")
    def test_two_at_once_and_places_taken_lowest_first(self):
        pads = self.after("attach 0", "attach 1")
        self.assertEqual([p.held for p in pads], [1, 1, 0, 0])
        pads = self.after("button 0 %d 1" % SDL_A, "button 1 %d 1" % SDL_B,
                          "axis 1 %d -32768" % LEFT_X)
        self.assertEqual((pads[0].held, pads[1].held), (mask(CONNECTED, A), mask(CONNECTED, B)))
        self.assert_axes(pads[0], (0.0, 0.0))
        self.assert_axes(pads[1], (-1.0, 0.0))

        # A fifth controller, X held, waits; it takes the place that frees,
        # in the frame the other leaves, with its X already down.
        pads = self.after("attach 2", "attach 3", "attach 4", "button 4 %d 1" % SDL_X)
        self.assertEqual([p.held for p in pads], [mask(CONNECTED, A), mask(CONNECTED, B), 1, 1])
        pads = self.after("detach 1")
        self.assertEqual(pads[1].held, mask(CONNECTED, X))
        self.assertEqual(pads[1].changed[CONNECTED][0], 2)  # out and in again
        self.assertEqual((pads[1].changed[B][0], pads[1].changed[X][0]), (1, 1))
        self.assert_axes(pads[1], (0.0, 0.0))
        self.assertEqual(pads[0].held, mask(CONNECTED, A))

        # A newcomer takes the lowest free place, not the last one freed.
        self.after("detach 3")
        self.after("detach 2")
        pads = self.after("attach 5", "button 5 %d 1" % SDL_Y)
        self.assertEqual([p.held for p in pads],
                         [mask(CONNECTED, A), mask(CONNECTED, X), mask(CONNECTED, Y), 0])


if __name__ == "__main__":
    unittest.main()
