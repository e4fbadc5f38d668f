// The back buffer: 32-bit pixels the module draws into and the host shows.
//
// Pixels are little-endian 0x00RRGGBB (blue in the lowest byte; the top byte
// is not shown). Rows are bottom-up: image row y, counted upward from 0 at the
// bottom edge, starts y * pitch pixels after `pixels`; column x counts from
// the left. Each row has at least one spare pixel past `width`, and the
// allocation has one spare row before and one after the image.
//
// The module receives a copy of the host's record every frame: changing the
// copy's fields does nothing, writing through `pixels` draws. A new client
// size gives a fresh, black buffer; an unchanged size keeps last frame's image.
// A 0 by 0 client area at the very first frame gives null pointers.
#ifndef ENGINE_BACK_BUFFER_H
#define ENGINE_BACK_BUFFER_H

#include "engine/base/types.h"

typedef struct back_buffer {
    void* memory;          // start of the allocation, null while none exists
    u32* pixels;           // bottom row of the image: memory + one pitch
    u8 reserved[8];        // always zero
    u32 width;             // client area width in pixels
    u32 height;            // client area height in rows
    u32 pitch;             // pixels from one row to the next: width - width % 4 + 4
    u32 bytes_per_pixel;   // always 4
    u32 allocated_pixels;  // pitch * (height + 2)
} back_buffer;

LAYOUT_PIN(back_buffer_64_bit, sizeof(void*) == 8);
LAYOUT_PIN(back_buffer_size, sizeof(back_buffer) == 48);
LAYOUT_PIN(back_buffer_pixels, offsetof(back_buffer, pixels) == 8);
LAYOUT_PIN(back_buffer_reserved, offsetof(back_buffer, reserved) == 16);
LAYOUT_PIN(back_buffer_width, offsetof(back_buffer, width) == 24);
LAYOUT_PIN(back_buffer_height, offsetof(back_buffer, height) == 28);
LAYOUT_PIN(back_buffer_pitch, offsetof(back_buffer, pitch) == 32);
LAYOUT_PIN(back_buffer_bytes_per_pixel, offsetof(back_buffer, bytes_per_pixel) == 36);
LAYOUT_PIN(back_buffer_allocated_pixels, offsetof(back_buffer, allocated_pixels) == 40);

// The row pitch, in pixels, for an image `width` pixels wide.
static inline u32 back_buffer_pitch(u32 width) { return width - width % 4 + 4; }

#endif
