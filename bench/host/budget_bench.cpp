// Where a frame's safety net spends its time when the module writes a lot,
// side by side in one run, for 16, 64 and 128 MiB written a frame:
//  - the undo and the history as they run (undo_begin_frame after a frame
//    that wrote the bytes: steady, the pages written frame after frame;
//    cold, the pages quiet long enough to be watched again), the history
//    once its memory went round once;
//  - what their pieces cost on plain memory: a first write to fresh pages
//    (a fault a page) and to fresh pages of 2 MiB (Linux: transparent huge
//    pages), memcpy into touched and into fresh memory (the history's cold
//    memory), the history's copy taken from the shadow then the shadow
//    updated (two copies), and one pass that compares block and shadow
//    word by word, keeps the changed words' old values and updates the
//    shadow (all words changed, and 1 in 64 as after a collector's marking).
// Medians in ms per frame; printed figures, not a test.
//
// Usage: budget_bench[.exe] [rounds]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "bench/host/timing.h"
#include "guard/fault.h"
#include "guard/history.h"
#include "guard/undo.h"
#include "platform/clock.h"
#include "platform/memory.h"

#ifdef __linux__
#include <sys/mman.h>
#endif

static void* slot;

// One pass: changed words' old values appended to `kept`, the shadow made
// to match; returns the bytes kept.
static u64 diff_pass(const u8* now, u8* shadow, u8* kept, u64 size) {
    const u64* a = (const u64*)now;
    u64* b = (u64*)shadow;
    u64* out = (u64*)kept;
    u64 words = size / 8;
    u64 taken = 0;
    for (u64 i = 0; i < words; ++i) {
        if (a[i] != b[i]) {
            out[taken++] = b[i];
            b[i] = a[i];
        }
    }
    return taken * 8;
}

static void touch(u8* pages, u64 bytes, u8 value) {
    for (u64 at = 0; at < bytes; at += 4096) {
        pages[at] = value;
    }
}

typedef double piece(u64 bytes, u32 round);

static u8* block;
static u8* shadow;
static u8* warm;

static double fresh_first_write(u64 bytes, u32 round) {
    u8* pages = memory_map_pages(NULL, bytes, 0);
    i64 a = read_counter();
    touch(pages, bytes, (u8)round);
    double ms = milliseconds(a, read_counter());
    memory_unmap_pages(pages, bytes);
    return ms;
}

static double huge_first_write(u64 bytes, u32 round) {
#ifdef __linux__
    u64 huge = 2ull << 20;
    u8* region = memory_map_pages(NULL, bytes + huge, 0);
    u8* pages = (u8*)(((u64)region + huge - 1) & ~(huge - 1));
    madvise(pages, bytes, MADV_HUGEPAGE);
    i64 a = read_counter();
    touch(pages, bytes, (u8)round);
    double ms = milliseconds(a, read_counter());
    memory_unmap_pages(region, bytes + huge);
    return ms;
#else
    (void)bytes;
    (void)round;
    return -1.0;
#endif
}

static double copy_warm(u64 bytes, u32 round) {
    memset(block, (int)round, bytes);
    i64 a = read_counter();
    memcpy(shadow, block, bytes);
    return milliseconds(a, read_counter());
}

static double copy_cold(u64 bytes, u32 round) {
    memset(block, (int)round, bytes);
    u8* pages = memory_map_pages(NULL, bytes, 0);
    i64 a = read_counter();
    memcpy(pages, block, bytes);
    double ms = milliseconds(a, read_counter());
    memory_unmap_pages(pages, bytes);
    return ms;
}

static double two_copies(u64 bytes, u32 round) {
    memset(block, (int)round, bytes);
    i64 a = read_counter();
    memcpy(warm, shadow, bytes);
    memcpy(shadow, block, bytes);
    return milliseconds(a, read_counter());
}

static double pass_all(u64 bytes, u32 round) {
    memset(block, (int)round + 1, bytes);
    i64 a = read_counter();
    diff_pass(block, shadow, warm, bytes);
    return milliseconds(a, read_counter());
}

