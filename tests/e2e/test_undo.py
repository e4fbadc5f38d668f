"""A frame that faults is undone: the next build finds the module's blocks
and slot as they were when that frame began, and a block the frame freed
still there. Both hosts."""

import unittest

from harness import (Host, install_module, make_run_dir, module_file, read_records, wait_for,
                     window_title)

AT = 6


class UndoTest(unittest.TestCase):
    def test_the_next_build_sees_memory_as_before_the_faulting_frame(self):
        run_dir = make_run_dir("undo")
        install_module(run_dir, module_file("undoer_faulty"))
        host = Host(run_dir, env={"UNDOER_AT": str(AT)})
        self.addCleanup(host.stop)
        host.find_window()
        self.assertTrue(wait_for(lambda: "fault" in window_title(host.window), timeout=15),
                        window_title(host.window))
        records = read_records(run_dir)
        self.assertEqual([int(r["seen"]) for r in records], list(range(AT)))
        self.assertEqual({r["block"] for r in records}, {"1"})

        install_module(run_dir, module_file("undoer_fixed"))
        def fixed_records():
            return [r for r in read_records(run_dir) if r["v"] == "0"]
        self.assertTrue(wait_for(lambda: len(fixed_records()) >= 4, timeout=15),
                        "the fixed build was not called")
        fixed = fixed_records()
        self.assertTrue(host.running())
        first = fixed[0]
        # The faulting frame counted itself and filled the block: both undone.
        self.assertEqual(int(first["seen"]), AT - 1)
        self.assertEqual(first["block"], "1")
        self.assertEqual(first["slot"], records[0]["slot"])
        # Freed in the faulting frame, yet readable and whole.
        self.assertEqual(first["spare"], "1")
        self.assertEqual([int(r["seen"]) for r in fixed], list(range(AT - 1, AT - 1 + len(fixed))))
        self.assertEqual({r["block"] for r in fixed}, {"1"})


if __name__ == "__main__":
    unittest.main()
