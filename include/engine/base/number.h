// Conversions between numbers and 8-bit decimal or hexadecimal text.
//
// Parsers read a number from the start of a zero-terminated text, store it
// through the out-parameter and return how many characters they consumed
// (0 when nothing matched: the caller tells a missing number from a zero by
// that count). They stop at the first character that does not belong to the
// number and never fail; digits beyond the range wrap as stated.
//
// Printers write the number and a terminating zero and return the characters
// written without it. They are not told the buffer's size: the caller
// provides room for the longest output plus the terminator, that is
// NUMBER_ROOM_* bytes below.
#ifndef ENGINE_BASE_NUMBER_H
#define ENGINE_BASE_NUMBER_H

#include "engine/base/types.h"

#ifdef __cplusplus
extern "C" {
#endif

// --- Parsers ---------------------------------------------------------------

// The leading run of digits '0'..'9'. The value is kept modulo 2^32 and
// stored zero-extended: '4294967296' reads as 0, '007' as 7.
u64 parse_digits(const char* text, u64* out);

// An optional '-' or '+' (sign -1 or 1), then parse_digits. A lone sign
// consumes one character and yields magnitude 0.
u64 parse_decimal_parts(const char* text, u64* magnitude, i64* sign);

// Magnitude times sign in 64-bit two's complement, so results lie strictly
// between -2^32 and 2^32: '-42' is -42, '4294967295' is 4294967295. The
// unsigned form behaves identically and only declares another type.
u64 parse_s64(const char* text, i64* out);
u64 parse_u64(const char* text, u64* out);

// The low 32 bits of what parse_s64 reads: '-5' is the two's complement of
// 5, '4294967295' has all bits set.
u64 parse_s32(const char* text, i32* out);
u64 parse_u32(const char* text, u32* out);

// A decimal fraction in single precision: an optional '-' (a '+' is not
// recognised), integer digits, an optional '.', fraction digits. No
// exponent: '1e5' is 1.0 with one character consumed; '-' alone is -0.0.
// Integer digits are summed from the last with a place value that grows by
// 10.0, fraction digits from the first with one that shrinks by 0.1f, all in
// f32, so long texts round as that arithmetic does. Zero digits add nothing,
// so leading zeros never turn a number into NaN once the place value has
// grown to infinity; more than 38 significant integer digits give infinity.
u64 parse_f32(const char* text, f32* out);

// Decimal digits after an optional "0x", which is skipped but not counted:
// '0x123' is 123 with 3 consumed, '0xff' is 0 with 0 consumed (the digits
// are decimal; a letter ends them). Each digit's term, digit times its power
// of ten, wraps at 32 bits; the terms are summed in 64 bits.
u64 parse_prefixed_decimal(const char* text, u64* out);

// --- Printers --------------------------------------------------------------

// Room, terminator included, for the longest output of each printer.
#define NUMBER_ROOM_U32 11
#define NUMBER_ROOM_S32 12
#define NUMBER_ROOM_U64 21
#define NUMBER_ROOM_S64 21
#define NUMBER_ROOM_HEX 9
#define NUMBER_ROOM_BIN8 9
#define NUMBER_ROOM_F32 45

// Unsigned decimal without leading zeros ("%u").
u32 print_u32(char* out, u32 value);
u32 print_u64(char* out, u64 value);

// Signed decimal, '-' for negatives; the most negative values print whole
// ('-2147483648', '-9223372036854775808').
u32 print_s32(char* out, i32 value);
u32 print_s64(char* out, i64 value);

// The value widened to double, exactly three digits after the point,
// correctly rounded (ties to even, on the exact binary value) as "%3.3f"
// does: 1.0 is '1.000', -2.5 is '-2.500', -0.0 is '-0.000', 3.4e38 prints
// its 39 integer digits. Infinities print 'inf' and '-inf', NaNs 'nan' or
// '-nan' by their sign bit.
u32 print_f32(char* out, f32 value);

// Eight lowercase hexadecimal digits with leading zeros ("%08x").
u32 print_hex32(char* out, u32 value);

// Lowercase hexadecimal, at least two digits ("%02x"); not masked to 8 bits:
// 10 is '0a', 256 is '100'.
u32 print_hex8(char* out, u32 value);

// The low 8 bits as eight '0' or '1', most significant first: 5 is
// '00000101', 0x1FF is '11111111'.
u32 print_bin8(char* out, u32 value);

#ifdef __cplusplus
}
#endif

#endif
