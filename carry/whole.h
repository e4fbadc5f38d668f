// Whole state across a reload, for a build that keeps it (engine/keep.h):
// the steps reload.h takes around unloading one build and loading the next.
#ifndef CARRY_WHOLE_H
#define CARRY_WHOLE_H

#include "carry/state.h"
#include "platform/memory.h"

#define WHOLE_NOTE_CAPACITY STATE_NOTE_CAPACITY

typedef struct whole_state {
    image_layout layout;  // the running build's, when it keeps its whole state
    bool32 running;       // layout is the running build's
    state_taken taken;    // what the last build that kept it left
    memory_range* objects;  // the layout's kept objects, for the hashes (memory.h)
    u64 load_serial;      // counts the builds that kept it: tells builds apart
    u64 reserved;         // the old image's place, held while the next build loads
    u64 reserved_size;
    char note[WHOLE_NOTE_CAPACITY];  // what the last load did; "" for nothing
    long_text line;       // the same, naming everything (state.h)
} whole_state;

// Before a copy is loaded: whether it keeps its whole state, and if so the
// allocations its start-up makes go to the heap, until whole_load_ended.
bool32 whole_before_load(const char* copy_path);
void whole_load_ended(void);

// A build that keeps its whole state loaded, before its first entry: its
// layout read, and what the last one left given to it. Says what happened
// in whole->note ("" for nothing to say), and in whole->line.
void whole_loaded(whole_state* whole, void* library, const char* copy_path, void** slot);

// Before the running build is unloaded: its state taken, its destructors
// kept from running.
void whole_before_unload(whole_state* whole);

// After it was unloaded: its place held, so the next build lands elsewhere
// and no pointer into it reaches the new one.
void whole_after_unload(whole_state* whole);

// Loop editing's snapshot, beside its blocks: the running build's whole
// state taken (nothing when it keeps none), and put back into whatever
// build runs then: the same build gets its bytes back as they were, another
// takes them over as after a reload.
void whole_snapshot(const whole_state* whole, state_taken* taken);
void whole_put_back(whole_state* whole, state_taken* taken, void** slot);

// Whether the running build keeps its whole state (and could be read).
bool32 whole_running(const whole_state* whole);

#endif
