#include "host/undo.h"

#include "base/fatal.h"
#include "base/memory.h"
#include "host/os.h"
#include "platform/memory.h"

// The log grows by chunks that are never moved, so the handler only ever
// adds one; each holds the copies of its pages, then their entries.
#define LOG_CHUNK_PAGES 256
#define LOG_MAX_CHUNKS 4096
#define DEFERRED_MAX 256
// A write fault costs far more than copying a page: each one logs and opens
// the pages after it too, as a frame that writes one page mostly writes the
// next ones.
#define PAGES_PER_FAULT 16

typedef enum track_state {
    TRACK_PROTECTED,  // read-only but for the pages logged since the frame began
    TRACK_EXPOSED,    // writable throughout: its writes are not logged
    TRACK_RELEASED,   // freed in this frame, inaccessible until the frame ends
    TRACK_GONE,       // released; dropped at the next frame's start
} track_state;

typedef struct tracked_block {
    memory_block_record record;
    u8* start;     // the first usable page
    u64 pages;     // usable pages, the guard page not counted
    u8* written;   // a bit per page: logged since the last re-protection
    u64 written_bytes;
    u32 state;
} tracked_block;

typedef struct log_entry {
    u8* page;
    u32 block;  // index into the tracked blocks
} log_entry;

typedef struct deferred_free {
    memory_block_record record;
    u32 prior_state;  // of its tracked block, when it had one
    bool32 tracked;
} deferred_free;

static u64 page_bytes;
static tracked_block* tracked;
static u32 tracked_count;
static u32 tracked_capacity;
static u8* log_chunks[LOG_MAX_CHUNKS];
static u32 log_chunk_count;
static u64 log_count;
static deferred_free deferred[DEFERRED_MAX];
static u32 deferred_count;
static bool32 in_frame;
static bool32 complete;
static void** slot_address;
static void* slot_before;

static u8* copy_at(u64 index) {
    return log_chunks[index / LOG_CHUNK_PAGES] + (index % LOG_CHUNK_PAGES) * page_bytes;
}

static log_entry* entry_at(u64 index) {
    u8* chunk = log_chunks[index / LOG_CHUNK_PAGES];
    return (log_entry*)(chunk + LOG_CHUNK_PAGES * page_bytes) + index % LOG_CHUNK_PAGES;
}

static u64 chunk_bytes(void) {
    return LOG_CHUNK_PAGES * (page_bytes + sizeof(log_entry));
}

static bool32 log_has_room(void) {
    if (log_count < (u64)log_chunk_count * LOG_CHUNK_PAGES) {
        return 1;
    }
    if (log_chunk_count == LOG_MAX_CHUNKS) {
        return 0;
    }
    // mmap, from the signal handler: not on POSIX's list, safe in practice.
    u8* chunk = (u8*)pages_allocate(chunk_bytes());
    if (!chunk) {
        return 0;
    }
    log_chunks[log_chunk_count++] = chunk;
    return 1;
}

static bool32 same_block(const memory_block_record* a, const memory_block_record* b) {
    return a->memory == b->memory && a->size == b->size && a->region == b->region;
}

static bool32 bit_set(const tracked_block* block, u64 page) {
    return (block->written[page / 8] >> (page % 8)) & 1;
}

static void set_bit(tracked_block* block, u64 page, bool32 value) {
    u8 mask = (u8)(1u << (page % 8));
    block->written[page / 8] = value ? (u8)(block->written[page / 8] | mask)
                                     : (u8)(block->written[page / 8] & ~mask);
}

// The block's writes go unlogged from here on: the frame can't be fully undone.
static bool32 expose(tracked_block* block) {
    complete = 0;
    block->state = TRACK_EXPOSED;
    return undo_protect(block->start, block->pages * page_bytes, UNDO_ACCESS_READ_WRITE);
}

// Logs the pages from first on, up to count and up to the first one logged
// already, and opens them with one call.
static bool32 log_pages(u32 index, u64 first, u64 count) {
    tracked_block* block = &tracked[index];
    u64 end = first;
    for (; end < first + count && end < block->pages && !bit_set(block, end); ++end) {
        if (!log_has_room()) {
            if (end == first) {
                return expose(block);
            }
            break;
        }
        u8* address = block->start + end * page_bytes;
        copy_bytes(copy_at(log_count), address, page_bytes);
        log_entry* entry = entry_at(log_count);
        entry->page = address;
        entry->block = index;
        ++log_count;
        set_bit(block, end, 1);
    }
    if (end > first && !undo_protect(block->start + first * page_bytes,
                                     (end - first) * page_bytes, UNDO_ACCESS_READ_WRITE)) {
        return expose(block);
    }
    return 1;
}

