#include "guard/frame_copy.h"

#include <string.h>

#define WORDS (FRAME_COPY_PAGE / 64)

static u64 pow2_at_least(u64 value) {
    u64 size = 1;
    while (size < value) {
        size *= 2;
    }
    return size;
}

// Copies, records, and an index at least twice as large as the pages.
static u64 area_for(u32 capacity, u32* index_size) {
    *index_size = (u32)pow2_at_least(2ull * capacity);
    return (u64)capacity * (FRAME_COPY_PAGE + sizeof(frame_copy_page)) + (u64)*index_size * sizeof(u32);
}

bool32 frame_copy_make(frame_copy* copy, u64 bytes) {
    memset(copy, 0, sizeof(*copy));
    u32 index_size = 0;
    u64 fits = bytes / (FRAME_COPY_PAGE + sizeof(frame_copy_page) + 2 * sizeof(u32));
    u32 capacity = (u32)(fits < (1u << 30) ? fits : (1u << 30));
    // The index's rounding up may take a page's room.
    while (capacity && area_for(capacity, &index_size) > bytes) {
        --capacity;
    }
    if (!capacity) {
        return 0;
    }
    u64 area = area_for(capacity, &index_size);
    u8* memory = (u8*)pages_allocate(area);
    if (!memory) {
        return 0;
    }
    copy->copies = memory;
    copy->pages = (frame_copy_page*)(memory + (u64)capacity * FRAME_COPY_PAGE);
    copy->index = (u32*)(copy->pages + capacity);
    copy->index_mask = index_size - 1;
    copy->capacity = capacity;
    copy->area = area;
    return 1;
}

void frame_copy_free(frame_copy* copy) {
    pages_free(copy->copies, copy->area);
    memset(copy, 0, sizeof(*copy));
}

void frame_copy_clear(frame_copy* copy) {
    if (copy->count) {
        memset(copy->index, 0, ((u64)copy->index_mask + 1) * sizeof(u32));
    }
    copy->count = 0;
}

static u32 slot_of(const frame_copy* copy, u64 page) {
    return (u32)(((page / FRAME_COPY_PAGE) * 0x9E3779B97F4A7C15ull) >> 32) & copy->index_mask;
}

// The page's number, added when `add` (its bytes none held yet); ~0 when
// it is not there, or there is no room.
static u32 find_page(frame_copy* copy, u64 page, bool32 add) {
    for (u32 slot = slot_of(copy, page);; slot = (slot + 1) & copy->index_mask) {
        u32 number = copy->index[slot];
        if (number && copy->pages[number - 1].address == page) {
            return number - 1;
        }
        if (number) {
            continue;
        }
        if (!add || copy->count == copy->capacity) {
            return ~0u;
        }
        frame_copy_page* added = &copy->pages[copy->count];
        added->address = page;
        memset(added->held, 0, sizeof(added->held));
        copy->index[slot] = ++copy->count;
        return copy->count - 1;
    }
}

// The bits of bytes [from, to) of a page's word (64 bytes a word).
static u64 bits_in(u32 word, u32 from, u32 to) {
    u32 low = from > word * 64 ? from - word * 64 : 0;
    u32 high = to < (word + 1) * 64 ? to - word * 64 : 64;
    if (low >= high) {
        return 0;
    }
    u64 upper = high == 64 ? ~0ull : (1ull << high) - 1;
    return upper & ~((1ull << low) - 1);
}

// Copies each run of set bits of a word: bytes [first, end) of it.
static void each_run(u64 bits, u8* to, const u8* from) {
    if (bits == ~0ull) {
        memcpy(to, from, 64);
        return;
    }
    while (bits) {
        u32 first = (u32)__builtin_ctzll(bits);
        u64 rest = bits >> first;
        u32 length = rest == ~0ull >> first ? 64 - first : (u32)__builtin_ctzll(~rest);
        memcpy(to + first, from + first, length);
        bits = length + first >= 64 ? 0 : bits & ~(((1ull << length) - 1) << first);
    }
}

