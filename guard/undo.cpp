#include "guard/undo.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "engine/base/fatal.h"
#include "guard/fault.h"
#include "guard/history.h"
#include "platform/clock.h"
#include "platform/heap.h"
#include "platform/memory.h"
#include "platform/watch.h"
#include "platform/worker.h"

// A hot page that reads the same at this many frame starts in a row is
// watched again.
#define HOT_FRAMES 8

// A page copied into a shadow never written before costs its first write
// too: about six times a copy into touched memory, on both systems
// (budget_bench: "memcpy, fresh" against "memcpy, touched").
#define FRESH_COST 6

typedef struct undo_block {
    memory_block_record record;
    u8* start;       // the first usable page
    u64 pages;       // usable pages, the guard page not counted
    u8* shadow;      // the pages as the frame began; null for scratch blocks
    u8* heat;        // per page: 0 watched, else hot: 1 + frame starts it stayed the same
    u64 hot;         // pages whose heat is not 0
    u8* bits;        // the last scan's written pages, a bit each; null when all count
    u8* changed;     // pages taken in or put back since undo_changes_clear, a bit each
    u8* fresh;       // touched before the block was met and not yet in the shadow, a bit each
    u64 fresh_pages;
    bool32 watched;  // its writes can be watched; else every page stays hot
    bool32 gone;     // released since the frame's start (catching up passes it by)
} undo_block;

// The blocks known at the frame's start, in serial order; `spare` is the
// array the next start's list is built in.
static undo_block* blocks;
static undo_block* spare;
static u32 block_count;
static u32 block_capacity;
static u8* written;  // one scan's bits
static u64 written_capacity;
static bool32 enabled;
static bool32 watching;
static u64 page_bytes;
static u64 serial_at_begin;
static bool32 in_frame;
static bool32 shadows_complete;
static void** slot_address;
static void* slot_before;
static u64 copied_pages;
static u64 syncs;  // of the known blocks with the live ones

static u8* kept_shadow;
static u64 kept_shadow_size;
static bool32 kept_shadow_valid;  // it holds the kept variables as the last frame began
static bool32 last_frame_kept;    // the last frame returned (else it faulted and was undone)

// The running build's writable data; pages 0 when there is none.
static undo_block image;

static bool32 in_image(engine_kept kept) {
    u64 at = (u64)kept.address;
    u64 start = (u64)image.start;
    return image.pages && at >= start && at + kept.size <= start + image.pages * page_bytes;
}

// The running build's kept variables (memory.h) as the frame begins, whole:
// they are few and small.
static void copy_kept(bool32 back) {
    u64 bytes = 0;
    for (u32 i = 0; i < memory_kept_count(); ++i) {
        bytes += memory_kept_at(i).size;
    }
    if (!back && bytes > kept_shadow_size) {
        kept_shadow_valid = 0;
        pages_free(kept_shadow, kept_shadow_size);
        kept_shadow = (u8*)pages_allocate(bytes);
        kept_shadow_size = kept_shadow ? bytes : 0;
    }
    if (bytes > kept_shadow_size) {
        shadows_complete = back ? shadows_complete : 0;
        return;
    }
    u8* at = kept_shadow;
    for (u32 i = 0; i < memory_kept_count(); ++i) {
        engine_kept kept = memory_kept_at(i);
        // Inside the watched image its pages give the history its changes.
        if (!back && kept_shadow_valid && !in_image(kept)) {
            history_changes(kept.address, at, kept.size, 0);
        }
        memcpy(back ? (u8*)kept.address : at, back ? at : (u8*)kept.address, kept.size);
        at += kept.size;
    }
    kept_shadow_valid = 1;
}

void undo_start(bool32 on) {
    enabled = on;
    page_bytes = memory_page_size();
    if (!on) {
        return;
    }
    char reason[160];
    watching = watch_start(reason, sizeof(reason));
    if (!watching) {
        fprintf(stderr, "Engine: %s; the undo compares and copies all module memory at every "
                        "frame's start instead\n", reason);
    }
    memory_watch_new_blocks(watching);
}

static u64 block_bytes(const undo_block* block) { return block->pages * page_bytes; }

// Page bitmaps: bit i % 8 of byte i / 8 for page i.
static bool32 page_bit(const u8* bits, u64 page) { return (bits[page / 8] >> (page % 8)) & 1; }
static void set_page_bit(u8* bits, u64 page) {
    bits[page / 8] = (u8)(bits[page / 8] | (1u << (page % 8)));
}
static void clear_page_bit(u8* bits, u64 page) {
    bits[page / 8] = (u8)(bits[page / 8] & ~(1u << (page % 8)));
}

static u64 bits_bytes(const undo_block* block) { return (block->pages + 7) / 8 + 8; }

static void drop(undo_block* block) {
    pages_free(block->shadow, block_bytes(block));
    pages_free(block->heat, block->pages);
    pages_free(block->bits, bits_bytes(block));
    pages_free(block->changed, bits_bytes(block));
    pages_free(block->fresh, bits_bytes(block));
    block->shadow = NULL;
    block->heat = NULL;
    block->bits = NULL;
    block->changed = NULL;
    block->fresh = NULL;
}

