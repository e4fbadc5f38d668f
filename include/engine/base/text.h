// Zero-terminated 8-bit text, line and column arithmetic, small integer
// helpers. Lengths, counts and indices are 32-bit; booleans are 1 or 0;
// a search that finds nothing returns TEXT_NOT_FOUND. No operation is told
// the size of its destination: the caller provides room.
#ifndef ENGINE_BASE_TEXT_H
#define ENGINE_BASE_TEXT_H

#include "engine/base/types.h"

#ifdef __cplusplus
extern "C" {
#endif

#define TEXT_NOT_FOUND 0xFFFFFFFFu

// Number of characters before the terminator.
u32 text_length(const char* s);

// Address of the terminating zero (`s` itself for the empty text).
char* text_end(const char* s);

// 1 when both texts have the same characters and the same length.
bool32 text_equal(const char* a, const char* b);

// 0 when the lengths differ; otherwise 1 when the texts agree on their first
// `length_a` characters or end together before that. A character at index
// `length_a` is never compared.
bool32 text_equal_counted(const char* a, const char* b, u32 length_a, u32 length_b);

// Copies `src` and its terminator; returns the characters copied without it.
u32 copy_text(char* dst, const char* src);

// Copies 16-bit units up to a zero unit, writing the low 8 bits of each, then
// a terminator; returns the units copied.
u32 copy_wide_text(char* dst, const u16* src);

// Copies exactly `n` bytes (zeros among them included), then writes a
// terminator at dst + n; returns `n`.
u32 copy_text_n(char* dst, const char* src, u32 n);

// Writes `a` then `b` into `dst`; returns the total length. `dst` must be
// neither `a` nor `b`; this form does not check.
u64 concat_text(char* dst, const char* a, const char* b);

// As concat_text, but a destination equal to either source is a failed
// invariant; the total is returned as 32 bits.
u32 concat_text_checked(char* dst, const char* a, const char* b);

// Index of the first position in `text` where `pattern` occurs whole;
// TEXT_NOT_FOUND when it does not, or when either text is empty.
u32 find_text(const char* pattern, const char* text);

// Order-sensitive hash in 1 to 15485862; never 0. The empty text hashes to
// 3598934, "a" to 3599031, "abc" to 10859709.
u32 text_hash(const char* s);

// The replacement character stored for malformed UTF-8.
#define UTF8_REPLACEMENT 0xFFFDu

// Decodes one UTF-8 sequence at `p` into *out and returns the bytes consumed
// (1 to 4). Overlong forms, surrogates and values above 0x10FFFF are combined
// bit by bit as they stand. Malformed input (a lead byte 0x80 to 0xBF or 0xF8
// to 0xFF, a continuation byte without its top bit, a terminator inside a
// sequence) yields UTF8_REPLACEMENT and consumes one byte; nothing past a
// zero byte is read.
u64 decode_utf8(const char* p, u32* out);

// Replaces every carriage return (13) with a space, in place; returns 0.
u32 blank_carriage_returns(char* s);

// Start of the line that the character before `pos` belongs to: 0 for pos 0,
// otherwise the index just after the nearest newline before `pos`, or 0.
u32 line_start(const char* s, u32 pos);

// Index of the next newline at or after `pos`, or of the last character
// before the terminator (0xFFFFFFFF for an empty text: not an index).
u32 line_end(const char* s, u32 pos);

// 0 for length 0, else 1 plus the newlines among the first `length` characters.
u32 count_lines(const char* s, u32 length);

// Writes one space per column from `from` up to but excluding `to`, then a
// terminator; returns the spaces written (0 when from >= to).
u32 pad_spaces(char* dst, u32 to, u32 from);

// (end - start) plus (tab_width - 1) per tab in [start, end): each tab counts
// as tab_width columns wherever it stands. 32-bit wrapping arithmetic.
u32 text_columns(const char* start, const char* end, u32 tab_width);

// Writes the spaces that take `column` to the next tab stop (1 to tab_stop of
// them) and a terminator; returns their number. With tab_stop 0 writes
// nothing at all and returns 0.
u32 pad_to_tab_stop(char* dst, u32 column, u32 tab_stop);

// The smaller of two values.
u32 min_u32(u32 a, u32 b);

// `base` multiplied `exponent` times into 1, wrapping at 32 bits.
u32 int_power(u32 base, u32 exponent);

#ifdef __cplusplus
}
#endif

#endif
