#include "platform/memory.h"

#include "engine/base/memory.h"

// ---------------------------------------------------------------------------
// The record of live blocks, in pages of its own (never a block the module
// was given) that grow by doubling.

static memory_block_record* live_blocks;
static u32 live_count;
static u32 live_capacity;
static u64 newest_serial;
static bool32 watch_blocks;

u64 memory_newest_serial(void) { return newest_serial; }

void memory_watch_new_blocks(bool32 on) { watch_blocks = on; }

u32 memory_block_count(void) { return live_count; }

memory_block_record memory_block_at(u32 index) {
    memory_block_record record;
    fill_bytes(&record, 0, sizeof(record));
    return index < live_count ? live_blocks[index] : record;
}

// Room for one more record, so that a block once allocated is always
// recorded (and so can be freed).
static bool32 make_room(void) {
    if (live_count < live_capacity) {
        return 1;
    }
    u64 capacity = live_capacity ? (u64)live_capacity * 2 : memory_page_size() / sizeof(*live_blocks);
    if (capacity > 0xFFFFFFFFu) {
        return 0;
    }
    u64 bytes = capacity * sizeof(*live_blocks);
    u8* grown = memory_map_pages(NULL, bytes, 0);
    if (!grown) {
        return 0;
    }
    if (live_blocks) {
        copy_bytes(grown, live_blocks, (u64)live_count * sizeof(*live_blocks));
        memory_unmap_pages(live_blocks, (u64)live_capacity * sizeof(*live_blocks));
    }
    live_blocks = (memory_block_record*)grown;
    live_capacity = (u32)capacity;
    return 1;
}

static void forget_block(u32 index) {
    move_bytes(&live_blocks[index], &live_blocks[index + 1],
               (u64)(live_count - index - 1) * sizeof(*live_blocks));
    --live_count;
}

// ---------------------------------------------------------------------------
// Recently freed blocks. The system hands a freed address straight to the
// next allocation of the same size, and a stale copy of the old record would
// then match the new block exactly; a block the system places on one of
// these is traded for another, so a stale free finds nothing live.

#define FREED_REMEMBERED 64
#define PLACEMENT_TRIES 8

static memory_block freed_blocks[FREED_REMEMBERED];
static u32 freed_next;

static void remember_freed(void* memory, u64 size) {
    freed_blocks[freed_next].memory = memory;
    freed_blocks[freed_next].size = size;
    freed_next = (freed_next + 1) % FREED_REMEMBERED;
}

