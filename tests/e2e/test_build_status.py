"""The build watcher's status file in the real window's title (Windows under
Wine, or Linux): written by hand beside the module file as the watcher does
(a new file renamed into place), it shows what the build is doing, a new
build clears a failure, the title's parts keep their order, and a FIFO in
its place never stops the frames."""

import os
import time
import unittest

import harness
from harness import Host, install_module, make_run_dir, module_file, read_records, wait_for

FAILURE = "demo/main.cpp:12: expected ';' after expression"
# The part's capacity, its terminator included.
PART_CAPACITY = 192


def status_path(run_dir):
    return harness.module_path(run_dir) + ".status"


def write_status(run_dir, text):
    """As the watcher writes it: under another name, then renamed."""
    partial = status_path(run_dir) + ".tmp"
    with open(partial, "wb") as out:
        out.write(text.encode())
    os.replace(partial, status_path(run_dir))


class BuildStatusTest(unittest.TestCase):
    def start(self, name, command=None, title="^Engine$"):
        self.run_dir = make_run_dir(name)
        install_module(self.run_dir, module_file("recorder_v1"))
        self.host = Host(self.run_dir, command=command)
        self.addCleanup(self.host.stop)
        self.host.find_window(title=title)
        self.assertTrue(wait_for(lambda: len(read_records(self.run_dir)) >= 5),
                        "the module was not called")

    def assert_title(self, expected, timeout=10.0):
        self.assertTrue(wait_for(lambda: self.host.title() == expected, timeout),
                        "title %r, not %r" % (self.host.title(), expected))

    def test_the_title_follows_the_status_file(self):
        self.start("status")
        write_status(self.run_dir, "building\n")
        self.assert_title("Engine - building...")
        write_status(self.run_dir, "failed\r\n%s\r\n" % FAILURE)
        self.assert_title("Engine - build failed: " + FAILURE)
        # A long message is cut to the part's capacity; a tab is a space.
        message = "src/a.cpp:1:\terror: " + "x" * 400
        write_status(self.run_dir, "failed\n%s\n" % message)
        shown = ("build failed: " + message.replace("\t", " "))[: PART_CAPACITY - 1]
        self.assert_title("Engine - " + shown)
        write_status(self.run_dir, "failed\n")
        self.assert_title("Engine - build failed")
        os.remove(status_path(self.run_dir))
        self.assert_title("Engine")
        self.host.close()
        self.assertEqual(self.host.wait(), 0)

    def test_a_new_build_clears_a_failure_until_the_file_changes(self):
        self.start("status_cleared")
        write_status(self.run_dir, "failed\n%s\n" % FAILURE)
        self.assert_title("Engine - build failed: " + FAILURE)
        install_module(self.run_dir, module_file("recorder_v2"))
        self.assertTrue(wait_for(lambda: read_records(self.run_dir)[-1]["v"] == "2"),
                        "the new build never ran")
        self.assert_title("Engine")
        time.sleep(1.0)
        self.assertEqual(self.host.title(), "Engine")
        self.assertTrue(os.path.exists(status_path(self.run_dir)))
        # The same words in a new file: the watcher failed again.
        write_status(self.run_dir, "failed\n%s\n" % FAILURE)
        self.assert_title("Engine - build failed: " + FAILURE)

    def test_the_parts_keep_their_order_and_a_failed_load_clears_nothing(self):
        self.start("status_parts", command=harness.SYSTEM.command + ["--record", "../take.rec"],
                   title="^Engine - recording$")
        write_status(self.run_dir, "building\n")
        self.assert_title("Engine - recording - building...")
        install_module(self.run_dir, module_file("no_entry"))
        did_not_load = "the new build did not load: no entry export - rebuild to retry"
        self.assert_title("Engine - recording - building... - " + did_not_load)
        os.remove(status_path(self.run_dir))
        self.assert_title("Engine - recording - " + did_not_load)
        self.host.close()
        self.assertEqual(self.host.wait(), 0)

    @unittest.skipUnless(harness.LINUX, "a FIFO is a POSIX file")
    def test_a_fifo_at_the_status_path_does_not_stop_the_frames(self):
        self.start("status_fifo")
        os.mkfifo(status_path(self.run_dir))
        count = len(read_records(self.run_dir))
        self.assertTrue(wait_for(lambda: len(read_records(self.run_dir)) >= count + 30),
                        "the frames stopped")
        self.assertEqual(self.host.title(), "Engine")
        # Still looked at: a regular file in its place is read.
        write_status(self.run_dir, "building\n")
        self.assert_title("Engine - building...")
        self.host.close()
        self.assertEqual(self.host.wait(), 0)


if __name__ == "__main__":
    unittest.main()