// Calls visit for each page piece of [address, address + size).
typedef bool32 piece_visit(frame_copy* copy, u64 page, u32 from, u32 to, const u8* bytes);

static bool32 each_piece(frame_copy* copy, u64 address, const u8* bytes, u64 size,
                         piece_visit* visit) {
    bool32 all = 1;
    for (u64 at = 0; at < size;) {
        u64 page = (address + at) & ~(u64)(FRAME_COPY_PAGE - 1);
        u32 from = (u32)(address + at - page);
        u64 part = FRAME_COPY_PAGE - from < size - at ? FRAME_COPY_PAGE - from : size - at;
        all = visit(copy, page, from, from + (u32)part, bytes + at) && all;
        at += part;
    }
    return all;
}

static bool32 take_piece(frame_copy* copy, u64 page, u32 from, u32 to, const u8* bytes) {
    u32 number = find_page(copy, page, 1);
    if (number == ~0u) {
        return 0;
    }
    frame_copy_page* held = &copy->pages[number];
    u8* bytes_held = copy->copies + (u64)number * FRAME_COPY_PAGE;
    for (u32 word = from / 64; word * 64 < to; ++word) {
        u64 wanted = bits_in(word, from, to);
        u64 missing = wanted & ~held->held[word];
        // Both line up from the start of the word.
        each_run(missing, bytes_held + word * 64, bytes - from + word * 64);
        held->held[word] |= wanted;
    }
    return 1;
}

bool32 frame_copy_take(frame_copy* copy, u64 address, const u8* bytes, u64 size) {
    return each_piece(copy, address, bytes, size, take_piece);
}

static bool32 holds_piece(frame_copy* copy, u64 page, u32 from, u32 to, const u8* bytes) {
    (void)bytes;
    u32 number = find_page(copy, page, 0);
    for (u32 word = from / 64; number != ~0u && word * 64 < to; ++word) {
        u64 wanted = bits_in(word, from, to);
        if ((copy->pages[number].held[word] & wanted) != wanted) {
            return 0;
        }
    }
    return number != ~0u;
}

void xor_bytes(u8* out, const u8* a, const u8* b, u64 size) {
    u64 words = size / 8 * 8;
    for (u64 at = 0; at < words; at += 8) {
        u64 x, y;
        memcpy(&x, a + at, 8);
        memcpy(&y, b + at, 8);
        x ^= y;
        memcpy(out + at, &x, 8);
    }
    for (u64 at = words; at < size; ++at) {
        out[at] = (u8)(a[at] ^ b[at]);
    }
}

static bool32 xor_piece(frame_copy* copy, u64 page, u32 from, u32 to, const u8* bytes) {
    u8* held = copy->copies + (u64)find_page(copy, page, 0) * FRAME_COPY_PAGE + from;
    xor_bytes(held, held, bytes, to - from);
    return 1;
}

bool32 frame_copy_xor(frame_copy* copy, u64 address, const u8* bytes, u64 size) {
    return each_piece(copy, address, bytes, size, holds_piece) &&
           each_piece(copy, address, bytes, size, xor_piece);
}

u64 frame_copy_bytes(const frame_copy* copy) { return (u64)copy->count * FRAME_COPY_PAGE; }

void frame_copy_write(const frame_copy* copy, const u8* copies) {
    const u8* from = copies ? copies : copy->copies;
    for (u32 i = 0; i < copy->count; ++i) {
        const frame_copy_page* page = &copy->pages[i];
        for (u32 word = 0; word < WORDS; ++word) {
            each_run(page->held[word], (u8*)page->address + word * 64,
                     from + (u64)i * FRAME_COPY_PAGE + word * 64);
        }
    }
}

void frame_copy_read(const frame_copy* copy, u8* copies) {
    for (u32 i = 0; i < copy->count; ++i) {
        const frame_copy_page* page = &copy->pages[i];
        for (u32 word = 0; word < WORDS; ++word) {
            each_run(page->held[word], copies + (u64)i * FRAME_COPY_PAGE + word * 64,
                     (const u8*)page->address + word * 64);
        }
    }
}
