#include "platform/heap.h"

#include <stdio.h>
#include <stdlib.h>

#include "engine/base/memory.h"
#include "platform/memory.h"

// ---------------------------------------------------------------------------
// Size classes: 16 to 256 in steps of 16, then four a doubling up to 16 KiB.

#define CLASS_COUNT 40
#define SLAB_HEADER HEAP_SLAB_HEADER
#define SLAB_MASK ((u64)HEAP_SLAB_BYTES - 1)
#define LARGE_HEADER 4096u
#define CHUNK_FIRST (2ull << 20)
#define CHUNK_MOST (64ull << 20)
#define CACHES 16
#define HEAP_MAGIC 0x5041454845474E45ull  // "ENGEHEAP"
#define LARGE_MAGIC 0x454752414C474E45ull

static u32 class_of(u64 size) {
    if (size <= 256) {
        return size ? (u32)((size + 15) / 16 - 1) : 0;
    }
    u64 s = size - 1;
    u32 bit = 63 - (u32)__builtin_clzll(s);
    u32 quarter = (u32)(s >> (bit - 2)) & 3;
    return 16 + (bit - 8) * 4 + quarter;
}

static u64 class_size(u32 index) {
    if (index < 16) {
        return (u64)(index + 1) * 16;
    }
    u32 bit = (index - 16) / 4 + 8;
    u32 quarter = (index - 16) % 4;
    return (u64)(5 + quarter) << (bit - 2);
}

static u32 objects_per_slab(u32 index) {
    return (u32)((HEAP_SLAB_BYTES - SLAB_HEADER) / class_size(index));
}

// How many of a class a thread keeps at hand: about 64 KiB's worth.
static u32 cache_capacity(u32 index) {
    u64 fit = 65536 / class_size(index);
    return fit > 64 ? 64 : (fit < 4 ? 4 : (u32)fit);
}

// ---------------------------------------------------------------------------
// The records, all inside the heap's own blocks.

typedef struct free_object {
    struct free_object* next;
} free_object;

// At the start of each slab.
typedef struct heap_slab {
    u32 class_index;
    u32 used;            // objects out of the slab (those in thread caches too)
    u32 carved;          // objects ever carved: the next comes from the end of these
    u32 listed;          // on its class's partial list
    free_object* free;   // freed objects of this slab
    struct heap_slab* next;
    struct heap_slab* previous;
} heap_slab;

typedef struct heap_cache {
    free_object* head[CLASS_COUNT];
    u32 count[CLASS_COUNT];
    i64 objects;  // handed out minus given back through this cache
} heap_cache;

typedef struct heap_root {
    u64 magic;
    u32 lock;
    u32 chunk_count;
    u64 chunk_bytes;
    u64 chunk_cursor;  // where the next chunk goes
    u64 fresh;         // the next slab never carved, in the newest chunk
    u64 fresh_end;
    u64 large_cursor;
    u64 large_blocks;
    i64 objects;       // handed out by the locked path minus given back to it
    heap_slab* empty;  // slabs with nothing out, for any class
    heap_slab* partial[CLASS_COUNT];
    heap_cache caches[CACHES];
} heap_root;

// The first slab holds the root.
typedef char root_fits[sizeof(heap_root) <= HEAP_SLAB_BYTES ? 1 : -1];

typedef struct large_header {
    u64 magic;
    memory_block block;
    u64 size;
} large_header;

// ---------------------------------------------------------------------------
// Locks and the root.

static void lock(u32* word) {
    while (__atomic_exchange_n(word, 1u, __ATOMIC_ACQUIRE)) {
        while (__atomic_load_n(word, __ATOMIC_RELAXED)) {
            __builtin_ia32_pause();
        }
    }
}

static void unlock(u32* word) { __atomic_store_n(word, 0u, __ATOMIC_RELEASE); }

