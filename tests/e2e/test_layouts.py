"""Changed layouts end to end: a C program whose node gets a member in the
middle and two swapped, and a C++ program whose virtual base class gets a
member in the middle, loses one and has two swapped, reload with every
object converted and print the same digests frame by frame as a run that
never reloaded; the note names what was converted. Objects of a grown type
inside the program's own allocator hold the new build back by name while
the running build goes on, until the chord starts the program afresh with
it; a converted build that faults at once leaves the previous build its
values."""

import re
import unittest

from digest_run import DigestRun, by_frame, digests
from harness import install_module, loaded_copies, module_file, wait_for, window_title
from input_helpers import focus, keys

LIST, ARRAY = 2000, 300  # modules/layouts/nodes.c
MOVERS, SPINNERS = 400, 200  # modules/layouts/shapes.cpp
ITEMS = 300  # modules/layouts/stock.cpp

# "converted 2,301 node (added: weight), 1 holder": each item's count, type
# and what changed in it.
_ITEM = re.compile(r"(\d[\d,]*) ([\w:<>]+)(?: \(([^)]*)\))?(?:, |$)")


def converted(note):
    """The note's converted types: {type: (count, what changed)}."""
    found = re.search(r"converted (.*)$", note)
    assert found, note
    return {m.group(2): (int(m.group(1).replace(",", "")), m.group(3) or "")
            for m in _ITEM.finditer(found.group(1))}


