// The module's heap on its own: every size class and the large blocks,
// alignment, realloc, threads freeing each other's objects, and a pointer
// it never handed out.
#include <gtest/gtest.h>

#include <string.h>
#include <algorithm>
#include <thread>
#include <vector>

#include "platform/heap.h"
#include "platform/memory.h"

namespace {

u64 live_objects() { return heap_state().objects; }

TEST(Heap, EverySizeIsAlignedUsableAndComesBackWhenFreed) {
    u64 before = live_objects();
    std::vector<u8*> made;
    for (u64 size = 0; size <= 40000; size += size < 300 ? 1 : 97) {
        u8* pointer = (u8*)heap_alloc(size);
        ASSERT_NE(pointer, nullptr) << size;
        EXPECT_TRUE(heap_owns(pointer));
        EXPECT_EQ((u64)pointer % 16, 0u) << size;
        ASSERT_GE(heap_usable_size(pointer), size);
        memset(pointer, (int)(size & 0xFF), size);
        made.push_back(pointer);
    }
    // Nothing overlaps: every object still holds its own pattern.
    u64 size = 0;
    for (u8* pointer : made) {
        for (u64 i = 0; i < size; i += 61) {
            ASSERT_EQ(pointer[i], (u8)(size & 0xFF)) << size;
        }
        size += size < 300 ? 1 : 97;
    }
    u64 large = heap_state().large_blocks;
    EXPECT_GT(large, 0u);
    for (u8* pointer : made) {
        heap_free(pointer);
    }
    EXPECT_EQ(live_objects(), before);
    EXPECT_EQ(heap_state().large_blocks, 0u);
    // Zeroed memory is zero even where an object was before.
    u8* again = (u8*)heap_alloc_zeroed(10, 100);
    for (u32 i = 0; i < 1000; ++i) {
        ASSERT_EQ(again[i], 0);
    }
    heap_free(again);
    EXPECT_EQ(heap_alloc_zeroed(~0ull / 2, 4), nullptr);
}

TEST(Heap, AlignmentsReallocAndTheirEdges) {
    for (u64 alignment = 1; alignment <= (1u << 17); alignment *= 2) {
        void* pointer = heap_alloc_aligned(100, alignment);
        ASSERT_NE(pointer, nullptr) << alignment;
        EXPECT_EQ((u64)pointer % alignment, 0u) << alignment;
        heap_free(pointer);
    }
    EXPECT_EQ(heap_alloc_aligned(100, 48), nullptr);
    u8* grown = (u8*)heap_alloc(10);
    for (u32 i = 0; i < 10; ++i) {
        grown[i] = (u8)i;
    }
    for (u64 size = 20; size < 100000; size *= 3) {
        grown = (u8*)heap_realloc(grown, size);
        ASSERT_NE(grown, nullptr);
        for (u32 i = 0; i < 10; ++i) {
            ASSERT_EQ(grown[i], (u8)i) << size;
        }
    }
    grown = (u8*)heap_realloc(grown, 5);
    EXPECT_EQ(grown[4], 4);
    heap_free(grown);
    heap_free(nullptr);
    EXPECT_EQ(heap_usable_size(nullptr), 0u);
}

TEST(Heap, ThreadsAllocateAndFreeEachOthersObjects) {
    u64 before = live_objects();
    const u32 threads = 4;
    const u32 rounds = 20000;
    std::vector<void*> handed[threads];
    std::vector<std::thread> workers;
    for (u32 t = 0; t < threads; ++t) {
        workers.emplace_back([t, &handed] {
            for (u32 i = 0; i < rounds; ++i) {
                u64 size = 8 + (i * 37 + t * 11) % 600;
                u8* pointer = (u8*)heap_alloc(size);
                pointer[0] = (u8)t;
                pointer[size - 1] = (u8)t;
                if (i % 2) {
                    heap_free(pointer);
                } else {
                    handed[t].push_back(pointer);
                }
            }
        });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    workers.clear();
    // Each thread frees what the next one kept.
    for (u32 t = 0; t < threads; ++t) {
        workers.emplace_back([t, &handed] {
            for (void* pointer : handed[(t + 1) % threads]) {
                ASSERT_EQ(((u8*)pointer)[0], (u8)((t + 1) % threads));
                heap_free(pointer);
            }
        });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    EXPECT_EQ(live_objects(), before);
}

// The pages no slab was carved from are the only ones told untouched: no
// page that holds an object is, however many chunks the heap grew.
TEST(Heap, OnlyPagesNoSlabWasCarvedFromCountAsUntouched) {
    std::vector<u8*> made;
    for (u32 i = 0; i < 3000; ++i) {
        u64 size = 16 + (i * 977) % (HEAP_SMALL_MAX - 16);  // small: in the chunks
        u8* pointer = (u8*)heap_alloc(size);
        ASSERT_NE(pointer, nullptr);
        pointer[0] = pointer[size - 1] = 1;
        made.push_back(pointer);
        made.push_back(pointer + size - 1);
    }
    heap_counts counts = heap_state();
    ASSERT_GT(counts.chunks, 1u);
    const u64 page = memory_page_size();
    std::vector<u8> resident(counts.chunk_bytes / page + 16, 1);
    heap_clear_untouched((void*)HEAP_BASE, resident.size() * page, resident.data());
    for (u8* at : made) {
        ASSERT_EQ(resident[((u64)at - HEAP_BASE) / page], 1) << (void*)at;
    }
    u64 cleared = 0;
    for (u8 each : resident) {
        cleared += each == 0;
    }
    EXPECT_EQ(cleared, (counts.chunk_bytes - counts.used_bytes) / page);
    // Past the chunks, and anything outside the heap, stays as it was.
    for (u64 i = counts.chunk_bytes / page; i < resident.size(); ++i) {
        EXPECT_EQ(resident[i], 1) << i;
    }
    std::vector<u8> elsewhere(16, 1);
    heap_clear_untouched((void*)(HEAP_BASE - 16 * page), 16 * page, elsewhere.data());
    EXPECT_EQ(elsewhere, std::vector<u8>(16, 1));
    for (u64 i = 0; i < made.size(); i += 2) {
        heap_free(made[i]);
    }
}

// While a build loads, no object comes from where one was before (the
// reload tells what its start-up wrote from the old build's pointers by
// that); afterwards freed memory is used again, and the slabs carved then
// are shared as usual.
TEST(Heap, WhileABuildLoadsObjectsComeOnlyFromMemoryNoObjectUsedBefore) {
    u64 before = live_objects();
    std::vector<u8*> freed;
    for (u32 i = 0; i < 2000; ++i) {
        freed.push_back((u8*)heap_alloc(16 + (i % 7) * 40));
        ASSERT_NE(freed.back(), nullptr);
    }
    for (u8* pointer : freed) {
        heap_free(pointer);
    }
    std::sort(freed.begin(), freed.end());
    heap_fresh_only(1);
    std::vector<u8*> loading;
    for (u32 i = 0; i < 2000; ++i) {
        u8* pointer = (u8*)heap_alloc(16 + (i % 7) * 40);
        ASSERT_NE(pointer, nullptr);
        memset(pointer, 0x5A, 16);
        EXPECT_FALSE(std::binary_search(freed.begin(), freed.end(), pointer)) << (void*)pointer;
        loading.push_back(pointer);
        // Some go again at once, as a start-up's temporaries do.
        if (i % 3 == 0) {
            heap_free(pointer);
            loading.pop_back();
        }
    }
    heap_fresh_only(0);
    u32 again = 0;
    std::vector<u8*> after;
    for (u32 i = 0; i < 2000; ++i) {
        after.push_back((u8*)heap_alloc(16 + (i % 7) * 40));
        ASSERT_NE(after.back(), nullptr);
        again += std::binary_search(freed.begin(), freed.end(), after.back());
    }
    EXPECT_GT(again, 0u);
    for (u8* pointer : loading) {
        EXPECT_EQ(pointer[15], 0x5A);
        heap_free(pointer);
    }
    for (u8* pointer : after) {
        heap_free(pointer);
    }
    EXPECT_EQ(live_objects(), before);
}

// What a build frees as it unloads holds nothing after (a later reload
// would find the addresses into it that its runtime left there); what is
// freed before or after keeps its bytes, as freed memory always did.
TEST(Heap, WhatIsFreedWhileABuildUnloadsIsCleared) {
    u64 before = live_objects();
    const u64 sizes[] = {48, 256, 1000, 16384};
    std::vector<std::pair<u8*, u64>> cleared;
    std::vector<std::pair<u8*, u64>> kept;
    for (u32 i = 0; i < 64; ++i) {
        u64 size = sizes[i % 4];
        u8* pointer = (u8*)heap_alloc(size);
        ASSERT_NE(pointer, nullptr);
        memset(pointer, 0xA5, size);
        (i % 2 ? kept : cleared).push_back({pointer, size});
    }
    heap_clear_frees(1);
    for (auto& object : cleared) {
        heap_free(object.first);
    }
    heap_clear_frees(0);
    for (auto& object : kept) {
        heap_free(object.first);
    }
    // Past the first word, which a free list may use.
    for (auto& object : cleared) {
        u8* end = object.first + object.second;
        EXPECT_EQ(std::count(object.first + 8, end, 0), (long)object.second - 8)
            << object.second;
    }
    for (auto& object : kept) {
        u8* end = object.first + object.second;
        EXPECT_EQ(std::count(object.first + 8, end, 0xA5), (long)object.second - 8)
            << object.second;
    }
    EXPECT_EQ(live_objects(), before);
}

TEST(HeapDeathTest, APointerInsideTheHeapThatIsNoObjectStops) {
    u8* pointer = (u8*)heap_alloc(64);
    EXPECT_DEATH(heap_free(pointer + 8), "never handed out");
    heap_free(pointer);
}

}  // namespace