static heap_root* volatile the_root;
static u32 root_lock;
static u32 caches_given;
static thread_local u32 thread_cache;  // 0: none asked for yet; else index + 1

// The root's block, live at HEAP_BASE: made there, or found there again
// after memory was put back.
static heap_root* find_or_make_root(void) {
    for (u32 i = 0; i < memory_block_count(); ++i) {
        memory_block_record record = memory_block_at(i);
        if ((u64)record.memory == HEAP_BASE) {
            heap_root* found = (heap_root*)record.memory;
            return found->magic == HEAP_MAGIC ? found : NULL;
        }
    }
    memory_block block = allocate_memory((u32)CHUNK_FIRST, (void*)HEAP_BASE, 0);
    if ((u64)block.memory != HEAP_BASE) {
        free_memory(&block);
        return NULL;
    }
    heap_root* root = (heap_root*)block.memory;
    root->magic = HEAP_MAGIC;
    root->chunk_count = 1;
    root->chunk_bytes = CHUNK_FIRST;
    root->chunk_cursor = HEAP_BASE + CHUNK_FIRST;
    root->fresh = HEAP_BASE + HEAP_SLAB_BYTES;
    root->fresh_end = HEAP_BASE + CHUNK_FIRST;
    root->large_cursor = HEAP_BASE + HEAP_SPAN / 2;
    return root;
}

static heap_root* root_now(void) {
    heap_root* root = the_root;
    if (root) {
        return root;
    }
    lock(&root_lock);
    if (!the_root) {
        the_root = find_or_make_root();
    }
    root = the_root;
    unlock(&root_lock);
    return root;
}

void heap_refresh(void) { the_root = NULL; }

// This thread's cache, or null when every cache is taken.
static heap_cache* cache_of(heap_root* root) {
    u32 index = thread_cache;
    if (!index) {
        u32 given = __atomic_fetch_add(&caches_given, 1u, __ATOMIC_RELAXED);
        index = given < CACHES ? given + 1 : ~0u;
        thread_cache = index;
    }
    return index <= CACHES ? &root->caches[index - 1] : NULL;
}

// ---------------------------------------------------------------------------
// Slabs, under the root's lock.

static void list_slab(heap_root* root, heap_slab* slab) {
    heap_slab** head = &root->partial[slab->class_index];
    slab->previous = NULL;
    slab->next = *head;
    if (*head) {
        (*head)->previous = slab;
    }
    *head = slab;
    slab->listed = 1;
}

static void unlist_slab(heap_root* root, heap_slab* slab) {
    if (slab->previous) {
        slab->previous->next = slab->next;
    } else {
        root->partial[slab->class_index] = slab->next;
    }
    if (slab->next) {
        slab->next->previous = slab->previous;
    }
    slab->listed = 0;
}

// A slab never carved: from the newest chunk, or a new chunk.
static heap_slab* fresh_slab(heap_root* root) {
    if (root->fresh == root->fresh_end) {
        u64 bytes = CHUNK_FIRST << root->chunk_count;
        bytes = bytes > CHUNK_MOST ? CHUNK_MOST : bytes;
        memory_block block = allocate_memory((u32)bytes, (void*)root->chunk_cursor, 0);
        if ((u64)block.memory != root->chunk_cursor) {
            free_memory(&block);
            return NULL;
        }
        root->chunk_count += 1;
        root->chunk_bytes += bytes;
        root->fresh = root->chunk_cursor;
        root->fresh_end = root->chunk_cursor + bytes;
        root->chunk_cursor += bytes;
    }
    heap_slab* slab = (heap_slab*)root->fresh;
    root->fresh += HEAP_SLAB_BYTES;
    return slab;
}

static heap_slab* slab_for(heap_root* root, u32 index) {
    heap_slab* slab = root->partial[index];
    if (slab) {
        return slab;
    }
    slab = root->empty;
    if (slab) {
        root->empty = slab->next;
    } else if (!(slab = fresh_slab(root))) {
        return NULL;
    }
    fill_bytes(slab, 0, sizeof(*slab));
    slab->class_index = index;
    list_slab(root, slab);
    return slab;
}

