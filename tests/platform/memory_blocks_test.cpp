// The live-block record beneath the memory services, the same on every
// system: serials that order the blocks and are never reused, and a freed
// block mapped back at its place with its own record.
#include <gtest/gtest.h>

#include <string.h>

#include "platform/memory.h"

namespace {

memory_block_record record_of(const void* memory) {
    for (u32 i = 0; i < memory_block_count(); ++i) {
        if (memory_block_at(i).memory == memory) {
            return memory_block_at(i);
        }
    }
    return memory_block_record{};
}

TEST(MemoryBlocks, SerialsCountUpAndAFreedBlockComesBackInItsPlaceAmongTheLive) {
    u64 before = memory_newest_serial();
    u32 live = memory_block_count();
    memory_block a = allocate_memory(5000, NULL, 0);
    memory_block b = allocate_memory(100, NULL, MEMORY_GUARD_PAGE);
    memory_block c = allocate_memory(4096, NULL, MEMORY_SCRATCH);
    ASSERT_TRUE(a.memory && b.memory && c.memory);
    EXPECT_EQ(record_of(a.memory).serial, before + 1);
    EXPECT_EQ(record_of(b.memory).serial, before + 2);
    EXPECT_EQ(record_of(c.memory).serial, before + 3);
    EXPECT_EQ(record_of(c.memory).flags, (u32)MEMORY_SCRATCH);
    EXPECT_EQ(memory_newest_serial(), before + 3);

    memory_block_record freed = record_of(b.memory);
    memset(b.memory, 7, 100);
    free_memory(&b);
    EXPECT_EQ(memory_block_count(), live + 2);
    // Allocated again at the same address, it is another block.
    memory_block again = allocate_memory(100, freed.region, MEMORY_GUARD_PAGE);
    ASSERT_EQ(again.memory, b.memory);
    EXPECT_EQ(record_of(again.memory).serial, before + 4);
    // Its place is taken: the old one can't come back.
    EXPECT_FALSE(memory_revive_block(&freed));
    free_memory(&again);

    ASSERT_TRUE(memory_revive_block(&freed));
    EXPECT_EQ(memory_block_count(), live + 3);
    memory_block_record revived = memory_block_at(live + 1);
    EXPECT_EQ(revived.memory, freed.memory);
    EXPECT_EQ(revived.serial, freed.serial);
    EXPECT_EQ(revived.region_size, freed.region_size);
    EXPECT_EQ(((u8*)revived.memory)[0], 0);  // zeroed: the caller puts the bytes back
    EXPECT_EQ(memory_block_at(live + 2).memory, c.memory);
    // Its guard page is back too: the block frees whole by its record.
    free_block_record(&revived);
    free_memory(&a);
    free_memory(&c);
    EXPECT_EQ(memory_block_count(), live);
}

}  // namespace
