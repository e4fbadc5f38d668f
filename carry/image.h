// A loaded build's image as its file describes it: where its code, its
// read-only data and its writable data lie, and every object and function
// its symbols name, with a key that finds the same one in another build and
// the layout of each object's type. What a build that keeps its whole state
// (engine/keep.h) carries into the next is read from here (state.h).
//
// Each system reads its own format (image_<os>.cpp): ELF with its symbol
// table and DWARF (through elfutils) on Linux, PE with its COFF symbol
// table and DWARF (through dwarf.h) on Windows.
#ifndef CARRY_IMAGE_H
#define CARRY_IMAGE_H

#include "engine/base/types.h"

#define IMAGE_PROBLEM_CAPACITY 160
#define IMAGE_RANGES 16

typedef enum image_kind {
    IMAGE_CODE,       // a function
    IMAGE_READ_ONLY,  // an object in read-only data
    IMAGE_DATA,       // a writable object the runtime or the loader owns
    IMAGE_KEPT,       // a writable object of the module's own: carried
} image_kind;

// A name that counts (a lambda's "$_0" or "{lambda(int)#2}", a clone's
// ".part.0", a block's "_block_invoke_2") says nothing of what it names: the
// count is the compiler's, per file or per function, and the next build
// counts again. Such a symbol is matched by its shape (the name with the
// counts taken out: the file, enclosing function and signature) and, for a
// function, by its code (code.h).
#define IMAGE_COUNTED 1u
// Its code names everything it refers to: two of equal code_hash do the same.
#define IMAGE_WHOLE_CODE 2u

typedef struct image_symbol {
    u64 address;    // where it lies in memory
    u64 size;
    u64 key_hash;   // of its shape
    u64 type_hash;  // its type's layout; 0 when the debug information has none
    u64 code_hash;  // a function whose name counts: its code (code.h); else 0
    u64 family_hash;  // of the closure type its name counts in ("set_up()::$_0"); else 0
    u32 key;        // offset of its key in the layout's names: "file:name" for a file's own
    u32 shape;      // offset of its shape: its key, or that with the counts taken out
    u32 path;       // offset of its file's path as the build gave it ("" when unknown)
    u32 kind;       // image_kind
    u32 flags;      // IMAGE_COUNTED, IMAGE_WHOLE_CODE
} image_symbol;

typedef struct image_range {
    u64 start;
    u64 end;
} image_range;

typedef struct image_layout {
    u64 base;  // the image in memory: [base, base + size)
    u64 size;
    u64 bias;  // the image in memory less where its file's addresses put it (the DWARF's too)
    // The writable pages the loader leaves writable (not the read-only-after-
    // relocation part), which the undo watches: page-aligned.
    image_range data;
    // Sections of read-only data, and those of them that hold strings.
    image_range read_only[IMAGE_RANGES];
    u32 read_only_count;
    image_range strings[IMAGE_RANGES];
    u32 string_count;
    // What the loader mapped readable (its own headers say so, not the
    // file): where a function's code may be read.
    image_range mapped[IMAGE_RANGES];
    u32 mapped_count;
    // Sorted by address; keys unique among the kept ones unless said.
    image_symbol* symbols;
    u32 symbol_count;
    u32 kept_count;
    u32* by_key;  // symbol indices by key hash, then kind
    u32* families;  // indices of the symbols of a closure type, by family hash
    u32 family_count;
    char* names;
    u64 names_size;
    // The destructors the loader runs at unload (Linux: .fini_array), but
    // the runtime's own (which only deregisters what the build registered);
    // Windows: the exit table MinGW's start-up runs, at `destructors`.
    u64 destructors;
    u64 destructor_count;
    u64 runtime_destructor;
    bool32 keeps_all;   // the build says ENGINE_KEEP_ALL
    bool32 has_debug;   // the debug information was read
    char problem[IMAGE_PROBLEM_CAPACITY];  // why whole state can't be kept; "" when it can
} image_layout;

// Whether the image file at path asks to keep its whole state, read from its
// headers before it is loaded.
bool32 image_keeps_all(const char* path);

// Reads the layout of the library loaded from path. False with the reason
// in problem (in words for the title: "has no symbol table") when it can't
// be read; a library that does not keep its whole state reads as such.
bool32 image_read(void* library, const char* path, image_layout* layout);

// Keeps the loader from running the build's own destructor functions when
// it unloads it (the runtime's own stays); false when they can't be reached.
bool32 image_disarm_destructors(const image_layout* layout);

// Gives back what a layout holds.
void image_free(image_layout* layout);

// The key of a symbol.
static inline const char* image_key(const image_layout* layout, const image_symbol* symbol) {
    return layout->names + symbol->key;
}

// The symbol holding address (inside it, or at its start for a function of
// size 0), or null.
const image_symbol* image_symbol_at(const image_layout* layout, u64 address);

// The symbol of another layout that is the same as like (a symbol of from),
// or null; with `twice` set when more than one could be and none is the one.
// The same: of one shape and kind; among several (two files of one name,
// lambdas of one signature) the one whose path ends alike, or for a function
// whose name counts, the one of the same code, or the one left of its shape
// once the others found theirs by code. What belongs to a closure type (its
// std::function managers, its typeinfo, a static in its body) goes with
// the closure type its functions found. Functions of the same whole code
// do the same: any of them is the one.
const image_symbol* image_find(const image_layout* layout, const image_symbol* like,
                               const image_layout* from, bool32* twice);

// The shape of a key: the key with the counts in its names taken out, into
// out (at most capacity bytes); false when it has none (out is then the key).
bool32 image_shape(const char* key, char* out, u32 capacity);

// A path's last part: "world.c" of "/src/game/world.c" (either separator).
const char* image_file_name(const char* path);

// ---------------------------------------------------------------------------
// For each system's reader (image_<os>.cpp), portable (image.cpp).

// Says why whole state can't be kept, in words for the title; false.
bool32 image_problem(image_layout* layout, const char* text);

// Whether name is one of count names.
bool32 image_name_in(const char* name, const char* const* names, u32 count);

// Adds [start, end) to ranges while there is room and it is not empty.
void image_add_range(image_range* ranges, u32* count, u64 start, u64 end);

// Adds a symbol with its key and its file's path (null for none); false when
// there is no memory.
bool32 image_add(image_layout* layout, u64 address, u64 size, image_kind kind, const char* key,
                 const char* path, u64 type_hash);

// Once every symbol is in: sorts them and builds the key index. False when
// there is no memory.
bool32 image_finish(image_layout* layout);

// A 64-bit FNV-1a hash of text; seed chains calls (start with IMAGE_HASH_SEED).
#define IMAGE_HASH_SEED 0xCBF29CE484222325ull
u64 image_hash_text(const char* text, u64 seed);
// The same over a number's eight bytes, lowest first.
u64 image_hash_number(u64 value, u64 seed);

#endif