// One object of the class out of its slabs; null when no memory is left.
static free_object* take_object(heap_root* root, u32 index) {
    heap_slab* slab = slab_for(root, index);
    if (!slab) {
        return NULL;
    }
    free_object* object = slab->free;
    if (object) {
        slab->free = object->next;
    } else {
        object = (free_object*)((u8*)slab + SLAB_HEADER + slab->carved * class_size(index));
        slab->carved += 1;
    }
    slab->used += 1;
    if (!slab->free && slab->carved == objects_per_slab(index)) {
        unlist_slab(root, slab);
    }
    return object;
}

static void give_object(heap_root* root, free_object* object) {
    heap_slab* slab = (heap_slab*)((u64)object & ~SLAB_MASK);
    object->next = slab->free;
    slab->free = object;
    slab->used -= 1;
    if (slab->used == 0) {
        // Emptied: any class may have it next.
        if (slab->listed) {
            unlist_slab(root, slab);
        }
        slab->next = root->empty;
        root->empty = slab;
    } else if (!slab->listed) {
        list_slab(root, slab);
    }
}

// ---------------------------------------------------------------------------
// While a build loads: objects only from slabs never carved before, one per
// class, past every cache and free list.

static bool32 fresh_only;
static heap_slab* fresh_slabs[CLASS_COUNT];

static void* fresh_alloc(heap_root* root, u32 index) {
    lock(&root->lock);
    heap_slab* slab = fresh_slabs[index];
    if (!slab || slab->carved == objects_per_slab(index)) {
        slab = fresh_slab(root);
        if (slab) {
            fill_bytes(slab, 0, sizeof(*slab));
            slab->class_index = index;
        }
        fresh_slabs[index] = slab;
    }
    void* object = NULL;
    if (slab) {
        object = (u8*)slab + SLAB_HEADER + slab->carved * class_size(index);
        slab->carved += 1;
        slab->used += 1;
        root->objects += 1;
        // Listed only while it has room (an object freed into it listed it).
        if (slab->listed && !slab->free && slab->carved == objects_per_slab(index)) {
            unlist_slab(root, slab);
        }
    }
    unlock(&root->lock);
    return object;
}

void heap_fresh_only(bool32 on) {
    heap_root* root = the_root;
    if (!on && root) {
        lock(&root->lock);
        for (u32 index = 0; index < CLASS_COUNT; ++index) {
            heap_slab* slab = fresh_slabs[index];
            if (slab && !slab->listed && slab->carved < objects_per_slab(index)) {
                list_slab(root, slab);
            }
        }
        unlock(&root->lock);
    }
    fill_bytes(fresh_slabs, 0, sizeof(fresh_slabs));
    fresh_only = on;
}

// ---------------------------------------------------------------------------
// Small objects through the thread's cache.

static void* small_alloc(heap_root* root, u32 index) {
    if (fresh_only) {
        return fresh_alloc(root, index);
    }
    heap_cache* cache = cache_of(root);
    if (cache && cache->head[index]) {
        free_object* object = cache->head[index];
        cache->head[index] = object->next;
        cache->count[index] -= 1;
        cache->objects += 1;
        return object;
    }
    lock(&root->lock);
    free_object* object = take_object(root, index);
    // Half a cache's worth more, for the allocations that follow.
    if (object && cache) {
        u32 more = cache_capacity(index) / 2;
        for (u32 i = 0; i < more; ++i) {
            free_object* extra = take_object(root, index);
            if (!extra) {
                break;
            }
            extra->next = cache->head[index];
            cache->head[index] = extra;
            cache->count[index] += 1;
        }
    }
    if (object) {
        if (cache) {
            cache->objects += 1;
        } else {
            root->objects += 1;
        }
    }
    unlock(&root->lock);
    return object;
}

