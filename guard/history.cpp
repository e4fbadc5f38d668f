#include "guard/history.h"

#include <stdlib.h>
#include <string.h>

typedef enum entry_kind {
    ENTRY_BYTES,  // bytes at an address
    ENTRY_MADE,   // a block the frame allocated
    ENTRY_GONE,   // a block the frame freed
} entry_kind;

typedef struct history_entry {
    u32 kind;
    u32 reserved;
    u64 address;
    u64 size;                    // of the bytes after the entry, or of the block's pages
    memory_block_record record;  // blocks
    u8* saved;                   // blocks: their pages while the block is not live
} history_entry;

typedef struct history_frame {
    u8* data;  // entries, each followed by its bytes (ENTRY_BYTES), 8-aligned
    u64 used;
    u64 capacity;
    u64 bytes;          // what it holds, saved blocks included
    bool32 steppable;   // its memory is all there
    u8* payload;        // the host's record of the frame (history_note_payload)
    u64 payload_size;
} history_frame;

static history_frame* frames;  // a ring of `limit_frames` closed frames
static u32 limit_frames;
static u64 limit_bytes;
static u32 oldest;
static u32 count;
static u32 first_steppable;
static u64 total_bytes;
static history_frame filling;  // the frame whose overwrites come at the next frame's start
static bool32 paused;
static u64 last_used;  // the bytes of entries the last frame closed had
static u8* pending_payload;
static u64 pending_size;

static history_frame* frame_at(u32 index) { return &frames[(oldest + index) % limit_frames]; }

// Big buffers in the host's own pages, which keep clear of blocks' places
// (memory.h); the size is kept before the bytes.
static u8* buffer_make(u64 size) {
    u8* pages = (u8*)pages_allocate(size + 16);
    if (!pages) {
        return NULL;
    }
    memcpy(pages, &size, sizeof(size));
    return pages + 16;
}

static void buffer_free(u8* buffer) {
    if (buffer) {
        u64 size;
        memcpy(&size, buffer - 16, sizeof(size));
        pages_free(buffer - 16, size + 16);
    }
}

static u64 buffer_size(const u8* buffer) {
    u64 size;
    memcpy(&size, buffer - 16, sizeof(size));
    return size;
}

// Frames' buffers given back are used again: their pages are touched
// already, and a fresh page costs a fault every frame.
#define POOLED 8
static u8* pool[POOLED];

// Kept in place of the smallest when the pool is full: big ones are dearest.
static void buffer_give_back(u8* buffer) {
    if (!buffer) {
        return;
    }
    u32 smallest = 0;
    for (u32 i = 0; i < POOLED; ++i) {
        if (!pool[i]) {
            pool[i] = buffer;
            return;
        }
        smallest = buffer_size(pool[i]) < buffer_size(pool[smallest]) ? i : smallest;
    }
    if (buffer_size(buffer) > buffer_size(pool[smallest])) {
        u8* given = pool[smallest];
        pool[smallest] = buffer;
        buffer = given;
    }
    buffer_free(buffer);
}

static u8* buffer_take(u64 size) {
    for (u32 i = 0; i < POOLED; ++i) {
        if (pool[i] && buffer_size(pool[i]) >= size) {
            u8* buffer = pool[i];
            pool[i] = NULL;
            return buffer;
        }
    }
    return buffer_make(size);
}

static void free_entries(history_frame* frame) {
    for (u64 at = 0; at < frame->used;) {
        history_entry* entry = (history_entry*)(frame->data + at);
        buffer_free(entry->saved);
        at += sizeof(history_entry) + (entry->kind == ENTRY_BYTES ? (entry->size + 7) & ~7ull : 0);
    }
    buffer_give_back(frame->data);
    free(frame->payload);
    memset(frame, 0, sizeof(*frame));
}

static void drop_oldest(void) {
    history_frame* frame = frame_at(0);
    total_bytes -= frame->bytes;
    free_entries(frame);
    oldest = (oldest + 1) % limit_frames;
    --count;
    first_steppable = first_steppable ? first_steppable - 1 : 0;
}

