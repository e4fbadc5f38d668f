"""A frame that faults is undone: the next build finds the module's blocks
and slot as they were when that frame began, whatever wrote them (the
module, a thread of its own, the system's own read call), blocks the frame
freed still there (also where the frame allocated at a freed block's
address), and scratch blocks as the frame left them. The same under a
debugger, which sees no fault but the module's own. Both hosts."""

import os
import shutil
import unittest

import harness
from harness import (DebuggedHost, Host, fault_code, install_module, make_run_dir, module_file,
                     read_records, wait_for, window_title)

AT = 6
SOURCE_BYTES = 5000


def read_pairs(path):
    with open(path) as log:
        return [dict(field.split("=", 1) for field in line.split()) for line in log
                if line.endswith("\n")]


class UndoTest(unittest.TestCase):
    def run_faulting_then_fixed(self, name, host_class):
        run_dir = make_run_dir(name)
        with open(os.path.join(run_dir, "data", "source.bin"), "wb") as source:
            source.write(bytes((i * 7 + 3) % 256 for i in range(SOURCE_BYTES)))
        install_module(run_dir, module_file("undoer_faulty"))
        host = host_class(run_dir, env={"UNDOER_AT": str(AT)})
        self.addCleanup(host.stop)
        host.find_window()
        self.assertTrue(wait_for(lambda: "fault" in window_title(host.window), timeout=15),
                        window_title(host.window))
        records = read_records(run_dir)
        self.assertEqual([int(r["seen"]) for r in records], list(range(AT)))
        self.assertEqual({r["block"] for r in records}, {"1"})
        faulting = read_pairs(os.path.join(run_dir, "data", "faulting.log"))
        # Inside the watched frame: the system's read brought the file's
        # bytes, the thread's writes landed, and the freed spare's address
        # could be had again at once.
        self.assertEqual(faulting, [{"read": "1", "thread": "1", "again": "1"}])

        install_module(run_dir, module_file("undoer_fixed"))
        def fixed_records():
            return [r for r in read_records(run_dir) if r["v"] == "0"]
        self.assertTrue(wait_for(lambda: len(fixed_records()) >= 4, timeout=15),
                        "the fixed build was not called")
        fixed = fixed_records()
        self.assertTrue(host.running())
        first = fixed[0]
        # The faulting frame counted itself, filled the block (itself, through
        # a thread and through the system's read): all undone.
        self.assertEqual(int(first["seen"]), AT - 1)
        self.assertEqual(first["block"], "1")
        self.assertEqual(first["slot"], records[0]["slot"])
        # Freed in the faulting frame (one block allocated again in its
        # place), yet readable and whole.
        self.assertEqual(first["spare"], "1")
        self.assertEqual(first["small"], "1")
        # The scratch block keeps what the faulting frame wrote last.
        self.assertEqual(first["scratch"], str(0xEE))
        self.assertEqual([int(r["seen"]) for r in fixed], list(range(AT - 1, AT - 1 + len(fixed))))
        self.assertEqual({r["block"] for r in fixed}, {"1"})
        return host

    def test_the_next_build_sees_memory_as_before_the_faulting_frame(self):
        self.run_faulting_then_fixed("undo", Host)

    # On Windows a fault is the debugger's alone: the host catches nothing
    # while one is attached, so there is no frame to undo.
    @unittest.skipUnless(harness.LINUX and shutil.which("gdb"), "gdb on the Linux host")
    def test_the_undo_works_under_gdb_which_sees_only_the_modules_fault(self):
        host = self.run_faulting_then_fixed("undo_debugged", DebuggedHost)
        # The one stop is the module's own write to null: watching writes
        # raises nothing a debugger would see.
        stops = [code for code, first, _ in host.stops()]
        self.assertEqual(stops, [fault_code("access violation")], host.log_text()[-3000:])


if __name__ == "__main__":
    unittest.main()
