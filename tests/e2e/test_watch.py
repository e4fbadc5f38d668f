"""The watcher on its own: scripts/watch.py on a throwaway CMake project in
a temporary directory, laid out as a module author's (its build directory
inside the watched folder). The project's module library compiles src/main.c
(which may carry a compiler warning) and src/util.c, and its target copies
src/data.txt into the build, failing when that file says "fail": a file the
watcher can't place, which the build system builds. What the host makes of
the builds is test_edit_loop.py's.

Needs Linux (inotify), CMake, Ninja and a C compiler. Run it on its own with
    python3 tests/e2e/test_watch.py
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

from watcher import PATIENCE_S, RESULT, Watch, save_burst

SOURCE_DIR = os.environ.get("ENGINE_SOURCE_DIR") or os.path.abspath(
    os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
WATCH = os.path.join(SOURCE_DIR, "scripts", "watch.py")

PROJECT = """cmake_minimum_required(VERSION 3.16)
project(watched C)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/data.txt
    COMMAND ${CMAKE_COMMAND} -DIN=${CMAKE_SOURCE_DIR}/src/data.txt
            -DOUT=${CMAKE_BINARY_DIR}/data.txt -P ${CMAKE_SOURCE_DIR}/copy.cmake
    DEPENDS ${CMAKE_SOURCE_DIR}/src/data.txt ${CMAKE_SOURCE_DIR}/copy.cmake)
add_library(module SHARED src/main.c src/util.c ${CMAKE_BINARY_DIR}/data.txt)
"""

# The failure's message comes first and more than a screenful after it, as
# a compiler's first error often does.
COPY = """file(READ ${IN} text)
if(text MATCHES "slow")
    execute_process(COMMAND sleep 2)
endif()
if(text MATCHES "fail")
    message(SEND_ERROR "data.txt asks this build to fail")
    foreach(i RANGE 40)
        message(STATUS "more output ${i}")
    endforeach()
    return()