void history_drop_from(u32 index) {
    while (count > index) {
        history_frame* frame = frame_at(count - 1);
        total_bytes -= frame->bytes;
        free_entries(frame);
        --count;
    }
    first_steppable = first_steppable < count ? first_steppable : count;
}

void history_limit(u32 most_frames, u64 most_bytes) {
    history_drop_from(0);
    free_entries(&filling);
    free(frames);
    frames = NULL;
    limit_frames = most_frames;
    limit_bytes = most_bytes;
    oldest = 0;
    filling.steppable = 1;
    if (most_frames) {
        frames = (history_frame*)calloc(most_frames, sizeof(history_frame));
        limit_frames = frames ? most_frames : 0;
    }
}

void history_pause(bool32 on) { paused = on; }

// Room for an entry and its bytes in the filling frame; null past the cap,
// which leaves the frame without all of its memory.
static history_entry* add_entry(entry_kind kind, u64 address, u64 size) {
    if (!limit_frames || paused) {
        return NULL;
    }
    u64 bytes = sizeof(history_entry) + (kind == ENTRY_BYTES ? (size + 7) & ~7ull : 0);
    if (filling.bytes + bytes > limit_bytes) {
        filling.steppable = 0;
        return NULL;
    }
    if (filling.used + bytes > filling.capacity) {
        // A frame writes about what the last one did.
        u64 grown = filling.capacity ? filling.capacity * 2
                                     : (last_used > 65536 ? last_used + last_used / 4 : 65536);
        while (grown < filling.used + bytes) {
            grown *= 2;
        }
        u8* moved = buffer_take(grown);
        if (!moved) {
            filling.steppable = 0;
            return NULL;
        }
        grown = buffer_size(moved);
        if (filling.data) {
            memcpy(moved, filling.data, filling.used);
            buffer_give_back(filling.data);
        }
        filling.data = moved;
        filling.capacity = grown;
    }
    history_entry* entry = (history_entry*)(filling.data + filling.used);
    memset(entry, 0, sizeof(*entry));
    entry->kind = kind;
    entry->address = address;
    entry->size = size;
    filling.used += bytes;
    filling.bytes += bytes;
    return entry;
}

void history_overwritten(const void* address, const void* before, u64 size, bool32 compare) {
    if (!limit_frames || paused || (compare && memcmp(address, before, size) == 0)) {
        return;
    }
    history_entry* entry = add_entry(ENTRY_BYTES, (u64)address, size);
    if (entry) {
        memcpy(entry + 1, before, size);
    }
}

void history_block_made(const memory_block_record* record) {
    history_entry* entry = add_entry(ENTRY_MADE, (u64)record->region, record->region_size);
    if (entry) {
        entry->record = *record;
    }
}

void history_block_gone(const memory_block_record* record, const void* bytes, u64 size) {
    history_entry* entry = add_entry(ENTRY_GONE, (u64)record->region, size);
    if (!entry) {
        return;
    }
    entry->record = *record;
    entry->saved = buffer_make(size ? size : 1);
    if (!entry->saved || filling.bytes + size > limit_bytes) {
        buffer_free(entry->saved);
        entry->saved = NULL;
        filling.steppable = 0;
        return;
    }
    memcpy(entry->saved, bytes, size);
    filling.bytes += size;
}

void history_note_payload(const void* payload, u64 size) {
    free(pending_payload);
    pending_payload = (u8*)malloc(size);
    pending_size = pending_payload ? size : 0;
    if (pending_payload) {
        memcpy(pending_payload, payload, size);
    }
}

