"""The watch loop end to end: scripts/watch.sh on a throwaway CMake project in
a temporary directory, laid out as a module author's (its build directory
inside the watched folder). The project's target copies src/data.txt into
the build, fails when that file says "fail", and compiles src/main.c, which
may carry a compiler warning.

Needs Linux (inotify), CMake and a C compiler. Run it on its own with
    python3 tests/e2e/test_watch.py
"""

import os
import re
import shutil
import subprocess
import tempfile
import threading
import unittest

SOURCE_DIR = os.environ.get("ENGINE_SOURCE_DIR") or os.path.abspath(
    os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
WATCH = os.path.join(SOURCE_DIR, "scripts", "watch.sh")
# A guard against a hang, not a measurement.
PATIENCE_S = 60

PROJECT = """cmake_minimum_required(VERSION 3.16)
project(watched C)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/data.txt
    COMMAND ${CMAKE_COMMAND} -DIN=${CMAKE_SOURCE_DIR}/src/data.txt
            -DOUT=${CMAKE_BINARY_DIR}/data.txt -P ${CMAKE_SOURCE_DIR}/copy.cmake
    DEPENDS ${CMAKE_SOURCE_DIR}/src/data.txt ${CMAKE_SOURCE_DIR}/copy.cmake)
add_library(module STATIC src/main.c ${CMAKE_BINARY_DIR}/data.txt)
"""

# The failure's message comes first and more than a screenful after it, as
# a compiler's first error often does.
COPY = """file(READ ${IN} text)
if(text MATCHES "fail")
    message(SEND_ERROR "data.txt asks this build to fail")
    foreach(i RANGE 40)
        message(STATUS "more output ${i}")
    endforeach()
    return()
endif()
file(WRITE ${OUT} "${text}")
"""

MAIN = "int module_value(void) { return %d; }\n"
MAIN_WITH_WARNING = '#warning "deliberate warning"\n' + MAIN

STAMPED = re.compile(r"^\d\d:\d\d:\d\d\.\d{3} \[(\d+\.\d{3}) ms\] (.*)$")
RESULT = re.compile(r"rebuilt module in \d+ ms|build of module failed")


def write(path, text):
    with open(path, "w") as f:
        f.write(text)


def read(path):
    with open(path) as f:
        return f.read()


class Watch:
    """watch.sh in the background, its output gathered line by line."""

    def __init__(self, arguments):
        self.process = subprocess.Popen([WATCH] + arguments, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, text=True)
        self.lines = []
        self.ended = False
        self.changed = threading.Condition()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.process.stdout:
            with self.changed:
                self.lines.append(line.rstrip("\n"))
                self.changed.notify_all()
        with self.changed:
            self.ended = True
            self.changed.notify_all()

    def wait_line(self, pattern, start=0):
        """Index of the first line from start on that matches pattern."""
        expression = re.compile(pattern)

        def found():
            for i in range(start, len(self.lines)):
                if expression.search(self.lines[i]):
                    return i
            return None

        with self.changed:
            self.changed.wait_for(lambda: self.ended or found() is not None,
                                  timeout=PATIENCE_S)
            i = found()
            if i is None:
                raise AssertionError("no line matching %r; the watcher printed:\n%s"
                                     % (pattern, "\n".join(self.lines)))
            return i

    def result(self, start):
        """Index and text of the next build's verdict from start on."""
        i = self.wait_line(RESULT.pattern, start)
        return i, self.lines[i]

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        self.reader.join(PATIENCE_S)
        self.process.stdout.close()


def messages(lines, word):
    return [line for line in lines if STAMPED.match(line) and word in line]


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
        write(self.source("data.txt"), "first\n")
        generator = ["-G", "Ninja"] if shutil.which("ninja") else []
        for command in (["cmake", "-S", self.project, "-B", self.build] + generator,
                        ["cmake", "--build", self.build]):
            done = subprocess.run(command, capture_output=True, text=True, timeout=300)
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)

    def source(self, name):
        return os.path.join(self.project, "src", name)

    def start_watch(self, *options):
        watch = Watch(list(options) + [self.build, "module", self.project])
        self.addCleanup(watch.stop)
        watch.wait_line("watching ")  # every directory is watched from here on
        return watch

    def test_a_save_burst_builds_once(self):
        # The settle is long here so that a busy machine pausing this process
        # mid-burst cannot split it; how short it can be is the benchmark's.
        watch = self.start_watch("--settle", "300")
        start = len(watch.lines)
        # An editor's save: a temporary file renamed over the source; a
        # second file saved with it.
        write(self.source("data.txt.new"), "second\n")
        os.replace(self.source("data.txt.new"), self.source("data.txt"))
        write(self.source("main.c"), MAIN % 2)
        verdict, line = watch.result(start)
        self.assertIn("rebuilt module", line)
        self.assertEqual(read(os.path.join(self.build, "data.txt")), "second\n")

        # Another save after it: were the burst split, or did the build's own
        # files count as changes, another build would come in between.
        write(self.source("other.txt"), "x\n")
        later = watch.wait_line(r"change noticed: .*other\.txt", verdict + 1)
        watch.result(later)
        burst = watch.lines[start:later]
        changes = messages(burst, "change noticed:")
        self.assertEqual(len(changes), 1, "\n".join(watch.lines))
        self.assertIn("data.txt", changes[0])
        self.assertIn("main.c", changes[0])
        self.assertEqual(len(messages(burst, "build started")), 1, "\n".join(watch.lines))
        self.assertNotIn("data.txt", watch.lines[later])
        self.assertNotIn(self.build + os.sep, watch.lines[later])

        # The phases, in order on the monotonic clock; the first event
        # precedes the notice.
        phases = [STAMPED.match(line) for line in burst if STAMPED.match(line)]
        self.assertEqual([m.group(2).split(":")[0].split(" in ")[0] for m in phases],
                         ["change noticed", "build started", "build finished",
                          "rebuilt module"])
        stamps = [float(m.group(1)) for m in phases]
        self.assertEqual(stamps, sorted(stamps))
        first = float(re.search(r"first event at (\d+\.\d+) ms", changes[0]).group(1))
        self.assertLessEqual(first, stamps[0])
        self.assertEqual(len(messages(burst, "build finished: exit 0")), 1)

    def test_a_build_that_warns_is_rebuilt(self):
        watch = self.start_watch()
        start = len(watch.lines)
        write(self.source("main.c"), MAIN_WITH_WARNING % 3)
        _, line = watch.result(start)
        self.assertIn("rebuilt module", line, "\n".join(watch.lines))
        self.assertEqual(messages(watch.lines[start:], "failed"), [])
        # The fixture itself: that source does compile with a warning.
        compiler = shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
        if compiler:
            compiled = subprocess.run([compiler, "-c", self.source("main.c"), "-o", os.devnull],
                                      capture_output=True, text=True, timeout=60)
            self.assertEqual(compiled.returncode, 0, compiled.stderr)
            self.assertIn("deliberate warning", compiled.stderr)

    def test_a_failed_build_shows_its_whole_output(self):
        watch = self.start_watch()
        start = len(watch.lines)
        write(self.source("data.txt"), "please fail\n")
        verdict, line = watch.result(start)
        self.assertIn("build of module failed", line, "\n".join(watch.lines))
        finished = watch.wait_line(r"build finished: exit [1-9]", start)
        output = "\n".join(watch.lines[finished + 1:verdict])
        self.assertIn("data.txt asks this build to fail", output)
        self.assertIn("more output 40", output)
        self.assertEqual(read(os.path.join(self.build, "data.txt")), "first\n")

        # Mended, it builds again.
        write(self.source("data.txt"), "mended\n")
        _, line = watch.result(verdict + 1)
        self.assertIn("rebuilt module", line)
        self.assertEqual(read(os.path.join(self.build, "data.txt")), "mended\n")

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
        change = watch.wait_line(r"change noticed: .*new/deeper/y\.txt", verdict + 1)
        _, line = watch.result(change)
        self.assertIn("rebuilt module", line)

    def test_stops_when_the_while_process_ends(self):
        owner = subprocess.Popen(["sleep", "600"])
        self.addCleanup(owner.wait)
        self.addCleanup(owner.kill)
        watch = self.start_watch("--while", str(owner.pid))
        start = len(watch.lines)
        write(self.source("data.txt"), "while it runs\n")
        _, line = watch.result(start)
        self.assertIn("rebuilt module", line)
        self.assertIsNone(watch.process.poll())

        # Ended but not yet reaped by its parent, as a host may be for a
        # while: the watcher stops all the same.
        owner.kill()
        self.assertEqual(watch.process.wait(timeout=PATIENCE_S), 0)
        watch.wait_line(r"process %d has ended; stopping" % owner.pid, start)


if __name__ == "__main__":
    unittest.main()