static void all_hot(undo_block* block) {
    memset(block->heat, 1, block->pages);
    block->hot = block->pages;
}

// Watched from now on and all armed, or hot throughout when it can't be.
static void watch_whole(undo_block* block) {
    block->watched = watching && watch_add(block->start, block_bytes(block));
    if (block->watched) {
        memset(block->heat, 0, block->pages);
        block->hot = 0;
    } else {
        all_hot(block);
    }
}

// Calls visit for each of `count` pages from `pages` that was ever touched
// (the others read as zeros and hold no memory).
typedef void page_visit(undo_block* block, u64 page, void* context);

static void each_touched_page(undo_block* block, const u8* pages, u64 count, page_visit* visit,
                              void* context) {
    static u8 resident[4096];
    for (u64 first = 0; first < count; first += sizeof(resident)) {
        u64 run = count - first < sizeof(resident) ? count - first : sizeof(resident);
        memory_pages_resident(pages + first * page_bytes, run * page_bytes, resident);
        heap_clear_untouched(pages + first * page_bytes, run * page_bytes, resident);
        for (u64 i = 0; i < run; ++i) {
            if (resident[i]) {
                visit(block, first + i, context);
            }
        }
    }
}

static void copy_page_to_shadow(undo_block* block, u64 page, void* context) {
    (void)context;
    memcpy(block->shadow + page * page_bytes, block->start + page * page_bytes, page_bytes);
    ++copied_pages;
}

static void mark_fresh(undo_block* block, u64 page, void* context) {
    (void)context;
    set_page_bit(block->fresh, page);
    ++block->fresh_pages;
}

// A block met for the first time: watched, then its touched pages copied,
// so no write after the copy goes unseen. A block's are copied as written
// pages are, within the start's budget (a level loaded in one frame must
// not hold the next one up); the build's data at once, so the new build's
// first frame can always be undone.
static void adopt(undo_block* block, const memory_block_record* record, bool32 copy_now) {
    memset(block, 0, sizeof(*block));
    block->record = *record;
    block->start = (u8*)record->region;
    block->pages = record->region_size / page_bytes - ((record->flags & MEMORY_GUARD_PAGE) ? 1 : 0);
    if (record->flags & MEMORY_SCRATCH) {
        return;
    }
    block->shadow = (u8*)pages_allocate(block_bytes(block));
    block->heat = (u8*)pages_allocate(block->pages);
    block->bits = (u8*)pages_allocate(bits_bytes(block));
    block->changed = (u8*)pages_allocate(bits_bytes(block));
    block->fresh = (u8*)pages_allocate(bits_bytes(block));
    if (!block->shadow || !block->heat || !block->bits || !block->changed || !block->fresh) {
        drop(block);
        return;
    }
    watch_whole(block);
    memset(block->changed, 0xFF, bits_bytes(block));
    // The fresh shadow reads as zeros where the block does.
    each_touched_page(block, block->start, block->pages,
                      copy_now ? copy_page_to_shadow : mark_fresh, NULL);
}

void undo_set_image(void* start, u64 length) {
    history_settle();
    if (image.pages) {
        drop(&image);
    }
    memset(&image, 0, sizeof(image));
    if (!enabled || !start || !length) {
        return;
    }
    if (watching) {
        memory_make_anonymous(start, length);
    }
    memory_block_record record;
    memset(&record, 0, sizeof(record));
    record.memory = record.region = start;
    record.size = record.region_size = length;
    adopt(&image, &record, 1);
}

static bool32 make_room(u32 count) {
    if (count <= block_capacity) {
        return 1;
    }
    u32 capacity = block_capacity ? block_capacity : 64;
    while (capacity < count) {
        capacity *= 2;
    }
    u64 bytes = (u64)capacity * sizeof(undo_block);
    undo_block* grown = (undo_block*)pages_allocate(bytes);
    undo_block* grown_spare = (undo_block*)pages_allocate(bytes);
    if (!grown || !grown_spare) {
        pages_free(grown, bytes);
        pages_free(grown_spare, bytes);
        return 0;
    }
    memcpy(grown, blocks, (u64)block_count * sizeof(undo_block));
    pages_free(blocks, (u64)block_capacity * sizeof(undo_block));
    pages_free(spare, (u64)block_capacity * sizeof(undo_block));
    blocks = grown;
    spare = grown_spare;
    block_capacity = capacity;
    return 1;
}

// A block the last frame freed: the history keeps its pages as that frame
// found them.
static void forget_block(undo_block* block) {
    if (block->shadow) {
        history_block_gone(&block->record, block->shadow, block_bytes(block));
    }
    drop(block);
}

