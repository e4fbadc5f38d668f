#include <gtest/gtest.h>

#include <string.h>

#include <vector>

#include "engine/base/memory.h"
#include "tests/base/big_span.h"

namespace {

const u8 canary = 0xC5;

// A 16-byte-aligned window with canaries around whatever is written.
struct alignas(16) guarded {
    u8 bytes[256];
};

TEST(fast_fill, every_head_and_tail_alignment) {
    guarded g;
    for (u32 offset = 0; offset < 32; ++offset) {
        for (u32 count = 0; count <= 96; ++count) {
            memset(g.bytes, canary, sizeof g.bytes);
            fast_fill(g.bytes + 64 + offset, 0x1AB, count);
            for (u32 i = 0; i < sizeof g.bytes; ++i) {
                bool inside = i >= 64 + offset && i < 64 + offset + count;
                ASSERT_EQ(g.bytes[i], inside ? 0xAB : canary)
                    << "offset " << offset << " count " << count << " byte " << i;
            }
        }
    }
}

TEST(fast_fill, large_blocks) {
    std::vector<u8> buffer((1u << 20) + 64, canary);
    u8* start = buffer.data() + 7;
    u64 count = (1u << 20) + 33;
    fast_fill(start, 0, count);
    EXPECT_EQ(buffer[6], canary);
    EXPECT_EQ(buffer[7 + count], canary);
    for (u64 i = 0; i < count; ++i) ASSERT_EQ(start[i], 0) << i;
}

TEST(copy_bytes, copies_every_length_and_returns_the_count) {
    u8 source[200];
    for (u32 i = 0; i < sizeof source; ++i) source[i] = (u8)(i * 7 + 1);
    for (u32 offset = 0; offset < 16; ++offset) {
        for (u32 count = 0; count <= 150; ++count) {
            u8 target[200];
            memset(target, canary, sizeof target);
            ASSERT_EQ(copy_bytes(target + offset, source + 3, count), count);
            ASSERT_EQ(memcmp(target + offset, source + 3, count), 0);
            for (u32 i = 0; i < sizeof target; ++i) {
                if (i < offset || i >= offset + count) ASSERT_EQ(target[i], canary);
            }
        }
    }
}

// Expected result of an overlap-safe move, computed through a scratch copy.
std::vector<u8> moved(std::vector<u8> bytes, size_t to, size_t from, size_t count) {
    std::vector<u8> scratch(bytes.begin() + from, bytes.begin() + from + count);
    std::copy(scratch.begin(), scratch.end(), bytes.begin() + to);
    return bytes;
}

TEST(move_bytes, overlap_in_both_directions) {
    std::vector<u8> original(128);
    for (size_t i = 0; i < original.size(); ++i) original[i] = (u8)(i + 1);
    const size_t shifts[] = {1, 3, 15, 16, 17, 40};
    for (size_t shift : shifts) {
        for (size_t count = 0; count + shift <= 100; count += 7) {
            std::vector<u8> up = original;
            EXPECT_EQ(move_bytes(up.data() + 10 + shift, up.data() + 10, count), count);
            EXPECT_EQ(up, moved(original, 10 + shift, 10, count)) << shift << " " << count;

            std::vector<u8> down = original;
            EXPECT_EQ(move_bytes(down.data() + 10, down.data() + 10 + shift, count), count);
            EXPECT_EQ(down, moved(original, 10, 10 + shift, count)) << shift << " " << count;
        }
    }
    // One byte up shifts the block without smearing.
    u8 row[] = {1, 2, 3, 4, 5, 0};
    move_bytes(row + 1, row, 5);
    EXPECT_EQ(memcmp(row, "\x01\x01\x02\x03\x04\x05", 6), 0);
    // Equal regions: nothing written, the count still returned.
    EXPECT_EQ(move_bytes(row, row, 0x100000005ull), 5u);
}

#if HAVE_BIG_SPAN
// Counts of 2^32 and more copy everything, in both directions.
TEST(copy_bytes, counts_beyond_32_bits) {
    big_span a, b;
    ASSERT_TRUE(big_span_map(&a, 0x11, 0x22));
    ASSERT_TRUE(big_span_map(&b, 0x00, 0x00));
    EXPECT_EQ(copy_bytes(b.start, a.start, a.size), (u32)BIG_SPAN_TAIL);
    EXPECT_TRUE(all_bytes(b.tail, BIG_SPAN_TAIL, 0x22));
    EXPECT_TRUE(all_bytes(b.chunk, BIG_SPAN_CHUNK, 0x11));

    // move_bytes copies first to last into the lower span, last to first
    // into the higher one; both reach the tail.
    big_span& low = a.start < b.start ? a : b;
    big_span& high = a.start < b.start ? b : a;
    memset(low.tail, 0x33, BIG_SPAN_TAIL);
    memset(high.tail, 0x44, BIG_SPAN_TAIL);
    EXPECT_EQ(move_bytes(high.start, low.start, low.size), (u32)BIG_SPAN_TAIL);
    EXPECT_TRUE(all_bytes(high.tail, BIG_SPAN_TAIL, 0x33));
    memset(high.tail, 0x55, BIG_SPAN_TAIL);
    EXPECT_EQ(move_bytes(low.start, high.start, high.size), (u32)BIG_SPAN_TAIL);
    EXPECT_TRUE(all_bytes(low.tail, BIG_SPAN_TAIL, 0x55));
    big_span_unmap(&a);
    big_span_unmap(&b);
}
#endif

TEST(fill, bytes_and_words) {
    u8 bytes[8];
    memset(bytes, canary, sizeof bytes);
    EXPECT_EQ(fill_bytes(bytes + 1, 0x7E, 6), 6u);
    EXPECT_EQ(memcmp(bytes, "\xC5\x7E\x7E\x7E\x7E\x7E\x7E\xC5", 8), 0);
    EXPECT_EQ(fill_bytes(bytes, 0, 0), 0u);
    EXPECT_EQ(bytes[0], canary);

    u32 words[5] = {1, 1, 1, 1, 1};
    fill_words(words + 1, 0xDEADBEEF, 3);
    EXPECT_EQ(words[0], 1u);
    EXPECT_EQ(words[1], 0xDEADBEEFu);
    EXPECT_EQ(words[3], 0xDEADBEEFu);
    EXPECT_EQ(words[4], 1u);
}

TEST(bytes_equal, plain_and_counted) {
    EXPECT_EQ(bytes_equal("abcd", "abce", 3), 1u);
    EXPECT_EQ(bytes_equal("abcd", "abce", 4), 0u);
    EXPECT_EQ(bytes_equal("x", "y", 0), 1u);
    EXPECT_EQ(bytes_equal("a\0b", "a\0c", 3), 0u);  // zeros are bytes like any other
    EXPECT_EQ(bytes_equal_counted("abc", "abc", 3, 3), 1u);
    EXPECT_EQ(bytes_equal_counted("abc", "abc", 3, 2), 0u);
    EXPECT_EQ(bytes_equal_counted("abX", "abY", 2, 2), 1u);
    EXPECT_EQ(bytes_equal_counted("", "", 0, 0), 1u);
}

TEST(pointers, rebase_and_range) {
    u8 old_block[16], new_block[16];
    EXPECT_EQ(rebase_pointer(old_block + 5, old_block, new_block), (void*)(new_block + 5));
    EXPECT_EQ(rebase_pointer(new_block + 5, new_block, old_block), (void*)(old_block + 5));
    EXPECT_EQ(rebase_pointer(nullptr, old_block, new_block), nullptr);
    EXPECT_EQ(in_range(old_block, old_block, old_block + 15), 1u);
    EXPECT_EQ(in_range(old_block + 15, old_block, old_block + 15), 1u);
    EXPECT_EQ(in_range(old_block + 16, old_block, old_block + 15), 0u);
    EXPECT_EQ(in_range(old_block + 3, old_block + 4, old_block + 15), 0u);
}

}  // namespace
