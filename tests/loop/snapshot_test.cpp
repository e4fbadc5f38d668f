// Snapshots of real blocks from the memory service: put back at their own
// places with their own bytes, or not at all; placement that repeats; and
// the hashes that compare runs.
#include <gtest/gtest.h>

#include <string.h>

#include "loop/loop.h"
#include "loop/snapshot.h"

// Every block the memory service holds. The tests below count blocks from
// none: each starts by freeing what an earlier case in the same process left
// (the Windows tree runs each program's cases in one process).
static void free_all(void) {
    while (memory_block_count()) {
        memory_block_record record = memory_block_at(memory_block_count() - 1);
        free_block_record(&record);
    }
}

TEST(Snapshot, PutsBlocksBackAtTheirPlacesWithTheirBytes) {
    free_all();
    memory_block kept = allocate_memory(10000, NULL, MEMORY_GUARD_PAGE);
    memory_block freed = allocate_memory(70000, NULL, 0);
    ASSERT_TRUE(kept.memory && freed.memory);
    memset(kept.memory, 0x11, 10000);
    memset(freed.memory, 0x22, 70000);
    void* slot = kept.memory;
    u64 before = module_memory_hash(slot);

    snapshot shot = {};
    ASSERT_TRUE(snapshot_take(&shot, slot));
    EXPECT_EQ(shot.block_count, 2u);
    memset(kept.memory, 0x33, 10000);
    free_memory(&freed);
    memory_block added = allocate_memory(5000, NULL, 0);
    ASSERT_NE(added.memory, nullptr);
    slot = added.memory;
    EXPECT_NE(module_memory_hash(slot), before);

    char reason[160] = "";
    ASSERT_TRUE(snapshot_restore(&shot, &slot, reason, sizeof(reason))) << reason;
    EXPECT_EQ(slot, kept.memory);
    ASSERT_EQ(memory_block_count(), 2u);
    bool found_kept = false;
    bool found_freed = false;
    for (u32 i = 0; i < 2; ++i) {
        memory_block_record record = memory_block_at(i);
        found_kept |= record.memory == kept.memory && record.size == 10000 &&
                      record.flags == MEMORY_GUARD_PAGE;
        found_freed |= record.memory == freed.memory && record.size == 70000;
    }
    EXPECT_TRUE(found_kept && found_freed);
    for (u32 i = 0; i < 10000; ++i) ASSERT_EQ(((u8*)kept.memory)[i], 0x11) << i;
    for (u32 i = 0; i < 70000; ++i) ASSERT_EQ(((u8*)freed.memory)[i], 0x22) << i;
    EXPECT_EQ(module_memory_hash(slot), before);

    // Twice over, as a loop's rounds do.
    memset(freed.memory, 0x44, 100);
    ASSERT_TRUE(snapshot_restore(&shot, &slot, reason, sizeof(reason))) << reason;
    EXPECT_EQ(module_memory_hash(slot), before);
    snapshot_free(&shot);
    free_all();
}

TEST(Snapshot, ATakenPlaceChangesNothingAndSaysWhy) {
    free_all();
    memory_block kept = allocate_memory(4096, NULL, 0);
    memory_block freed = allocate_memory(8192, NULL, 0);
    ASSERT_TRUE(kept.memory && freed.memory);
    void* freed_place = freed.memory;
    memset(kept.memory, 1, 4096);
    void* slot = NULL;
    snapshot shot = {};
    ASSERT_TRUE(snapshot_take(&shot, slot));
    free_memory(&freed);
    // Something other than the module now holds the freed block's place.
    u8* squatter = memory_map_pages(freed_place, 8192, 0);
    ASSERT_EQ(squatter, freed_place);
    memory_block added = allocate_memory(4096, NULL, 0);
    memset(kept.memory, 2, 4096);
    slot = added.memory;

    char reason[160] = "";
    EXPECT_FALSE(snapshot_restore(&shot, &slot, reason, sizeof(reason)));
    EXPECT_NE(strstr(reason, "is taken"), nullptr) << reason;
    EXPECT_EQ(slot, added.memory);
    EXPECT_EQ(memory_block_count(), 2u);
    EXPECT_EQ(memory_block_at(1).memory, added.memory);
    EXPECT_EQ(((u8*)kept.memory)[4095], 2);

    // Once the place is free again, the same snapshot goes back whole.
    memory_unmap_pages(squatter, 8192);
    ASSERT_TRUE(snapshot_restore(&shot, &slot, reason, sizeof(reason))) << reason;
    EXPECT_EQ(slot, nullptr);
    EXPECT_EQ(((u8*)kept.memory)[4095], 1);
    EXPECT_EQ(memory_block_at(1).memory, freed_place);

    // A block allocated since on a freed block's place goes, as the
    // restore releases it anyway, and the freed block comes back there.
    free_memory(&freed);
    memory_block usurper = allocate_memory(100, freed_place, 0);
    ASSERT_EQ(usurper.memory, freed_place);
    ASSERT_TRUE(snapshot_restore(&shot, &slot, reason, sizeof(reason))) << reason;
    EXPECT_EQ(memory_block_count(), 2u);
    EXPECT_EQ(memory_block_at(1).memory, freed_place);
    EXPECT_EQ(memory_block_at(1).size, 8192u);
    snapshot_free(&shot);
    free_all();
}