// The known blocks made to match the live ones: both are in serial order,
// so one walk finds the blocks released since and the new ones.
static void sync_blocks(void) {
    u32 live = memory_block_count();
    if (!make_room(live)) {
        shadows_complete = 0;
        return;
    }
    u32 known = 0;
    for (u32 i = 0; i < live; ++i) {
        memory_block_record record = memory_block_at(i);
        while (known < block_count && blocks[known].record.serial < record.serial) {
            forget_block(&blocks[known++]);
        }
        if (known < block_count && blocks[known].record.serial == record.serial) {
            spare[i] = blocks[known++];
        } else {
            adopt(&spare[i], &record, 0);
            if (spare[i].shadow) {
                history_block_made(&record);
            }
        }
    }
    while (known < block_count) {
        forget_block(&blocks[known++]);
    }
    undo_block* swapped = blocks;
    blocks = spare;
    spare = swapped;
    block_count = live;
    ++syncs;
}

// The scan buffer, zeroed, with room for `pages` bits; null when there is
// no memory for it.
static u8* scan_bits(u64 pages) {
    u64 bytes = (pages + 7) / 8;
    if (bytes > written_capacity) {
        pages_free(written, written_capacity);
        written_capacity = bytes * 2;
        written = (u8*)pages_allocate(written_capacity);
        if (!written) {
            written_capacity = 0;
        }
    }
    if (written) {
        memset(written, 0, bytes);
    }
    return written;
}

// The bits of the pages written since they were last armed; all set when
// the system can't tell.
static const u8* written_pages(undo_block* block) {
    u64 bytes = (block->pages + 7) / 8;
    if (!scan_bits(block->pages)) {
        return NULL;
    }
    if (block->watched && !watch_written(block->start, block_bytes(block), written)) {
        memset(written, 0xFF, bytes);
    }
    return written;
}

// A run of pages handed to one call: copied, or armed.
typedef struct page_run {
    u64 first;
    u64 count;
} page_run;

typedef void run_action(undo_block* block, page_run run);

static void add_page(undo_block* block, page_run* run, u64 page, run_action* action) {
    if (run->count && run->first + run->count == page) {
        ++run->count;
        return;
    }
    if (run->count) {
        action(block, *run);
    }
    run->first = page;
    run->count = 1;
}

static void flush_run(undo_block* block, page_run* run, run_action* action) {
    if (run->count) {
        action(block, *run);
    }
    run->count = 0;
}

static void mark_changed(undo_block* block, u64 first, u64 count) {
    for (u64 page = first; page < first + count; ++page) {
        set_page_bit(block->changed, page);
    }
}

// A start's plain copies of written pages into the shadows are listed as
// it goes and made at its end, on two threads (a burst of writes to quiet
// pages, as a collector's sweep makes, is taken in at nearly twice one
// core's speed). A hot page is copied where it is compared, while the cache
// holds it.
static worker_copies copies;

// With a history, one pass compares, keeps what changed and updates the
// shadow; without, a copy is cheaper than a comparison.
static void copy_to_shadow(undo_block* block, page_run run) {
    mark_changed(block, run.first, run.count);
    u64 at = run.first * page_bytes;
    if (history_recording()) {
        history_changes(block->start + at, block->shadow + at, run.count * page_bytes, 1);
    } else {
        worker_copies_add(&copies, block->shadow + at, block->start + at, run.count * page_bytes);
    }
    copied_pages += run.count;
}

static void copy_from_shadow(undo_block* block, page_run run) {
    mark_changed(block, run.first, run.count);
    u64 at = run.first * page_bytes;
    memcpy(block->start + at, block->shadow + at, run.count * page_bytes);
}

static void arm(undo_block* block, page_run run) {
    if (watch_arm(block->start + run.first * page_bytes, run.count * page_bytes)) {
        memset(block->heat + run.first, 0, run.count);
        block->hot -= run.count;
    }
}

// Whether two pages differ: in words, 256 bytes between tests, so the
// compiler's vector code does it at the cache's speed whatever the C
// library's memcmp does (the Windows host compares its image's data this
// way every frame). Sizes are whole pages.
static bool32 page_differs(const u8* a, const u8* b, u64 size) {
    for (u64 at = 0; at < size; at += 256) {
        u64 x = 0;
        for (u32 i = 0; i < 256; i += 8) {
            u64 p, q;
            memcpy(&p, a + at + i, 8);
            memcpy(&q, b + at + i, 8);
            x |= p ^ q;
        }
        if (x) {
            return 1;
        }
    }
    return 0;
}

static bool32 catching_up;  // in the wait (undo_catch_up)

// A hot page: copied when it changed, else one frame cooler; cold enough (at
// once while catching up), it joins the run to arm.
static void cool(undo_block* block, u64 page, page_run* to_arm) {
    u8* now = block->start + page * page_bytes;
    u8* kept = block->shadow + page * page_bytes;
    if (page_differs(now, kept, page_bytes)) {
        mark_changed(block, page, 1);
        if (history_recording()) {
            history_changes(now, kept, page_bytes, 1);
        } else {
            memcpy(kept, now, page_bytes);
        }
        ++copied_pages;
        block->heat[page] = 1;
        return;
    }
    if (block->heat[page] < HOT_FRAMES && !catching_up) {
        ++block->heat[page];
    } else if (block->watched) {
        add_page(block, to_arm, page, arm);
    }
}