// The protected block holding address and its page, or -1.
static i64 tracked_page(const u8* address, u64* page) {
    for (u32 i = 0; i < tracked_count; ++i) {
        const tracked_block* block = &tracked[i];
        if (block->state == TRACK_PROTECTED && address >= block->start &&
            address < block->start + block->pages * page_bytes) {
            *page = (u64)(address - block->start) / page_bytes;
            return i;
        }
    }
    return -1;
}

bool32 undo_note_write(void* address) {
    u64 page = 0;
    i64 index = page_bytes ? tracked_page((const u8*)address, &page) : -1;
    // A page already logged is writable: its fault is someone else's.
    if (index < 0 || bit_set(&tracked[index], page)) {
        return 0;
    }
    return log_pages((u32)index, page, PAGES_PER_FAULT);
}

void undo_prepare_write(void* address, u64 bytes) {
    if (!page_bytes || !bytes) {
        return;
    }
    u8* from = (u8*)address;
    u8* to = (u64)from + bytes < (u64)from ? (u8*)~0ull : from + bytes;
    for (u32 i = 0; i < tracked_count; ++i) {
        tracked_block* block = &tracked[i];
        u8* end = block->start + block->pages * page_bytes;
        if (block->state != TRACK_PROTECTED || to <= block->start || from >= end) {
            continue;
        }
        u64 first = from > block->start ? (u64)(from - block->start) / page_bytes : 0;
        u64 last = ((u64)((to < end ? to : end) - block->start) + page_bytes - 1) / page_bytes;
        for (u64 page = first; page < last && block->state == TRACK_PROTECTED; ++page) {
            if (!bit_set(block, page)) {
                log_pages(i, page, last - page);
            }
        }
    }
}

// Consecutive entries of one block on adjacent pages: one protection call.
static u64 run_end(u64 index, u8** end) {
    const log_entry* first = entry_at(index);
    *end = first->page + page_bytes;
    u64 next = index + 1;
    while (next < log_count && entry_at(next)->block == first->block &&
           entry_at(next)->page == *end) {
        *end += page_bytes;
        ++next;
    }
    return next;
}

// The pages the log names, read-only again, their bits cleared; then the
// blocks left writable, whole.
static void reprotect_written(bool32 tracking) {
    for (u64 i = 0; i < log_count;) {
        u8* end = NULL;
        u64 next = run_end(i, &end);
        const log_entry* entry = entry_at(i);
        tracked_block* block = &tracked[entry->block];
        if (block->state == TRACK_PROTECTED) {
            if (!undo_protect(entry->page, (u64)(end - entry->page), UNDO_ACCESS_READ)) {
                block->state = TRACK_EXPOSED;
            }
            for (u8* page = entry->page; page < end; page += page_bytes) {
                set_bit(block, (u64)(page - block->start) / page_bytes, 0);
            }
        }
        i = next;
    }
    log_count = 0;
    for (u32 i = 0; i < tracked_count && tracking; ++i) {
        tracked_block* block = &tracked[i];
        if (block->state == TRACK_EXPOSED && block->written &&
            undo_protect(block->start, block->pages * page_bytes, UNDO_ACCESS_READ)) {
            fill_bytes(block->written, 0, (u32)block->written_bytes);
            block->state = TRACK_PROTECTED;
        }
    }
}

static bool32 make_tracked_room(void) {
    if (tracked_count < tracked_capacity) {
        return 1;
    }
    u32 capacity = tracked_capacity ? tracked_capacity * 2 : 64;
    tracked_block* grown = (tracked_block*)pages_allocate((u64)capacity * sizeof(tracked_block));
    if (!grown) {
        return 0;
    }
    if (tracked) {
        copy_bytes(grown, tracked, (u64)tracked_count * sizeof(tracked_block));
        pages_free(tracked, (u64)tracked_capacity * sizeof(tracked_block));
    }
    tracked = grown;
    tracked_capacity = capacity;
    return 1;
}