static double pass_sparse(u64 bytes, u32 round) {
    for (u64 at = 0; at < bytes; at += 512) {
        block[at] = (u8)(round + 1);
    }
    i64 a = read_counter();
    diff_pass(block, shadow, warm, bytes);
    return milliseconds(a, read_counter());
}

// The real undo over a block of `bytes`, with or without the history.
static memory_block module;

static double real_frame(u64 bytes, u32 round, bool cold, bool history) {
    // Set again only when it changes, then run through once: a new
    // history starts with fresh pages, and the cold case shows a lap of
    // the ring's first writes.
    static int kept = -1;
    static u64 kept_bytes;
    if (kept != (int)history || kept_bytes != bytes) {
        history_limit(history ? 300 : 0, 256ull << 20);
        for (u32 i = 0; history && i < (256u << 20) / bytes + 2; ++i) {
            undo_begin_frame(&slot);
            memset(module.memory, (int)i, bytes);
            undo_commit();
            history_note_payload(&i, sizeof(i));
        }
        kept = (int)history;
        kept_bytes = bytes;
    }
    u32 quiet = cold ? 10 : 0;
    for (u32 i = 0; i < quiet + 1; ++i) {
        undo_begin_frame(&slot);
        undo_commit();
        history_note_payload(&i, sizeof(i));
    }
    undo_begin_frame(&slot);
    memset(module.memory, (int)round + 3, bytes);
    undo_commit();
    history_note_payload(&round, sizeof(round));
    i64 a = read_counter();
    undo_begin_frame(&slot);
    double ms = milliseconds(a, read_counter());
    undo_commit();
    return ms;
}

static double undo_steady(u64 bytes, u32 round) { return real_frame(bytes, round, 0, 0); }
static double undo_cold(u64 bytes, u32 round) { return real_frame(bytes, round, 1, 0); }
static double history_steady(u64 bytes, u32 round) { return real_frame(bytes, round, 0, 1); }
static double history_cold(u64 bytes, u32 round) { return real_frame(bytes, round, 1, 1); }

int main(int argc, char** argv) {
    u32 rounds = argc > 1 ? (u32)atoi(argv[1]) : 7;
    const u64 most = 128ull << 20;
    clock_start();
    fault_handling_start();
    undo_start(1);
    block = (u8*)pages_allocate(most);
    shadow = (u8*)pages_allocate(most);
    warm = (u8*)pages_allocate(most);
    module = allocate_memory((u32)most, NULL, 0);
    if (!block || !shadow || !warm || !module.memory) {
        fprintf(stderr, "no memory\n");
        return 1;
    }
    memset(block, 1, most);
    memset(shadow, 1, most);
    memset(warm, 1, most);
    memset(module.memory, 1, most);
    struct {
        const char* name;
        piece* run;
    } pieces[] = {
        {"undo, steady", undo_steady},
        {"undo, cold", undo_cold},
        {"undo+history, steady", history_steady},
        {"undo+history, cold", history_cold},
        {"first write, 4 KiB pages", fresh_first_write},
        {"first write, 2 MiB pages", huge_first_write},
        {"memcpy, touched", copy_warm},
        {"memcpy, fresh", copy_cold},
        {"two copies", two_copies},
        {"one pass, all changed", pass_all},
        {"one pass, 1/64 changed", pass_sparse},
    };
    const u64 sizes[] = {16ull << 20, 64ull << 20, 128ull << 20};
    printf("the safety net's pieces, medians of %u rounds (ms per frame)\n", rounds);
    printf("%-26s %9s %9s %9s\n", "", "16 MiB", "64 MiB", "128 MiB");
    for (const auto& p : pieces) {
        printf("%-26s", p.name);
        for (u64 size : sizes) {
            std::vector<double> figures;
            for (u32 round = 0; round < rounds; ++round) {
                figures.push_back(p.run(size, round));
            }
            printf(" %9.2f", median(figures));
        }
        printf("\n");
        fflush(stdout);
    }
    return 0;
}