// Whether any of the eight pages from `page` is hot (the heat array's
// pages reach past its end, zeroed).
static bool32 hot_among(const undo_block* block, u64 page) {
    u64 eight;
    memcpy(&eight, block->heat + page, sizeof(eight));
    return eight != 0;
}

static bool32 no_bits_among(const u8* bits, u64 page) {
    u64 word;
    memcpy(&word, bits + page / 8, sizeof(word));
    return word == 0;
}

// The pages written since the last start, into the block's bits (none
// when the system could not tell: all count); the bytes the start would
// take in, hot pages included. The heap's never-carved tail is left for the
// start that finds it carved: its pages stay armed till then.
static u64 scan(undo_block* block) {
    u64 bytes = (block->pages + 7) / 8;
    memset(block->bits, 0, bits_bytes(block));
    u64 length = heap_touched_length(block->start, block_bytes(block));
    if (!block->watched || !watch_written(block->start, length, block->bits)) {
        memset(block->bits, 0xFF, bytes);
        return block_bytes(block);
    }
    u64 pages = block->hot;
    for (u64 i = 0; i < bytes; ++i) {
        block->bits[i] = (u8)(block->bits[i] | (block->fresh_pages ? block->fresh[i] : 0));
        for (u32 bit = 0; block->bits[i] && bit < 8; ++bit) {
            pages += ((block->bits[i] >> bit) & 1) && !block->heat[i * 8 + bit];
        }
    }
    return pages * page_bytes;
}

// What a start's take-in of the block costs, in the bytes of touched
// memory that cost as much.
static u64 scan_cost(undo_block* block, u64* bytes) {
    u64 scanned = scan(block);
    *bytes += scanned;
    return scanned + block->fresh_pages * page_bytes * (FRESH_COST - 1);
}

static bool32 is_fresh(const undo_block* block, u64 page) {
    return block->fresh_pages && page_bit(block->fresh, page);
}

// Pages touched before the block was met: armed first, so a write after
// the copy is seen, then copied whole. They are not the history's changes:
// the block's first bytes come with it.
static void take_in_fresh(undo_block* block, page_run run) {
    u64 at = run.first * page_bytes;
    if (block->watched) {
        watch_arm(block->start + at, run.count * page_bytes);
    }
    worker_copies_add(&copies, block->shadow + at, block->start + at, run.count * page_bytes);
    copied_pages += run.count;
}

// At a frame's start: the shadow takes in every page the scan found
// written since the last start, from page `from` on while `allowance` (in
// pages) lasts; the page where it stopped. A watched page written becomes
// hot.
static u64 take_in(undo_block* block, u64 from, u64* allowance) {
    u8* bits = block->bits;
    page_run to_copy = {0, 0};
    page_run to_arm = {0, 0};
    page_run to_adopt = {0, 0};
    u64 page = from;
    for (; page < block->pages && *allowance; ++page) {
        // 64 pages at a time where nothing was written and nothing is hot,
        // else eight (the bits reach a word past the last page, zeroed).
        if (page % 64 == 0 && !block->hot && no_bits_among(bits, page)) {
            page += 63;
            continue;
        }
        if (page % 8 == 0 && !bits[page / 8] && (!block->hot || !hot_among(block, page))) {
            page += 7;
            continue;
        }
        if (is_fresh(block, page)) {
            add_page(block, &to_adopt, page, take_in_fresh);
            clear_page_bit(block->fresh, page);
            --block->fresh_pages;
            // A later look in a wait finds it taken.
            clear_page_bit(bits, page);
            *allowance = *allowance > FRESH_COST ? *allowance - FRESH_COST : 0;
        } else if (block->heat[page]) {
            cool(block, page, &to_arm);
            --*allowance;
        } else if (page_bit(bits, page)) {
            add_page(block, &to_copy, page, copy_to_shadow);
            block->heat[page] = 1;
            ++block->hot;
            --*allowance;
        }
    }
    flush_run(block, &to_copy, copy_to_shadow);
    flush_run(block, &to_arm, arm);
    flush_run(block, &to_adopt, take_in_fresh);
    return page < block->pages ? page : block->pages;
}

// ---------------------------------------------------------------------------
// The frame's budget: what a start may take when the host gave one.

#define RETURN_FRAMES 15  // starts in a row that fit before protection grows again
#define RETURN_SHARE 0.75  // of the budget they fit in
static f64 budget_ms;    // for the next start; 0: none
static f64 spare_ms;     // of it, what the frame has in fact left
static undo_protection protection;
static u32 fitting;      // starts in a row that fit more protection than given
static u32 over;         // starts in a row over the budget
static bool32 stale;     // a start was skipped: the shadow misses writes
// Milliseconds a MiB costs a start, without and with the history: guesses
// on the slow side, then what starts took.
static f64 undo_speed = 0.2;
static f64 history_speed = 0.4;
static f64 settled_ms;  // this start's wait for the last one's history

