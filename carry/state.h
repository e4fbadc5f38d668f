// Whole state (engine/keep.h, ENGINE_KEEP_ALL): what a build that keeps it
// leaves, and how the next build takes it over.
//
// Taking: the build's writable objects are copied out with its layout
// (image.h) and its read-only data, while its image is still mapped.
// Giving, to the build that comes after (or to the same build, when loop
// editing puts a snapshot back):
//  1. every object of the new build finds the old one of the same key: the
//     same size and type layout take its bytes; the others start from the
//     new initializer, named;
//  2. every aligned word of the objects that took old bytes, of every live
//     block (the heap's included) and of the slot that points into the old
//     image is moved: into an object, to the same object and offset; to a
//     function, to the same function; into read-only data, to the same
//     object, or the same string, or else to a copy of the old read-only
//     data kept for the rest of the run. What can't be moved (its object or
//     function is gone, the middle of code, or it is one of several the
//     reload can't tell apart: image_find) points into pages no access may
//     touch, so using it is a fault named by what was removed or is unsure.
#ifndef CARRY_STATE_H
#define CARRY_STATE_H

#include "carry/image.h"
#include "carry/layout.h"
#include "carry/names.h"
#include "carry/scan.h"

#define STATE_NOTE_CAPACITY 256
// What of a note fits in a window's title after the host's name: the note
// names the first few of each list within it.
#define STATE_NOTE_TITLE_ROOM 180

// A word of the module's memory that points into a taken build's image (or
// at a stand-in), and what it held then.
typedef found_word state_word;

typedef struct state_taken {
    image_layout layout;  // of the build it was taken from (its own copy)
    u8* values;           // the bytes of layout.data as taken
    u64 values_size;
    u64 read_only_copy;   // where its read-only data was copied (0: not yet)
    u64 build;            // which load of a build it was taken from (whole.h)
    bool32 taken;
    // The words that point into the image, found while it was still the
    // only one in its place (state_find_pointers): the next build may be
    // loaded at the same place, and what it writes there is its own.
    state_word* words;
    u64 word_count;
    u64 word_capacity;
    bool32 words_found;
    // Types whose layout the next build changed (layout.h): their objects on
    // the heap were converted before this was taken; the globals of those
    // types are converted as they are given, and pointers into them follow
    // their members. Null: none changed, or the types could not be read.
    layout_plan* plan;
} state_taken;

// Copies a loaded build's state out; the layout is copied too.
void state_take(state_taken* taken, const image_layout* layout);

// Finds every word of the module's blocks (the heap's included) and of the
// slot that points into the taken build's image, before anything else is
// loaded there, for state_give to move. Without it state_give looks when
// it runs, which is right only while no other build was loaded into the
// taken one's place.
void state_find_pointers(state_taken* taken, void** slot);

// Between frames, while a build that keeps its whole state runs: reads
// ahead for its pointers for about `milliseconds` (scan.h), so that
// state_find_pointers reads only what changed since.
void state_scan_ahead(const image_layout* layout, f64 milliseconds);

// Gives what was taken to a loaded build with this layout, with slot the
// module's slot. Writes what happened to note: "kept 2,143 variables; 2
// start afresh: player (its type changed), cache (changed size)" ("" when
// nothing was taken).
//
// earlier (null for none): the state the build that left `taken` was
// given when it came. An object taken can't give (its build started it
// afresh, changed it or lacked it) takes earlier's value when earlier has
// one the same: so a build that comes back after a newer one faulted gets
// back what that one could not carry.
//
// The note names the first few of each list and how many more
// (STATE_NOTE_TITLE_ROOM); unless line is null, the same naming every one
// goes to line. What the reload removed comes first, then what it can't
// tell apart ("pointers to what the reload can't tell apart: name"). A pointer into the
// middle of a function is not named: it is most often a return address left
// in memory no one reads.
void state_give(state_taken* taken, state_taken* earlier, const image_layout* layout,
                void** slot, char* note, u32 capacity, long_text* line);

// Gives back what a taken state holds (the copies of read-only data stay:
// pointers into them may still be followed).
void state_clear(state_taken* taken);

// What the reload removed that an address in the pages no access may touch
// stands for: "call of a function the reload removed: step(float)" when
// executed, else "use of player, which the reload removed" (for one it
// can't tell apart from another: "call of a function the reload can't tell
// apart: name", "use of name, which the reload can't tell apart"); for the
// middle of a function "jump into the old build's code the reload replaced:
// the middle of step(float)"; false for any other address.
bool32 state_removed_words(u64 address, bool32 executed, char* out, u32 capacity);

// What the scans found, for tests and benchmarks.
typedef struct state_counts {
    u64 carried;        // objects that took old bytes
    u64 afresh;         // objects that started from their initializer
    u64 words_moved;    // pointers moved
    u64 words_removed;  // pointers into what the reload removed
    u64 scanned_bytes;
} state_counts;
state_counts state_last_counts(void);

#endif
