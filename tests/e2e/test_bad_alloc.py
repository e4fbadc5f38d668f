"""A module that asks for more memory than there is carries on as C++ lets a
program: std::bad_alloc is thrown to it and caught, its new handler is
called (and called again while it returns), the nothrow forms and the C
library's calls give null, and nothing is named a fault. With and without
its whole state kept (whose allocations are the host's heap's). Both hosts."""

import unittest

import harness
from harness import Host, install_module, make_run_dir, module_file, read_records, wait_for

# Where the host's heap lies (platform/heap.h): a whole-state build's
# allocations come from there.
HEAP_BASE = 0x40000000000 if harness.WINDOWS else 0x300000000000
HEAP_SPAN = 0x10000000000

CHECKS = {"caught": "1", "aligned": "1", "handler": "2", "nothrow": "1",
          "nothrow_handler": "1", "nothrow_throwing": "1", "c_calls": "1", "seven": "7"}


class BadAllocTest(unittest.TestCase):
    def run_module(self, keeps_all):
        run_dir = make_run_dir("bad_alloc_%d" % keeps_all)
        install_module(run_dir, module_file("bad_alloc_%d" % keeps_all))
        host = Host(run_dir)
        self.addCleanup(host.stop)
        host.find_window()
        records = wait_for(lambda: read_records(run_dir)[29:] and read_records(run_dir))
        self.assertTrue(records, "fewer than 30 frames: %s" % read_records(run_dir)[-3:])
        self.assertEqual(host.title(), "Engine")
        host.close()
        self.assertEqual(host.wait(timeout=30), 0)
        self.assertNotIn("fault", host.stderr())
        return records

    def check(self, records, keeps_all):
        self.assertEqual([int(r["f"]) for r in records], list(range(1, len(records) + 1)))
        for record in records:
            self.assertEqual(record["v"], str(keeps_all))
            for key, value in CHECKS.items():
                self.assertEqual(record[key], value, "%s in %s" % (key, record))
        in_heap = {HEAP_BASE <= int(r["small"], 16) < HEAP_BASE + HEAP_SPAN for r in records}
        self.assertEqual(in_heap, {bool(keeps_all)})

    def test_bad_alloc_is_caught_and_the_module_goes_on(self):
        self.check(self.run_module(0), 0)

    def test_bad_alloc_is_caught_in_a_build_that_keeps_its_whole_state(self):
        self.check(self.run_module(1), 1)


if __name__ == "__main__":
    unittest.main()