void undo_budget(f64 milliseconds, f64 spare) {
    budget_ms = milliseconds;
    spare_ms = spare;
}

undo_protection undo_protection_now(void) { return protection; }

// The most protection the bytes to take in fit: down soon, up again only
// after a few starts that fit it with room to spare.
static u32 level_within(f64 mib, f64 budget) {
    if (mib * (history_recording() ? history_speed : undo_speed) <= budget) {
        return UNDO_FULL;
    }
    return mib * undo_speed <= budget ? UNDO_NO_HISTORY : UNDO_NONE;
}

static u32 choose_level(u64 bytes, f64 budget, f64 spare) {
    f64 mib = (f64)bytes / 1048576.0;
    u32 level = protection.level;
    // No budget (a paused frame's start): everything, at once.
    if (budget <= 0.0) {
        fitting = 0;
        over = 0;
        return UNDO_FULL;
    }
    // Down at once when far over or when the frame is late already (a
    // collector's sweep): nothing is left to absorb it. Else on the second
    // start in a row over: one slow frame of the machine's does not thin
    // protection.
    u32 fits = level_within(mib, budget);
    if (fits > level) {
        fitting = 0;
        over = over + 1;
        if (over >= 2 || spare <= 0.0 || level_within(mib, budget * 2.0) > level) {
            over = 0;
            return fits;
        }
        return level;
    }
    over = 0;
    // Up only with room to spare, so a frame near the edge does not flap.
    fits = level_within(mib, budget * RETURN_SHARE);
    fitting = fits < level ? fitting + 1 : 0;
    if (fitting >= RETURN_FRAMES) {
        fitting = 0;
        return fits;
    }
    return level;
}

// 0 before the clock is started (tests of the undo alone).
static f64 milliseconds_since(i64 start) {
    return counter_frequency ? (f64)(read_counter() - start) * 1000.0 / (f64)counter_frequency
                             : 0.0;
}

static void learn_speed(u64 bytes, f64 milliseconds, bool32 history) {
    if (bytes < (1u << 20) || milliseconds <= 0.0) {
        return;
    }
    f64 speed = milliseconds / ((f64)bytes / 1048576.0);
    f64* kept = history ? &history_speed : &undo_speed;
    *kept = *kept * 0.75 + speed * 0.25;
}

static undo_block* block_or_image(u32 index) {
    return index < block_count ? &blocks[index] : &image;
}

// While unprotected, each wait takes in what it can, from where the last
// one stopped, and each page once at most: a second look in the same wait
// would find its own copy there and watch a hot page again as if it were
// quiet (under Wine, a fault on each of its next writes).
static u32 catch_block;
static u64 catch_page;

static void catch_up(u64* allowance) {
    for (u32 visited = 0; *allowance && visited <= block_count; ++visited) {
        if (catch_block > block_count) {
            catch_block = 0;
            catch_page = 0;
        }
        undo_block* block = block_or_image(catch_block);
        if (block->shadow && !block->gone) {
            catch_page = take_in(block, catch_page, allowance);
        }
        if (!block->shadow || catch_page >= block->pages) {
            ++catch_block;
            catch_page = 0;
        }
    }
}

// Every block's and the image's written pages taken in; while the budget
// can't hold the undo's copy, only what it holds, and the frame is not
// protected.
static void take_in_all(void) {
    u64 bytes = 0;
    u64 cost = 0;
    for (u32 i = 0; i <= block_count; ++i) {
        undo_block* block = block_or_image(i);
        if (block->shadow) {
            cost += scan_cost(block, &bytes);
        }
    }
    f64 budget = budget_ms;
    f64 spare = spare_ms;
    budget_ms = spare_ms = 0.0;
    protection.level = choose_level(cost, budget, spare);
    protection.bytes = bytes;
    protection.milliseconds = 0.0;
    i64 start = read_counter();
    if (protection.level == UNDO_NONE) {
        // What is not taken in stays written, for the wait (undo_catch_up)
        // or a start that fits it.
        stale = 1;
        shadows_complete = 0;
        history_skip_frame();
        protection.milliseconds = milliseconds_since(start);
        return;
    }
    // A cost measured once, in a slow moment, must not keep the history out
    // for good: while it is left out its guess drifts back towards twice the
    // undo's, so a later start tries it again.
    if (protection.level == UNDO_NO_HISTORY && history_speed > 2.0 * undo_speed) {
        history_speed = history_speed * 0.9 + 0.2 * undo_speed;
    }
    // After a start that left pages out the changes span more than one frame.
    if (stale || protection.level == UNDO_NO_HISTORY) {
        history_skip_frame();
    }
    stale = 0;
    bool32 history = history_recording();
    u64 all = ~0ull;
    for (u32 i = 0; i <= block_count; ++i) {
        undo_block* block = block_or_image(i);
        if (block->shadow) {
            take_in(block, 0, &all);
        }
    }
    worker_copies_make(&copies);
    protection.milliseconds = milliseconds_since(start);
    learn_speed(cost, protection.milliseconds + (history ? settled_ms : 0.0), history);
}