// A block met for the first time: all its usable pages read-only.
static void track(const memory_block_record* record, bool32 tracking) {
    if (!make_tracked_room()) {
        complete = 0;
        return;
    }
    tracked_block* block = &tracked[tracked_count++];
    fill_bytes(block, 0, sizeof(*block));
    block->record = *record;
    block->start = (u8*)record->region;
    block->pages = record->region_size / page_bytes - ((record->flags & MEMORY_GUARD_PAGE) ? 1 : 0);
    block->written_bytes = (block->pages + 7) / 8;
    block->written = (u8*)pages_allocate(block->written_bytes);
    block->state = TRACK_EXPOSED;
    if (tracking && block->written &&
        undo_protect(block->start, block->pages * page_bytes, UNDO_ACCESS_READ)) {
        block->state = TRACK_PROTECTED;
    }
}

static void drop_gone(void) {
    u32 kept = 0;
    for (u32 i = 0; i < tracked_count; ++i) {
        if (tracked[i].state == TRACK_GONE) {
            pages_free(tracked[i].written, tracked[i].written_bytes);
            continue;
        }
        tracked[kept++] = tracked[i];
    }
    tracked_count = kept;
}

// The tracked blocks made to match the live ones. Both keep allocation
// order, so one walk finds the blocks released elsewhere and the new ones.
static void sync_blocks(bool32 tracking) {
    drop_gone();
    u32 live = memory_block_count();
    u32 old_count = tracked_count;
    u32 next = 0;
    for (u32 i = 0; i < live; ++i) {
        memory_block_record record = memory_block_at(i);
        u32 found = next;
        while (found < old_count && !same_block(&tracked[found].record, &record)) {
            ++found;
        }
        if (found == old_count) {
            track(&record, tracking);
            continue;
        }
        for (; next < found; ++next) {
            tracked[next].state = TRACK_GONE;
        }
        next = found + 1;
    }
    for (; next < old_count; ++next) {
        tracked[next].state = TRACK_GONE;
    }
    drop_gone();
}

void undo_begin_frame(void** module_slot) {
    fatal_assert(!in_frame);
    if (!page_bytes) {
        page_bytes = undo_page_size();
    }
    complete = 1;
    // A debugger sees every fault first: with one attached the pages stay
    // writable, so it stops only for the module's own faults.
    bool32 tracking = !undo_debugger_attached();
    reprotect_written(tracking);
    sync_blocks(tracking);
    for (u32 i = 0; i < tracked_count; ++i) {
        if (!tracking && tracked[i].state == TRACK_PROTECTED) {
            expose(&tracked[i]);
        }
        if (tracked[i].state != TRACK_PROTECTED) {
            complete = 0;
        }
    }
    slot_address = module_slot;
    slot_before = *module_slot;
    in_frame = 1;
}

static i64 tracked_index(const memory_block_record* record) {
    for (u32 i = 0; i < tracked_count; ++i) {
        if (tracked[i].state != TRACK_GONE && same_block(&tracked[i].record, record)) {
            return i;
        }
    }
    return -1;
}

void undo_commit(void) {
    fatal_assert(in_frame);
    in_frame = 0;
    for (u32 i = 0; i < deferred_count; ++i) {
        i64 index = tracked_index(&deferred[i].record);
        if (index >= 0) {
            tracked[index].state = TRACK_GONE;
        }
        free_block_record(&deferred[i].record);
    }
    deferred_count = 0;
}

static bool32 is_tracked(const memory_block_record* record) {
    return tracked_index(record) >= 0;
}

bool32 undo_rollback(void) {
    fatal_assert(in_frame);
    in_frame = 0;
    // Freed blocks first, so their logged pages can be written back.
    for (u32 i = 0; i < deferred_count; ++i) {
        const deferred_free* freed = &deferred[i];
        i64 index = tracked_index(&freed->record);
        if (!freed->tracked || index < 0) {
            continue;
        }
        tracked_block* block = &tracked[index];
        block->state = freed->prior_state;
        u32 access = block->state == TRACK_PROTECTED ? UNDO_ACCESS_READ : UNDO_ACCESS_READ_WRITE;
        if (!undo_protect(block->start, block->pages * page_bytes, access)) {
            complete = 0;
        }
    }
    deferred_count = 0;
    for (u64 i = 0; i < log_count;) {
        u8* end = NULL;
        u64 next = run_end(i, &end);
        u8* start = entry_at(i)->page;
        if (!undo_protect(start, (u64)(end - start), UNDO_ACCESS_READ_WRITE)) {
            complete = 0;
            i = next;
            continue;
        }
        for (; i < next; ++i) {
            copy_bytes(entry_at(i)->page, copy_at(i), page_bytes);
        }
    }
    // Blocks the frame allocated; from the newest, as releasing shifts the rest.
    for (u32 i = memory_block_count(); i-- > 0;) {
        memory_block_record record = memory_block_at(i);
        if (!is_tracked(&record)) {
            free_block_record(&record);
        }
    }
    *slot_address = slot_before;
    return complete;
}

