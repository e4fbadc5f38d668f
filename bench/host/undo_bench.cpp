// What undoing a faulting frame costs, with 64 MiB of module memory in one
// block. For each pattern a frame writes (nothing; 1, 16 or 64 MiB in one
// run; the same in 4 KiB pieces scattered over the block), two cases:
//  - cold: the pages were quiet for long enough to be watched again, so the
//    frame pays for the first write to each page;
//  - steady: the frame writes what the frame before wrote, the common case
//    of a module redrawing its state.
// A frame's cost is its writes plus the next frame's start (which takes the
// writes into the shadow), against the same writes to memory nobody watches;
// "memcpy" is copying the bytes written once, the floor for keeping a copy.
// Then the rollback of such a frame and the shadow's size, and the system's
// write watch alone, the floor under all of it. Medians; printed figures,
// not a test.
//
// Usage: undo_bench[.exe] [rounds]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "guard/fault.h"
#include "host/os.h"
#include "guard/undo.h"
#include "platform/clock.h"
#include "platform/memory.h"
#include "platform/watch.h"
#include "bench/host/timing.h"

#define MODULE_BYTES (64ull << 20)
#define PIECE 4096ull

typedef struct pattern {
    const char* name;
    u64 bytes;
    bool scattered;
} pattern;

// Writes the pattern: one run from the start, or 4 KiB pieces spread evenly.
static void write_pattern(u8* memory, const pattern* p, u8 value) {
    if (!p->scattered) {
        memset(memory, value, p->bytes);
        return;
    }
    u64 pieces = p->bytes / PIECE;
    u64 stride = pieces ? MODULE_BYTES / pieces / PIECE * PIECE : 0;
    for (u64 i = 0; i < pieces; ++i) {
        memset(memory + i * stride, value, PIECE);
    }
}

static void*  slot;

static void quiet_frames(u32 count) {
    for (u32 i = 0; i < count; ++i) {
        undo_begin_frame(&slot);
        undo_commit();
    }
}

// What the system's watching costs with no undo around it: a first write
// to each of 64 MiB of armed pages (a word each, against the same writes to
// pages nobody watches), and reading back that nothing was written.
static void measure_floor(u8* watched, u8* plain, u8* written, u32 rounds) {
    u64 pages = MODULE_BYTES / memory_page_size();
    memset(watched, 1, MODULE_BYTES);
    memset(plain, 1, MODULE_BYTES);
    std::vector<double> first, unwatched, quiet;
    for (u32 round = 0; round < rounds; ++round) {
        watch_arm(watched, MODULE_BYTES);
        i64 a = read_counter();
        watch_written(watched, MODULE_BYTES, written);
        i64 b = read_counter();
        for (u64 at = 0; at < MODULE_BYTES; at += memory_page_size()) {
            watched[at] = (u8)round;
        }
        i64 c = read_counter();
        for (u64 at = 0; at < MODULE_BYTES; at += memory_page_size()) {
            plain[at] = (u8)round;
        }
        i64 d = read_counter();
        quiet.push_back(milliseconds(a, b));
        first.push_back(milliseconds(b, c));
        unwatched.push_back(milliseconds(c, d));
    }
    double fault_us = (median(first) - median(unwatched)) * 1000.0 / (double)pages;
    printf("the system's write watch alone, 64 MiB: nothing written read back %.3f ms; "
           "a first write to each page %.1f ms (%.2f us a page; unwatched %.2f ms)\n",
           median(quiet), median(first), fault_us, median(unwatched));
}

// Its pages, and what the system can't give is said.
static void system_floor(u32 rounds) {
    u64 pages = MODULE_BYTES / memory_page_size();
    u8* watched = memory_map_pages(NULL, MODULE_BYTES, 1);
    u8* plain = (u8*)pages_allocate(MODULE_BYTES);
    u8* written = (u8*)calloc(pages / 8 + 8, 1);
    bool measurable = watched && plain && written && watch_add(watched, MODULE_BYTES);
    if (measurable) {
        measure_floor(watched, plain, written, rounds);
    } else {
        printf("the system's write watch alone: can't be measured here\n");
    }
    free(written);
    pages_free(plain, MODULE_BYTES);
    if (watched) {
        memory_unmap_pages(watched, MODULE_BYTES);
    }
}