// Blocks released since the frame's start marked gone: both lists are in
// serial order.
static void mark_gone(void) {
    u32 live = memory_block_count();
    u32 at = 0;
    for (u32 i = 0; i < block_count; ++i) {
        while (at < live && memory_block_at(at).serial < blocks[i].record.serial) {
            ++at;
        }
        blocks[i].gone = at == live || memory_block_at(at).serial != blocks[i].record.serial;
    }
}

void undo_catch_up(f64 milliseconds) {
    if (!enabled || in_frame || !stale || milliseconds <= 0.0) {
        return;
    }
    // The frame now filled spans what this takes in and its own writes.
    history_skip_frame();
    mark_gone();
    u64 allowance = (u64)(milliseconds / undo_speed * 1048576.0) / page_bytes;
    u64 left = allowance;
    i64 start = read_counter();
    catching_up = 1;
    catch_up(&left);
    catching_up = 0;
    worker_copies_make(&copies);
    learn_speed((allowance - left) * page_bytes, milliseconds_since(start), 0);
}

void undo_begin_frame(void** module_slot) {
    fatal_assert(!in_frame);
    // What the worker had left of the last start's history is this one's
    // cost too: a history it can't keep up with must thin like one that
    // holds the start up.
    i64 settling = read_counter();
    history_settle();
    settled_ms = milliseconds_since(settling);
    in_frame = 1;
    // The slot as the last frame found it, for the history.
    if (slot_address == module_slot) {
        history_changes(module_slot, &slot_before, sizeof(slot_before), 0);
    }
    slot_address = module_slot;
    slot_before = *module_slot;
    if (!enabled) {
        return;
    }
    copied_pages = 0;
    shadows_complete = 1;
    sync_blocks();
    for (u32 i = 0; i < block_count; ++i) {
        if (!blocks[i].shadow && !(blocks[i].record.flags & MEMORY_SCRATCH)) {
            shadows_complete = 0;
        }
    }
    if (!image.shadow && image.pages) {
        shadows_complete = 0;
    }
    take_in_all();
    serial_at_begin = memory_newest_serial();
    copy_kept(0);
    history_close_frame(last_frame_kept);
}

void undo_commit(void) {
    fatal_assert(in_frame);
    in_frame = 0;
    last_frame_kept = 1;
}

// A live block's written and hot pages from its shadow; false, with nothing
// written, when its pages are no longer where the block says.
// The image's span may hold read-only sections between its writable ones
// (PE): there only what differs is written, and the guard catches the rest.
static bool32 differs(const undo_block* block, u64 page) {
    return block != &image ||
           page_differs(block->start + page * page_bytes, block->shadow + page * page_bytes,
                        page_bytes);
}

static bool32 put_back(undo_block* block) {
    if (block != &image && !memory_pages_present(block->start, block_bytes(block))) {
        return 0;
    }
    const u8* bits = written_pages(block);
    page_run run = {0, 0};
    for (u64 page = 0; page < block->pages; ++page) {
        bool32 changed = !bits || page_bit(bits, page);
        if ((block->heat[page] || changed) && differs(block, page)) {
            add_page(block, &run, page, copy_from_shadow);
        }
        // Written, so no longer armed: hot until it proves quiet.
        if (!block->heat[page] && changed) {
            block->heat[page] = 1;
            ++block->hot;
        }
    }
    flush_run(block, &run, copy_from_shadow);
    return 1;
}

// A block the frame freed, at its own place again with its bytes.
static bool32 bring_back(undo_block* block) {
    if (!memory_revive_block(&block->record)) {
        return 0;
    }
    if (block->shadow) {
        memcpy(block->start, block->shadow, block_bytes(block));
        watch_whole(block);
        memset(block->changed, 0xFF, bits_bytes(block));
    }
    return 1;
}

// Every known block back as the frame found it: run through the fault
// guard, as the module may have left its pages in any state.
static void put_blocks_back(void* argument) {
    bool32* complete = (bool32*)argument;
    u32 live = 0;
    for (u32 i = 0; i < block_count; ++i) {
        undo_block* block = &blocks[i];
        memory_block_record record = memory_block_at(live);
        if (live < memory_block_count() && record.serial == block->record.serial) {
            ++live;
            if (block->shadow && !put_back(block)) {
                *complete = 0;
            }
        } else if (bring_back(block)) {
            ++live;
        } else {
            *complete = 0;
        }
    }
    if (image.shadow && !put_back(&image)) {
        *complete = 0;
    }
}