static void small_free(heap_root* root, free_object* object, u32 index) {
    heap_cache* cache = cache_of(root);
    if (cache && cache->count[index] < cache_capacity(index)) {
        object->next = cache->head[index];
        cache->head[index] = object;
        cache->count[index] += 1;
        cache->objects -= 1;
        return;
    }
    lock(&root->lock);
    give_object(root, object);
    if (cache) {
        cache->objects -= 1;
        // Half the cache goes back with it.
        for (u32 give = cache->count[index] / 2; give; --give) {
            free_object* cached = cache->head[index];
            cache->head[index] = cached->next;
            cache->count[index] -= 1;
            give_object(root, cached);
        }
    } else {
        root->objects -= 1;
    }
    unlock(&root->lock);
}

// ---------------------------------------------------------------------------
// Large allocations: a block each, its header in the page before the pointer.

static void* large_alloc(heap_root* root, u64 size, u64 alignment) {
    u64 lead = alignment > LARGE_HEADER ? alignment : LARGE_HEADER;
    u64 bytes = lead + size;
    if (size > 0xFFFFFFFFull || bytes > 0xFFFFFFFFull - HEAP_SLAB_BYTES) {
        return NULL;
    }
    lock(&root->lock);
    u64 step = alignment > HEAP_SLAB_BYTES ? alignment : HEAP_SLAB_BYTES;
    root->large_cursor = (root->large_cursor + step - 1) & ~(step - 1);
    void* place = (void*)root->large_cursor;
    memory_block block = allocate_memory((u32)bytes, place, 0);
    void* pointer = NULL;
    if (block.memory == place) {
        u64 span = (bytes + SLAB_MASK) & ~SLAB_MASK;
        root->large_cursor += span + HEAP_SLAB_BYTES;
        root->large_blocks += 1;
        pointer = (u8*)block.memory + lead;
        large_header* header = (large_header*)((u8*)pointer - LARGE_HEADER);
        header->magic = LARGE_MAGIC;
        header->block = block;
        header->size = size;
    } else {
        free_memory(&block);
        // Whatever holds this place, the next allocation tries past it.
        root->large_cursor += HEAP_SLAB_BYTES;
    }
    unlock(&root->lock);
    return pointer;
}

static large_header* large_of(const void* pointer) {
    return (large_header*)((u8*)pointer - LARGE_HEADER);
}

// ---------------------------------------------------------------------------
// The calls.

static void bad_pointer(const char* call, const void* pointer) {
    fprintf(stderr, "Engine: %s() of %p, which the module's heap never handed out\n", call,
            pointer);
    abort();
}

static bool32 in_large_half(const void* pointer) {
    return (u64)pointer - HEAP_BASE >= HEAP_SPAN / 2;
}

// The slab of a small object, checked to be one of its objects.
static heap_slab* slab_of(const void* pointer, const char* call) {
    heap_slab* slab = (heap_slab*)((u64)pointer & ~SLAB_MASK);
    u64 offset = (u64)pointer - (u64)slab;
    if (offset < SLAB_HEADER || slab->class_index >= CLASS_COUNT) {
        bad_pointer(call, pointer);
    }
    u64 size = class_size(slab->class_index);
    if ((offset - SLAB_HEADER) % size || (offset - SLAB_HEADER) / size >= slab->carved) {
        bad_pointer(call, pointer);
    }
    return slab;
}

// While a build unloads: what it frees is cleared.
static bool32 clearing_frees;

void heap_clear_frees(bool32 on) { clearing_frees = on; }

void* heap_alloc(u64 size) {
    heap_root* root = root_now();
    if (!root) {
        return NULL;
    }
    if (size > HEAP_SMALL_MAX) {
        return large_alloc(root, size, 16);
    }
    // Past the size asked for, zeros: what reads an allocation as an array
    // of what it holds (a reload converting a changed type) finds nothing
    // left there by an earlier object.
    u32 index = class_of(size);
    u8* object = (u8*)small_alloc(root, index);
    if (object && size < class_size(index)) {
        fill_bytes(object + size, 0, class_size(index) - size);
    }
    return object;
}

