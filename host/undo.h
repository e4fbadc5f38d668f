// Undoing a faulting frame.
//
// When entry faults, everything the module keeps in memory from
// allocate_memory, and the slot, is put back as it was when that frame began,
// so the next build starts from consistent state.
//
// How: every live block's usable pages (never the guard page) are kept
// read-only. The first write to such a page faults; the guard's handler calls
// undo_note_write, which copies the page's old bytes into a log of the host's
// own and makes the page writable, and the write goes on. Pages written in a
// frame are made read-only again when the next frame begins, so a frame pays
// for the pages it writes, not for the memory the module holds; a new block
// is made read-only once, at the first frame that finds it.
//
// Around the call: undo_begin_frame, then undo_commit after a normal return
// or undo_rollback after a fault, which copies every logged page back, puts
// the slot back, releases the blocks the frame allocated and revives the
// ones it freed.
//
// Frees are deferred: during a frame free_memory (through the table) makes
// the block's pages inaccessible, so the module sees it gone, and releases
// them when the frame returns normally; a fault gives the block back as it
// was. A block freed in a frame therefore keeps its addresses until the
// frame's end, and an allocation in that frame can't land on them.
//
// The system writes into read-only pages without faulting: it fails instead.
// The table's read_file, read_file_at_path and get_working_directory are
// replaced by wrappers that log (and open) the buffer's pages before the
// service runs; free_memory by one that defers the release.
//
// With a debugger attached nothing is tracked (it would stop at every first
// write to a page); a fault then puts back the slot and releases the frame's
// new blocks, but not the memory's contents.
//
// Single-threaded, like the host: only the host's thread may write module
// memory. A write fault is taken at any time, also between frames (logged
// and re-protected at the next frame's start).
#ifndef HOST_UNDO_H
#define HOST_UNDO_H

#include "host/module.h"

// Before the call: makes blocks found since the last frame read-only, re-protects
// the pages the last frame wrote, and notes the slot's value.
void undo_begin_frame(void** module_slot);

// After a normal return: the log is dropped and deferred frees are released.
void undo_commit(void);

// After a fault: memory and slot as at undo_begin_frame. Returns 1 when all
// of it was put back; 0 when the log could not hold every page written
// (then the pages logged are back, the rest keep the frame's writes).
bool32 undo_rollback(void);

// From the fault handlers, first thing: a write to a tracked read-only page is
// logged and its page made writable; returns 1 then, and the write is to be
// retried. Anything else returns 0. Async-signal-safe (memcpy, mprotect,
// and mmap when the log grows, which is safe in practice on Linux).
bool32 undo_note_write(void* address);

// Logs and opens the tracked pages in [address, address + bytes), for a
// write the system makes on the module's behalf.
void undo_prepare_write(void* address, u64 bytes);

// Replaces read_file, read_file_at_path, get_working_directory and
// free_memory in a filled table with the wrappers described above.
void undo_wrap_services(platform_api* services);

// Between frames, before the host itself rewrites module memory (a loop's
// snapshot put back): every tracked block is made writable and forgotten, and
// the log is dropped. The next frame tracks the live blocks afresh.
void undo_forget(void);

// What the undo holds, for tests and benchmarks.
typedef struct undo_counts {
    u64 tracked_blocks;  // blocks whose pages are tracked
    u64 logged_pages;    // pages logged since the frame began
    u64 log_capacity;    // pages the log can hold without growing
    u64 deferred_frees;  // frees waiting for the frame's end
} undo_counts;
undo_counts undo_state(void);

// ---------------------------------------------------------------------------
// Each system's page primitives: undo_<os>.cpp.

#define UNDO_ACCESS_NONE 0
#define UNDO_ACCESS_READ 1
#define UNDO_ACCESS_READ_WRITE 2

// The size of a page that protection applies to.
u64 undo_page_size(void);

// Whether a debugger is attached to the process.
bool32 undo_debugger_attached(void);

// Sets the access of whole pages; 1 on success. Async-signal-safe.
bool32 undo_protect(void* address, u64 bytes, u32 access);

#endif
