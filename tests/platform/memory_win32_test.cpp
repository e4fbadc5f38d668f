// The memory services: real pages, real protection, a real fault.
#include <gtest/gtest.h>

#include "platform/services.h"
#include "tests/platform/scratch_win32.h"

static u32 page(void) {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize;
}

static MEMORY_BASIC_INFORMATION query(const void* address) {
    MEMORY_BASIC_INFORMATION info = {};
    VirtualQuery(address, &info, sizeof(info));
    return info;
}

TEST(MemoryServices, PlainBlocksAreZeroedPagesReleasedWhole) {
    memory_block block = allocate_memory(10000, NULL, 0);
    ASSERT_NE(block.memory, nullptr);
    EXPECT_EQ(block.size, 10000u);
    EXPECT_EQ(block.reserved, 0u);
    EXPECT_EQ((u64)block.memory % page(), 0u);
    u8* bytes = (u8*)block.memory;
    for (u32 i = 0; i < 10000; ++i) {
        ASSERT_EQ(bytes[i], 0) << i;
    }
    bytes[9999] = 1;
    EXPECT_EQ(query(block.memory).Protect, (DWORD)PAGE_READWRITE);

    // A placement hint that is taken already fails plainly.
    memory_block clash = allocate_memory(100, block.memory, 0);
    EXPECT_EQ(clash.memory, nullptr);
    EXPECT_EQ(clash.size, 100u);
    memory_block guarded_clash = allocate_memory(100, block.memory, MEMORY_GUARD_PAGE);
    EXPECT_EQ(guarded_clash.memory, nullptr);
    free_memory(&clash);  // a null block is left alone
    free_memory(NULL);

    memory_block copy = block;
    free_memory(&block);
    EXPECT_EQ(block.memory, copy.memory);  // the record is not changed
    EXPECT_EQ(query(copy.memory).State, (DWORD)MEM_FREE);

    // A hint that is free is honoured.
    memory_block placed = allocate_memory(100, copy.memory, 0);
    EXPECT_EQ(placed.memory, copy.memory);
    free_memory(&placed);
}

TEST(MemoryServices, GuardedBlocksEndAtTheGuardPage) {
    const u32 p = page();
    memory_block block = allocate_memory(100, NULL, MEMORY_GUARD_PAGE);
    ASSERT_NE(block.memory, nullptr);
    EXPECT_EQ(block.size, 100u);
    EXPECT_EQ(block.reserved, 0u);
    u8* base = (u8*)query(block.memory).AllocationBase;
    EXPECT_EQ((u8*)block.memory, base + p - 100);
    EXPECT_EQ((u64)block.memory % 8, 4u);  // aligned only as far as 100 allows
    EXPECT_EQ(query(base).Protect, (DWORD)PAGE_READWRITE);
    MEMORY_BASIC_INFORMATION guard = query(base + p);
    EXPECT_EQ(guard.Protect, (DWORD)PAGE_NOACCESS);
    EXPECT_EQ(guard.AllocationBase, base);
    EXPECT_EQ(guard.RegionSize, p);
    EXPECT_EQ(query(base + 2 * p).AllocationBase == base, false);
    ((u8*)block.memory)[0] = 1;
    ((u8*)block.memory)[99] = 1;

    // A whole page: one page more than needed, block at base + page.
    memory_block whole = allocate_memory(p, NULL, MEMORY_GUARD_PAGE);
    u8* whole_base = (u8*)query(whole.memory).AllocationBase;
    EXPECT_EQ((u8*)whole.memory, whole_base + p);
    EXPECT_EQ(query(whole_base + 2 * p).Protect, (DWORD)PAGE_NOACCESS);
    EXPECT_EQ(query(whole_base + 3 * p).AllocationBase == whole_base, false);

    // Freeing gives back the whole region, the guard page included.
    free_memory(&block);
    EXPECT_EQ(query(base).State, (DWORD)MEM_FREE);
    EXPECT_EQ(query(base + p).State, (DWORD)MEM_FREE);
    free_memory(&whole);
    EXPECT_EQ(query(whole_base).State, (DWORD)MEM_FREE);

    // An empty guarded block starts at the guard page itself.
    memory_block empty = allocate_memory(0, NULL, MEMORY_GUARD_PAGE);
    ASSERT_NE(empty.memory, nullptr);
    EXPECT_EQ(query(empty.memory).Protect, (DWORD)PAGE_NOACCESS);
    free_memory(&empty);
    EXPECT_EQ(query(empty.memory).State, (DWORD)MEM_FREE);
}