void undo_forget(void) {
    fatal_assert(!in_frame);
    for (u32 i = 0; i < tracked_count; ++i) {
        tracked_block* block = &tracked[i];
        if (block->state != TRACK_GONE) {
            undo_protect(block->start, block->pages * page_bytes, UNDO_ACCESS_READ_WRITE);
        }
        pages_free(block->written, block->written_bytes);
    }
    tracked_count = 0;
    log_count = 0;
}

undo_counts undo_state(void) {
    undo_counts counts;
    counts.tracked_blocks = tracked_count;
    counts.logged_pages = log_count;
    counts.log_capacity = (u64)log_chunk_count * LOG_CHUNK_PAGES;
    counts.deferred_frees = deferred_count;
    return counts;
}

// ---------------------------------------------------------------------------
// The table's wrappers.

static read_file_service* service_read_file;
static read_file_at_path_service* service_read_file_at_path;
static get_working_directory_service* service_get_working_directory;
static free_memory_service* service_free_memory;
static file_size_service* service_file_size;
static file_size_at_path_service* service_file_size_at_path;

// What a read at offset can bring, at most: no more than the file holds.
static u64 readable(u64 size, u64 file_size, u32 offset) {
    u64 left = file_size > offset ? file_size - offset : 0;
    return size < left ? size : left;
}

static u32 undo_read_file(file_handle* file, void* buffer, u64 size, u32 offset) {
    if (file && buffer && size < 0xFFFFFFFFu) {
        undo_prepare_write(buffer, readable(size, service_file_size(file), offset));
    }
    return service_read_file(file, buffer, size, offset);
}

static u32 undo_read_file_at_path(const char* path, void* buffer, u32 size, u32 offset) {
    if (path && buffer) {
        undo_prepare_write(buffer, readable(size, service_file_size_at_path(path), offset));
    }
    return service_read_file_at_path(path, buffer, size, offset);
}

static u32 undo_get_working_directory(char* buffer, u32 capacity) {
    if (buffer) {
        undo_prepare_write(buffer, capacity);
    }
    return service_get_working_directory(buffer, capacity);
}

static void undo_free_memory(memory_block* block) {
    if (!in_frame || !block || !block->memory) {
        if (block && block->memory) {
            memory_block_record record;
            fill_bytes(&record, 0, sizeof(record));
            for (u32 i = 0; i < memory_block_count(); ++i) {
                record = memory_block_at(i);
                if (record.memory == block->memory && record.size == block->size) {
                    i64 index = tracked_index(&record);
                    if (index >= 0) {
                        tracked[index].state = TRACK_GONE;
                    }
                    break;
                }
            }
        }
        service_free_memory(block);
        return;
    }
    for (u32 i = 0; i < deferred_count; ++i) {
        if (deferred[i].record.memory == block->memory && deferred[i].record.size == block->size) {
            return;  // freed already, as far as the module can tell
        }
    }
    for (u32 i = 0; i < memory_block_count(); ++i) {
        memory_block_record record = memory_block_at(i);
        if (record.memory != block->memory || record.size != block->size) {
            continue;
        }
        i64 index = tracked_index(&record);
        if (deferred_count == DEFERRED_MAX) {
            complete = 0;
            if (index >= 0) {
                tracked[index].state = TRACK_GONE;
            }
            service_free_memory(block);
            return;
        }
        deferred_free* freed = &deferred[deferred_count++];
        freed->record = record;
        freed->tracked = index >= 0;
        freed->prior_state = index >= 0 ? tracked[index].state : (u32)TRACK_EXPOSED;
        if (index >= 0) {
            tracked[index].state = TRACK_RELEASED;
        }
        // Gone as far as the module can see: any touch faults, as after a release.
        undo_protect(record.region, record.region_size, UNDO_ACCESS_NONE);
        return;
    }
    service_free_memory(block);
}

void undo_wrap_services(platform_api* services) {
    service_read_file = services->read_file;
    service_read_file_at_path = services->read_file_at_path;
    service_get_working_directory = services->get_working_directory;
    service_free_memory = services->free_memory;
    service_file_size = services->file_size;
    service_file_size_at_path = services->file_size_at_path;
    services->read_file = undo_read_file;
    services->read_file_at_path = undo_read_file_at_path;
    services->get_working_directory = undo_get_working_directory;
    services->free_memory = undo_free_memory;
}