bool32 undo_rollback(void) {
    fatal_assert(in_frame);
    in_frame = 0;
    last_frame_kept = 0;
    if (!enabled) {
        return 1;
    }
    history_settle();
    bool32 complete = shadows_complete;
    // A frame the budget left unprotected: its writes stay, said as not put back.
    if (stale) {
        copy_kept(1);
        *slot_address = slot_before;
        return 0;
    }
    // Blocks the frame allocated; from the newest, as releasing shifts the rest.
    for (u32 i = memory_block_count(); i-- > 0;) {
        memory_block_record record = memory_block_at(i);
        if (record.serial > serial_at_begin) {
            free_block_record(&record);
        }
    }
    module_fault fault;
    memset(&fault, 0, sizeof(fault));
    if (!guarded_host_call(&fault, put_blocks_back, &complete)) {
        fprintf(stderr, "Engine: %s at 0x%llx while the undo put the module's memory back: "
                        "not all of it is back\n",
                fault_name(fault.kind), (unsigned long long)fault.address);
        complete = 0;
    }
    copy_kept(1);
    *slot_address = slot_before;
    heap_refresh();
    return complete;
}

// ---------------------------------------------------------------------------
// The host's own writes between frames.

// The live blocks the undo knows, by address, for finding the one that
// holds a word: built for each call, as blocks come and go between them.
static u32* by_address;
static u32 by_address_capacity;
static u32 by_address_count;
static u64 indexed[3];  // the syncs, live blocks and newest serial it was built for

static int compare_starts(const void* a, const void* b) {
    u64 x = (u64)blocks[*(const u32*)a].start;
    u64 y = (u64)blocks[*(const u32*)b].start;
    return x < y ? -1 : x > y;
}

// Known blocks still live (a block the last frame freed is known until the
// next start): both lists are in serial order.
static u32 index_live_blocks(void) {
    u64 now[3] = {syncs, memory_block_count(), memory_newest_serial()};
    if (by_address && memcmp(now, indexed, sizeof(now)) == 0) {
        return by_address_count;
    }
    memcpy(indexed, now, sizeof(now));
    if (block_count > by_address_capacity) {
        pages_free(by_address, (u64)by_address_capacity * sizeof(u32));
        by_address = (u32*)pages_allocate((u64)block_count * sizeof(u32));
        by_address_capacity = by_address ? block_count : 0;
    }
    if (!by_address) {
        return 0;
    }
    u32 count = 0;
    u32 known = 0;
    for (u32 i = 0; i < memory_block_count() && known < block_count; ++i) {
        u64 serial = memory_block_at(i).serial;
        while (known < block_count && blocks[known].record.serial < serial) {
            ++known;
        }
        if (known < block_count && blocks[known].record.serial == serial) {
            by_address[count++] = known++;
        }
    }
    qsort(by_address, count, sizeof(u32), compare_starts);
    by_address_count = count;
    return count;
}

static undo_block* holding(u32 count, u64 address) {
    u32 low = 0;
    u32 high = count;
    while (low < high) {
        u32 middle = (low + high) / 2;
        undo_block* block = &blocks[by_address[middle]];
        if (address < (u64)block->start) {
            high = middle;
        } else if (address >= (u64)block->start + block_bytes(block)) {
            low = middle + 1;
        } else {
            return block;
        }
    }
    return NULL;
}

// The bits of a block's quiet pages from `first`, `count` of them, into
// the scan buffer; null when none is.
static const u8* quiet_bits(undo_block* block, u64 first, u64 count) {
    if (!block->watched || !block->shadow || !scan_bits(count) ||
        !watch_written(block->start + first * page_bytes, count * page_bytes, written)) {
        return NULL;
    }
    for (u64 i = 0; i < count; ++i) {
        written[i / 8] = (u8)(written[i / 8] ^ (1u << (i % 8)));
        if (block->heat[first + i]) {
            clear_page_bit(written, i);
        }
    }
    return written;
}

static void arm_run(undo_block* block, page_run run) {
    watch_arm(block->start + run.first * page_bytes, run.count * page_bytes);
}

// A block's words written to memory, and on its quiet pages to the shadow
// too: the next start takes the others' pages in whole.
typedef struct word_writes {
    undo_block* block;
    const undo_word* words;
    u64 count;
    u64 first;       // the page quiet's first bit is for
    const u8* quiet;  // null: none is
} word_writes;

static bool32 quiet_page(const word_writes* w, u64 at) {
    u64 page = (at - (u64)w->block->start) / page_bytes - w->first;
    return w->quiet && page_bit(w->quiet, page);
}

static void write_heap_words(void* context) {
    const word_writes* w = (const word_writes*)context;
    for (u64 i = 0; i < w->count; ++i) {
        *w->words[i].at = w->words[i].value;
    }
}

static void write_shadow_words(void* context) {
    const word_writes* w = (const word_writes*)context;
    for (u64 i = 0; i < w->count; ++i) {
        if (quiet_page(w, (u64)w->words[i].at)) {
            memcpy(w->block->shadow + ((u64)w->words[i].at - (u64)w->block->start),
                   &w->words[i].value, 8);
        }
    }
}

// Words a reload moves lie scattered over the heap, a page each or so: the
// shadow's are written on the worker meanwhile. (Not half of each: where
// the system's write watch faults (Wine), two threads faulting at once
// cost more than one.)
#define WRITES_SHARED 4096u