void* heap_alloc_zeroed(u64 count, u64 size) {
    if (size && count > ~0ull / size) {
        return NULL;
    }
    void* pointer = heap_alloc(count * size);
    // A large block's pages come zeroed.
    if (pointer && count * size <= HEAP_SMALL_MAX) {
        fill_bytes(pointer, 0, count * size);
    }
    return pointer;
}

void* heap_alloc_aligned(u64 size, u64 alignment) {
    if (!alignment || (alignment & (alignment - 1)) || alignment > (1ull << 30)) {
        return NULL;
    }
    if (alignment <= 16) {
        return heap_alloc(size);
    }
    heap_root* root = root_now();
    // Objects lie at 64 + k * size in their slab: up to 64, a class whose
    // size is a multiple of the alignment keeps every object on it.
    if (alignment <= SLAB_HEADER && size <= HEAP_SMALL_MAX) {
        u64 rounded = size < alignment ? alignment : size;
        for (u32 index = class_of(rounded); index < CLASS_COUNT; ++index) {
            if (class_size(index) % alignment == 0) {
                return root ? small_alloc(root, index) : NULL;
            }
        }
    }
    return root ? large_alloc(root, size, alignment) : NULL;
}

void heap_free(void* pointer) {
    if (!pointer) {
        return;
    }
    heap_root* root = root_now();
    if (!root) {
        bad_pointer("free", pointer);
    }
    if (in_large_half(pointer)) {
        large_header* header = large_of(pointer);
        if (((u64)pointer & 4095) || header->magic != LARGE_MAGIC) {
            bad_pointer("free", pointer);
        }
        // The record lies in the block it frees: copied out first.
        memory_block block = header->block;
        header->magic = 0;
        lock(&root->lock);
        root->large_blocks -= 1;
        unlock(&root->lock);
        free_memory(&block);
        return;
    }
    heap_slab* slab = slab_of(pointer, "free");
    if (clearing_frees) {
        fill_bytes(pointer, 0, class_size(slab->class_index));
    }
    small_free(root, (free_object*)pointer, slab->class_index);
}

u64 heap_usable_size(const void* pointer) {
    if (!pointer) {
        return 0;
    }
    if (in_large_half(pointer)) {
        large_header* header = large_of(pointer);
        if (header->magic != LARGE_MAGIC) {
            bad_pointer("malloc_usable_size", pointer);
        }
        u64 end = (u64)header->block.memory + ((header->block.size + 4095) & ~4095ull);
        return end - (u64)pointer;
    }
    return class_size(slab_of(pointer, "malloc_usable_size")->class_index);
}

static bool32 large_object_at(u64 address, u64* start, u64* size) {
    for (u32 i = 0; i < memory_block_count(); ++i) {
        memory_block_record record = memory_block_at(i);
        u64 low = (u64)record.memory;
        if (address - low >= record.size || !in_large_half(record.memory)) {
            continue;
        }
        // The pointer follows its header's page: the first page-aligned
        // place past the block's start whose previous page holds the header.
        for (u64 at = low + LARGE_HEADER; at < low + record.size; at += 4096) {
            if (large_of((void*)at)->magic == LARGE_MAGIC &&
                (u64)large_of((void*)at)->block.memory == low) {
                if (address < at) {
                    return 0;
                }
                *start = at;
                *size = heap_usable_size((void*)at);
                return 1;
            }
        }
        return 0;
    }
    return 0;
}

