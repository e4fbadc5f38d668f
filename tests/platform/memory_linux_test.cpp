// The POSIX memory services: real pages, real protection, a real fault.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdio.h>
#include <sys/mman.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/memory.h"
#include "tests/platform/scratch_posix.h"

static u64 page(void) { return (u64)sysconf(_SC_PAGESIZE); }

// The permissions /proc/self/maps shows for the page holding address
// ("rw-p", "---p"), or "" where nothing is mapped.
static std::string protection_of(const void* address) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        unsigned long long start = 0, end = 0;
        char permissions[8] = {0};
        if (sscanf(line.c_str(), "%llx-%llx %7s", &start, &end, permissions) == 3 &&
            (u64)address >= start && (u64)address < end) {
            return permissions;
        }
    }
    return "";
}

// The record of the live block that starts at memory.
static memory_block_record record_of(const void* memory) {
    for (u32 i = 0; i < memory_block_count(); ++i) {
        if (memory_block_at(i).memory == memory) {
            return memory_block_at(i);
        }
    }
    return memory_block_at(memory_block_count());
}

TEST(MemoryServices, PlainBlocksAreZeroedPagesPlacedOnlyWhereFree) {
    const u32 live = memory_block_count();
    memory_block block = allocate_memory(10000, NULL, 0);
    ASSERT_NE(block.memory, nullptr);
    EXPECT_EQ(block.size, 10000u);
    EXPECT_EQ(block.reserved, 0u);
    EXPECT_EQ((u64)block.memory % page(), 0u);
    for (u32 i = 0; i < 10000; ++i) {
        ASSERT_EQ(((u8*)block.memory)[i], 0) << i;
    }
    ((u8*)block.memory)[9999] = 1;
    EXPECT_EQ(protection_of(block.memory), "rw-p");
    EXPECT_EQ(memory_block_count(), live + 1);
    memory_block_record record = memory_block_at(live);
    EXPECT_EQ(record.memory, block.memory);
    EXPECT_EQ(record.region, block.memory);
    EXPECT_EQ(record.size, 10000u);
    EXPECT_EQ(record.region_size, (10000 + page() - 1) / page() * page());
    EXPECT_EQ(record.flags, 0u);

    // A hint that is taken, or not on a page boundary, fails plainly.
    memory_block clash = allocate_memory(100, block.memory, 0);
    EXPECT_EQ(clash.memory, nullptr);
    EXPECT_EQ(clash.size, 100u);
    EXPECT_EQ(allocate_memory(100, block.memory, MEMORY_GUARD_PAGE).memory, nullptr);
    EXPECT_EQ(allocate_memory(0, NULL, 0).memory, nullptr);
    EXPECT_EQ(memory_block_count(), live + 1);

    memory_block copy = block;
    free_memory(&block);
    EXPECT_EQ(block.memory, copy.memory);  // the record is not changed
    EXPECT_EQ(protection_of(copy.memory), "");
    EXPECT_EQ(memory_block_count(), live);

    // A hint that is free is honoured.
    memory_block placed = allocate_memory(100, copy.memory, 0);
    EXPECT_EQ(placed.memory, copy.memory);
    free_memory(&placed);
    EXPECT_EQ(allocate_memory(100, (u8*)copy.memory + 8, 0).memory, nullptr);
}

TEST(MemoryServices, GuardedBlocksEndAtTheGuardPage) {
    const u64 p = page();
    memory_block block = allocate_memory(100, NULL, MEMORY_GUARD_PAGE);
    ASSERT_NE(block.memory, nullptr);
    memory_block_record record = record_of(block.memory);
    u8* base = (u8*)record.region;
    EXPECT_EQ(record.region_size, 2 * p);
    EXPECT_EQ(record.flags, (u32)MEMORY_GUARD_PAGE);
    EXPECT_EQ((u8*)block.memory, base + p - 100);
    EXPECT_EQ((u64)block.memory % 8, 4u);  // aligned only as far as 100 allows
    EXPECT_EQ(protection_of(base), "rw-p");
    EXPECT_EQ(protection_of(base + p), "---p");
    ((u8*)block.memory)[0] = 1;
    ((u8*)block.memory)[99] = 1;

    // A whole page: one page more than needed, block at base + page.
    memory_block whole = allocate_memory((u32)p, NULL, MEMORY_GUARD_PAGE);
    u8* whole_base = (u8*)record_of(whole.memory).region;
    EXPECT_EQ(record_of(whole.memory).region_size, 3 * p);
    EXPECT_EQ((u8*)whole.memory, whole_base + p);
    EXPECT_EQ(protection_of(whole_base + p), "rw-p");
    EXPECT_EQ(protection_of(whole_base + 2 * p), "---p");

    // An empty guarded block starts at the guard page itself.
    memory_block empty = allocate_memory(0, NULL, MEMORY_GUARD_PAGE);
    ASSERT_NE(empty.memory, nullptr);
    EXPECT_EQ(protection_of(empty.memory), "---p");

    // Freeing gives back the whole region, the guard page included.
    free_memory(&block);
    EXPECT_EQ(protection_of(base), "");
    EXPECT_EQ(protection_of(base + p), "");
    free_memory(&whole);
    free_memory(&empty);
    EXPECT_EQ(protection_of(whole_base + 2 * p), "");
    EXPECT_EQ(protection_of(empty.memory), "");

    // The region would pass 32 bits: refused, nothing reserved.
    const u32 live = memory_block_count();
    memory_block huge = allocate_memory(0xFFFFF000u, NULL, MEMORY_GUARD_PAGE);
    EXPECT_EQ(huge.memory, nullptr);
    EXPECT_EQ(huge.size, 0xFFFFF000u);
    EXPECT_EQ(memory_block_count(), live);
}

