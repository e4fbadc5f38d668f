// Text formatter: writes text into a caller's buffer from a format and a
// short list of typed arguments, in the formatter's own placeholder language.
//
// The language, read left to right:
//   %            prints the next argument as its tag says (table below).
//   %{...}       prints the next argument with specifiers, tried in order:
//     char         the low 8 bits of the value as one character
//     hex32        the low 32 bits as eight lowercase hex digits ("000000ff")
//     hex8         the low 32 bits in hex, at least two digits ("0a", "1234")
//     bin8         the low 8 bits as eight '0'/'1' digits, high bit first
//     del:N        a "," before every group of N characters counted from the
//                  end; a leading sign and the fraction after a '.' are
//                  left alone ("-1,234,567.500")
//     size:N       the first N characters of a text argument, read in place
//                  (zero bytes included); of another argument, the first N
//                  characters of its printed form
//     width:N      a field of exactly N characters, left-aligned: longer
//                  text is cut (the cut part is never written, so a later
//                  "col:" cannot uncover it), shorter text padded with spaces
//     sign         "-" or "+" before the magnitude; "sign:N" with N != 0
//                  writes " " instead of "+"
//     }            closes; anything else is skipped one character at a time
//   ${...}       layout that takes no argument of its own:
//     pad:N        N spaces
//     tab:N        spaces to the next multiple of N columns, counted from
//                  the start of the output (a tab character counts 4)
//     chars:K N    N copies of the character K ("chars:61+3" is "===")
//     col:N        moves the output position to N characters from the
//                  start; passed-over bytes keep what the buffer held
//   \c           the character c as it stands ("\%", "\$", "\\"); a "\" right
//                after an escaped character is copied as it stands, so
//                '\a\b' gives 'a\b'. There is no "%%": that prints two
//                arguments.
//   $            not followed by "{": dropped.
// N and K are decimal numbers with an optional sign (counts keep the low 32
// bits, so -1 is 4294967295; K keeps the low 8 bits) or "%", which takes the
// next argument. A placeholder takes its own argument before any of its
// parameters. A "%{" or "${" left open is closed by the end of the format.
// When the scan ends every zero byte in the result becomes a space.
//
// "char", "hex32", "hex8" and "bin8" form the value and may stand only once
// per placeholder, and not after "del:", "size:" or "sign". A placeholder's
// or group's text is built in a 256-byte scratch area: beyond 255
// characters it is cut.
//
// Caller's errors: a format that asks for more arguments than were passed,
// or a second value keyword in one placeholder, ends the text where that
// placeholder or group began: it writes nothing, the text before it is the
// result, and nothing past the argument array is read.
#ifndef ENGINE_BASE_FORMAT_H
#define ENGINE_BASE_FORMAT_H

#include "engine/base/types.h"

// A float's bits without <string.h> (a few milliseconds of every compile
// that includes this header).
#if defined(__GNUC__) || defined(__clang__)
#define FORMAT_COPY_BYTES_ __builtin_memcpy
#else
#include <string.h>
#define FORMAT_COPY_BYTES_ memcpy
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Tags of format_arg. Every tag outside 1 to 8 prints nothing and reads as
// the number 0; the members of each integer trio print alike.
enum {
    FORMAT_ARG_TEXT = 1,  // value holds a `const char*` to zero-terminated text
    FORMAT_ARG_U32 = 2,   // unsigned integers: value as an unsigned 64-bit
    FORMAT_ARG_S32 = 3,   // signed integers: value as a signed 64-bit
    FORMAT_ARG_S64 = 4,
    FORMAT_ARG_U64 = 5,
    FORMAT_ARG_U8 = 6,
    FORMAT_ARG_S8 = 7,
    FORMAT_ARG_FLOAT = 8  // an f32 in the first four bytes of value
};

// One typed argument, passed by value. Build it with the helpers below.
typedef struct format_arg {
    u64 value;
    u32 type;
} format_arg;
LAYOUT_PIN(format_arg_size, sizeof(format_arg) == 16);
LAYOUT_PIN(format_arg_value, offsetof(format_arg, value) == 0);
LAYOUT_PIN(format_arg_type, offsetof(format_arg, type) == 8);

// How each tag prints with "%", when it counts as negative for "sign", and
// what number it gives for a "%" parameter:
//   text      the text as it is; negative when it starts with "-"; "sign"
//             drops its own leading "-" or "+"; as a number, its leading
//             signed decimal. A null text is the empty text.
//   unsigned  decimal; never negative; the value.
//   signed    decimal with "-"; negative below 0; the value.
//   float     three decimals ("1.500"); negative below 0.0; truncated
//             toward zero to 32 bits, then its low 8 bits (NaN and values
//             beyond 32 bits give 0).
// "sign" writes the magnitude without a sign of its own: a text drops its
// leading "-" or "+", a float its sign bit (-0.0 shows "+0.000"), and the
// most negative integer prints its digits once.

static inline format_arg format_arg_of_(u64 value, u32 type) {
    format_arg a;
    a.value = value;
    a.type = type;
    return a;
}

static inline format_arg format_arg_u64(u64 v) { return format_arg_of_(v, FORMAT_ARG_U64); }
static inline format_arg format_arg_s64(i64 v) { return format_arg_of_((u64)v, FORMAT_ARG_S64); }
static inline format_arg format_arg_u32(u32 v) { return format_arg_of_(v, FORMAT_ARG_U32); }
static inline format_arg format_arg_s32(i32 v) {
    return format_arg_of_((u64)(i64)v, FORMAT_ARG_S32);
}

