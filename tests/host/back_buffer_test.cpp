#include <gtest/gtest.h>

#include "host/frame.h"
#include "host/window_win32.h"

namespace {

struct sized_buffer {
    back_buffer buffer;
    BITMAPINFO header;
};

// A fit as the frame makes it, and the header the blit then describes it with.
void resize(sized_buffer* b, u32 width, u32 height) {
    resize_back_buffer(&b->buffer, width, height);
    fill_bitmap_header(&b->header, &b->buffer);
}

sized_buffer make(u32 width, u32 height) {
    sized_buffer b = {};
    resize(&b, width, height);
    return b;
}

void expect_geometry(const sized_buffer& b, u32 width, u32 height, u32 pitch) {
    EXPECT_EQ(b.buffer.width, width);
    EXPECT_EQ(b.buffer.height, height);
    EXPECT_EQ(b.buffer.pitch, pitch);
    EXPECT_EQ(b.buffer.bytes_per_pixel, 4u);
    EXPECT_EQ(b.buffer.allocated_pixels, pitch * (height + 2));
    ASSERT_NE(b.buffer.memory, nullptr);
    EXPECT_EQ((u8*)b.buffer.pixels, (u8*)b.buffer.memory + pitch * 4);
    EXPECT_EQ(b.buffer.pitch * 4 % 16, 0u);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(b.buffer.reserved[i], 0);

    const BITMAPINFOHEADER& h = b.header.bmiHeader;
    EXPECT_EQ(h.biSize, 40u);
    EXPECT_EQ(h.biWidth, (LONG)pitch);
    EXPECT_EQ(h.biHeight, (LONG)height);  // positive: bottom-up rows
    EXPECT_EQ(h.biPlanes, 1);
    EXPECT_EQ(h.biBitCount, 32);
    EXPECT_EQ(h.biCompression, (DWORD)BI_RGB);
    EXPECT_EQ(h.biSizeImage, 0u);
    EXPECT_EQ(h.biXPelsPerMeter, 0);
    EXPECT_EQ(h.biClrUsed, 0u);
    EXPECT_EQ(b.header.bmiColors[0].rgbBlue | b.header.bmiColors[0].rgbRed, 0);

    // The whole allocation, spare rows included, is writable and starts black.
    u32* all = (u32*)b.buffer.memory;
    for (u32 i = 0; i < b.buffer.allocated_pixels; ++i) {
        ASSERT_EQ(all[i], 0u);
    }
    all[0] = all[b.buffer.allocated_pixels - 1] = 1;
}

TEST(back_buffer, pitch_leaves_at_least_one_spare_pixel_and_rows_are_16_byte_multiples) {
    EXPECT_EQ(back_buffer_pitch(1), 4u);
    EXPECT_EQ(back_buffer_pitch(3), 4u);
    EXPECT_EQ(back_buffer_pitch(4), 8u);
    EXPECT_EQ(back_buffer_pitch(1063), 1064u);
    EXPECT_EQ(back_buffer_pitch(1064), 1068u);
    expect_geometry(make(1, 1), 1, 1, 4);
    expect_geometry(make(1063, 5), 1063, 5, 1064);
    expect_geometry(make(1064, 700), 1064, 700, 1068);
}

TEST(back_buffer, zero_by_zero_first_fit_allocates_nothing_but_a_later_one_does) {
    sized_buffer b = make(0, 0);
    EXPECT_EQ(b.buffer.memory, nullptr);
    EXPECT_EQ(b.buffer.pixels, nullptr);
    EXPECT_EQ(b.header.bmiHeader.biSize, 0u);

    resize(&b, 10, 10);
    resize(&b, 0, 0);
    ASSERT_NE(b.buffer.memory, nullptr);
    EXPECT_EQ(b.buffer.pitch, 4u);
    EXPECT_EQ(b.buffer.allocated_pixels, 8u);
    EXPECT_EQ((u8*)b.buffer.pixels - (u8*)b.buffer.memory, 16);
}

TEST(back_buffer, same_size_keeps_the_image_and_a_new_size_starts_black) {
    sized_buffer b = make(64, 32);
    void* memory = b.buffer.memory;
    b.buffer.pixels[5] = 0x00FF00FF;
    resize(&b, 64, 32);
    EXPECT_EQ(b.buffer.memory, memory);
    EXPECT_EQ(b.buffer.pixels[5], 0x00FF00FFu);

    resize(&b, 65, 32);
    resize(&b, 64, 32);
    EXPECT_EQ(b.buffer.pixels[5], 0u);
}

TEST(back_buffer, a_size_whose_pixel_count_cannot_be_allocated_leaves_the_empty_state) {
    sized_buffer b = make(64, 32);
    // 65536 x 65535 would need more than 2^32 pixels: more than the record
    // can count.
    resize(&b, 65536, 65535);
    EXPECT_EQ(b.buffer.memory, nullptr);
    EXPECT_EQ(b.buffer.pixels, nullptr);
    EXPECT_EQ(b.buffer.width, 0u);
    EXPECT_EQ(b.buffer.height, 0u);
    EXPECT_EQ(b.buffer.allocated_pixels, 0u);
    EXPECT_EQ(b.header.bmiHeader.biWidth, 0);

    resize(&b, 0xFFFFFFFFu, 1);  // pitch would wrap to 0
    EXPECT_EQ(b.buffer.pixels, nullptr);

    resize(&b, 8, 8);  // and it recovers
    EXPECT_NE(b.buffer.pixels, nullptr);
}

}  // namespace
