// The history: for each of the last frames, what the undo saw it overwrite
// in module memory (pages of blocks and of the running build's data, kept
// variables, blocks it allocated or freed), so the state at the start of
// any kept frame can be rebuilt, and the way back to the newest with it.
//
// Each entry of bytes holds the exclusive or of what the frame found there
// and what it left: stepping either way over a frame reads its entries into
// memory and never writes them, so a jump over seconds reads each kept byte
// once. Blocks a frame made or freed go and come back, newest first going
// back, oldest first going forward. The undo feeds it (undo.h) at each
// frame's start; scratch blocks are never in it. Old frames go first when
// the history holds more frames or bytes than it may.
//
// Memory: the frames' entries and records lie in one ring of the cap's
// size, written in turn, so the history never holds more than its cap
// (beyond it only the pages of blocks made inside frames that were stepped
// back over while paused), and its pages are warm after the first lap. The
// stage and the base (a copy of what the frames changed, near the oldest,
// so a jump reads the frames from the nearer end) are taken from the cap.
#ifndef GUARD_HISTORY_H
#define GUARD_HISTORY_H

#include "platform/memory.h"

// Frames and bytes kept at most; 0 frames turns the history off.
void history_limit(u32 frames, u64 bytes);

// Whether frames are being fed (kept, not paused, and the frame now filled
// is not being skipped).
bool32 history_recording(void);

// The frame now filled is kept without its memory (the undo's budget, or
// changes that span more than one frame): what it holds goes, nothing more
// is taken, and stepping can't reach it or anything before it.
void history_skip_frame(void);

// Fed by the undo as a frame starts, for the frame before it: the bytes at
// address now against `before`, as that frame found them. Only the runs of
// 64-byte lines that changed are kept (what a frame changes, not the pages
// it wrote), and with `update`, `before` takes their new bytes in the same
// pass (the undo's shadow). True when any byte differs (or may: see below).
// One frame's calls never cover a byte twice.
// Then a block it allocated, a block it freed with its bytes as that frame
// found them.
//
// With `update`, while the stage has room (an eighth of the cap, at most
// 16 MiB, taken from it) and the last frame changed much of what it wrote
// (else comparing in place costs less), the bytes are only copied there,
// and the rest is done by the worker (platform/worker.h) once the frame
// closes, beside the module's next frame: `before` is up to date once
// history_settle returns. Every call here but history_note_payload settles
// first; so must the undo before it reads or writes a shadow it gave.
bool32 history_changes(const void* address, void* before, u64 size, bool32 update);
void history_settle(void);
void history_block_made(const memory_block_record* record);
void history_block_gone(const memory_block_record* record, const void* bytes, u64 size);

// The host's own record of the frame that just ran (its input), kept with
// it: given after the frame's call, before the next frame's start. It never
// waits for the worker.
void history_note_payload(const void* payload, u64 size);

// At a frame's start, once the undo has fed it: the frame before ends well
// (kept) or faulted (its entries, which the undo put back, are dropped).
void history_close_frame(bool32 kept);

// While paused nothing is fed or closed: the host's own stepping writes
// memory, which the undo takes in as usual.
void history_pause(bool32 on);

// Forgets every frame's memory (a build that owns part of it went); frames
// stay countable, but none can be stepped to.
void history_forget_memory(void);

// Frames kept, oldest first: index 0 .. count - 1; the newest is the last
// frame that ran. Stepping is possible over frames whose memory is kept.
u32 history_frames(void);
// Memory can be stepped back over frames [first_steppable, count).
u32 history_first_steppable(void);
u64 history_bytes(void);
// The host's record of frame index, or null.
const void* history_payload(u32 index, u64* size);

// Memory at the start of frame `from` (count: after the newest) brought to
// the start of frame `to`, either way, over the frames between, or from
// the base or (paused) the newest frame's end where that reads less; where it
// got: `to`, or the frame whose block's place is taken, memory left at its
// start (at `from` when a frame between can't be stepped over).
u32 history_step(u32 from, u32 to);

// Drops the frames from index on (resuming from the start of index).
void history_drop_from(u32 index);

#endif
