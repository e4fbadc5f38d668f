#include "platform/memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include "base/memory.h"

static u64 page_size(void) { return (u64)sysconf(_SC_PAGESIZE); }

// ---------------------------------------------------------------------------
// The record of live blocks, in pages of its own that grow by doubling.

static memory_block_record* live_blocks;
static u32 live_count;
static u32 live_capacity;

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
    u64 capacity = live_capacity ? (u64)live_capacity * 2 : page_size() / sizeof(*live_blocks);
    u64 bytes = capacity * sizeof(*live_blocks);
    if (capacity > 0xFFFFFFFFu) {
        return 0;
    }
    void* grown = mmap(NULL, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (grown == MAP_FAILED) {
        return 0;
    }
    if (live_blocks) {
        copy_bytes(grown, live_blocks, (u64)live_count * sizeof(*live_blocks));
        munmap(live_blocks, (u64)live_capacity * sizeof(*live_blocks));
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
// Pages.

// Fresh zeroed read-write pages at address, or where the system chooses when
// it is null. A hint is taken only where it is free and on a page boundary:
// like VirtualAlloc at a taken address, anything else fails rather than
// landing elsewhere (a kernel that knows no MAP_FIXED_NOREPLACE takes the
// address as a mere hint, hence the check).
static u8* map_pages(void* address, u64 length) {
    int options = MAP_PRIVATE | MAP_ANONYMOUS | (address ? MAP_FIXED_NOREPLACE : 0);
    void* pages = mmap(address, length, PROT_READ | PROT_WRITE, options, -1, 0);
    if (pages == MAP_FAILED) {
        return NULL;
    }
    if (address && pages != address) {
        munmap(pages, length);
        return NULL;
    }
    return (u8*)pages;
}

static bool32 allocate_plain(u32 size, void* address, memory_block_record* record) {
    u64 page = page_size();
    record->region_size = ((u64)size + page - 1) / page * page;
    record->region = map_pages(address, size);
    record->memory = record->region;
    return record->region != NULL;
}

// size / page + 1 read-write pages (one more than needed when size is a
// multiple of the page), then the no-access page, the block ending right
// where it begins.
static bool32 allocate_guarded(u32 size, void* address, memory_block_record* record) {
    u64 page = page_size();
    u64 pages = size / page + 1;
    // The region, guard page included, must be describable in 32 bits.
    if ((pages + 1) * page > 0xFFFFFFFFu) {
        return 0;
    }
    u8* base = map_pages(address, (pages + 1) * page);
    if (!base) {
        return 0;
    }
    u8* guard = base + pages * page;
    if (mprotect(guard, page, PROT_NONE) != 0) {
        munmap(base, (pages + 1) * page);
        return 0;
    }
    record->region = base;
    record->region_size = (pages + 1) * page;
    record->memory = guard - size;
    return 1;
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
    bool32 allocated = (flags & MEMORY_GUARD_PAGE) ? allocate_guarded(size, address, &record)
                                                   : allocate_plain(size, address, &record);
    if (allocated) {
        live_blocks[live_count++] = record;
        block.memory = record.memory;
    }
    return block;
}

void free_memory(memory_block* block) {
    if (!block || !block->memory) {
        return;
    }
    for (u32 i = 0; i < live_count; ++i) {
        if (live_blocks[i].memory == block->memory && live_blocks[i].size == block->size) {
            munmap(live_blocks[i].region, live_blocks[i].region_size);
            forget_block(i);
            return;
        }
    }
}