static inline format_arg format_arg_f32(f32 v) {
    u64 bits = 0;
    FORMAT_COPY_BYTES_(&bits, &v, sizeof v);
    return format_arg_of_(bits, FORMAT_ARG_FLOAT);
}

static inline format_arg format_arg_text(const char* s) {
    return format_arg_of_((u64)(uintptr_t)s, FORMAT_ARG_TEXT);
}

// Formats into `out`, which must have room for the whole result and its
// terminator; `args` holds `count` arguments (it may be null when count is
// 0). Returns the length written without the terminator, which is always
// written.
u64 format_text_args(char* out, const char* format, const format_arg* args, u32 count);

// As format_text_args, but writes at most `capacity` bytes including the
// terminator: the text is cut at capacity - 1 characters (nothing at all is
// written when capacity is 0, and `out` may then be null). Returns the
// length the whole text has, as snprintf does, so a result >= capacity means
// it was cut and a buffer of the result plus one holds it all. Text and
// length are exactly those of the unbounded form writing into a zero-filled
// buffer (bytes that "col:" passes over read as zeros, whatever `out` held),
// "tab:" after a backward "col:" included. Bytes past the capacity are not
// kept, only counted; in the one case that needs them (a "tab:" past the
// capacity after "col:" moved back over dropped tabs) the call is replayed
// up to that "tab:", which costs time and a little stack per such "tab:".
u64 format_text_bounded(char* out, u64 capacity, const char* format,
                        const format_arg* args, u32 count);

#ifndef __cplusplus
// format_text(out, format, a, b, ...) for C, with 0 to 16 format_arg values,
// as C++ spells it: the arguments become an array whose count the compiler
// derives, and format_text_args is called with them, so every argument is
// evaluated once. More than 16 arguments do not compile.
//   char line[64];
//   format_text(line, "% of %{del:3}", format_arg_u32(7), format_arg_u64(12000));
//   format_text(line, "plain");
// (The selection counts top-level commas: an argument written as a compound
// literal, "(format_arg){1, 2}", counts twice; use the helpers above.)
#define format_text(...)                                                               \
    FORMAT_TEXT_SELECT_(__VA_ARGS__, FORMAT_TEXT_TOO_MANY_, FORMAT_TEXT_TOO_MANY_,     \
                        FORMAT_TEXT_TOO_MANY_, FORMAT_TEXT_TOO_MANY_,                  \
                        FORMAT_TEXT_TOO_MANY_, FORMAT_TEXT_TOO_MANY_,                  \
                        FORMAT_TEXT_TOO_MANY_, FORMAT_TEXT_TOO_MANY_, FORMAT_TEXT_N_,  \
                        FORMAT_TEXT_N_, FORMAT_TEXT_N_, FORMAT_TEXT_N_, FORMAT_TEXT_N_, \
                        FORMAT_TEXT_N_, FORMAT_TEXT_N_, FORMAT_TEXT_N_, FORMAT_TEXT_N_, \
                        FORMAT_TEXT_N_, FORMAT_TEXT_N_, FORMAT_TEXT_N_, FORMAT_TEXT_N_, \
                        FORMAT_TEXT_N_, FORMAT_TEXT_N_, FORMAT_TEXT_N_,                \
                        FORMAT_TEXT_0_, unused)(__VA_ARGS__)
#define FORMAT_TEXT_SELECT_(_1, _2, _3, _4, _5, _6, _7, _8, _9, _10, _11, _12, _13, _14, \
                            _15, _16, _17, _18, _19, _20, _21, _22, _23, _24, _25, _26,  \
                            name, ...)                                                   \
    name
#define FORMAT_TEXT_0_(out, format) format_text_args((out), (format), 0, 0)
#define FORMAT_TEXT_N_(out, format, ...)                                         \
    format_text_args((out), (format), (const format_arg[]){__VA_ARGS__},         \
                     (u32)(sizeof((const format_arg[]){__VA_ARGS__}) / sizeof(format_arg)))
#define FORMAT_TEXT_TOO_MANY_(...) format_text_takes_at_most_16_arguments
#endif

#ifdef __cplusplus
}

// Whether a type is format_arg: std::is_same's one use here, without
// <type_traits>, which costs every file that includes this header about
// 21 ms to compile.
template <typename T> struct format_arg_check { static const bool value = false; };
template <> struct format_arg_check<format_arg> { static const bool value = true; };

// format_text(out, format, a, b, ...) with 0 to 16 format_arg values: copies
// them in order and calls format_text_args.
inline u64 format_text(char* out, const char* format) {
    return format_text_args(out, format, 0, 0);
}

template <typename... Args>
inline u64 format_text(char* out, const char* format, format_arg first, Args... rest) {
    static_assert(sizeof...(rest) < 16, "format_text takes at most 16 arguments");
    static_assert((format_arg_check<Args>::value && ...),
                  "build arguments with format_arg_u64, format_arg_text, ...");
    const format_arg args[] = {first, rest...};
    return format_text_args(out, format, args, (u32)(1 + sizeof...(rest)));
}
#endif

#endif