static bool32 recently_freed(void* memory, u64 size) {
    for (u32 i = 0; i < FREED_REMEMBERED; ++i) {
        if (freed_blocks[i].memory == memory && freed_blocks[i].size == size) {
            return 1;
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Kept variables.

#define KEPT_MAX 4096

static engine_kept kept_variables[KEPT_MAX];
static u32 kept_count;
static u64 kept_image;
static u64 kept_image_size;

bool32 memory_in_kept_image(u64 address) {
    return address >= kept_image && address - kept_image < kept_image_size;
}

u64 memory_kept_image(void) { return kept_image; }

void memory_set_kept(const engine_kept* kept, u32 count, const void* image, u64 image_size) {
    kept_image = (u64)image;
    kept_image_size = image_size;
    kept_count = 0;
    for (u32 i = 0; i < count && i < KEPT_MAX; ++i) {
        kept_variables[kept_count++] = kept[i];
    }
}

u32 memory_kept_count(void) { return kept_count; }

engine_kept memory_kept_at(u32 index) {
    engine_kept none = {NULL, NULL, 0};
    return index < kept_count ? kept_variables[index] : none;
}

static const memory_range* whole_objects;
static u32 whole_count;

void memory_set_whole(const memory_range* objects, u32 count) {
    whole_objects = objects;
    whole_count = objects ? count : 0;
}

u32 memory_whole_count(void) { return whole_count; }

memory_range memory_whole_at(u32 index) {
    memory_range none = {0, 0};
    return index < whole_count ? whole_objects[index] : none;
}

void* pages_allocate(u64 bytes) { return bytes ? memory_map_host_pages(bytes) : NULL; }

void pages_free(void* memory, u64 bytes) {
    if (memory) {
        memory_unmap_pages(memory, bytes);
    }
}

// ---------------------------------------------------------------------------
// Blocks.

static bool32 watched(const memory_block_record* record) {
    return watch_blocks && !(record->flags & MEMORY_SCRATCH);
}

static bool32 allocate_plain(u32 size, void* address, memory_block_record* record) {
    u64 page = memory_page_size();
    record->region = memory_map_pages(address, size, watched(record));
    record->region_size = ((u64)size + page - 1) / page * page;
    record->memory = record->region;
    return record->region != NULL;
}

// size / page + 1 read-write pages (one more than needed when size is a
// multiple of the page), then the no-access page, the block ending right
// where it begins.
static bool32 allocate_guarded(u32 size, void* address, memory_block_record* record) {
    u64 page = memory_page_size();
    u64 pages = size / page + 1;
    // The region, guard page included, must be describable in 32 bits.
    if ((pages + 1) * page > 0xFFFFFFFFu) {
        return 0;
    }
    u8* base = memory_map_pages(address, (pages + 1) * page, watched(record));
    if (!base) {
        return 0;
    }
    u8* guard = base + pages * page;
    if (!memory_protect_no_access(guard, page)) {
        memory_unmap_pages(base, (pages + 1) * page);
        return 0;
    }
    record->region = base;
    record->region_size = (pages + 1) * page;
    record->memory = guard - size;
    return 1;
}

static bool32 allocate_region(u32 size, void* address, memory_block_record* record) {
    return (record->flags & MEMORY_GUARD_PAGE) ? allocate_guarded(size, address, record)
                                               : allocate_plain(size, address, record);
}

// ---------------------------------------------------------------------------
// Placement.

#define PLACEMENT_SKIPS 16

static u64 placement_cursor;

static u64 align_placement(u64 address) {
    u64 align = MEMORY_PLACEMENT_ALIGN;
    return address > ~0ull - align ? 0 : (address + align - 1) / align * align;
}

void memory_set_placement(void* cursor) { placement_cursor = align_placement((u64)cursor); }

void* memory_placement(void) { return (void*)placement_cursor; }

// The block at the cursor, or past whatever holds that place; false (the
// cursor unmoved) when nothing free turns up.
static bool32 allocate_placed(u32 size, memory_block_record* record) {
    u64 place = placement_cursor;
    for (u32 skip = 0; skip < PLACEMENT_SKIPS && place; ++skip) {
        if (allocate_region(size, (void*)place, record)) {
            placement_cursor = align_placement((u64)record->region + record->region_size);
            return 1;
        }
        // Past what the block would have covered, guard page and all.
        place = align_placement(place + size + 2 * memory_page_size());
    }
    return 0;
}

memory_block allocate_memory(u32 size, void* address, u32 flags) {
    memory_block block;
    block.memory = NULL;
    block.size = size;
    block.reserved = 0;
    memory_block_record record;
    fill_bytes(&record, 0, sizeof(record));
    record.size = size;
    record.flags = flags;
    if (!make_room()) {
        return block;
    }
    bool32 placed = !address && placement_cursor && allocate_placed(size, &record);
    if (!placed && !allocate_region(size, address, &record)) {
        return block;
    }
    // Where the system chose a recently freed block's place, the region is
    // held while another is asked for, so the next one lands elsewhere. A
    // hint names its place itself and is taken as it is.
    memory_block_record held[PLACEMENT_TRIES];
    u32 held_count = 0;
    while (!address && !placed && recently_freed(record.memory, size) && held_count < PLACEMENT_TRIES) {
        held[held_count++] = record;
        if (!allocate_region(size, NULL, &record)) {
            record = held[--held_count];
            break;
        }
    }
    for (u32 i = 0; i < held_count; ++i) {
        memory_unmap_pages(held[i].region, held[i].region_size);
    }
    record.serial = ++newest_serial;
    live_blocks[live_count++] = record;
    block.memory = record.memory;
    return block;
}

bool32 memory_revive_block(const memory_block_record* record) {
    memory_block_record revived = *record;
    if (!make_room() || !allocate_region((u32)record->size, record->region, &revived)) {
        return 0;
    }
    if (revived.memory != record->memory) {
        memory_unmap_pages(revived.region, revived.region_size);
        return 0;
    }
    u32 at = live_count;
    while (at > 0 && live_blocks[at - 1].serial > record->serial) {
        --at;
    }
    move_bytes(&live_blocks[at + 1], &live_blocks[at], (u64)(live_count - at) * sizeof(*live_blocks));
    live_blocks[at] = revived;
    ++live_count;
    return 1;
}

void free_memory(memory_block* block) {
    if (!block || !block->memory) {
        return;
    }
    // The record may lie inside the block it names: everything is read
    // from it before the pages go, and it is never touched after.
    void* memory = block->memory;
    u64 size = block->size;
    for (u32 i = 0; i < live_count; ++i) {
        if (live_blocks[i].memory == memory && live_blocks[i].size == size) {
            memory_block_record freed = live_blocks[i];
            forget_block(i);
            remember_freed(memory, size);
            memory_unmap_pages(freed.region, freed.region_size);
            return;
        }
    }
}

void free_block_record(const memory_block_record* record) {
    memory_block block;
    block.memory = record->memory;
    block.size = record->size;
    block.reserved = 0;
    free_memory(&block);
}
