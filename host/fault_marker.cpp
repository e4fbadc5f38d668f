#include "host/fault_marker.h"

#include "engine/base/memory.h"
#include "platform/memory.h"

#define MARKER_COLOUR 0xFF00FFu
#define MARKER_EDGE 12
#define MARKER_LINE 7

static void fill_rows(back_buffer* buffer, u32 x0, u32 x1, u32 y0, u32 y1) {
    for (u32 y = y0; y < y1 && y < buffer->height; ++y) {
        u32* row = buffer->pixels + (u64)y * buffer->pitch;
        for (u32 x = x0; x < x1 && x < buffer->width; ++x) {
            row[x] = MARKER_COLOUR;
        }
    }
}

void draw_fault_marker(back_buffer* buffer) {
    u32 w = buffer->width;
    u32 h = buffer->height;
    if (!buffer->pixels || !w || !h) {
        return;
    }
    u32 edge = MARKER_EDGE;
    fill_rows(buffer, 0, w, 0, edge);
    fill_rows(buffer, 0, w, h > edge ? h - edge : 0, h);
    fill_rows(buffer, 0, edge, 0, h);
    fill_rows(buffer, w > edge ? w - edge : 0, w, 0, h);
    // The two diagonals, a few pixels thick, row by row.
    for (u32 y = 0; y < h; ++y) {
        i64 across = (i64)((u64)y * w / h);
        i64 ends[2] = {across, (i64)w - 1 - across};
        for (u32 i = 0; i < 2; ++i) {
            i64 from = ends[i] - MARKER_LINE / 2;
            i64 to = ends[i] + MARKER_LINE / 2 + 1;
            fill_rows(buffer, from < 0 ? 0 : (u32)from, to < 0 ? 0 : (u32)to, y, y + 1);
        }
    }
}

// Makes marked an image of buffer's size; false when its pixels can't be had.
static bool32 fit_marked(back_buffer* marked, const back_buffer* buffer) {
    if (marked->pixels && marked->width == buffer->width && marked->height == buffer->height) {
        return 1;
    }
    if (marked->memory) {
        pages_free(marked->memory, (u64)marked->allocated_pixels * 4);
    }
    fill_bytes(marked, 0, sizeof(*marked));
    void* memory = pages_allocate((u64)buffer->allocated_pixels * 4);
    if (!memory) {
        return 0;
    }
    *marked = *buffer;
    marked->memory = memory;
    marked->pixels = (u32*)memory + buffer->pitch;
    return 1;
}

void show_back_buffer(host_window* window, bool32 fault_held, const back_buffer* buffer,
                      back_buffer* marked) {
    if (!fault_held || !buffer->pixels || !buffer->width || !buffer->height ||
        !fit_marked(marked, buffer)) {
        window_show(window, buffer);
        return;
    }
    // Composed apart and shown in one copy, so the window never shows the
    // image without its marker and the pixels stay as the build left them.
    copy_bytes(marked->pixels, buffer->pixels, (u64)buffer->pitch * buffer->height * 4);
    draw_fault_marker(marked);
    window_show(window, marked);
}