// One block's words: its quiet pages stay quiet.
static void write_in_block(undo_block* block, const undo_word* words, u64 count) {
    u64 low = ~0ull;
    u64 high = 0;
    for (u64 i = 0; i < count; ++i) {
        u64 offset = (u64)words[i].at - (u64)block->start;
        low = offset < low ? offset : low;
        high = offset > high ? offset : high;
    }
    u64 first = low / page_bytes;
    u64 pages = high / page_bytes - first + 1;
    const u8* quiet = quiet_bits(block, first, pages);
    phase_mark("w quiet");
    if (quiet) {
        watch_disarm(block->start + first * page_bytes, pages * page_bytes);
    }
    phase_mark("w disarm");
    word_writes shadow = {block, words, count, first, quiet};
    if (quiet && count >= WRITES_SHARED) {
        worker_beside(write_shadow_words, &shadow, write_heap_words, &shadow);
    } else {
        write_heap_words(&shadow);
        if (quiet) {
            write_shadow_words(&shadow);
        }
    }
    phase_mark("w words");
    for (u64 i = 0; i < count; ++i) {
        if (quiet_page(&shadow, (u64)words[i].at)) {
            mark_changed(block, ((u64)words[i].at - (u64)block->start) / page_bytes, 1);
        }
    }
    phase_mark("w marks");
    page_run run = {0, 0};
    for (u64 i = 0; quiet && i < pages; ++i) {
        if (page_bit(quiet, i)) {
            add_page(block, &run, first + i, arm_run);
        }
    }
    flush_run(block, &run, arm_run);
    phase_mark("w arm");
}

void undo_write_words(const undo_word* words, u64 count) {
    history_settle();
    u32 live = enabled ? index_live_blocks() : 0;
    for (u64 i = 0; i < count;) {
        undo_block* block = holding(live, (u64)words[i].at);
        if (!block) {
            *words[i].at = words[i].value;
            ++i;
            continue;
        }
        u64 end = (u64)block->start + block_bytes(block);
        u64 next = i + 1;
        while (next < count && (u64)words[next].at - (u64)block->start < end - (u64)block->start) {
            ++next;
        }
        write_in_block(block, words + i, next - i);
        i = next;
    }
}

bool32 undo_quiet_pages(const void* start, u64 length, u8* quiet) {
    u32 live = enabled ? index_live_blocks() : 0;
    undo_block* block = holding(live, (u64)start);
    if (!block || (u64)start + length > (u64)block->start + block_bytes(block)) {
        return 0;
    }
    u64 first = ((u64)start - (u64)block->start) / page_bytes;
    u64 count = length / page_bytes;
    const u8* bits = quiet_bits(block, first, count);
    if (!bits) {
        return 0;
    }
    memcpy(quiet, bits, (count + 7) / 8);
    return 1;
}

// The known block whose usable pages hold [start, start + length), and the
// first of those pages; null when none does.
static undo_block* block_of_range(const void* start, u64 length, u64* first) {
    u32 live = enabled ? index_live_blocks() : 0;
    undo_block* block = holding(live, (u64)start);
    if (!block || !block->shadow || !block->watched ||
        (u64)start + length > (u64)block->start + block_bytes(block)) {
        return NULL;
    }
    *first = ((u64)start - (u64)block->start) / page_bytes;
    return block;
}

bool32 undo_changed_pages(const void* start, u64 length, u8* changed) {
    u64 first = 0;
    undo_block* block = block_of_range(start, length, &first);
    if (!block || !watch_written(block->start + first * page_bytes, length, changed)) {
        return 0;
    }
    u64 count = length / page_bytes;
    for (u64 i = 0; i < count; ++i) {
        u64 page = first + i;
        if (block->heat[page] || page_bit(block->changed, page)) {
            set_page_bit(changed, i);
        }
    }
    return 1;
}

bool32 undo_changes_clear(const void* start, u64 length) {
    u64 first = 0;
    undo_block* block = block_of_range(start, length, &first);
    if (!block) {
        return 0;
    }
    for (u64 page = first; page < first + length / page_bytes; ++page) {
        clear_page_bit(block->changed, page);
    }
    return 1;
}

static void count_page(undo_block* block, u64 page, void* context) {
    (void)block;
    (void)page;
    *(u64*)context += page_bytes;
}

undo_counts undo_state(void) {
    history_settle();
    undo_counts counts;
    memset(&counts, 0, sizeof(counts));
    counts.blocks = block_count;
    counts.copied_pages = copied_pages;
    counts.watching = watching;
    for (u32 i = 0; i <= block_count; ++i) {
        undo_block* block = i < block_count ? &blocks[i] : &image;
        if (!block->shadow) {
            continue;
        }
        counts.shadow_bytes += block_bytes(block);
        counts.hot_pages += block->hot;
        each_touched_page(block, block->shadow, block->pages, count_page,
                          &counts.shadow_touched);
    }
    return counts;
}
