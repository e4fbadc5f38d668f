#include "draw.h"

u32 rgb(u32 red, u32 green, u32 blue) {
    return ((red & 255) << 16) | ((green & 255) << 8) | (blue & 255);
}

u32 blend(u32 under, u32 colour, u32 alpha) {
    u32 result = 0;
    for (u32 shift = 0; shift < 24; shift += 8) {
        u32 a = (under >> shift) & 255;
        u32 b = (colour >> shift) & 255;
        result |= ((a * (256 - alpha) + b * alpha) >> 8) << shift;
    }
    return result;
}

// Clips a rectangle to the buffer; false when nothing is left.
static bool clip(const back_buffer* buffer, i32* left, i32* bottom, i32* right, i32* top) {
    if (*left < 0) *left = 0;
    if (*bottom < 0) *bottom = 0;
    if (*right > (i32)buffer->width) *right = (i32)buffer->width;
    if (*top > (i32)buffer->height) *top = (i32)buffer->height;
    return buffer->pixels && *left < *right && *bottom < *top;
}

void fill_rect(back_buffer* buffer, i32 left, i32 bottom, i32 width, i32 height, u32 colour) {
    shade_rect(buffer, left, bottom, width, height, colour, 256);
}

void shade_rect(back_buffer* buffer, i32 left, i32 bottom, i32 width, i32 height, u32 colour,
                u32 alpha) {
    i32 right = left + width;
    i32 top = bottom + height;
    if (!clip(buffer, &left, &bottom, &right, &top)) {
        return;
    }
    for (i32 y = bottom; y < top; ++y) {
        u32* row = buffer->pixels + (u64)y * buffer->pitch;
        for (i32 x = left; x < right; ++x) {
            row[x] = alpha >= 256 ? colour : blend(row[x], colour, alpha);
        }
    }
}

void fill_disc(back_buffer* buffer, f32 centre_x, f32 centre_y, f32 radius, u32 colour) {
    i32 left = (i32)(centre_x - radius);
    i32 bottom = (i32)(centre_y - radius);
    i32 right = (i32)(centre_x + radius) + 1;
    i32 top = (i32)(centre_y + radius) + 1;
    if (!clip(buffer, &left, &bottom, &right, &top)) {
        return;
    }
    for (i32 y = bottom; y < top; ++y) {
        u32* row = buffer->pixels + (u64)y * buffer->pitch;
        f32 dy = (f32)y + 0.5f - centre_y;
        for (i32 x = left; x < right; ++x) {
            f32 dx = (f32)x + 0.5f - centre_x;
            if (dx * dx + dy * dy <= radius * radius) {
                row[x] = colour;
            }
        }
    }
}

i32 text_width(const char* text, i32 scale) {
    i32 widest = 0;
    i32 column = 0;
    for (; *text; ++text) {
        column = *text == '\n' ? 0 : column + 1;
        widest = column > widest ? column : widest;
    }
    return widest * FONT_ADVANCE * scale;
}

static void draw_glyph(back_buffer* buffer, i32 left, i32 top, i32 scale, u32 colour,
                       char character) {
    const u8* rows = glyph_rows(character);
    for (i32 row = 0; row < FONT_HEIGHT; ++row) {
        for (i32 column = 0; column < FONT_WIDTH; ++column) {
            if (rows[row] & (0x10 >> column)) {
                fill_rect(buffer, left + column * scale, top - (row + 1) * scale, scale, scale,
                          colour);
            }
        }
    }
}

i32 draw_text(back_buffer* buffer, i32 left, i32 top, i32 scale, u32 colour, const char* text) {
    i32 x = left;
    const char* start = text;
    for (; *text; ++text) {
        if (*text == '\n') {
            x = left;
            top -= FONT_LINE * scale;
            continue;
        }
        if (*text != ' ') {
            draw_glyph(buffer, x, top, scale, colour, *text);
        }
        x += FONT_ADVANCE * scale;
    }
    return text_width(start, scale);
}
