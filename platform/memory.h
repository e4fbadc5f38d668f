// The memory services (slots 19 and 20): whole pages from the system.
#ifndef PLATFORM_MEMORY_H
#define PLATFORM_MEMORY_H

#include "engine/keep.h"
#include "engine/platform_api.h"

// Reserves and commits zeroed read-write pages for size bytes at the hinted
// address (null: the system chooses). With MEMORY_GUARD_PAGE the region has
// size / page + 1 usable pages followed by one no-access page, and the block
// ends right where that page begins. Any failure, or a guarded size whose
// region would not fit in 32 bits, gives a null `memory` and reserves
// nothing; `size` is the size asked for either way.
memory_block allocate_memory(u32 size, void* address, u32 flags);

// Releases the whole region the block came from, the guard page included,
// when the record's address and size are those of a live block. Anything
// else (a null `memory`, a stray address, a block freed already, memory the
// service never allocated such as the back buffer's pixels) is left alone.
void free_memory(memory_block* block);

// The live blocks: every block allocate_memory handed out and free_memory
// has not yet released, oldest first, kept in pages no block shares. A block
// never takes the place of one of the last blocks freed unless a hint asks
// for it, so a stale copy of a freed record matches nothing live.
typedef struct memory_block_record {
    void* memory;     // the block's first usable byte, as allocate_memory returned it
    u64 size;         // the size asked for
    void* region;     // start of the pages reserved for it, guard page included
    u64 region_size;  // their length in bytes
    u32 flags;        // the memory_flags it was allocated with
    u64 serial;       // 1 for the first block allocated, counting up: never reused
} memory_block_record;

// free_memory for the block a record describes.
void free_block_record(const memory_block_record* record);

// The serial of the newest block allocated so far (0 before any): a block
// whose serial is greater was allocated after this was read.
u64 memory_newest_serial(void);

// Maps a block released since back at its own place, with its own record
// (serial included), zeroed, in its place among the live blocks; false when
// the place is taken.
bool32 memory_revive_block(const memory_block_record* record);

// While on, blocks allocated from then on without MEMORY_SCRATCH can have
// their writes watched (watch.h). Windows must know when it maps the pages.
void memory_watch_new_blocks(bool32 on);

// The running build's kept variables (engine/keep.h): module memory that
// lives in its image, not in blocks, which the undo, loop editing's
// snapshots and the hashes cover like blocks. Set after every load (a copy
// of the table is kept), with where the build's image lies; none (count 0)
// before its build is unloaded.
void memory_set_kept(const engine_kept* kept, u32 count, const void* image, u64 image_size);
u32 memory_kept_count(void);
engine_kept memory_kept_at(u32 index);
// Whether an address lies in the running build's image.
bool32 memory_in_kept_image(u64 address);
// The image's start, which pointers into it are hashed relative to.
u64 memory_kept_image(void);

// The running build's whole state (engine/keep.h, ENGINE_KEEP_ALL): its
// writable objects, which the hashes cover, with every aligned word that
// points into its image (memory_kept_image) taken relative to it, in the
// blocks too. None (count 0) while no running build keeps its whole state.
typedef struct memory_range {
    u64 start;
    u64 size;
} memory_range;
void memory_set_whole(const memory_range* objects, u32 count);
u32 memory_whole_count(void);
memory_range memory_whole_at(u32 index);

// What the process has mapped (Windows: committed), sorted by address and
// merged where ranges touch: up to capacity ranges, their count. The hashes
// tell a pointer the module keeps into memory it doesn't own (the C
// library's FILE, the system heap) by it: such memory lies elsewhere in
// every run, or with other files open.
u32 memory_mapped_ranges(memory_range* ranges, u32 capacity);

// How many blocks are live.
u32 memory_block_count(void);

// The live block at index (0 is the oldest); all zero past the end.
memory_block_record memory_block_at(u32 index);

// Placement. While a placement is set, a block asked for without a hint is
// placed at the first free place at or after the cursor, on a
// MEMORY_PLACEMENT_ALIGN boundary, and the cursor moves past it; so the same
// allocations from the same cursor land on the same addresses in every run,
// and state that holds pointers to its own blocks reads the same. Loop
// editing sets one while it records or replays and keeps the cursor with its
// snapshot. A place that can't be had within a few tries falls back to the
// system's choice.
#define MEMORY_PLACEMENT_ALIGN 0x10000u

// Sets the cursor (rounded up to the alignment); null ends placement.
void memory_set_placement(void* cursor);
// The cursor now; null while no placement is set.
void* memory_placement(void);

// Pages of the host's own, never a block: fresh, zeroed and read-write for
// bytes (null for 0 or on failure), and given back whole (null is left
// alone). The back buffer's pixels, the undo's shadows, the loop's copies.
void* pages_allocate(u64 bytes);
void pages_free(void* memory, u64 bytes);

// Each system's pages, beneath the portable bookkeeping (memory_<os>.cpp):
// the one home of page primitives.
u64 memory_page_size(void);
// Fresh zeroed read-write pages, at address when it is not null (failing
// where that place is taken); null on failure. Watched pages can have their
// writes watched (watch.h).
u8* memory_map_pages(void* address, u64 length, bool32 watched);
// The host's own pages (pages_allocate): where the system can, far from the
// places blocks get (Windows: from the top of the address space), so a
// freed block's place stays free for the undo and the history to bring it
// back.
u8* memory_map_host_pages(u64 length);
bool32 memory_protect_no_access(void* pages, u64 length);
// Whether every page of the range is mapped and writable where the system
// can tell (Linux tells only that it is mapped): a block the module may
// have unmapped itself is looked at before the host writes it.
bool32 memory_pages_present(const void* pages, u64 length);
// Sets resident[i] to 1 for each page of the range that was ever touched
// (and so may hold anything but zeros), else 0; every page counts as
// touched where the system can't tell. The range is page-aligned.
void memory_pages_resident(const void* pages, u64 length, u8* resident);
// Makes the pages of a library's writable data anonymous memory with the
// same contents, so their writes can be watched (watch.h) like a block's;
// false where they stay as they were.
bool32 memory_make_anonymous(void* pages, u64 length);
// Gives back a whole region from memory_map_pages.
void memory_unmap_pages(void* pages, u64 length);

#endif
