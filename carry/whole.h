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
    // What the running build was given when it came, while the build before
    // it may come back (a fault rolls back to it): objects the running build
    // could not carry take these values then.
    state_taken given;
    bool32 returning;     // the build being loaded is the previous one, after a fault
    // Loop editing holds a snapshot of the state and puts it back each
    // round: a build whose layouts differ can't come in under it.
    bool32 snapshot_held;
    bool32 waits_for_loop;  // the last build refused waits only for loop editing to end
    memory_range* objects;  // the layout's kept objects, for the hashes (memory.h)
    u64 load_serial;      // counts the builds that kept it: tells builds apart
    type_graph types;     // the running build's types (none: its debug information lacks them)
    type_graph next_types;  // the next build's, read before it was let in
    layout_plan plan;     // what changes between the two (layout.h)
    bool32 planned;       // plan holds objects to convert when the next build loads
    bool32 next_read;     // next_types is the next load's (it may fail: then the one after
    u32 loads_since;      // comes back, and reads its own): loads begun since it was read
    char note[WHOLE_NOTE_CAPACITY];  // what the last load did; "" for nothing
    long_text line;       // the same, naming everything (state.h)
} whole_state;

// Before a copy is loaded: whether it keeps its whole state, and if so the
// allocations its start-up makes go to the heap, until whole_load_ended.
// The last build's pointers are found then, when nothing of its own runs
// any more and before anything else is loaded where it lay:
// the next build may take its place (the SDK links modules at one fixed
// base), and what keeps its place in the image keeps its address.
bool32 whole_before_load(whole_state* whole, const char* copy_path, void** slot);
void whole_load_ended(void);

// A build that keeps its whole state loaded, before its first entry: its
// layout read, and what the last one left given to it. Says what happened
// in whole->note ("" for nothing to say), and in whole->line.
void whole_loaded(whole_state* whole, void* library, const char* copy_path, void** slot);

// Whether the next load is the previous build coming back after the
// running one faulted.
void whole_returning(whole_state* whole, bool32 returning);

// Before the running build is unloaded: its state taken, its destructors
// kept from running.
void whole_before_unload(whole_state* whole);


// Loop editing's snapshot, beside its blocks: the running build's whole
// state taken (nothing when it keeps none), and put back into whatever
// build runs then: the same build gets its bytes back as they were, another
// takes them over as after a reload.
void whole_snapshot(const whole_state* whole, state_taken* taken);
void whole_put_back(whole_state* whole, state_taken* taken, void** slot);

// Whether the running build keeps its whole state (and could be read).
bool32 whole_running(const whole_state* whole);

// Before the running build goes for the build at copy_path (a new build,
// or the previous one coming back after a fault): when a type's layout
// differs between the two (layout.h), every live object of it is found in
// the running build's memory and converted member by member, and every
// pointer to one moved, before the running build is unloaded; its globals
// follow when the next build is given its state. False, with why the
// running build must go on ("mobj_t grew by 4 bytes and 212 of its objects
// live in memory the program manages itself"), when that can't be done
// exactly: nothing was changed then. True at once when nothing keeps its
// whole state or no layout changed.
bool32 whole_may_replace(whole_state* whole, const char* copy_path, void** slot, char* why,
                         u32 capacity);

// The next build starts afresh: nothing of the running build's state is
// given to it (its globals start from their initializers, the heap's
// objects are let go).
void whole_start_afresh(whole_state* whole);

#endif
