"""Input through the real host (Windows under Wine, or Linux): keys typed,
the mouse moved, clicked and wheeled with xdotool through the X server arrive
in the input record as the module sees it, and the module's two mouse flags
act one frame later."""

import unittest

import harness
from harness import Host, install_module, make_run_dir, module_file, xdotool
from input_helpers import (buttons, click, focus, frames_after, keys, move, records,
                           request_flags, settle, wait_records)

ONE_FRAME = 0.0333333351  # 1/30 in single precision, as the record prints it

KEY_NULL, KEY_5, KEY_F5, KEY_A, KEY_B = 0, 24, 33, 67, 68
KEY_SHIFT, KEY_LEFT = 100, 105
MOUSE_PRIMARY, MOUSE_SECONDARY, MOUSE_MIDDLE = 110, 111, 112


def history(found, code, first_frame):
    """The entries of one button in the records from first_frame on."""
    return [buttons(r)[code] for r in found
            if int(r["f"]) >= first_frame and code in buttons(r)]


class InputTest(unittest.TestCase):
    def setUp(self):
        # Keep the pointer off the window until a test moves it there.
        xdotool("mousemove", "1590", "1190")
        self.run_dir = make_run_dir("input")
        install_module(self.run_dir, module_file("input_recorder"))
        self.host = Host(self.run_dir)
        self.addCleanup(self.host.stop)
        self.host.find_window()
        frames_after(self.run_dir, 3)

    def value(self, record, key):
        return float(record[key])

    def test_first_frames_show_a_zeroed_record_with_sizes_and_one_frame_of_time(self):
        found = records(self.run_dir)
        first, second = found[0], found[1]
        self.assertEqual(first["f"], "1")
        _, _, width, height = self.host.geometry()
        self.assertEqual((self.value(first, "w"), self.value(first, "h")), (width, height))
        # Zeroed before the first frame: nothing moved yet, no wheel. The
        # pointer may already lie over the new window, and then a move
        # arrives in the first frame, measured from 0,0.
        for key in ("wheel", "px", "py", "pvx", "pvy"):
            self.assertEqual(self.value(first, key), 0.0, key)
        self.assertEqual((first["dx"], first["dy"]), (first["x"], first["y"]))
        self.assertEqual((first["vx"], first["vy"]), (first["x"], first["y"]))
        self.assertEqual((first["acc"], first["sup"], first["b"], first["res"]),
                         ("0", "0", "-", "1"))
        # The first frame adds one frame period to every button's first slot.
        self.assertEqual(first["d0"], "%s,%s" % (ONE_FRAME, ONE_FRAME))
        low, high = (float(v) for v in second["d0"].split(","))
        self.assertGreater(low, 2 * 0.0333)
        self.assertLess(high, 5.0)
        self.assertTrue(all(r["res"] == "1" for r in found))

    def test_typed_keys_arrive_with_codes_transitions_and_characters(self):
        focus(self.host)
        settle()
        start = int(records(self.run_dir)[-1]["f"]) + 1
        keys("a", "5", "shift+b", "Left", "F5", "comma")
        wait_records(self.run_dir, lambda r: KEY_NULL in buttons(r) and int(r["f"]) >= start)
        found = frames_after(self.run_dir, 10)
        self.assertEqual(found[-1]["b"], "-", "a key stayed down")

        # B's press sees shift down. On Windows its release stores the
        # character of the keyboard state then (xdotool may let go of shift
        # first); SDL types text on the press only, so the Linux host stores
        # the press's character again.
        shift_up = history(found, KEY_SHIFT, start)[-1][4]
        b_up = history(found, KEY_B, start)[-1][4]
        self.assertEqual(history(found, KEY_B, start)[0][2], ord("B"))
        b_released = "b" if harness.WINDOWS and shift_up <= b_up else "B"
        expected = {
            KEY_A: ord("a"), KEY_5: ord("5"), KEY_B: ord(b_released),
            KEY_SHIFT: 0, KEY_LEFT: 0, KEY_F5: 0, KEY_NULL: ord(","),
        }
        times = {}
        for code, character in expected.items():
            entries = history(found, code, start)
            self.assertTrue(entries, "code %d never arrived" % code)
            self.assertEqual(sum(e[1] for e in entries), 2, (code, entries))
            self.assertEqual(entries[-1][0], 0, (code, entries))
            self.assertEqual(entries[-1][2], character, (code, entries))
            # Two changes walk the ring from 0 down to 2.
            self.assertEqual(entries[-1][3], 2, (code, entries))
            self.assertGreater(entries[-1][4], 0)
            times[code] = entries[0][4]
        # Nothing else went down.
        seen = {code for r in found if int(r["f"]) >= start for code in buttons(r)}
        self.assertEqual(seen, set(expected))
        # Message times follow the typing order.
        order = [KEY_A, KEY_5, KEY_SHIFT, KEY_LEFT, KEY_F5, KEY_NULL]
        self.assertEqual([times[c] for c in order], sorted(times[c] for c in order))

    def test_mouse_moves_clicks_and_wheel(self):
        height = self.value(records(self.run_dir)[-1], "h")
        move(self.host, 100, 50)
        found = wait_records(self.run_dir, lambda r: r["x"] == "100")
        at = next(r for r in found if r["x"] == "100")
        self.assertEqual(self.value(at, "y"), height - 50)
        start = int(at["f"])

        move(self.host, 300, 200)
        found = wait_records(self.run_dir, lambda r: r["x"] == "300")
        moved = [r for r in found if int(r["f"]) > start and int(r["f"]) <= int(
            next(r for r in found if r["x"] == "300")["f"])]
        self.assertEqual(self.value(moved[-1], "y"), height - 200)
        self.assertEqual(sum(self.value(r, "dx") for r in moved), 200.0)
        self.assertEqual(sum(self.value(r, "dy") for r in moved), -150.0)
        for r in moved:
            self.assertEqual(self.value(r, "dx"), self.value(r, "x") - self.value(r, "px"))
            self.assertEqual((r["vx"], r["vy"]), (r["x"], r["y"]))

        # The top and bottom rows.
        move(self.host, 10, 0)
        self.assertTrue(wait_records(self.run_dir, lambda r: r["x"] == "10" and
                                     self.value(r, "y") == height))
        move(self.host, 20, int(height) - 1)
        self.assertTrue(wait_records(self.run_dir, lambda r: r["x"] == "20" and
                                     r["y"] == "1"))

        # The pointer was at 300 before: wait for a frame that sees it back there.
        since = int(records(self.run_dir)[-1]["f"])
        move(self.host, 300, 200)
        wait_records(self.run_dir, lambda r: r["x"] == "300" and int(r["f"]) > since)
        start = int(records(self.run_dir)[-1]["f"]) + 1
        for button in (1, 3, 2):
            click(button)
            settle()
        found = frames_after(self.run_dir, 5)
        for code in (MOUSE_PRIMARY, MOUSE_SECONDARY, MOUSE_MIDDLE):
            entries = history(found, code, start)
            self.assertEqual(sum(e[1] for e in entries), 2, (code, entries))
            self.assertEqual(entries[-1][0], 0)
            self.assertEqual(entries[-1][2], 0)  # buttons carry no character
        later = [r for r in found if int(r["f"]) >= start]
        self.assertEqual({(r["x"], r["y"]) for r in later}, {("300", "%g" % (height - 200))})

        start = int(records(self.run_dir)[-1]["f"]) + 1
        click(4)
        found = wait_records(self.run_dir, lambda r: r["wheel"] != "0" and int(r["f"]) >= start)
        click(5)
        found = wait_records(self.run_dir, lambda r: r["wheel"] == "-1")
        wheels = [r["wheel"] for r in found if int(r["f"]) >= start and r["wheel"] != "0"]
        self.assertEqual(wheels, ["1", "-1"])
        found = frames_after(self.run_dir, 2)
        self.assertEqual(found[-1]["wheel"], "0")

    def test_a_drag_out_of_the_window_records_no_move_outside_it(self):
        x, y, width, height = self.host.geometry()
        move(self.host, 300, 200)
        wait_records(self.run_dir, lambda r: r["x"] == "300")
        start = int(records(self.run_dir)[-1]["f"]) + 1
        self.assertEqual(xdotool("mousedown", "1").returncode, 0)
        try:
            settle()
            # Right of the window and below it, with the button held.
            for column, row in ((x + width + 150, y + 200), (x + 300, y + height + 120)):
                self.assertEqual(xdotool("mousemove", str(column), str(row)).returncode, 0)
                settle()
            found = frames_after(self.run_dir, 3)
        finally:
            xdotool("mouseup", "1")
        held = [r for r in found if int(r["f"]) >= start]
        self.assertTrue(any(buttons(r).get(MOUSE_PRIMARY, (0,))[0] == 1 for r in held), held)
        for r in held:
            self.assertTrue(0 <= self.value(r, "x") < width, r)
            self.assertTrue(0 < self.value(r, "y") <= height, r)

    def first_set(self, mode):
        found = wait_records(self.run_dir, lambda r: r["set"] == mode)
        return int(next(r for r in found if r["set"] == mode)["f"])

    def frame(self, found, number):
        return next(r for r in found if int(r["f"]) == number)

    def test_module_flags_take_effect_one_frame_later(self):
        move(self.host, 200, 200)
        wait_records(self.run_dir, lambda r: r["x"] == "200")

        # Accumulate for one frame, from a virtual position moved to 0,0: the
        # next frame adds its delta to 0,0; the one after follows the cursor.
        request_flags(self.run_dir, "accumulate", 1)
        n = self.first_set("accumulate")
        found = frames_after(self.run_dir, 3)
        set_frame, next_frame, after = (self.frame(found, n + i) for i in range(3))
        self.assertEqual((set_frame["vx"], set_frame["vy"]), (set_frame["x"], set_frame["y"]))
        self.assertEqual((next_frame["acc"], next_frame["pvx"], next_frame["pvy"]),
                         ("0", "0", "0"))
        self.assertEqual((next_frame["vx"], next_frame["vy"]),
                         (next_frame["dx"], next_frame["dy"]))
        self.assertNotEqual(next_frame["vx"], next_frame["x"])
        self.assertEqual((after["vx"], after["vy"]), (after["x"], after["y"]))

        # Suppress while the cursor moves: no delta, the virtual position follows.
        request_flags(self.run_dir, "suppress", 60)
        n = self.first_set("suppress")
        move(self.host, 400, 300)
        found = wait_records(self.run_dir, lambda r: r["x"] == "400")
        found = frames_after(self.run_dir, 2)
        window = [r for r in found if n < int(r["f"]) <= n + 60]
        self.assertTrue(any(r["x"] != r["px"] for r in window), "the move missed the window")
        for r in window:
            self.assertEqual((r["dx"], r["dy"], r["sup"]), ("0", "0", "0"), r)
            self.assertEqual(r["vx"], r["x"])

        # Both: the virtual position stays where the module put it.
        request_flags(self.run_dir, "both", 45)
        n = self.first_set("both")
        move(self.host, 100, 100)
        found = wait_records(self.run_dir, lambda r: int(r["f"]) > n + 46)
        window = [r for r in found if n < int(r["f"]) <= n + 45]
        self.assertTrue(any(r["x"] != r["px"] for r in window), "the move missed the window")
        for r in window:
            self.assertEqual((r["dx"], r["dy"], r["vx"], r["vy"]), ("0", "0", "0", "0"), r)
        after = self.frame(found, n + 46)
        self.assertEqual((after["vx"], after["vy"]), (after["x"], after["y"]))


if __name__ == "__main__":
    unittest.main()
