// Carrying a module's kept variables (engine/keep.h) from one build to the
// next: their values copied out of the build that goes, checked, and copied
// into the build that comes, before its first entry.
#ifndef CARRY_KEPT_H
#define CARRY_KEPT_H

#include "engine/keep.h"

#define KEPT_KEY_CAPACITY 128
#define KEPT_NOTE_CAPACITY 256

// Where a loaded library lies in memory, and its table of kept variables
// (engine/keep.h: the section ENGINE_KEPT_SECTION), as the host's loader
// tells it; a library without the section has a table of 0 bytes.
typedef struct library_image {
    u8* base;        // the lowest address of the image
    u64 size;        // bytes from base to the end of the image
    u8* table;       // the kept variables' table, or null
    u64 table_size;  // its bytes
} library_image;

typedef struct kept_value {
    char key[KEPT_KEY_CAPACITY];
    u8* address;  // where it lay in the build it was taken from
    u64 size;
    u64 offset;   // of its bytes in the set's store
} kept_value;

// The values a build left, with where its image lay (for the pointer check).
typedef struct kept_set {
    kept_value* values;
    u32 count;
    u8* store;
    u64 store_size;
    u8* image_base;
    u64 image_size;
} kept_set;

// A key's name without its file: "player" of "main.c:player".
const char* kept_short_name(const char* key);

// Appends text to a note of capacity bytes at length at, cut to fit; the
// new length.
u32 note_append(char* note, u32 capacity, u32 at, const char* text);

// The kept variables of a loaded build, read from its table: their count, or
// 0 when it has none; up to capacity are
// written to kept. Zeros between entries (the linkers' padding) are passed
// over, in whole words.
u32 kept_table(const library_image* image, engine_kept* kept, u32 capacity);

// Copies the values of a loaded build's kept variables into set, replacing
// what it held; an empty set when the build has none.
void kept_take(kept_set* set, const library_image* image);

// Copies the set's values into a freshly loaded build's variables of the
// same key and size, moving pointers to kept variables and refusing
// variables with other pointers into the old image. Writes what happened,
// "kept 12 variables; player changed size and starts afresh", to note
// (empty when the new build keeps nothing).
void kept_give(const kept_set* set, const library_image* image, char* note, u32 capacity);

// Frees what the set holds.
void kept_clear(kept_set* set);

#endif
