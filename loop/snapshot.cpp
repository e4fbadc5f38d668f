#include "loop/snapshot.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "engine/base/memory.h"
#include "platform/heap.h"

u64 block_usable_bytes(const memory_block_record* block) {
    u64 guard = (block->flags & MEMORY_GUARD_PAGE) ? memory_page_size() : 0;
    return block->region_size - guard;
}

static bool32 same_block(const memory_block_record* a, const memory_block_record* b) {
    return a->memory == b->memory && a->size == b->size && a->region == b->region &&
           a->flags == b->flags;
}

// At least bytes held at *memory, by doubling; the old contents are not kept.
static bool32 hold(u8** memory, u64* capacity, u64 bytes) {
    if (bytes <= *capacity) {
        return 1;
    }
    u64 grown = *capacity ? *capacity : 65536;
    while (grown < bytes) {
        grown *= 2;
    }
    if (*memory) {
        memory_unmap_pages(*memory, *capacity);
    }
    *capacity = 0;
    *memory = memory_map_pages(NULL, grown, 0);
    if (!*memory) {
        return 0;
    }
    *capacity = grown;
    return 1;
}

bool32 snapshot_take(snapshot* shot, void* slot) {
    u32 count = memory_block_count();
    u64 total = 0;
    for (u32 i = 0; i < count; ++i) {
        memory_block_record block = memory_block_at(i);
        total += block_usable_bytes(&block);
    }
    shot->block_count = 0;
    shot->byte_count = 0;
    if (!hold((u8**)&shot->blocks, &shot->block_capacity, (u64)count * sizeof(*shot->blocks)) ||
        !hold(&shot->bytes, &shot->byte_capacity, total)) {
        return 0;
    }
    for (u32 i = 0; i < count; ++i) {
        memory_block_record block = memory_block_at(i);
        u64 usable = block_usable_bytes(&block);
        memcpy(shot->bytes + shot->byte_count, block.region, usable);
        shot->byte_count += usable;
        shot->blocks[i] = block;
    }
    shot->block_count = count;
    shot->slot = slot;
    shot->placement = memory_placement();
    return 1;
}

static bool32 is_live(const memory_block_record* block) {
    for (u32 i = 0; i < memory_block_count(); ++i) {
        memory_block_record live = memory_block_at(i);
        if (same_block(&live, block)) {
            return 1;
        }
    }
    return 0;
}

static bool32 in_snapshot(const snapshot* shot, const memory_block_record* block) {
    for (u32 i = 0; i < shot->block_count; ++i) {
        if (same_block(&shot->blocks[i], block)) {
            return 1;
        }
    }
    return 0;
}

static bool32 overlaps(const memory_block_record* a, const memory_block_record* b) {
    u8* a_start = (u8*)a->region;
    u8* b_start = (u8*)b->region;
    return a_start < b_start + b->region_size && b_start < a_start + a->region_size;
}

// Releases the blocks allocated since the snapshot that lie on block's
// place (the system may have handed a freed place out again); false when
// there were none.
static bool32 clear_place(const snapshot* shot, const memory_block_record* block) {
    bool32 cleared = 0;
    for (u32 i = memory_block_count(); i-- > 0;) {
        memory_block_record live = memory_block_at(i);
        if (overlaps(&live, block) && !in_snapshot(shot, &live)) {
            free_block_record(&live);
            cleared = 1;
        }
    }
    return cleared;
}

static bool32 revive(const memory_block_record* block) {
    memory_block again = allocate_memory((u32)block->size, block->region, block->flags);
    if (again.memory == block->memory) {
        return 1;
    }
    if (again.memory) {
        free_memory(&again);
    }
    return 0;
}

// The blocks freed since, at their own places. A place something else holds
// fails the whole restore before any byte is written, and the blocks revived
// so far are released again. Blocks the restore releases anyway may go
// first to make room.
static bool32 revive_freed(const snapshot* shot, char* reason, u32 capacity) {
    u32 revived = 0;
    for (u32 i = 0; i < shot->block_count; ++i) {
        const memory_block_record* block = &shot->blocks[i];
        if (is_live(block)) {
            continue;
        }
        if (revive(block) || (clear_place(shot, block) && revive(block))) {
            ++revived;  // the newest block
            continue;
        }
        snprintf(reason, capacity, "the place of a %llu-byte block at %p is taken",
                 (unsigned long long)block->size, block->memory);
        for (; revived; --revived) {
            memory_block_record newest = memory_block_at(memory_block_count() - 1);
            free_block_record(&newest);
        }
        return 0;
    }
    return 1;
}

bool32 snapshot_restore(const snapshot* shot, void** slot, char* reason, u32 capacity) {
    if (!revive_freed(shot, reason, capacity)) {
        return 0;
    }
    // The blocks allocated since, from the newest (releasing shifts the rest).
    for (u32 i = memory_block_count(); i-- > 0;) {
        memory_block_record block = memory_block_at(i);
        if (!in_snapshot(shot, &block)) {
            free_block_record(&block);
        }
    }
    const u8* bytes = shot->bytes;
    for (u32 i = 0; i < shot->block_count; ++i) {
        u64 usable = block_usable_bytes(&shot->blocks[i]);
        memcpy(shot->blocks[i].region, bytes, usable);
        bytes += usable;
    }
    *slot = shot->slot;
    memory_set_placement(shot->placement);
    heap_refresh();
    return 1;
}

void snapshot_free(snapshot* shot) {
    if (shot->blocks) {
        memory_unmap_pages(shot->blocks, shot->block_capacity);
    }
    if (shot->bytes) {
        memory_unmap_pages(shot->bytes, shot->byte_capacity);
    }
    fill_bytes(shot, 0, sizeof(*shot));
}

