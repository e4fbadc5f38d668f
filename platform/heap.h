// The module's heap: what a module that keeps its whole state (engine/keep.h,
// ENGINE_KEEP_ALL) gets from malloc, new and their family.
//
// Every byte of it, its bookkeeping included, lies in blocks of the memory
// service (memory.h) at fixed addresses, so the undo, loop editing's
// snapshots and the hashes cover it like any block, a reload leaves it
// untouched, and a replay finds it at the same addresses in every run.
//
// Small sizes (up to HEAP_SMALL_MAX) come from 64 KiB slabs of one size
// class each, carved out of chunks that grow by doubling; each thread has a
// cache per class (in the heap itself), so the common malloc and free take
// no lock. Larger sizes get a block of their own, with a page of header
// before the pointer. Thread-safe.
#ifndef PLATFORM_HEAP_H
#define PLATFORM_HEAP_H

#include "engine/base/types.h"

// Where the heap lies: far from what either system hands out by itself (and,
// on Linux, from AddressSanitizer's shadow and heap), below loop editing's
// placement (loop.h).
#ifdef _WIN32
#define HEAP_BASE 0x0000040000000000ull
#else
#define HEAP_BASE 0x0000300000000000ull
#endif
#define HEAP_SPAN 0x0000010000000000ull  // 1 TiB: chunks in the lower half, large blocks above
#define HEAP_SLAB_BYTES 65536u
#define HEAP_SLAB_HEADER 64u  // a slab's own record: its objects follow it
#define HEAP_SMALL_MAX 16384u

// The allocation calls, as the C library's: null (and nothing allocated) on
// failure or for a size that overflows; 16-byte aligned; heap_alloc(0) gives
// a unique pointer. Pointers the heap did not hand out are never passed in
// (heap_owns tells them apart); a pointer inside the heap that is no
// object's start ends in abort(), as the C library's free does.
void* heap_alloc(u64 size);
void* heap_alloc_zeroed(u64 count, u64 size);
// alignment is a power of two; null otherwise.
void* heap_alloc_aligned(u64 size, u64 alignment);
void* heap_realloc(void* pointer, u64 size);
void heap_free(void* pointer);
u64 heap_usable_size(const void* pointer);

// The allocation of the heap's that holds address: its start and usable
// size (its size class's, for a small one). False for an address in no
// allocation of the heap's (its bookkeeping, a slab never carved, a block
// that was let go). A freed small object still reads as one: it lies in
// its slab until it is handed out again.
bool32 heap_object_at(u64 address, u64* start, u64* size);

// For the start of a small object: its slab, its place among the slab's
// objects and how many the slab holds, so tables of objects can be kept
// slab by slab. False for any other address.
bool32 heap_slot_at(u64 address, u64* slab, u32* slot, u32* slots);

// Whether an address lies where small objects are: slabs of HEAP_SLAB_BYTES,
// each object at HEAP_SLAB_HEADER + k * its size.
static inline bool32 heap_small_half(u64 address) {
    return address - HEAP_BASE < HEAP_SPAN / 2;
}

// Whether an address lies in the heap's span.
static inline bool32 heap_owns(const void* pointer) {
    return (u64)pointer - HEAP_BASE < HEAP_SPAN;
}

// After the host put module memory back (the undo, a snapshot): the heap's
// first block may have gone with what was put back, and is made again at
// the next allocation.
void heap_refresh(void);

// While a build loads (on, then off): small objects come only from slabs
// never carved before and large ones from fresh blocks, as always, so
// nothing the build's start-up writes lies where an earlier build's objects
// were (a reload tells the pointers it must move by what they hold).
void heap_fresh_only(bool32 on);

// While a build unloads (on, then off): the small objects it frees are
// cleared. A runtime that lives in each build (MinGW's) frees its records as
// the build unloads and leaves addresses into it there; the next builds load
// at the same place, and a reload's pointer scan would take such a leftover
// for a pointer into the build it replaces, and name it as one to what the
// reload removed. (Large objects' blocks are let go.)
void heap_clear_frees(bool32 on);

// Clears resident[i] (one byte per page from `pages`, as memory.h's
// memory_pages_resident sets it) for the pages no slab was carved from yet:
// never touched, they read as zeros, so nothing there is copied or scanned.
// Where the system can't tell touched pages, the heap's newest chunk is
// mostly such pages. Makes no heap.
void heap_clear_untouched(const void* pages, u64 length, u8* resident);

// The bytes of [pages, pages + length) before the heap's never-carved tail
// when that tail runs to the range's end (the newest chunk), else length:
// what a walk of the range's written pages needs to read, since the system's
// walk costs by the page. A page of the tail is no one's until carved, and
// is read from the next walk that reaches it. Makes no heap.
u64 heap_touched_length(const void* pages, u64 length);

// What the heap holds, for tests, benchmarks and the pointer scans.
typedef struct heap_counts {
    u64 chunks;        // slab chunks
    u64 chunk_bytes;   // their bytes
    u64 used_bytes;    // of the chunks: slabs carved so far (the rest never touched)
    u64 large_blocks;  // allocations with a block of their own
    u64 objects;       // small objects handed out and not freed (cached ones count)
} heap_counts;
heap_counts heap_state(void);

#endif
