"""The edit loop end to end: a module project of three sources and two
headers, built against the installed SDK (natively, or with MinGW-w64 for
the Windows host), run by the installed host on the test display, and the
installed watcher (engine-watch) rebuilding it while it runs. Every edit is
judged by what the window shows: its colour and its title.

The module clears the window to colour() ^ other(): colour.c includes
shade.h, other.c includes other.h, main.c neither."""

import os
import re
import unittest

import harness
from harness import Host, make_run_dir, wait_for
from watcher import PATIENCE_S, Watch, save_burst

PROJECT = """cmake_minimum_required(VERSION 3.25)
project(watched C)
find_package(Engine REQUIRED)
engine_add_module(watched SOURCES main.c colour.c other.c RUN)
"""

MAIN = """#include "engine/module.h"
u32 colour(void);
u32 other(void);
ENTRY_EXPORT void entry(u64 zero_a, u64 zero_b, i32* running, back_buffer* buffer,
                        input_state* input, f32 frame_seconds, platform_api* services,
                        void** module_slot) {
    (void)zero_a; (void)zero_b; (void)running; (void)input; (void)frame_seconds;
    (void)services; (void)module_slot;
    u32 value = colour() ^ other();
    for (u32 y = 0; y < buffer->height; ++y) {
        u32* row = buffer->pixels + (u64)y * buffer->pitch;
        for (u32 x = 0; x < buffer->width; ++x) {
            row[x] = value;
        }
    }
}
"""

COLOUR = """#include "engine/base/types.h"
#include "shade.h"
#ifndef EXTRA
#define EXTRA 0
#endif
u32 colour(void) {
    return %s | SHADE | EXTRA;
}
"""
SHADE = "#define SHADE %s\n"
OTHER = '#include "engine/base/types.h"\n#include "other.h"\nu32 other(void) { return OTHER; }\n'
OTHER_H = "#define OTHER 0\n"

BUILT = re.compile(r"\] built watched (in|with ninja in) \d+ ms \(([^)]*)\): compiled ([^;]*);")
FAILED = re.compile(r"\] build of watched failed")


def rgb(value):
    return ((value >> 16) & 0xFF, (value >> 8) & 0xFF, value & 0xFF)


