#include <gtest/gtest.h>

#include <string.h>

#include "engine/base/arena.h"
#include "tests/base/big_span.h"
#include "tests/base/fatal_stop.h"

namespace {

struct alignas(64) block {
    u8 bytes[256];
};

arena make_arena(block* b, u64 capacity) {
    arena a = {};
    a.base = b->bytes;
    a.capacity = capacity;
    return a;
}

TEST(arena_push, bumps_and_counts) {
    block b;
    arena a = make_arena(&b, 256);
    u8* first = (u8*)arena_push(&a, 10, 0);
    u8* second = (u8*)arena_push(&a, 20, 0);
    EXPECT_EQ(first, b.bytes);
    EXPECT_EQ(second, b.bytes + 10);
    EXPECT_EQ(a.used, 30u);
    EXPECT_EQ(a.total_pushed, 30u);
    EXPECT_EQ(arena_remaining(&a), 226u);

    EXPECT_EQ(arena_pop_to(&a, second), second);
    EXPECT_EQ(a.used, 10u);
    EXPECT_EQ(a.total_pushed, 30u);
    EXPECT_EQ(a.capacity, 256u);
    EXPECT_EQ(a.reserved, 0u);
}

TEST(arena_push, power_of_two_alignment) {
    block b;
    arena a = make_arena(&b, 256);
    EXPECT_EQ(arena_push(&a, 5, 16), b.bytes);  // already aligned: no gap
    EXPECT_EQ(a.used, 5u);

    a.used = 17;  // one past a multiple of 16
    a.total_pushed = 0;
    EXPECT_EQ(arena_push(&a, 3, 16), b.bytes + 32);
    EXPECT_EQ(a.used, 17u + 15 + 3);
    EXPECT_EQ(a.total_pushed, 15u + 3);

    // A push of size 0 returns the aligned position and still takes the gap.
    a.used = 33;
    EXPECT_EQ(arena_push(&a, 0, 8), b.bytes + 40);
    EXPECT_EQ(a.used, 40u);
    EXPECT_EQ(arena_push(&a, 0, 1), b.bytes + 40);
    EXPECT_EQ(a.used, 40u);
}

TEST(arena_push, other_alignments_round_down_then_add) {
    block b;
    arena a = make_arena(&b, 256);
    // 12: round down to a multiple of 8, then add 12 if that moved it.
    a.used = 16;
    EXPECT_EQ(arena_push(&a, 1, 12), b.bytes + 16);
    a.used = 17;
    EXPECT_EQ(arena_push(&a, 1, 12), b.bytes + 28);
    EXPECT_EQ(a.used, 29u);
    a.used = 23;
    EXPECT_EQ(arena_push(&a, 1, 12), b.bytes + 28);
    // 3: a multiple of 2, else 3 added to the round-down.
    a.used = 5;
    EXPECT_EQ(arena_push(&a, 1, 3), b.bytes + 7);
    a.used = 6;
    EXPECT_EQ(arena_push(&a, 1, 3), b.bytes + 6);
    // 100: round down to 64, then +100.
    a.used = 65;
    EXPECT_EQ(arena_push(&a, 1, 100), b.bytes + 164);
    EXPECT_EQ(a.used, 165u);
}

TEST(arena_push, alignment_is_of_the_address_not_the_offset) {
    block b;
    arena a = make_arena(&b, 256);
    a.base = b.bytes + 3;
    a.capacity = 200;
    EXPECT_EQ(arena_push(&a, 1, 16), b.bytes + 16);
    EXPECT_EQ(a.used, 14u);
}

TEST(arena_push, exact_fit_and_one_byte_more) {
    block b;
    arena a = make_arena(&b, 64);
    arena_push(&a, 1, 0);
    EXPECT_EQ(arena_push(&a, 15, 16), b.bytes + 16);  // gap 15, ends at 31
    EXPECT_EQ(arena_push(&a, 33, 0), b.bytes + 31);
    EXPECT_EQ(arena_remaining(&a), 0u);
    EXPECT_EQ(a.used, 64u);
}

TEST(arena_sub, carves_an_empty_arena) {
    block b;
    arena parent = make_arena(&b, 256);
    arena_push(&parent, 3, 0);
    parent.reserved = 77;
    arena sub = arena_sub(&parent, 100);
    EXPECT_EQ(sub.base, b.bytes + 3);
    EXPECT_EQ(sub.capacity, 100u);
    EXPECT_EQ(sub.used, 0u);
    EXPECT_EQ(sub.reserved, 0u);
    EXPECT_EQ(sub.total_pushed, 0u);
    EXPECT_EQ(parent.used, 103u);
    EXPECT_EQ(parent.total_pushed, 103u);
    EXPECT_EQ(arena_push(&sub, 100, 0), b.bytes + 3);
    EXPECT_EQ(arena_remaining(&sub), 0u);
}

TEST(arena_pop, to_the_end_changes_nothing_to_the_base_empties) {
    block b;
    memset(b.bytes, 0xEE, sizeof b.bytes);
    arena a = make_arena(&b, 256);
    arena_push(&a, 40, 0);
    arena_pop_to(&a, b.bytes + 40);
    EXPECT_EQ(a.used, 40u);
    EXPECT_EQ(arena_pop_to(&a, b.bytes), b.bytes);
    EXPECT_EQ(a.used, 0u);
    EXPECT_EQ(a.total_pushed, 40u);
    EXPECT_EQ(b.bytes[0], 0xEE);  // released bytes keep their contents
}

TEST(arena_pop, zeroing_pop_clears_exactly_the_released_span) {
    block b;
    memset(b.bytes, 0xEE, sizeof b.bytes);
    arena a = make_arena(&b, 256);
    arena_push(&a, 200, 0);
    EXPECT_EQ(arena_pop_to_zero(&a, b.bytes + 7), b.bytes + 7);
    EXPECT_EQ(a.used, 7u);
    EXPECT_EQ(a.total_pushed, 200u);
    for (u32 i = 0; i < 256; ++i) {
        ASSERT_EQ(b.bytes[i], i >= 7 && i < 200 ? 0 : 0xEE) << i;
    }
}

#if HAVE_BIG_SPAN
TEST(arena_pop, zeroing_pop_clears_a_span_beyond_32_bits) {
    big_span span;
    ASSERT_TRUE(big_span_map(&span, 0xEE, 0xEE));
    arena a = {};
    a.base = span.start;
    a.capacity = span.size;
    arena_push(&a, span.size, 0);
    EXPECT_EQ(arena_remaining(&a), 0u);
    arena_pop_to_zero(&a, span.start);
    EXPECT_EQ(a.used, 0u);
    EXPECT_TRUE(all_bytes(span.tail, BIG_SPAN_TAIL, 0));
    EXPECT_TRUE(all_bytes(span.chunk, BIG_SPAN_CHUNK, 0));
    big_span_unmap(&span);
}
#endif

TEST(bump_index, hands_out_below_the_limit) {
    u32 index = 0;
    EXPECT_EQ(bump_index(&index, 10, 9), 0u);
    EXPECT_EQ(index, 9u);
    EXPECT_EQ(bump_index(&index, 10, 0), 9u);
    index = 0xFFFFFFF0;
    EXPECT_EQ(bump_index(&index, 0xFFFFFFFF, 14), 0xFFFFFFF0u);
    EXPECT_EQ(index, 0xFFFFFFFEu);
}

TEST(highest_bit, bit_numbers) {
    EXPECT_EQ(highest_bit(0), 0u);
    EXPECT_EQ(highest_bit(1), 0u);
    EXPECT_EQ(highest_bit(16), 4u);
    EXPECT_EQ(highest_bit(31), 4u);
    EXPECT_EQ(highest_bit(12), 3u);
    EXPECT_EQ(highest_bit(0x80000000), 31u);
    EXPECT_EQ(highest_bit(0xFFFFFFFF), 31u);
}

TEST(arena_death, failed_invariants_stop) {
    block b;
    arena a = make_arena(&b, 64);
    a.base = b.bytes + 16;  // so that the byte before the base is in the block
    arena_push(&a, 1, 0);
    EXPECT_FATAL_STOP(arena_push(&a, 64, 0));
    EXPECT_FATAL_STOP(arena_push(&a, 49, 16));  // fits only without the gap
    EXPECT_FATAL_STOP(arena_push(&a, 0xFFFFFFFFFFFFFFFFull, 0));
    EXPECT_FATAL_STOP(arena_sub(&a, 64));
    arena_push(&a, 9, 0);
    EXPECT_FATAL_STOP(arena_pop_to(&a, a.base + 11));  // past the part in use
    EXPECT_FATAL_STOP(arena_pop_to(&a, a.base - 1));
    EXPECT_FATAL_STOP(arena_pop_to_zero(&a, a.base + 11));
    EXPECT_FATAL_STOP(arena_pop_to_zero(&a, a.base - 1));
    EXPECT_EQ(a.used, 10u);  // nothing changed in this process
}

TEST(bump_index_death, at_or_past_the_limit_or_wrapping_stops) {
    u32 index = 9;
    EXPECT_FATAL_STOP(bump_index(&index, 10, 1));  // reaches the limit exactly
    EXPECT_FATAL_STOP(bump_index(&index, 9, 0));   // already at the limit
    index = 5;
    EXPECT_FATAL_STOP(bump_index(&index, 10, 0xFFFFFFFE));  // wraps to 3
    EXPECT_EQ(index, 5u);
}

}  // namespace
