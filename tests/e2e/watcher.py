"""The watcher (scripts/watch.py, installed as engine-watch) run by a test in
the background, its output gathered line by line."""

import re
import subprocess
import threading
import time

# A guard against a hang, not a measurement.
PATIENCE_S = 60
# Saves closer together than this are one burst: no build (a compiler's
# start alone) can end within it. A test paused for longer in the middle of
# its saves has not made a burst.
BURST_S = 0.02
RESULT = re.compile(r"\] (built \S+ (in|with ninja in) \d+ ms|build of \S+ failed"
                    r"|nothing to rebuild)")


class Watch:
    """One watcher process."""

    def __init__(self, command):
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE,
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




def save_burst(*saves):
    """Runs the saves one after another; whether they made a burst."""
    started = time.monotonic()
    for save in saves:
        save()
    return time.monotonic() - started < BURST_S