class EditLoopTest(unittest.TestCase):
    def setUp(self):
        self.run_dir = make_run_dir("edit-loop")
        sdk = os.path.join(self.run_dir, "sdk")
        harness.install_sdk(sdk)
        self.project = os.path.join(self.run_dir, "watched")
        os.makedirs(self.project)
        for name, text in (("CMakeLists.txt", PROJECT), ("main.c", MAIN),
                           ("colour.c", COLOUR % "0x203000"), ("shade.h", SHADE % "0x40"),
                           ("other.c", OTHER), ("other.h", OTHER_H)):
            self.write(name, text)
        # The build folder inside the project, as a module author keeps it:
        # the watcher must not react to its own builds.
        self.build = os.path.join(self.project, "build")
        harness.build_module_project(self.project, self.build, sdk)
        self.module_run_dir = os.path.join(self.build, "run", "watched")
        self.host = Host(self.module_run_dir, command=harness.installed_host_command(sdk))
        self.addCleanup(self.host.stop)
        self.host.find_window()
        self.watcher = Watch([os.path.join(sdk, "bin", "engine-watch"), "--while",
                                str(self.host.process.pid), self.build, "watched", self.project])
        self.addCleanup(self.watcher.stop)
        self.watcher.wait_line(r"\] (built watched|nothing to rebuild)", 0)

    def write(self, name, text):
        with open(os.path.join(self.project, name), "w") as f:
            f.write(text)

    def centre(self):
        image = self.host.screenshot()
        return image.pixel(image.width // 2, image.height // 2)

    def expect(self, colour, title="Engine"):
        seen = wait_for(lambda: self.centre() == rgb(colour) and self.host.title() == title,
                        PATIENCE_S, interval=0.2)
        self.assertTrue(seen, "wanted %s titled %r, the window shows %s titled %r; the "
                        "watcher printed:\n%s" % (rgb(colour), title, self.centre(),
                                                  self.host.title(),
                                                  "\n".join(self.watcher.lines)))

    def save(self, name, text):
        """Saves a file; returns the index of the watcher's next line."""
        start = len(self.watcher.lines)
        self.write(name, text)
        return start

    def built(self, start):
        """(kind, changes, compiled sources) of the next build's line."""
        found = BUILT.search(self.watcher.lines[self.watcher.wait_line(BUILT.pattern, start)])
        return found.group(1), found.group(2), sorted(found.group(3).split(", "))

    def test_edits_reach_the_running_window_through_the_least_work(self):
        self.expect(0x203040)

        # A source: only it is compiled, and the window shows the edit.
        start = self.save("colour.c", COLOUR % "0x802000")
        self.assertEqual(self.built(start), ("in", "colour.c", ["colour.c"]))
        self.expect(0x802040)

        # A header: exactly the sources that include it.
        start = self.save("shade.h", SHADE % "0x80")
        self.assertEqual(self.built(start), ("in", "shade.h", ["colour.c"]))
        self.expect(0x802080)
        start = self.save("other.h", "#define OTHER 0x000001\n")
        self.assertEqual(self.built(start), ("in", "other.h", ["other.c"]))
        self.expect(0x802081)

        # A compile error: the running build stays, the title names it, and
        # the watcher prints the compiler's whole output.
        start = self.save("colour.c", (COLOUR % "0x108000").replace("EXTRA;", "EXTRA"))
        failed = self.watcher.wait_line(FAILED.pattern, start)
        self.assertTrue(any("error" in line for line in self.watcher.lines[start:failed]),
                        "\n".join(self.watcher.lines[start:]))
        title = wait_for(lambda: self.host.title().startswith("Engine - build failed")
                         and self.host.title(), PATIENCE_S)
        self.assertRegex(title or self.host.title(),
                         r"^Engine - build failed: colour\.c:\d+: .*;")
        self.assertEqual(self.centre(), rgb(0x802081))
        self.assertTrue(self.host.running())
        # Fixed: built and shown, and the title is the host's name again.
        start = self.save("colour.c", COLOUR % "0x108000")
        self.assertEqual(self.built(start), ("in", "colour.c", ["colour.c"]))
        self.expect(0x108081)

        # The build definition: the build system builds it, and the watcher
        # carries on with the new commands afterwards.
        start = self.save("CMakeLists.txt", PROJECT + "target_compile_definitions(watched "
                          "PRIVATE EXTRA=0x000100)\n")
        kind, _, compiled = self.built(start)
        self.assertEqual(kind, "with ninja in")
        self.assertIn("colour.c", compiled)
        self.expect(0x108181)
        start = self.save("colour.c", COLOUR % "0x208000")
        self.assertEqual(self.built(start), ("in", "colour.c", ["colour.c"]))
        self.expect(0x208181)

        # A burst of saves: one build, of the last text.
        start = len(self.watcher.lines)
        burst = save_burst(*(lambda base=base: self.write("colour.c", COLOUR % base)
                             for base in ("0x110000", "0x220000", "0x330000", "0x440000",
                                          "0x550000")))
        self.expect(0x550181)
        # Were there a second build, it would start at once: a moment is
        # enough for its line to come.
        end = self.watcher.wait_line(BUILT.pattern, start)
        wait_for(lambda: False, 1.0)
        builds = [line for line in self.watcher.lines[start:] if BUILT.search(line)]
        if burst:
            self.assertEqual(len(builds), 1, "\n".join(self.watcher.lines[start:]))
        self.assertIn("(colour.c)", self.watcher.lines[end])

        self.assertFalse(FAILED.search("\n".join(self.watcher.lines[start:])))
        self.assertTrue(self.host.running())


if __name__ == "__main__":
    unittest.main()
