#include "carry/scan.h"

#include <stdlib.h>
#include <string.h>

#include "guard/undo.h"
#include "platform/clock.h"
#include "platform/heap.h"
#include "platform/memory.h"
#include "platform/worker.h"

// Pages read ahead at a time, between looks at the clock.
#define AHEAD_STEP 32
// Once all is read, a block is looked at every this many calls, and read
// again once more than one page in REREAD_SHARE changed.
#define REREAD_CALLS 15
#define REREAD_SHARE 8

static bool32 note_word(found_words* list, u64* word, u64 value) {
    if (list->count == list->capacity) {
        u64 grown = list->capacity ? list->capacity * 2 : 4096;
        void* moved = realloc(list->words, grown * sizeof(found_word));
        if (!moved) {
            return 0;
        }
        list->words = (found_word*)moved;
        list->capacity = grown;
    }
    list->words[list->count].at = word;
    list->words[list->count].value = value;
    list->count += 1;
    return 1;
}

static bool32 note_found(found_words* list, u64* word) { return note_word(list, word, *word); }

// Whether any of eight words lies in [low, low + size): without a branch
// per word, and four words an instruction where the processor has AVX2.
static bool any_in(const u64* words, u64 low, u64 size) {
    u64 hit = 0;
    for (u32 i = 0; i < 8; ++i) {
        hit |= (u64)(words[i] - low < size);
    }
    return hit != 0;
}

#if defined(__x86_64__) && (defined(__clang__) || defined(__GNUC__))
#include <immintrin.h>
__attribute__((target("avx2"))) static bool any_in_avx2(const u64* words, u64 low, u64 size) {
    // Unsigned order through signed compares: both sides' top bit flipped.
    const __m256i sign = _mm256_set1_epi64x((long long)0x8000000000000000ull);
    const __m256i base = _mm256_set1_epi64x((long long)low);
    const __m256i limit = _mm256_set1_epi64x((long long)(size ^ 0x8000000000000000ull));
    __m256i a = _mm256_loadu_si256((const __m256i*)words);
    __m256i b = _mm256_loadu_si256((const __m256i*)(words + 4));
    a = _mm256_xor_si256(_mm256_sub_epi64(a, base), sign);
    b = _mm256_xor_si256(_mm256_sub_epi64(b, base), sign);
    __m256i in = _mm256_or_si256(_mm256_cmpgt_epi64(limit, a), _mm256_cmpgt_epi64(limit, b));
    return !_mm256_testz_si256(in, in);
}
#define HAVE_AVX2_SCAN 1
#endif

typedef bool range_test(const u64* words, u64 low, u64 size);

static range_test* pick_range_test(void) {
#ifdef HAVE_AVX2_SCAN
    if (__builtin_cpu_supports("avx2")) {
        return any_in_avx2;
    }
#endif
    return any_in;
}

// The words of whole pages that lie in the ranges; false when there is no
// memory to note them.
static bool32 find_in_pages(found_words* list, u8* pages, u64 bytes, const scan_ranges* r) {
    const u64* end = (const u64*)(pages + bytes);
    // Picked once, whichever thread comes first.
    static range_test* const in_range = pick_range_test();
    for (u64* word = (u64*)pages; word < end; word += 8) {
        if (!in_range(word, r->low, r->size) &&
            !(r->other_size && any_in(word, r->other, r->other_size))) {
            continue;
        }
        for (u32 i = 0; i < 8; ++i) {
            if ((word[i] - r->low < r->size || word[i] - r->other < r->other_size) &&
                !note_found(list, word + i)) {
                return 0;
            }
        }
    }
    return 1;
}

static u64 usable_pages(const memory_block_record* block) {
    u64 page = memory_page_size();
    return block->region_size / page - ((block->flags & MEMORY_GUARD_PAGE) ? 1 : 0);
}

// One byte per page of [start, start + count pages), count at most
// TOUCHED_PAGES: nonzero for pages ever touched (the rest read as zeros).
// The worker has its own.
#define TOUCHED_PAGES 4096
static u8 touched[TOUCHED_PAGES];
static u8 touched_beside[TOUCHED_PAGES];

static void find_touched_in(u8* start, u64 count, u8* in) {
    u64 page = memory_page_size();
    memory_pages_resident(start, count * page, in);
    heap_clear_untouched(start, count * page, in);
}

