#include "engine/base/fatal.h"
#include "engine/base/memory.h"
#include "host/frame.h"
#include "platform/memory.h"

void resize_back_buffer(back_buffer* buffer, u32 width, u32 height) {
    if (width == buffer->width && height == buffer->height) {
        return;
    }
    if (buffer->memory) {
        pages_free(buffer->memory, (u64)buffer->allocated_pixels * buffer->bytes_per_pixel);
        buffer->memory = NULL;
    }
    u32 bytes_per_pixel = 4;
    u32 pitch = back_buffer_pitch(width);
    fatal_assert(pitch % 4 == 0);
    // Sizes no client area reaches would wrap the 32-bit pixel count and give
    // an allocation smaller than the image; they are refused like a failed
    // allocation.
    u64 total_pixels = (u64)pitch * ((u64)height + 2);
    void* memory = NULL;
    if (pitch > width && total_pixels <= UINT32_MAX) {
        memory = pages_allocate(total_pixels * bytes_per_pixel);
    }
    if (!memory) {
        // The empty state is one the module already handles; a pixel pointer
        // computed from null would not be.
        fill_bytes(buffer, 0, sizeof(*buffer));
        return;
    }
    buffer->width = width;
    buffer->height = height;
    buffer->bytes_per_pixel = bytes_per_pixel;
    buffer->pitch = pitch;
    buffer->memory = memory;
    buffer->allocated_pixels = (u32)total_pixels;
    buffer->pixels = (u32*)memory + pitch;
}