TEST(Placement, SameAllocationsLandOnTheSamePlacesPastWhatIsTaken) {
    free_all();
    // Where the host places blocks: free on every system it runs on.
    u8* base = (u8*)LOOP_PLACEMENT_BASE;
    memory_set_placement(base);
    memory_block first = allocate_memory(100, NULL, 0);
    memory_block second = allocate_memory(70000, NULL, MEMORY_GUARD_PAGE);
    EXPECT_EQ(first.memory, base);
    EXPECT_GE((u8*)second.memory, base + MEMORY_PLACEMENT_ALIGN);
    EXPECT_EQ((u64)memory_block_at(1).region % MEMORY_PLACEMENT_ALIGN, 0u);
    free_memory(&first);
    free_memory(&second);

    // From the same cursor, again: the same places, though just freed.
    memory_set_placement(base);
    EXPECT_EQ(memory_placement(), base);
    memory_block again = allocate_memory(100, NULL, 0);
    memory_block second_again = allocate_memory(70000, NULL, MEMORY_GUARD_PAGE);
    EXPECT_EQ(again.memory, first.memory);
    EXPECT_EQ(second_again.memory, second.memory);
    free_memory(&again);
    free_memory(&second_again);

    // A place someone else holds is skipped.
    u8* squatter = memory_map_pages(base, 4096, 0);
    ASSERT_EQ(squatter, base);
    memory_set_placement(base);
    memory_block skipped = allocate_memory(100, NULL, 0);
    EXPECT_GT((u8*)skipped.memory, base);
    EXPECT_LT((u8*)skipped.memory, base + (1 << 20));
    free_memory(&skipped);
    memory_unmap_pages(squatter, 4096);

    memory_set_placement(NULL);
    EXPECT_EQ(memory_placement(), nullptr);
    free_all();
}

TEST(Hashes, FollowEveryByteAndNotTheOrderOfBlocks) {
    free_all();
    u8 bytes[1000] = {};
    u64 zero = hash_bytes(bytes, sizeof(bytes), 0);
    for (u32 at : {0u, 7u, 31u, 32u, 998u, 999u}) {
        bytes[at] = 1;
        EXPECT_NE(hash_bytes(bytes, sizeof(bytes), 0), zero) << at;
        bytes[at] = 0;
    }
    EXPECT_NE(hash_bytes(bytes, 999, 0), zero);
    EXPECT_NE(hash_bytes(bytes, sizeof(bytes), 1), zero);

    memory_block a = allocate_memory(3000, NULL, 0);
    memory_block b = allocate_memory(5000, NULL, 0);
    ((u8*)a.memory)[10] = 5;
    u64 both = module_memory_hash(NULL);
    EXPECT_NE(module_memory_hash(a.memory), both);
    // Freed and made again with the same bytes, now the newest: the same.
    free_memory(&a);
    a = allocate_memory(3000, NULL, 0);
    ((u8*)a.memory)[10] = 5;
    EXPECT_EQ(module_memory_hash(NULL), both);
    ((u8*)b.memory)[4999] = 1;
    EXPECT_NE(module_memory_hash(NULL), both);
    free_all();
}