TEST(MemoryServices, RefusesWhatItCannotDescribeOrDidNotAllocate) {
    // The guarded region would pass 32 bits: refused, nothing reserved.
    memory_block huge = allocate_memory(0xFFFFF000u, NULL, MEMORY_GUARD_PAGE);
    EXPECT_EQ(huge.memory, nullptr);
    EXPECT_EQ(huge.size, 0xFFFFF000u);

    // A record that points into the middle of a block frees nothing.
    memory_block block = allocate_memory(3 * page(), NULL, 0);
    memory_block inside = {(u8*)block.memory + page(), page(), 0};
    free_memory(&inside);
    EXPECT_EQ(query(block.memory).State, (DWORD)MEM_COMMIT);
    ((u8*)block.memory)[0] = 7;
    free_memory(&block);
    EXPECT_EQ(query(block.memory).State, (DWORD)MEM_FREE);
}

TEST(MemoryServicesDeathTest, TheBytePastAGuardedBlockFaults) {
    memory_block block = allocate_memory(100, NULL, MEMORY_GUARD_PAGE);
    volatile u8* bytes = (volatile u8*)block.memory;
    bytes[99] = 1;
    EXPECT_EXIT(
        {
            exit_with_exception_code();
            bytes[100] = 1;
        },
        ::testing::ExitedWithCode((int)EXCEPTION_ACCESS_VIOLATION), "");
    free_memory(&block);
}

// The live block that starts at memory, or an all-zero record.
static memory_block_record record_of(const void* memory) {
    for (u32 i = 0; i < memory_block_count(); ++i) {
        if (memory_block_at(i).memory == memory) {
            return memory_block_at(i);
        }
    }
    return memory_block_at(memory_block_count());
}

TEST(MemoryServices, FreesOnlyLiveBlocksItHandedOutOnce) {
    const u32 live = memory_block_count();
    memory_block block = allocate_memory(3 * page(), NULL, 0);
    memory_block guarded = allocate_memory(100, NULL, MEMORY_GUARD_PAGE);
    EXPECT_EQ(memory_block_count(), live + 2);
    memory_block_record record = record_of(guarded.memory);
    EXPECT_EQ(record.size, 100u);
    EXPECT_EQ(record.flags, (u32)MEMORY_GUARD_PAGE);
    EXPECT_EQ(record.region, query(guarded.memory).AllocationBase);
    EXPECT_EQ(record.region_size, 2u * page());

    // The same address with another size is not the block.
    memory_block resized = {block.memory, 1, 0};
    free_memory(&resized);
    EXPECT_EQ(query(block.memory).State, (DWORD)MEM_COMMIT);

    // Pages the host allocated itself, as it does the back buffer's pixels.
    void* pixels = VirtualAlloc(NULL, page(), MEM_COMMIT, PAGE_READWRITE);
    memory_block foreign = {pixels, page(), 0};
    free_memory(&foreign);
    EXPECT_EQ(query(pixels).State, (DWORD)MEM_COMMIT);
    VirtualFree(pixels, 0, MEM_RELEASE);

    // A heap the module made itself.
    HANDLE heap = HeapCreate(0, 0, 0);
    void* from_heap = HeapAlloc(heap, 0, 64);
    memory_block heap_block = {query(from_heap).AllocationBase, 64, 0};
    free_memory(&heap_block);
    EXPECT_EQ(query(from_heap).State, (DWORD)MEM_COMMIT);
    HeapDestroy(heap);

    // Freed, then the same size again: a stale copy does not free the new
    // owner's block, wherever the system puts it.
    memory_block stale = block;
    free_memory(&block);
    EXPECT_EQ(query(stale.memory).State, (DWORD)MEM_FREE);
    memory_block successor = allocate_memory(3 * page(), NULL, 0);
    ASSERT_NE(successor.memory, nullptr);
    free_memory(&stale);
    EXPECT_EQ(query(successor.memory).State, (DWORD)MEM_COMMIT);
    ((u8*)successor.memory)[0] = 1;
    free_memory(&successor);
    EXPECT_EQ(query(successor.memory).State, (DWORD)MEM_FREE);
    free_memory(&guarded);
    EXPECT_EQ(memory_block_count(), live);

    // The record grows past its first page and keeps the order of the rest.
    static memory_block blocks[300];
    for (u32 i = 0; i < 300; ++i) {
        blocks[i] = allocate_memory(i + 1, NULL, i % 2 ? MEMORY_GUARD_PAGE : 0);
        ASSERT_NE(blocks[i].memory, nullptr);
    }
    for (u32 i = 0; i < 300; i += 3) {
        free_memory(&blocks[i]);
    }
    EXPECT_EQ(memory_block_count(), live + 200);
    for (u32 i = 0, kept = 0; i < 300; ++i) {
        if (i % 3) {
            EXPECT_EQ(memory_block_at(live + kept++).memory, blocks[i].memory) << i;
        }
    }
    for (u32 i = 0; i < 300; ++i) {
        free_memory(&blocks[i]);
    }
    EXPECT_EQ(memory_block_count(), live);
}