static memory_block faulting_block;

static void write_last_byte(void) { ((volatile u8*)faulting_block.memory)[99] = 1; }
static void write_past_the_end(void) { ((volatile u8*)faulting_block.memory)[100] = 1; }

TEST(MemoryServices, TheBytePastAGuardedBlockFaults) {
    faulting_block = allocate_memory(100, NULL, MEMORY_GUARD_PAGE);
    EXPECT_EQ(signal_ending_child(write_last_byte), 0);
    EXPECT_EQ(signal_ending_child(write_past_the_end), SIGSEGV);
    free_memory(&faulting_block);
}

TEST(MemoryServices, FreesOnlyLiveBlocksItHandedOutOnce) {
    const u32 live = memory_block_count();
    memory_block block = allocate_memory((u32)(3 * page()), NULL, 0);
    memory_block inside = {(u8*)block.memory + page(), page(), 0};
    memory_block resized = {block.memory, 1, 0};
    free_memory(&inside);
    free_memory(&resized);
    EXPECT_EQ(protection_of(block.memory), "rw-p");

    // Pages from elsewhere (the back buffer's, say) are not the service's.
    void* pixels = mmap(NULL, page(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    memory_block foreign = {pixels, page(), 0};
    free_memory(&foreign);
    EXPECT_EQ(protection_of(pixels), "rw-p");
    munmap(pixels, page());

    // Freed twice: the second time the pages that took its place stay.
    memory_block copy = block;
    free_memory(&block);
    EXPECT_EQ(memory_block_count(), live);
    void* successor = mmap(copy.memory, page(), PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    ASSERT_EQ(successor, copy.memory);
    free_memory(&copy);
    EXPECT_EQ(protection_of(successor), "rw-p");
    munmap(successor, page());
    free_memory(NULL);

    // The record grows past its first page and keeps the order of the rest.
    memory_block blocks[300];
    for (u32 i = 0; i < 300; ++i) {
        blocks[i] = allocate_memory(i + 1, NULL, i % 2 ? MEMORY_GUARD_PAGE : 0);
        ASSERT_NE(blocks[i].memory, nullptr);
    }
    EXPECT_EQ(memory_block_count(), live + 300);
    for (u32 i = 0; i < 300; i += 3) {
        free_memory(&blocks[i]);
    }
    EXPECT_EQ(memory_block_count(), live + 200);
    for (u32 i = 0, kept = 0; i < 300; ++i) {
        if (i % 3) {
            memory_block_record record = memory_block_at(live + kept++);
            EXPECT_EQ(record.memory, blocks[i].memory) << i;
            EXPECT_EQ(record.size, i + 1u);
        }
    }
    for (u32 i = 0; i < 300; ++i) {
        free_memory(&blocks[i]);  // a third of them for the second time
    }
    EXPECT_EQ(memory_block_count(), live);
    EXPECT_EQ(memory_block_at(live).memory, nullptr);
}

TEST(MemoryServices, AStaleCopyDoesNotFreeTheSameSizedSuccessor) {
    const u32 live = memory_block_count();
    memory_block block = allocate_memory((u32)(2 * page()), NULL, 0);
    memory_block stale = block;
    free_memory(&block);
    // The system would hand the same place straight back.
    memory_block successor = allocate_memory((u32)(2 * page()), NULL, 0);
    ASSERT_NE(successor.memory, nullptr);
    free_memory(&stale);
    EXPECT_EQ(protection_of(successor.memory), "rw-p");
    EXPECT_EQ(memory_block_count(), live + 1);
    free_memory(&successor);
    EXPECT_EQ(protection_of(successor.memory), "");
    EXPECT_EQ(memory_block_count(), live);
}

// Touched pages, read or written, count; never-touched ones don't, across
// more pages than one read of the page map takes.
TEST(MemoryServices, TouchedPagesAreToldFromUntouchedOnes) {
    const u64 page = memory_page_size();
    const u64 count = 1500;
    u8* pages = memory_map_pages(NULL, count * page, 0);
    ASSERT_NE(pages, nullptr);
    const u64 touched[] = {0, 511, 512, 1023, 1024, count - 1};
    for (u64 at : touched) {
        pages[at * page + page - 1] = 1;
    }
    volatile u8 read = pages[700 * page];
    (void)read;
    std::vector<u8> resident(count, 7);
    memory_pages_resident(pages, count * page, resident.data());
    for (u64 i = 0; i < count; ++i) {
        bool expected = i == 700;
        for (u64 at : touched) {
            expected |= i == at;
        }
        ASSERT_EQ(resident[i], expected ? 1 : 0) << "page " << i;
    }
    memory_unmap_pages(pages, count * page);
}
