// The reload's pointer scan reading ahead between frames, through the real
// undo and memory services: after pages changed in every way they can (a
// frame's writes, writes since the last frame's start, a hot page written
// again, a block made since), what the reload finds from what was read
// ahead is exactly what reading every page finds, it reads only those pages
// again, and it trusts the values of only the words on pages that did not
// change. Not under AddressSanitizer, which owns SIGSEGV.
#include <gtest/gtest.h>

#include <string.h>
#include <vector>

#include "carry/scan.h"
#include "guard/undo.h"
#include "platform/clock.h"
#include "platform/memory.h"

namespace {

const u64 LOW = 0x00007A0000000000ull;
const u64 SIZE = 1 << 20;
const u64 OTHER = 0x00007B0000000000ull;
const u64 WORDS_PER_PAGE = 4096 / 8;

void* slot;

// Before the first block: Windows watches only blocks made after.
void start_once() {
    static bool started;
    if (!started) {
        clock_start();
        undo_start(1);
        started = true;
    }
}

void frame_start() {
    start_once();
    undo_begin_frame(&slot);
}

bool same(const found_words& a, const found_words& b) {
    if (a.count != b.count) {
        return false;
    }
    for (u64 i = 0; i < a.count; ++i) {
        if (a.words[i].at != b.words[i].at || a.words[i].value != b.words[i].value) {
            return false;
        }
    }
    return true;
}

TEST(ScanAhead, WhatTheReloadFindsIsWhatReadingEveryPageFinds) {
    start_once();
    memory_block big = allocate_memory(4 << 20, NULL, 0);
    memory_block small = allocate_memory(1 << 20, NULL, 0);
    ASSERT_NE(big.memory, nullptr);
    ASSERT_NE(small.memory, nullptr);
    u64* a = (u64*)big.memory;
    u64* b = (u64*)small.memory;
    for (u64 i = 0; i < big.size / 8; i += 97) {
        a[i] = LOW + i % SIZE;
        a[i + 1] = 12345;
    }
    for (u64 i = 0; i < small.size / 8; i += 1000) {
        b[i] = OTHER + 8;
    }
    frame_start();
    undo_commit();
    scan_ranges ranges = {LOW, SIZE, OTHER, 16};
    for (int i = 0; i < 1000 && !scan_ahead_state().complete; ++i) {
        scan_ahead(ranges, 1.0);
    }
    ASSERT_TRUE(scan_ahead_state().complete);
    EXPECT_EQ(scan_ahead_state().untold, 0u);

    // A frame writes a pointer, and removes one, and writes page 50 three
    // frames running (hot from then on).
    for (int frame = 0; frame < 3; ++frame) {
        frame_start();
        a[10 * WORDS_PER_PAGE + 3] = LOW + 64;
        a[20 * WORDS_PER_PAGE] = 0;
        a[50 * WORDS_PER_PAGE + frame] = LOW + (u64)frame;
        undo_commit();
    }
    frame_start();
    undo_commit();
    ASSERT_GT(undo_state().hot_pages, 0u);
    // After the last start: a pointer in a quiet page and one in the hot
    // page, and a block made since with one.
    a[30 * WORDS_PER_PAGE + 7] = OTHER;
    a[50 * WORDS_PER_PAGE + 9] = LOW + 9;
    memory_block later = allocate_memory(1 << 16, NULL, 0);
    ASSERT_NE(later.memory, nullptr);
    ((u64*)later.memory)[5] = LOW + 5;

    found_words ahead = {};
    u64 read_ahead = 0;
    ASSERT_TRUE(scan_blocks(&ahead, ranges, &read_ahead));
    // A word is trusted without being read again only where its page did
    // not change since it was read.
    std::vector<u8> maybe(ahead.count / 8 + 1);
    scan_words_changed(&ahead, maybe.data());
    u32 trusted = 0;
    for (u64 i = 0; i < ahead.count; ++i) {
        u64* at = ahead.words[i].at;
        bool read = (maybe[i / 8] >> (i % 8)) & 1;
        u64 page = (u64)((u8*)at - (u8*)big.memory) / 4096;
        bool in_big = (u8*)at >= (u8*)big.memory && (u8*)at < (u8*)big.memory + big.size;
        if (in_big && (page == 10 || page == 30 || page == 50)) {
            EXPECT_TRUE(read) << "page " << page;
        }
        if ((u64*)later.memory + 5 == at) {
            EXPECT_TRUE(read) << "a block made since";
        }
        trusted += !read;
    }
    EXPECT_GT(trusted, ahead.count / 2);
    scan_forget();
    found_words every = {};
    u64 read_all = 0;
    ASSERT_TRUE(scan_blocks(&every, ranges, &read_all));
    EXPECT_TRUE(same(ahead, every)) << ahead.count << " against " << every.count;
    EXPECT_GT(every.count, big.size / 8 / 97);
    EXPECT_LT(read_ahead * 8, read_all) << read_ahead << " of " << read_all;

    free(ahead.words);
    free(every.words);
    free_memory(&big);
    free_memory(&small);
    free_memory(&later);
}

}  // namespace