void history_close_frame(bool32 kept) {
    if (!limit_frames || paused) {
        return;
    }
    if (!kept || !pending_payload) {
        free_entries(&filling);
        filling.steppable = 1;
        return;
    }
    last_used = filling.used;
    filling.payload = pending_payload;
    filling.payload_size = pending_size;
    filling.bytes += pending_size;
    pending_payload = NULL;
    pending_size = 0;
    if (count == limit_frames) {
        drop_oldest();
    }
    *frame_at(count) = filling;
    total_bytes += filling.bytes;
    ++count;
    // A frame without all its memory can't be stepped over: nothing before it either.
    if (!filling.steppable) {
        first_steppable = count;
    }
    memset(&filling, 0, sizeof(filling));
    filling.steppable = 1;
    while (count > 1 && total_bytes > limit_bytes) {
        drop_oldest();
    }
    if (count == 1 && total_bytes > limit_bytes) {
        history_drop_from(0);
    }
}

void history_forget_memory(void) {
    free_entries(&filling);
    filling.steppable = 1;
    first_steppable = count;
}

u32 history_frames(void) { return count; }
u32 history_first_steppable(void) { return first_steppable; }
u64 history_bytes(void) { return total_bytes; }

const void* history_payload(u32 index, u64* size) {
    if (index >= count) {
        *size = 0;
        return NULL;
    }
    *size = frame_at(index)->payload_size;
    return frame_at(index)->payload;
}

// ---------------------------------------------------------------------------
// Swaps.

// Word by word: two reads and two writes a word.
static void swap_bytes(u8* a, u8* b, u64 size) {
    u64 words = size / 8;
    for (u64 i = 0; i < words; ++i) {
        u64 x, y;
        memcpy(&x, a + i * 8, 8);
        memcpy(&y, b + i * 8, 8);
        memcpy(a + i * 8, &y, 8);
        memcpy(b + i * 8, &x, 8);
    }
    for (u64 i = words * 8; i < size; ++i) {
        u8 x = a[i];
        a[i] = b[i];
        b[i] = x;
    }
}

static bool32 swap_entry(history_entry* entry, bool32 back) {
    if (entry->kind == ENTRY_BYTES) {
        swap_bytes((u8*)entry->address, (u8*)(entry + 1), entry->size);
        return 1;
    }
    // Back over a made block, or forward over a gone one: it goes, its pages
    // kept; the other way it comes back at its place with them.
    bool32 goes = (entry->kind == ENTRY_MADE) == back;
    u64 usable = entry->record.region_size -
                 ((entry->record.flags & MEMORY_GUARD_PAGE) ? memory_page_size() : 0);
    if (goes) {
        if (!entry->saved) {
            entry->saved = buffer_make(usable ? usable : 1);
            if (!entry->saved) {
                return 0;
            }
        }
        memcpy(entry->saved, entry->record.region, usable);
        free_block_record(&entry->record);
        return 1;
    }
    if (!entry->saved || !memory_revive_block(&entry->record)) {
        return 0;
    }
    memcpy(entry->record.region, entry->saved, usable);
    return 1;
}

bool32 history_swap(u32 index, bool32 back) {
    if (index >= count || index < first_steppable) {
        return 0;
    }
    history_frame* frame = frame_at(index);
    // The entries' places, to walk them newest first.
    u64 entries = 0;
    for (u64 at = 0; at < frame->used; ++entries) {
        history_entry* entry = (history_entry*)(frame->data + at);
        at += sizeof(history_entry) + (entry->kind == ENTRY_BYTES ? (entry->size + 7) & ~7ull : 0);
    }
    u64* places = (u64*)malloc((entries + 1) * sizeof(u64));
    if (!places) {
        return 0;
    }
    u64 at = 0;
    for (u64 i = 0; i < entries; ++i) {
        places[i] = at;
        history_entry* entry = (history_entry*)(frame->data + at);
        at += sizeof(history_entry) + (entry->kind == ENTRY_BYTES ? (entry->size + 7) & ~7ull : 0);
    }
    bool32 swapped = 1;
    for (u64 i = 0; swapped && i < entries; ++i) {
        u64 which = back ? entries - 1 - i : i;
        swapped = swap_entry((history_entry*)(frame->data + places[which]), back);
    }
    free(places);
    return swapped;
}