class LayoutsTest(DigestRun):
    def start(self, name, module):
        self.start_run(name, module)

    def swap(self, module):
        """The next build, once the one before has written a digest."""
        seen = len(digests(self.run_dir))
        self.assertTrue(wait_for(lambda: len(digests(self.run_dir)) > seen, 10))
        install_module(self.run_dir, module_file(module))

    plains = {}  # module: its plain run's digests, shared by the tests

    def plain(self, module, frames):
        """The digests of a run that never reloads, by frame."""
        if max(self.plains.get(module, {0: ""})) >= frames:
            return self.plains[module]
        self.start("plain_" + module, module)
        self.wait_frame(frames)
        records = by_frame(digests(self.run_dir))
        self.host.close()
        self.assertEqual(self.host.wait(timeout=30), 0)
        self.plains[module] = records
        return records

    def assert_digests(self, plain, records):
        for record in records:
            frame = int(record["frame"])
            if frame in plain:
                self.assertEqual(record["digest"], plain[frame],
                                 "v%s frame %d" % (record["v"], frame))

    def note_line(self):
        """The one note of the reload on standard error."""
        lines = [line for line in self.host.stderr().splitlines()
                 if line.startswith("Engine: kept ")]
        self.assertEqual(len(lines), 1, self.host.stderr())
        return lines[0]

    def test_a_c_program_keeps_every_value_through_a_member_inserted_and_two_swapped(self):
        plain = self.plain("layouts_v1", 150)
        self.start("layouts", "layouts_v1")
        self.wait_frame(30)
        self.swap("layouts_v2")
        title = self.wait_title(r"^Engine - kept [0-9,]+ variables?.*; converted ")
        self.wait_frame(150, version=2)
        # Every node that lives: the list's, the array's, maybe the global
        # and the one inside the holder counted too.
        line = self.note_line()
        types = converted(line)
        self.assertIn(types["node"][0], range(LIST + ARRAY, LIST + ARRAY + 3), line)
        self.assertEqual(types["node"][1], "added: weight", line)
        self.assertEqual(types["holder"][0], 1, line)
        self.assertEqual(converted(title)["node"], types["node"], title)
        ran = digests(self.run_dir)
        self.assertEqual({r["v"] for r in ran}, {"1", "2"})
        self.assertEqual({r["nodes"] for r in ran}, {str(LIST)})
        # The new member starts at 0 in every node.
        self.assertEqual({r["weights"] for r in ran}, {"0"})
        self.assert_digests(plain, ran)
        self.assertEqual([int(r["frame"]) for r in ran],
                         list(range(10, int(ran[-1]["frame"]) + 1, 10)))
        self.host.close()
        self.assertEqual(self.host.wait(timeout=30), 0)

    def test_a_cpp_program_keeps_its_objects_and_their_virtual_calls(self):
        plain = self.plain("shapes_v1", 150)
        self.start("shapes", "shapes_v1")
        self.wait_frame(30)
        self.swap("shapes_v2")
        self.wait_title(r"^Engine - kept [0-9,]+ variables?.*; converted ")
        self.wait_frame(150, version=2)
        line = self.note_line()
        types = converted(line)
        # By their dynamic types, or as Shapes.
        if "Shape" in types:
            self.assertEqual(types["Shape"][0], MOVERS + SPINNERS, line)
        else:
            self.assertEqual(types["Mover"][0], MOVERS, line)
            self.assertEqual(types["Spinner"][0], SPINNERS, line)
        self.assertRegex(line, r"added: [^;)]*\badded\b")
        self.assertRegex(line, r"removed: [^;)]*\bspare\b")
        ran = digests(self.run_dir)
        self.assertEqual({r["v"] for r in ran}, {"1", "2"})
        self.assertEqual({(r["shapes"], r["movers"]) for r in ran},
                         {(str(MOVERS + SPINNERS), str(MOVERS))})
        self.assertEqual({r["added"] for r in ran}, {"0"})
        self.assert_digests(plain, ran)
        self.host.close()
        self.assertEqual(self.host.wait(timeout=30), 0)

    def test_objects_grown_inside_the_programs_allocator_wait_until_the_chord(self):
        """The list's nodes lie in a zone the program carves itself: they
        can't grow there. The running build goes on with all its state; the
        chord starts the program afresh with the new build."""
        plain = self.plain("layouts_v1", 150)
        self.start("layouts_zone", "layouts_zone_v1")
        self.wait_frame(30)
        self.swap("layouts_zone_v2")
        waits = (r"main\.(so|dll) waits: node grew by 8 bytes and %s of its objects live in "
                 r"memory the program manages itself \(alt\+Backspace starts it afresh\)"
                 % "2,?000")
        self.wait_title("^Engine - %s$" % waits)
        self.wait_frame(90, version=1)
        # Said once, not tried again each frame; the copy is gone.
        said = re.findall("^Engine: %s$" % waits, self.host.stderr(), re.M)
        self.assertEqual(len(said), 1, self.host.stderr())
        self.assertEqual(len(loaded_copies(self.run_dir)), 1, loaded_copies(self.run_dir))
        # Another file is looked at afresh, and waits as well.
        self.swap("layouts_zone_v2")
        self.assertTrue(wait_for(lambda: len(re.findall("^Engine: %s$" % waits,
                                                        self.host.stderr(), re.M)) == 2, 15),
                        self.host.stderr())
        self.wait_frame(120, version=1)
        ran = digests(self.run_dir)
        self.assertEqual({r["v"] for r in ran}, {"1"})
        self.assert_digests(plain, ran)
        self.assertEqual([int(r["frame"]) for r in ran],
                         list(range(10, int(ran[-1]["frame"]) + 1, 10)))

        focus(self.host)
        keys("alt+BackSpace")
        self.wait_title(r"^Engine - main\.(so|dll) started afresh$")
        self.assertRegex(self.host.stderr(), r"\nEngine: main\.(so|dll) started afresh\n")
        # From its first frame, as a fresh start runs it.
        self.wait_frame(60, version=2)
        fresh = [r for r in digests(self.run_dir) if r["v"] == "2"]
        self.assertEqual([int(r["frame"]) for r in fresh][:6], [10, 20, 30, 40, 50, 60])
        self.assertEqual({r["weights"] for r in fresh}, {"0"})
        self.assert_digests(plain, fresh)
        self.assertTrue(self.host.running())
        self.host.close()
        self.assertEqual(self.host.wait(timeout=30), 0)

    def test_items_in_lists_maps_and_hash_tables_are_converted_and_a_deque_waits(self):
        """Items with strings in a std::list, a std::map and a
        std::unordered_map: converted in their nodes, the strings (inside
        the item or on the heap) and the hash table's keys intact. A changed
        tag held in a std::deque can't be found, so that build waits."""
        plain = self.plain("stock_v1", 220)
        self.start("stock", "stock_v1")
        self.wait_frame(30)
        self.swap("stock_v2")
        self.wait_title(r"^Engine - kept [0-9,]+ variables?.*; converted ")
        self.wait_frame(150, version=2)
        types = converted(self.note_line())
        self.assertEqual(types["item"], (3 * ITEMS, "added: added"), self.note_line())
        ran = digests(self.run_dir)
        self.assertEqual({r["items"] for r in ran}, {str(3 * ITEMS)})
        self.assertEqual({r["added"] for r in ran}, {"0"})
        self.assert_digests(plain, ran)
        self.swap("stock_v3")
        self.wait_title(r"^Engine - main\.(so|dll) waits: .*std::deque<tag")
        # The running build goes on with its state.
        self.wait_frame(220, version=2)
        self.assertEqual(self.host.stderr().count("waits: "), 1, self.host.stderr())
        self.assert_digests(plain, digests(self.run_dir))
        self.host.close()
        self.assertEqual(self.host.wait(timeout=30), 0)

    def test_a_changed_layout_waits_while_loop_editing_holds_the_state(self):
        """Loop editing puts its snapshot back each round, in the layout it
        was taken in: a build that changes a layout comes in once it is off."""
        self.start("layouts_loop", "layouts_v1")
        self.wait_frame(30)
        focus(self.host)
        keys("alt+l")
        self.assertTrue(wait_for(lambda: "recording" in window_title(self.host.window), 10))
        self.swap("layouts_v2")
        self.wait_title(r"^Engine - recording - main\.(so|dll) waits: (node|holder) changed its "
                        r"layout while loop editing holds the state in the old one")
        keys("alt+l")
        self.assertTrue(wait_for(lambda: "loop" in window_title(self.host.window), 10))
        self.assertEqual({r["v"] for r in digests(self.run_dir)}, {"1"})
        keys("alt+l")
        self.wait_title(r"^Engine - kept [0-9,]+ variables?.*; converted ")
        self.wait_frame(int(digests(self.run_dir)[-1]["frame"]) + 30, version=2)
        ran = [r for r in digests(self.run_dir) if r["v"] == "2"]
        self.assertEqual({r["nodes"] for r in ran}, {str(LIST)})
        self.assertEqual({r["weights"] for r in ran}, {"0"})
        self.host.close()
        self.assertEqual(self.host.wait(timeout=30), 0)

    def test_objects_known_only_by_a_base_record_of_a_changed_type_wait(self):
        """Effects reached only as thinkers, the record first in each: a
        thinker may be a flash, whose layout changed; which it is can't be
        told, so the build waits by name and the running one goes on."""
        plain = self.plain("effects_v1", 120)
        self.start("effects", "effects_v1")
        self.wait_frame(30)
        self.swap("effects_v2")
        self.wait_title(r"^Engine - main\.(so|dll) waits: objects reached as thinker may be "
                        r"flash, whose layout changed, and which they are can't be told")
        self.wait_frame(120, version=1)
        ran = digests(self.run_dir)
        self.assertEqual({r["v"] for r in ran}, {"1"})
        self.assert_digests(plain, ran)
        self.host.close()
        self.assertEqual(self.host.wait(timeout=30), 0)

    def test_a_converted_build_that_faults_at_once_leaves_the_previous_build_its_values(self):
        plain = self.plain("layouts_v1", 150)
        self.start("layouts_fault", "layouts_v1")
        self.wait_frame(30)
        # Converted, then it scribbles over every node and faults.
        self.swap("layouts_v3")
        self.wait_title(r"^Engine - fault in the new build: .* - running the previous build$")
        self.wait_frame(150, version=1)
        self.assertRegex(self.host.stderr(), r"Engine: kept [0-9,]+ variables?.*; converted ")
        self.assertNotIn("not converted back", self.host.stderr())
        ran = digests(self.run_dir)
        self.assertEqual({r["v"] for r in ran}, {"1"})
        self.assertEqual({r["nodes"] for r in ran}, {str(LIST)})
        self.assert_digests(plain, ran)
        self.assertEqual([int(r["frame"]) for r in ran],
                         list(range(10, int(ran[-1]["frame"]) + 1, 10)))
        self.host.close()
        self.assertEqual(self.host.wait(timeout=30), 0)


if __name__ == "__main__":
    unittest.main()