static void find_touched(u8* start, u64 count) { find_touched_in(start, count, touched); }

static void move_in_pages(u64* word, u64* end, u64 low, u64 size, scan_word_move* move,
                          void* context) {
    static range_test* const in_range = pick_range_test();
    for (; word < end; word += 8) {
        if (!in_range(word, low, size)) {
            continue;
        }
        for (u32 i = 0; i < 8; ++i) {
            if (word[i] - low < size) {
                word[i] = move(context, word[i]);
            }
        }
    }
}

void scan_move_words(u64 low, u64 size, void** slot, scan_word_move* move, void* context) {
    u64 page = memory_page_size();
    for (u32 b = 0; b < memory_block_count(); ++b) {
        memory_block_record block = memory_block_at(b);
        u64 pages = usable_pages(&block);
        u8* start = (u8*)block.region;
        for (u64 first = 0; first < pages; first += TOUCHED_PAGES) {
            u64 count = pages - first < TOUCHED_PAGES ? pages - first : TOUCHED_PAGES;
            find_touched(start + first * page, count);
            for (u64 i = 0; i < count; ++i) {
                u64* at = (u64*)(start + (first + i) * page);
                if (touched[i]) {
                    move_in_pages(at, at + page / 8, low, size, move, context);
                }
            }
        }
    }
    u64* word = (u64*)slot;
    if (*word - low < size) {
        *word = move(context, *word);
    }
    scan_forget();  // what was read ahead no longer holds
}

// ---------------------------------------------------------------------------
// Reading ahead.

typedef struct ahead_block {
    u64 serial;
    u8* start;
    u64 pages;
    u64 next_page;   // the pages before it were read, their words are in found
    bool32 started;  // the undo counts its changes from where reading began
    bool32 untold;   // the undo can't tell its changes: read at the reload
    found_words found;
} ahead_block;

static ahead_block* ahead;
static u32 ahead_count;
static scan_ranges ahead_ranges;
static u64 ahead_synced[2];  // the live blocks and newest serial it matches
static u32 ahead_cursor;
static u32 reread_cursor;
static u32 calls_since_reread;

void scan_forget(void) {
    for (u32 i = 0; i < ahead_count; ++i) {
        free(ahead[i].found.words);
    }
    free(ahead);
    ahead = NULL;
    ahead_count = 0;
    memset(&ahead_ranges, 0, sizeof(ahead_ranges));
    memset(ahead_synced, 0, sizeof(ahead_synced));
}

static void restart(ahead_block* block) {
    block->found.count = 0;
    block->next_page = 0;
    block->started = 0;
}

// One entry for each live block, in serial order: those of blocks gone
// dropped, new blocks' added unread.
static void sync_ahead(void) {
    u64 now[2] = {memory_block_count(), memory_newest_serial()};
    if (ahead && memcmp(now, ahead_synced, sizeof(now)) == 0) {
        return;
    }
    u32 live = (u32)now[0];
    ahead_block* synced = (ahead_block*)calloc(live + 1, sizeof(ahead_block));
    if (!synced) {
        return;
    }
    u32 known = 0;
    for (u32 i = 0; i < live; ++i) {
        memory_block_record record = memory_block_at(i);
        while (known < ahead_count && ahead[known].serial < record.serial) {
            free(ahead[known++].found.words);
        }
        if (known < ahead_count && ahead[known].serial == record.serial) {
            synced[i] = ahead[known++];
        } else {
            synced[i].serial = record.serial;
            synced[i].start = (u8*)record.region;
            synced[i].pages = usable_pages(&record);
        }
    }
    while (known < ahead_count) {
        free(ahead[known++].found.words);
    }
    free(ahead);
    ahead = synced;
    ahead_count = live;
    memcpy(ahead_synced, now, sizeof(now));
}

// The next pages of a block, at most `most` of them.
static void read_ahead(ahead_block* block, u64 most) {
    u64 page = memory_page_size();
    if (!block->started) {
        if (!undo_changes_clear(block->start, block->pages * page)) {
            block->untold = 1;
            return;
        }
        block->started = 1;
    }
    u64 count = block->pages - block->next_page < most ? block->pages - block->next_page : most;
    u8* start = block->start + block->next_page * page;
    find_touched(start, count);
    for (u64 i = 0; i < count; ++i) {
        if (touched[i] && !find_in_pages(&block->found, start + i * page, page, &ahead_ranges)) {
            restart(block);
            block->untold = 1;
            return;
        }
    }
    block->next_page += count;
}

