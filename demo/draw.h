// Drawing into the back buffer: clipped rectangles, discs, blending and text
// in the built-in font. Coordinates are pixels with y counted upward from
// the bottom edge, as the buffer's rows are.
#ifndef DEMO_DRAW_H
#define DEMO_DRAW_H

#include "engine/module.h"

#define FONT_WIDTH 5
#define FONT_HEIGHT 7
// Horizontal and vertical advance per character and per line, in font pixels.
#define FONT_ADVANCE 6
#define FONT_LINE 10

u32 rgb(u32 red, u32 green, u32 blue);
// Mixes colour over what is there, alpha from 0 (nothing) to 256 (opaque).
u32 blend(u32 under, u32 colour, u32 alpha);

void fill_rect(back_buffer* buffer, i32 left, i32 bottom, i32 width, i32 height, u32 colour);
void shade_rect(back_buffer* buffer, i32 left, i32 bottom, i32 width, i32 height, u32 colour,
                u32 alpha);
void fill_disc(back_buffer* buffer, f32 centre_x, f32 centre_y, f32 radius, u32 colour);

// The seven rows of a character's glyph, top row first, leftmost pixel in bit 4.
const u8* glyph_rows(char character);
// Draws text with its top-left corner at (left, top), each font pixel a
// scale by scale square; "\n" starts a new line. Returns the width drawn.
i32 draw_text(back_buffer* buffer, i32 left, i32 top, i32 scale, u32 colour, const char* text);
i32 text_width(const char* text, i32 scale);

#endif
