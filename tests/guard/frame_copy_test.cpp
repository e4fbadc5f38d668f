// The history's base, byte by byte: runs taken at any alignment, across
// page edges and over bytes held already give back exactly the first bytes
// taken for each byte and leave the others alone; an exclusive or applies
// only where every byte is held; a copy read into another area writes back
// the same; a copy without room says so and keeps what fitted.
#include <string.h>
#include <vector>

#include <gtest/gtest.h>

#include "guard/frame_copy.h"

namespace {

const u64 PAGE = FRAME_COPY_PAGE;

u32 next(u32* seed) {
    *seed = *seed * 1664525u + 1013904223u;
    return *seed >> 8;
}

TEST(FrameCopy, HoldsTheFirstBytesTakenOfEachRunAtAnyAlignment) {
    const u64 size = 6 * PAGE;
    u8* memory = (u8*)pages_allocate(size);
    ASSERT_NE(memory, nullptr);
    frame_copy copy;
    ASSERT_TRUE(frame_copy_make(&copy, 1 << 20));
    std::vector<u8> expected(size, 0xEE);
    std::vector<bool> held(size, false);
    u32 seed = 7;
    for (u32 i = 0; i < 400; ++i) {
        u64 at = next(&seed) % size;
        u64 length = 1 + next(&seed) % (i % 10 == 0 ? 3 * PAGE : 130);
        length = at + length > size ? size - at : length;
        std::vector<u8> bytes(length);
        for (u64 k = 0; k < length; ++k) {
            bytes[k] = (u8)(i * 31 + k);
        }
        ASSERT_TRUE(frame_copy_take(&copy, (u64)memory + at, bytes.data(), length)) << i;
        for (u64 k = 0; k < length; ++k) {
            expected[at + k] = held[at + k] ? expected[at + k] : bytes[k];
            held[at + k] = true;
        }
    }
    // Exclusive ors over runs wholly held, and one that is not.
    u64 whole = 0;
    for (u64 at = 0; at + 100 < size && whole < 20; at += 211) {
        bool all = true;
        for (u64 k = 0; k < 100; ++k) {
            all = all && held[at + k];
        }
        std::vector<u8> x(100, (u8)(at | 1));
        EXPECT_EQ(frame_copy_xor(&copy, (u64)memory + at, x.data(), 100), all) << at;
        for (u64 k = 0; all && k < 100; ++k) {
            expected[at + k] ^= x[k];
        }
        whole += all;
    }
    EXPECT_GT(whole, 0u);
    memset(memory, 0xEE, size);
    frame_copy_write(&copy, NULL);
    for (u64 at = 0; at < size; ++at) {
        ASSERT_EQ(memory[at], expected[at]) << at;
    }
    // Read into another area while memory holds them, written back from it.
    std::vector<u8> other(frame_copy_bytes(&copy));
    frame_copy_read(&copy, other.data());
    memset(memory, 0x11, size);
    frame_copy_write(&copy, other.data());
    for (u64 at = 0; at < size; ++at) {
        ASSERT_EQ(memory[at], held[at] ? expected[at] : 0x11) << at;
    }
    frame_copy_clear(&copy);
    EXPECT_EQ(frame_copy_bytes(&copy), 0u);
    frame_copy_free(&copy);

    // Room for four pages: the fifth is refused, the four still held.
    ASSERT_TRUE(frame_copy_make(&copy, 20000));
    EXPECT_EQ(copy.capacity, 4u);
    for (u8 page = 0; page < 5; ++page) {
        EXPECT_EQ(frame_copy_take(&copy, (u64)memory + page * PAGE + 9, &page, 1), page < 4);
    }
    memset(memory, 0x22, size);
    frame_copy_write(&copy, NULL);
    for (u8 page = 0; page < 5; ++page) {
        EXPECT_EQ(memory[page * PAGE + 9], page < 4 ? page : 0x22) << (int)page;
    }
    frame_copy_free(&copy);
    pages_free(memory, size);
}

}  // namespace