static bool32 bit(const u8* bits, u64 index) { return (bits[index / 8] >> (index % 8)) & 1; }

// A growing buffer for one block's bits of changed pages, zeroed.
static u8* changed_bits(u64 pages) {
    static u8* bits;
    static u64 capacity;
    u64 bytes = (pages + 7) / 8 + 8;
    if (bytes > capacity) {
        free(bits);
        bits = (u8*)malloc(bytes);
        capacity = bits ? bytes : 0;
    }
    if (bits) {
        memset(bits, 0, bytes);
    }
    return bits;
}

// Once every block is read: one a call is looked at, and read again when
// much of it changed since.
static void reread_one(void) {
    ahead_block* block = &ahead[reread_cursor++ % ahead_count];
    u8* bits = block->untold ? NULL : changed_bits(block->pages);
    if (!bits ||
        !undo_changed_pages(block->start, block->pages * memory_page_size(), bits)) {
        return;
    }
    u64 changed = 0;
    for (u64 i = 0; i < (block->pages + 7) / 8; ++i) {
        changed += (u64)__builtin_popcount(bits[i]);
    }
    if (changed * REREAD_SHARE > block->pages) {
        restart(block);
    }
}

void scan_ahead(scan_ranges ranges, f64 milliseconds) {
    if (memcmp(&ranges, &ahead_ranges, sizeof(ranges)) != 0) {
        scan_forget();
        ahead_ranges = ranges;
    }
    sync_ahead();
    if (!ahead_count || milliseconds <= 0.0) {
        return;
    }
    i64 start = read_counter();
    i64 allowed = (i64)(milliseconds * (f64)counter_frequency / 1000.0);
    u32 unread = ahead_count;
    while (unread && read_counter() - start < allowed) {
        ahead_block* block = &ahead[ahead_cursor % ahead_count];
        if (block->untold || block->next_page >= block->pages) {
            ++ahead_cursor;
            --unread;
            continue;
        }
        read_ahead(block, AHEAD_STEP);
        unread = ahead_count;
    }
    if (!unread && ++calls_since_reread >= REREAD_CALLS) {
        calls_since_reread = 0;
        reread_one();
    }
}

scan_ahead_counts scan_ahead_state(void) {
    scan_ahead_counts counts;
    memset(&counts, 0, sizeof(counts));
    counts.complete = ahead_count > 0;
    for (u32 i = 0; i < ahead_count; ++i) {
        counts.bytes += ahead[i].next_page * memory_page_size();
        counts.complete &= ahead[i].untold || ahead[i].next_page >= ahead[i].pages;
        counts.untold += ahead[i].untold;
    }
    return counts;
}

// ---------------------------------------------------------------------------
// At the reload.

typedef struct block_scan {
    found_words* found;
    const scan_ranges* ranges;
    const ahead_block* ahead;  // null: every touched page is read
    const u8* changed;
    u64 kept;                  // the next of ahead's words to look at
    u64* scanned;
} block_scan;

// Page `index` of the block at `start`: its words found ahead, when it is
// read and did not change since, else read now.
static bool32 one_page(block_scan* scan, u8* start, u64 index) {
    u64 page = memory_page_size();
    u8* at = start + index * page;
    const ahead_block* kept = scan->ahead;
    if (kept && index < kept->next_page && !bit(scan->changed, index)) {
        const found_words* from = &kept->found;
        while (scan->kept < from->count && (u8*)from->words[scan->kept].at < at) {
            ++scan->kept;
        }
        for (; scan->kept < from->count && (u8*)from->words[scan->kept].at < at + page;
             ++scan->kept) {
            found_word word = from->words[scan->kept];
            if (!note_word(scan->found, word.at, word.value)) {
                return 0;
            }
        }
        return 1;
    }
    *scan->scanned += page;
    return find_in_pages(scan->found, at, page, scan->ranges);
}

// Pages [first, end) of a block read: their words appended to found.
typedef struct page_read {
    found_words* found;
    const scan_ranges* ranges;
    u8* start;
    u64 first;
    u64 end;
    u8* touched;
    u64 scanned;
    bool32 done;
} page_read;

