// Undoing a faulting frame.
//
// When entry faults, every block from allocate_memory, and the slot, is put
// back as it was when that frame began, so the build that runs next starts
// from consistent state: blocks the frame allocated are released, blocks it
// freed come back at their own addresses, and every other block gets its
// bytes back. Blocks marked MEMORY_SCRATCH keep what the frame wrote.
//
// How: each block has a shadow, a copy of its pages as the current frame
// began. Writes are watched without touching the pages' protection
// (platform/watch.h), so the module's memory behaves exactly as without the
// undo. When a frame begins, the pages written since the last one are
// copied into the shadow; when a frame faults, they are copied back from it.
// A page written frame after frame is not watched at all but compared with
// its shadow and copied at every frame's start, at memcpy's speed; once it
// has stayed the same for a few frames it is watched again. Where the system
// can't watch writes, every page is handled that way, and the host says so
// once on standard error.
//
// The running build's kept variables (engine/keep.h, memory.h) are copied
// whole as each frame begins and put back with the blocks.
//
// The shadow costs as much memory as the blocks it copies (scratch blocks
// have none). Between frames the host itself may write module memory (a
// loop's snapshot put back): the next frame's start takes it in like any
// other write.
#ifndef HOST_UNDO_H
#define HOST_UNDO_H

#include "engine/module.h"

// Once, before the first frame: on, the undo watches every block from here
// on; off (--no-undo), nothing is copied and a fault leaves memory as the
// frame left it.
void undo_start(bool32 on);

// The running build's writable data, when it keeps its whole state
// (engine/keep.h): watched and put back like a block's pages (made
// anonymous first where the system watches only such memory). Null when the
// build goes, before it is unloaded.
void undo_set_image(void* start, u64 length);

// Before the call: the blocks and the slot as they are now become what a
// fault puts back.
void undo_begin_frame(void** module_slot);

// After a normal return.
void undo_commit(void);

// After a fault: every block and the slot as at undo_begin_frame, writes
// made since by any code included. Returns 1 when all of it is back, or the
// undo is off; 0 when something could not be put back (a freed block's
// place taken by other memory, no memory for a shadow).
bool32 undo_rollback(void);

// The frame's budget. Taking in what the last frame wrote costs about a
// copy of it (twice that with the history). When the host gives a budget
// for the next start, in milliseconds, the start keeps within it by thinning
// protection, in this order: first the history (the frame is kept without
// its memory: it can be replayed but not stepped to), then the undo (the
// start takes nothing in, so the frame now running can't be undone: a
// fault leaves its writes, as not put back). What was not taken in stays
// written and is taken in as frames wait (undo_catch_up) or by the first
// start the budget holds. Protection thins on the second start in a row
// over the budget (at once when far over, or when the frame has no time
// left) and grows again after 15 starts in a row that fit more of it with a
// quarter to spare. Without a budget (the default, and paused frames') a
// start takes everything in.
typedef enum undo_level {
    UNDO_FULL,        // undone, and kept by the history when it runs
    UNDO_NO_HISTORY,  // undone; the history keeps this frame without its memory
    UNDO_NONE,        // not undone: the start took in only part
} undo_level;

typedef struct undo_protection {
    u32 level;            // undo_level of the frame now running
    u64 bytes;            // written by the frames before, which its start had to take in
    f64 milliseconds;     // what the start spent taking them in
} undo_protection;

// For the next undo_begin_frame only; 0 or less: none. `spare` is what
// the frame has in fact left (the budget may be more, a least share the
// host grants however long the module takes): with none left, a start
// over the budget thins at once.
void undo_budget(f64 milliseconds, f64 spare);
undo_protection undo_protection_now(void);

// A start over its budget takes nothing in: what it left is taken in as
// the frame waits, after its call and its showing, within `milliseconds`
// each time, until a start fits it. That frame is not protected either way,
// and time spent before its call would show it late. A hot page found the
// same then is watched again at once: a burst's pages (a collector's sweep)
// are seldom written again soon. Never after a reload in the same wait.
void undo_catch_up(f64 milliseconds);

// The host's own writes to module memory between frames (a reload moving
// pointers). Each word's value is written at its place and, on a page that
// was quiet before (not written since the last start, not hot), into the
// shadow of the block that holds it too, so what the module wrote and what
// the host wrote stay apart: the page is armed again after, and the next
// start takes in none of it (it takes in the other pages whole, as always). Words in no block the undo knows are written alone. Call it
// with the words in address order, a block's together.
typedef struct undo_word {
    u64* at;
    u64 value;
} undo_word;
void undo_write_words(const undo_word* words, u64 count);

// Sets a bit for each page of [start, start + length) (whole pages of one
// block, bit i % 8 of byte i / 8 for page i, zeroed by the caller) that is
// quiet: not written since the last start and not hot, so its next write is
// seen. False when the undo can't tell (off, not watching, no block of its
// holds the range): then none counts as quiet.
bool32 undo_quiet_pages(const void* start, u64 length, u8* quiet);

// What changed in a block since the host last looked (a reload's pointer
// scan keeps what it found in pages that did not change):
// undo_changes_clear forgets the changes of [start, start + length) (whole
// pages of one block); undo_changed_pages then sets a bit (as
// undo_quiet_pages does, zeroed by the caller) for each page of such a range
// that may have changed since: taken in or put back by the undo, written
// since the last start, hot, or written by undo_write_words. Both false when the undo can't tell (off,
// not watching, no block of its holds the range): then every page counts.
bool32 undo_changes_clear(const void* start, u64 length);
bool32 undo_changed_pages(const void* start, u64 length, u8* changed);

// What the undo holds, for tests and benchmarks.
typedef struct undo_counts {
    u64 blocks;         // blocks known, scratch blocks included
    u64 shadow_bytes;   // bytes of shadow copies
    u64 shadow_touched; // of them, bytes ever written (the rest cost no memory)
    u64 copied_pages;   // pages copied into the shadow at the last frame's start
    u64 hot_pages;      // pages compared and copied every frame instead of watched
    bool32 watching;    // writes are watched (else every page is hot)
} undo_counts;
undo_counts undo_state(void);

#endif