// ---------------------------------------------------------------------------
// Hashes.

#define HASH_MULTIPLIER 0x9E3779B97F4A7C15ull

static u64 mix(u64 h) {
    h ^= h >> 32;
    h *= 0xD6E8FEB86659FD93ull;
    h ^= h >> 32;
    return h;
}

static u64 lane(u64 h, u64 word) { return (h ^ word) * HASH_MULTIPLIER + 1; }

u64 hash_bytes(const void* bytes, u64 count, u64 seed) {
    const u8* at = (const u8*)bytes;
    // Four lanes, so the multiplies overlap.
    u64 h[4] = {seed ^ count, seed + 1, seed + 2, seed + 3};
    u64 words[4];
    for (; count >= 32; count -= 32, at += 32) {
        memcpy(words, at, 32);
        for (u32 i = 0; i < 4; ++i) {
            h[i] = lane(h[i], words[i]);
        }
    }
    u64 tail = 0;
    for (u32 i = 0; count; --count, ++i) {
        tail |= (u64)at[i] << (8 * (i % 8));
        if (i % 8 == 7 || count == 1) {
            h[0] = lane(h[0], tail);
            tail = 0;
        }
    }
    return mix(mix(h[0]) ^ mix(h[1] + 1) * 3 ^ mix(h[2] + 2) * 5 ^ mix(h[3] + 3) * 7);
}

// Memory the process has mapped that is not the module's (its blocks, its
// image): what the C library and the system allocate for it lies elsewhere
// in every run (a FILE the module opened and keeps), so a word pointing
// there is hashed as that, not by its value. Found once a hash.
#define FOREIGN_MAX 4096
static memory_range mapped[FOREIGN_MAX];
static u32 mapped_count;
static memory_range* blocks;
static u32 block_capacity;
static u32 block_count;

static int by_start(const void* a, const void* b) {
    u64 x = ((const memory_range*)a)->start, y = ((const memory_range*)b)->start;
    return x < y ? -1 : x > y;
}

static void find_foreign(void) {
    mapped_count = memory_mapped_ranges(mapped, FOREIGN_MAX);
    block_count = 0;
    if (!mapped_count) {
        return;
    }
    if (memory_block_count() > block_capacity) {
        free(blocks);
        block_capacity = memory_block_count() * 2;
        blocks = (memory_range*)malloc((u64)block_capacity * sizeof(memory_range));
        if (!blocks) {
            block_capacity = 0;
            mapped_count = 0;
            return;
        }
    }
    for (u32 i = 0; i < memory_block_count(); ++i) {
        memory_block_record block = memory_block_at(i);
        blocks[block_count++] = {(u64)block.region, block.region_size};
    }
    qsort(blocks, block_count, sizeof(memory_range), by_start);
}

// Whether value lies in one of count sorted ranges.
static bool32 in_ranges(const memory_range* ranges, u32 count, u64 value) {
    u32 low = 0, high = count;
    while (low < high) {
        u32 middle = (low + high) / 2;
        if (value < ranges[middle].start) {
            high = middle;
        } else if (value - ranges[middle].start >= ranges[middle].size) {
            low = middle + 1;
        } else {
            return 1;
        }
    }
    return 0;
}

static bool32 foreign(u64 value) {
    return mapped_count && value >= mapped[0].start && in_ranges(mapped, mapped_count, value) &&
           !in_ranges(blocks, block_count, value);
}

#define FOREIGN_WORD 0xF0DE1F0DE1F0DE1Full

// Bytes, with every aligned word that points into the running build's
// image taken relative to it (the system may place the image anywhere, so
// its addresses differ from run to run), and every one into foreign memory
// as just that.
static u64 relative_hash(const u8* bytes, u64 size, u64 seed) {
    u8 chunk[4096];
    u64 first_word = (8 - (u64)bytes % 8) % 8;
    for (u64 at = 0; at < size; at += sizeof(chunk)) {
        u64 count = size - at < sizeof(chunk) ? size - at : sizeof(chunk);
        copy_bytes(chunk, bytes + at, count);
        for (u64 word = first_word; word + 8 <= count; word += 8) {  // chunks keep alignment
            u64 value;
            copy_bytes(&value, chunk + word, 8);
            if (memory_in_kept_image(value)) {
                value -= memory_kept_image();
                copy_bytes(chunk + word, &value, 8);
            } else if (foreign(value)) {
                value = FOREIGN_WORD;
                copy_bytes(chunk + word, &value, 8);
            }
        }
        seed = hash_bytes(chunk, count, seed);
    }
    return seed;
}

u64 module_memory_hash(void* slot) {
    // A sum of the blocks' own hashes: the same whatever order the blocks
    // were allocated (or put back) in. With whole state the blocks (the
    // heap's among them) hold pointers into the image too.
    bool32 whole = memory_whole_count() > 0;
    if (whole || memory_kept_count()) {
        find_foreign();
    }
    u64 sum = 0;
    for (u32 i = 0; i < memory_block_count(); ++i) {
        memory_block_record block = memory_block_at(i);
        sum += whole ? relative_hash((const u8*)block.memory, block.size, block.size)
                     : hash_bytes(block.memory, block.size, block.size);
    }
    for (u32 i = 0; i < memory_kept_count(); ++i) {
        engine_kept kept = memory_kept_at(i);
        sum += relative_hash((const u8*)kept.address, kept.size, kept.size + 1);
    }
    for (u32 i = 0; i < memory_whole_count(); ++i) {
        memory_range object = memory_whole_at(i);
        sum += relative_hash((const u8*)object.start, object.size, object.size + 3);
    }
    return mix(sum ^ hash_bytes(&slot, sizeof(slot), 0));
}