static void read_pages(void* context) {
    page_read* read = (page_read*)context;
    u64 page = memory_page_size();
    read->done = 1;
    for (u64 first = read->first; first < read->end && read->done; first += TOUCHED_PAGES) {
        u64 count = read->end - first < TOUCHED_PAGES ? read->end - first : TOUCHED_PAGES;
        find_touched_in(read->start + first * page, count, read->touched);
        for (u64 i = 0; i < count && read->done; ++i) {
            if (read->touched[i]) {
                read->scanned += page;
                read->done = find_in_pages(read->found, read->start + (first + i) * page, page,
                                           read->ranges);
            }
        }
    }
}

static bool32 append_words(found_words* to, const found_words* from) {
    for (u64 i = 0; i < from->count; ++i) {
        if (!note_word(to, from->words[i].at, from->words[i].value)) {
            return 0;
        }
    }
    return 1;
}

// A block read whole where nothing was read ahead: its later half on the
// worker into a list of its own, appended after the first half's.
#define READ_SHARED_PAGES 256

static bool32 read_block(block_scan* scan, u8* start, u64 pages) {
    static found_words beside;
    beside.count = 0;
    u64 half = pages >= READ_SHARED_PAGES ? pages / 2 : pages;
    page_read mine = {scan->found, scan->ranges, start, 0, half, touched, 0, 0};
    page_read theirs = {&beside, scan->ranges, start, half, pages, touched_beside, 0, 1};
    if (half < pages) {
        worker_beside(read_pages, &theirs, read_pages, &mine);
    } else {
        read_pages(&mine);
    }
    *scan->scanned += mine.scanned + theirs.scanned;
    return mine.done && theirs.done && append_words(scan->found, &beside);
}

static bool32 scan_block(block_scan* scan, const memory_block_record* block) {
    u64 page = memory_page_size();
    u64 pages = usable_pages(block);
    u8* start = (u8*)block->region;
    u8* bits = scan->ahead ? changed_bits(pages) : NULL;
    if (!bits || !undo_changed_pages(start, pages * page, bits)) {
        scan->ahead = NULL;
    }
    if (!scan->ahead) {
        return read_block(scan, start, pages);
    }
    scan->changed = bits;
    scan->kept = 0;
    for (u64 first = 0; first < pages; first += TOUCHED_PAGES) {
        u64 count = pages - first < TOUCHED_PAGES ? pages - first : TOUCHED_PAGES;
        find_touched(start + first * page, count);
        for (u64 i = 0; i < count; ++i) {
            if (touched[i] && !one_page(scan, start, first + i)) {
                return 0;
            }
        }
    }
    return 1;
}

bool32 scan_blocks(found_words* found, scan_ranges ranges, u64* scanned) {
    bool32 ahead_holds = memcmp(&ranges, &ahead_ranges, sizeof(ranges)) == 0;
    u32 known = 0;
    for (u32 i = 0; i < memory_block_count(); ++i) {
        memory_block_record block = memory_block_at(i);
        while (ahead_holds && known < ahead_count && ahead[known].serial < block.serial) {
            ++known;
        }
        block_scan scan = {found, &ranges, NULL, NULL, 0, scanned};
        if (ahead_holds && known < ahead_count && ahead[known].serial == block.serial &&
            ahead[known].started && !ahead[known].untold) {
            scan.ahead = &ahead[known];
        }
        if (!scan_block(&scan, &block)) {
            return 0;
        }
    }
    return 1;
}

void scan_words_changed(const found_words* found, u8* maybe) {
    memset(maybe, 0xFF, found->count / 8 + 1);
    u64 page = memory_page_size();
    u64 next = 0;
    for (u32 i = 0; i < memory_block_count() && next < found->count; ++i) {
        memory_block_record block = memory_block_at(i);
        u8* start = (u8*)block.region;
        u64 pages = usable_pages(&block);
        u64 first = next;
        while (next < found->count && (u64)((u8*)found->words[next].at - start) < pages * page) {
            ++next;
        }
        u8* bits = first < next ? changed_bits(pages) : NULL;
        if (!bits || !undo_changed_pages(start, pages * page, bits)) {
            continue;
        }
        for (u64 k = first; k < next; ++k) {
            if (!bit(bits, (u64)((u8*)found->words[k].at - start) / page)) {
                maybe[k / 8] = (u8)(maybe[k / 8] & ~(1u << (k % 8)));
            }
        }
    }
}