endif()
file(WRITE ${OUT} "${text}")
"""

MAIN = '#include "util.h"\nint module_value(void) { return %d + util(); }\n'
MAIN_WITH_WARNING = '#warning "deliberate warning"\n' + MAIN
UTIL = '#include "util.h"\nint util(void) { return UTIL; }\n'
UTIL_H = "#define UTIL %d\nint util(void);\n"

STAMPED = re.compile(r"^\d\d:\d\d:\d\d\.\d{3} \[(\d+\.\d{3}) ms\] (.*)$")
FAST_LINE = re.compile(r"\] built module in (\d+) ms \(([^)]*)\): compiled ([^;]*); "
                       r"noticed ([\d.]+) ms, compiled ([\d.]+) ms, linked ([\d.]+) ms, "
                       r"staged ([\d.]+) ms$")


def write(path, text):
    with open(path, "w") as f:
        f.write(text)


def read(path):
    with open(path) as f:
        return f.read()


def wait_until(predicate):
    deadline = time.monotonic() + PATIENCE_S
    while not predicate() and time.monotonic() < deadline:
        time.sleep(0.01)
    return predicate()


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


class WatchTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="watch-")
        self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)
        self.project = os.path.join(self.root, "project")
        self.build = os.path.join(self.project, "build")
        os.makedirs(os.path.join(self.project, "src"))
        write(os.path.join(self.project, "CMakeLists.txt"), PROJECT)
        write(os.path.join(self.project, "copy.cmake"), COPY)
        write(self.source("main.c"), MAIN % 1)
        write(self.source("util.c"), UTIL)
        write(self.source("util.h"), UTIL_H % 10)
        write(self.source("data.txt"), "first\n")
        for command in (["cmake", "-S", self.project, "-B", self.build, "-G", "Ninja"],
                        ["cmake", "--build", self.build]):
            done = subprocess.run(command, capture_output=True, text=True, timeout=300)
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        # No staging step and no --module-file: the library itself is the
        # module file.
        self.module = os.path.join(self.build, "libmodule.so")

    def source(self, name):
        return os.path.join(self.project, "src", name)

    def start_watch(self, *options):
        watch = Watch([WATCH] + list(options) + [self.build, "module", self.project])
        self.addCleanup(watch.stop)
        # The start-up build: every file is watched from here on.
        watch.result(watch.wait_line("watching "))
        return watch

    def value(self):
        """What the module file's module_value returns, loaded afresh."""
        shown = subprocess.run([sys.executable, "-c", "import ctypes, sys; "
                                "print(ctypes.CDLL(sys.argv[1]).module_value())", self.module],
                               capture_output=True, text=True, timeout=PATIENCE_S)
        self.assertEqual(shown.returncode, 0, shown.stderr)
        return int(shown.stdout)

    def test_a_change_compiles_only_what_it_touches_and_links_beside(self):
        watch = self.start_watch()
        start = len(watch.lines)
        before = os.stat(self.module).st_ino
        write(self.source("main.c"), MAIN % 2)
        i, line = watch.result(start)
        found = FAST_LINE.search(line)
        self.assertTrue(found, line)
        self.assertEqual(found.group(2, 3), ("src/main.c", "main.c"))
        total = float(found.group(1))
        phases = [float(found.group(n)) for n in range(4, 8)]
        self.assertLessEqual(sum(phases), total + 2.0, line)
        # Renamed into place, never written over.
        self.assertNotEqual(os.stat(self.module).st_ino, before)
        self.assertFalse(os.path.exists(self.module + ".partial"))
        self.assertEqual(self.value(), 12)

        # A header: the sources that include it, and no other.
        write(self.source("util.h"), UTIL_H % 20)
        _, line = watch.result(i + 1)
        self.assertEqual(FAST_LINE.search(line).group(3), "main.c, util.c", line)
        self.assertEqual(self.value(), 22)

        # Ninja's own objects and logs are left as they were: its next build
        # compiles exactly what changed since its last one, and agrees.
        done = subprocess.run(["ninja", "-C", self.build, "-v", "module"], capture_output=True,
                              text=True, timeout=300)
        self.assertEqual(done.returncode, 0, done.stdout)
        compiled = sorted(re.findall(r" -c \S*/src/(\w+\.c)", done.stdout))
        self.assertEqual(compiled, ["main.c", "util.c"], done.stdout)
        self.assertEqual(self.value(), 22)

    def test_an_editors_temporary_files_do_not_call_for_the_build_system(self):
        watch = self.start_watch()
        start = len(watch.lines)
        # vim's probe that the folder is writable, then a safe write: the new
        # text written to a temporary file and renamed over the source.
        write(self.source("4913"), "")
        os.unlink(self.source("4913"))
        write(self.source("main.c___jb_tmp___"), MAIN % 6)
        os.replace(self.source("main.c___jb_tmp___"), self.source("main.c"))
        _, line = watch.result(start)
        found = FAST_LINE.search(line)
        self.assertTrue(found, "\n".join(watch.lines[start:]))
        self.assertEqual(found.group(2, 3), ("src/main.c", "main.c"))
        self.assertEqual(self.value(), 16)

    def test_a_save_burst_builds_once_with_every_change(self):
        watch = self.start_watch()
        start = len(watch.lines)
        # An editor's save: a temporary file renamed over the source; two more
        # files saved with it, the last one a source.
        write(self.source("data.txt.new"), "second\n")
        burst = save_burst(
            lambda: os.replace(self.source("data.txt.new"), self.source("data.txt")),
            lambda: write(self.source("util.c"), UTIL.replace("UTIL;", "UTIL + 1;")),
            lambda: write(self.source("main.c"), MAIN % 3))
        verdict, line = watch.result(start)
        if burst:
            self.assertRegex(line, r"built module with ninja in \d+ ms \(.*data\.txt")
            for name in ("main.c", "util.c"):
                self.assertIn(name, line)
        else:
            verdict = watch.wait_line(r"built module .*main\.c", start)
        self.assertEqual(read(os.path.join(self.build, "data.txt")), "second\n")
        self.assertEqual(self.value(), 14)

        # Another save after it: had the build's own files counted as
        # changes, another build would come in between.
        write(self.source("other.txt"), "x\n")
        later, line = watch.result(verdict + 1)
        self.assertIn("nothing to rebuild for src/other.txt", line)
        self.assertEqual([l for l in watch.lines[verdict + 1:later] if RESULT.search(l)], [])
        stamps = [float(STAMPED.match(l).group(1)) for l in watch.lines if STAMPED.match(l)]
        self.assertEqual(stamps, sorted(stamps))

    def test_a_build_that_warns_is_built(self):
        watch = self.start_watch()
        start = len(watch.lines)
        write(self.source("main.c"), MAIN_WITH_WARNING % 3)
        i, line = watch.result(start)
        self.assertIn("built module in", line, "\n".join(watch.lines))
        self.assertTrue(any("deliberate warning" in l for l in watch.lines[start:i]),
                        "\n".join(watch.lines))
        self.assertEqual(self.value(), 13)

    def test_a_failed_build_shows_its_whole_output_and_tells_the_host(self):
        watch = self.start_watch()
        status = self.module + ".status"
        self.assertFalse(os.path.exists(status))
        start = len(watch.lines)
        write(self.source("data.txt"), "slowly, please fail\n")
        # While it builds, the host is told so.
        self.assertTrue(wait_until(lambda: os.path.exists(status)), "no status file")
        self.assertEqual(read(status), "building\n")
        verdict, line = watch.result(start)
        self.assertIn("build of module failed", line, "\n".join(watch.lines))
        output = "\n".join(watch.lines[start:verdict])
        self.assertIn("data.txt asks this build to fail", output)
        self.assertIn("more output 40", output)
        self.assertEqual(read(os.path.join(self.build, "data.txt")), "first\n")
        self.assertEqual(read(status), "failed\ncopy.cmake:6: data.txt asks this build to fail\n")

        # Mended, it builds again, and the host is told nothing more.
        write(self.source("data.txt"), "mended\n")
        verdict, line = watch.result(verdict + 1)
        self.assertIn("built module", line)
        self.assertEqual(read(os.path.join(self.build, "data.txt")), "mended\n")
        self.assertFalse(os.path.exists(status))

        # A compile error, named by its file and line; the module file stays.
        module = read_bytes(self.module)
        write(self.source("main.c"), MAIN.replace("; }", " }") % 4)
        verdict, line = watch.result(verdict + 1)
        self.assertIn("build of module failed", line)
        self.assertRegex(read(status), r"^failed\nsrc/main\.c:2: .*\n$")
        self.assertEqual(read_bytes(self.module), module)
        write(self.source("main.c"), MAIN % 5)
        _, line = watch.result(verdict + 1)
        self.assertIn("built module in", line)
        self.assertFalse(os.path.exists(status))
        self.assertEqual(self.value(), 15)

    def test_a_new_directory_is_watched(self):
        watch = self.start_watch()
        start = len(watch.lines)
        deeper = os.path.join(self.project, "src", "new", "deeper")
        os.makedirs(deeper)
        write(os.path.join(deeper, "x.txt"), "1\n")
        verdict, _ = watch.result(start)
        # A file that did not exist before, once the directory is surely
        # known: only the directory's own watch can report it.
        write(os.path.join(deeper, "y.txt"), "2\n")
        _, line = watch.result(verdict + 1)
        self.assertIn("nothing to rebuild for src/new/deeper/y.txt", line)

    def test_a_tree_it_cannot_read_is_said_at_once(self):
        other = os.path.join(self.root, "make-tree")
        done = subprocess.run(["cmake", "-S", self.project, "-B", other, "-G", "Unix Makefiles"],
                              capture_output=True, text=True, timeout=300)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        for build, target, said in ((other, "module", "is not a Ninja build tree"),
                                    (self.build, "no_such_target", "cannot watch: ninja")):
            done = subprocess.run([WATCH, build, target, self.project], capture_output=True,
                                  text=True, timeout=PATIENCE_S)
            self.assertEqual(done.returncode, 1, done.stdout + done.stderr)
            self.assertIn(said, done.stdout)

    def test_stops_when_the_while_process_ends_and_clears_its_status(self):
        owner = subprocess.Popen(["sleep", "600"])
        self.addCleanup(owner.wait)
        self.addCleanup(owner.kill)
        watch = self.start_watch("--while", str(owner.pid))
        start = len(watch.lines)
        write(self.source("main.c"), "broken")
        watch.result(start)
        self.assertTrue(os.path.exists(self.module + ".status"))
        self.assertIsNone(watch.process.poll())

        # Ended but not yet reaped by its parent, as a host may be for a
        # while: the watcher stops all the same.
        owner.kill()
        self.assertEqual(watch.process.wait(timeout=PATIENCE_S), 0)
        watch.wait_line(r"process %d has ended; stopping" % owner.pid, start)
        self.assertFalse(os.path.exists(self.module + ".status"))


if __name__ == "__main__":
    unittest.main()