bool32 heap_object_at(u64 address, u64* start, u64* size) {
    heap_root* root = the_root ? the_root : (memory_block_count() ? root_now() : NULL);
    if (!root || !heap_owns((void*)address)) {
        return 0;
    }
    if (in_large_half((void*)address)) {
        return large_object_at(address, start, size);
    }
    u64 slab_at = address & ~SLAB_MASK;
    bool32 carved = slab_at > HEAP_BASE && slab_at < root->chunk_cursor &&
                    !(slab_at >= root->fresh && slab_at < root->fresh_end);
    if (!carved) {
        return 0;
    }
    const heap_slab* slab = (const heap_slab*)slab_at;
    u64 offset = address - slab_at;
    if (offset < SLAB_HEADER || slab->class_index >= CLASS_COUNT || !slab->used) {
        return 0;
    }
    u64 object = class_size(slab->class_index);
    u64 index = (offset - SLAB_HEADER) / object;
    if (index >= slab->carved) {
        return 0;
    }
    *start = slab_at + SLAB_HEADER + index * object;
    *size = object;
    return 1;
}

bool32 heap_slot_at(u64 address, u64* slab, u32* slot, u32* slots) {
    u64 start = 0, size = 0;
    if (in_large_half((void*)address) || !heap_object_at(address, &start, &size) ||
        start != address) {
        return 0;
    }
    *slab = address & ~SLAB_MASK;
    *slot = (u32)((address - *slab - SLAB_HEADER) / size);
    *slots = (u32)((HEAP_SLAB_BYTES - SLAB_HEADER) / size);
    return 1;
}

void* heap_realloc(void* pointer, u64 size) {
    if (!pointer) {
        return heap_alloc(size);
    }
    u64 usable = heap_usable_size(pointer);
    // Kept in place while it fits and does not waste more than half.
    if (size <= usable && (size >= usable / 2 || usable <= 16)) {
        fill_bytes((u8*)pointer + size, 0, usable - size);
        return pointer;
    }
    void* moved = heap_alloc(size);
    if (!moved) {
        return NULL;
    }
    copy_bytes(moved, pointer, size < usable ? size : usable);
    heap_free(pointer);
    return moved;
}

// The never-carved tail [fresh, fresh_end); empty when no heap is known.
static void untouched_tail(u64* fresh, u64* fresh_end) {
    heap_root* root = the_root;
    *fresh = *fresh_end = 0;
    if (root) {
        lock(&root->lock);
        *fresh = root->fresh;
        *fresh_end = root->fresh_end;
        unlock(&root->lock);
    }
}

u64 heap_touched_length(const void* pages, u64 length) {
    u64 fresh, fresh_end;
    untouched_tail(&fresh, &fresh_end);
    u64 start = (u64)pages, end = start + length;
    u64 page = memory_page_size();
    if (fresh_end != end || fresh < start || fresh >= end) {
        return length;
    }
    return (fresh - start + page - 1) / page * page;
}

void heap_clear_untouched(const void* pages, u64 length, u8* resident) {
    u64 fresh, fresh_end;
    untouched_tail(&fresh, &fresh_end);
    u64 page = memory_page_size();
    u64 start = (u64)pages, end = start + length;
    u64 from = fresh > start ? fresh : start;
    u64 to = fresh_end < end ? fresh_end : end;
    for (u64 at = from; at + page <= to; at += page) {
        resident[(at - start) / page] = 0;
    }
}

heap_counts heap_state(void) {
    heap_counts counts;
    fill_bytes(&counts, 0, sizeof(counts));
    heap_root* root = root_now();
    if (!root) {
        return counts;
    }
    lock(&root->lock);
    counts.chunks = root->chunk_count;
    counts.chunk_bytes = root->chunk_bytes;
    counts.used_bytes = root->chunk_bytes - (root->fresh_end - root->fresh);
    counts.large_blocks = root->large_blocks;
    i64 objects = root->objects;
    for (u32 i = 0; i < CACHES; ++i) {
        objects += root->caches[i].objects;
    }
    counts.objects = (u64)objects;
    unlock(&root->lock);
    return counts;
}