int main(int argc, char** argv) {
    u32 rounds = argc > 1 ? (u32)atoi(argv[1]) : 15;
    clock_start();
    fault_handling_start();
    undo_start(1);
    memory_block module = allocate_memory((u32)MODULE_BYTES, NULL, 0);
    u8* plain = (u8*)pages_allocate(MODULE_BYTES);
    u8* copy = (u8*)pages_allocate(MODULE_BYTES);
    if (!module.memory || !plain || !copy) {
        fprintf(stderr, "no memory\n");
        return 1;
    }
    u8* memory = (u8*)module.memory;
    memset(memory, 1, MODULE_BYTES);
    memset(plain, 1, MODULE_BYTES);
    memset(copy, 1, MODULE_BYTES);
    quiet_frames(12);
    printf("undo, 64 MiB of module memory, writes %s, medians of %u rounds (ms per frame)\n",
           undo_state().watching ? "watched" : "NOT watched (copied every frame)", rounds);
    printf("%-18s %-7s %9s %9s %9s %9s %7s %9s\n", "written", "case", "unwatched", "watched",
           "overhead", "memcpy", "ratio", "rollback");
    const pattern patterns[] = {
        {"nothing", 0, false},           {"1 MiB in one run", 1ull << 20, false},
        {"16 MiB in one run", 16ull << 20, false}, {"64 MiB in one run", 64ull << 20, false},
        {"1 MiB in pieces", 1ull << 20, true},     {"16 MiB in pieces", 16ull << 20, true},
    };
    for (const pattern& p : patterns) {
        for (int steady = 0; steady < 2; ++steady) {
            std::vector<double> unwatched, watched, copying, rollback;
            for (u32 round = 0; round < rounds; ++round) {
                u8 value = (u8)(round * 2 + 2);
                if (steady) {
                    undo_begin_frame(&slot);
                    write_pattern(memory, &p, (u8)(value + 1));
                    undo_commit();
                } else {
                    quiet_frames(12);
                }
                undo_begin_frame(&slot);
                i64 a = read_counter();
                write_pattern(plain, &p, value);
                i64 b = read_counter();
                memcpy(copy, plain, p.bytes);
                i64 c = read_counter();
                write_pattern(memory, &p, value);
                undo_commit();
                undo_begin_frame(&slot);
                i64 d = read_counter();
                write_pattern(memory, &p, (u8)(value + 1));
                i64 e = read_counter();
                undo_rollback();
                i64 f = read_counter();
                unwatched.push_back(milliseconds(a, b));
                copying.push_back(milliseconds(b, c));
                watched.push_back(milliseconds(c, d));
                rollback.push_back(milliseconds(e, f));
                if (p.bytes && memory[0] != value) {
                    fprintf(stderr, "rollback did not restore\n");
                    return 1;
                }
            }
            double u = median(unwatched);
            double w = median(watched);
            double m = median(copying);
            printf("%-18s %-7s %9.3f %9.3f %9.3f %9.3f %7.2f %9.3f\n", p.name,
                   steady ? "steady" : "cold", u, w, w - u, m, m > 0 ? (w - u) / m : 0.0,
                   median(rollback));
        }
    }
    printf("shadow: %llu MiB for %llu MiB of blocks\n",
           (unsigned long long)(undo_state().shadow_bytes >> 20),
           (unsigned long long)(MODULE_BYTES >> 20));
    // A whole-state build's 1 MiB of globals, nothing written: Linux
    // watches them like a block's; Windows can't watch an image's pages
    // and compares them with their copy at every start.
    free_memory(&module);
    u8* globals = (u8*)pages_allocate(1u << 20);
    memset(globals, 3, 1u << 20);
    undo_set_image(globals, 1u << 20);
    quiet_frames(12);
    std::vector<double> starts;
    for (u32 i = 0; i < rounds * 20; ++i) {
        i64 a = read_counter();
        undo_begin_frame(&slot);
        starts.push_back(milliseconds(a, read_counter()));
        undo_commit();
    }
    printf("1 MiB of globals, nothing written (%s): %.4f ms a start\n",
           undo_state().hot_pages ? "compared" : "watched", median(starts));
    undo_set_image(NULL, 0);
    if (undo_state().watching) {
        system_floor(rounds);
    }
    return 0;
}
