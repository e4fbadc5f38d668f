"""What the tests of programs that keep their whole state share: a run of
the host on one build, the digests its module writes to "digest.log" every
ten frames, and waits for a frame or a title."""

import re
import unittest

from harness import (Host, install_module, make_run_dir, module_file, read_records, wait_for,
                     window_title)


def digests(run_dir):
    return read_records(run_dir, "digest.log")


def by_frame(records):
    return {int(r["frame"]): r["digest"] for r in records}


class DigestRun(unittest.TestCase):
    def start_run(self, name, module):
        self.run_dir = make_run_dir(name)
        install_module(self.run_dir, module_file(module))
        self.host = Host(self.run_dir)
        self.addCleanup(self.host.stop)
        self.host.find_window(title="^Engine")

    def wait_frame(self, frame, version=None, timeout=30.0):
        def reached():
            found = [r for r in digests(self.run_dir)
                     if version is None or r["v"] == str(version)]
            return found and int(found[-1]["frame"]) >= frame
        self.assertTrue(wait_for(reached, timeout), digests(self.run_dir)[-3:])

    def wait_title(self, pattern):
        title = wait_for(lambda: re.search(pattern, window_title(self.host.window)) and
                         window_title(self.host.window), 15)
        self.assertTrue(title, "%s\n%s" % (window_title(self.host.window),
                                           self.host.stderr()[-2000:]))
        return title
