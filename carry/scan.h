// The pointer scan of a whole-state reload: every aligned word of the
// module's blocks (the heap's included) whose value lies in the old build's
// image or among the stand-ins for what reloads removed (state.h).
//
// Reading 64 MiB of heap takes longer than a frame, so the scan looks ahead:
// between frames, a little at a time, it reads the running build's blocks
// and keeps what it found (scan_ahead). The undo tells which pages changed
// since (undo.h); the reload then reads only those and takes the rest from
// what was found ahead. Where the undo can't tell (--no-undo, a block made
// since), it reads everything, as without looking ahead.
#ifndef CARRY_SCAN_H
#define CARRY_SCAN_H

#include "engine/base/types.h"

typedef struct found_word {
    u64* at;
    u64 value;  // what it held when found
} found_word;

typedef struct found_words {
    found_word* words;
    u64 count;
    u64 capacity;
} found_words;

// The values a scan looks for: [low, low + size) and [other, other + other_size).
typedef struct scan_ranges {
    u64 low;
    u64 size;
    u64 other;
    u64 other_size;
} scan_ranges;

// Every such word of the live blocks, appended to found: the blocks in
// serial order, each one's words in address order. False when there is no
// memory to note them. scanned gets the bytes read now.
bool32 scan_blocks(found_words* found, scan_ranges ranges, u64* scanned);

// For each word of found (as scan_blocks gave them, anything after them
// too), sets bit i % 8 of maybe[i / 8] when its page may have changed since
// it was read (ahead or by scan_blocks): the others still hold the value
// found. Every bit is set where the undo can't tell.
void scan_words_changed(const found_words* found, u8* maybe);

// Every aligned word of the live blocks' touched pages and of the slot that
// lies in [low, low + size) becomes what move makes of it (a reload's
// converted objects moving: layout.h). Nothing is allocated.
typedef u64 scan_word_move(void* context, u64 word);
void scan_move_words(u64 low, u64 size, void** slot, scan_word_move* move, void* context);

// Between frames: reads ahead for ranges (the running build's) for about
// `milliseconds`; a change of ranges starts afresh.
void scan_ahead(scan_ranges ranges, f64 milliseconds);

// What was read ahead no longer holds (a reload is moving the words).
void scan_forget(void);

// For tests and benchmarks: the bytes read ahead and kept, whether every
// live block is read but those whose changes the undo can't tell, and how
// many those are.
typedef struct scan_ahead_counts {
    u64 bytes;
    bool32 complete;
    u32 untold;
} scan_ahead_counts;
scan_ahead_counts scan_ahead_state(void);

#endif
