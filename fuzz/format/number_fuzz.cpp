// The number parsers on arbitrary text, and every printer on values taken
// from the same bytes, checked against snprintf and against each other:
// never a crash, hang or sanitizer report, and never a wrong result.
#include "engine/base/number.h"

#include <inttypes.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

void check(bool ok) {
    if (!ok) abort();
}

template <typename T>
void check_prints(u32 (*print)(char*, T), T value, const char* format, T printf_value) {
    char ours[64];
    char theirs[64];
    memset(ours, 'Z', sizeof ours);
    u32 n = print(ours, value);
    int m = snprintf(theirs, sizeof theirs, format, printf_value);
    check(m >= 0 && (u32)m == n && strcmp(ours, theirs) == 0);
}

void check_printers(u64 v) {
    check_prints(print_u64, v, "%" PRIu64, v);
    check_prints(print_s64, (i64)v, "%" PRId64, (i64)v);
    check_prints(print_u32, (u32)v, "%" PRIu32, (u32)v);
    check_prints(print_s32, (i32)(u32)v, "%" PRId32, (i32)(u32)v);
    check_prints(print_hex32, (u32)v, "%08" PRIx32, (u32)v);
    check_prints(print_hex8, (u32)v, "%02" PRIx32, (u32)v);
    u32 bits = (u32)v;
    f32 f;
    memcpy(&f, &bits, sizeof f);
    if (isfinite(f)) {
        char ours[NUMBER_ROOM_F32];
        char theirs[64];
        u32 n = print_f32(ours, f);
        snprintf(theirs, sizeof theirs, "%3.3f", (double)f);
        check(n < NUMBER_ROOM_F32 && strcmp(ours, theirs) == 0);
    }
    char bin[NUMBER_ROOM_BIN8];
    check(print_bin8(bin, (u32)v) == 8);
    for (int i = 0; i < 8; ++i) check(bin[i] == ((v >> (7 - i)) & 1 ? '1' : '0'));
}

void check_parsers(const char* text, size_t length) {
    size_t digits = strspn(text, "0123456789");
    u64 d = 0;
    check(parse_digits(text, &d) == digits && d <= 0xFFFFFFFFu);

    i64 s = 0;
    u64 u = 0;
    u64 n = parse_s64(text, &s);
    check(n <= length && parse_u64(text, &u) == n && u == (u64)s);
    check(s > -4294967296LL && s < 4294967296LL);
    i32 s32 = 0;
    u32 u32v = 0;
    check(parse_s32(text, &s32) == n && (u32)s32 == (u32)(u64)s);
    check(parse_u32(text, &u32v) == n && u32v == (u32)(u64)s);
    // What was read prints back as the same number.
    char printed[NUMBER_ROOM_S64];
    print_s64(printed, s);
    i64 again = 0;
    parse_s64(printed, &again);
    check(again == s);

    f32 f = 0.0f;
    u64 fn = parse_f32(text, &f);
    check(fn <= length && !isnan(f));

    u64 p = 0;
    u64 pn = parse_prefixed_decimal(text, &p);
    check(pn <= length);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const u8* data, size_t size) {
    // The text in its own heap block, terminated, so that a read past the
    // terminator is caught.
    char* text = (char*)malloc(size + 1);
    memcpy(text, data, size);
    text[size] = 0;
    check_parsers(text, strlen(text));
    free(text);

    u64 v = 0;
    memcpy(&v, data, size < 8 ? size : 8);
    check_printers(v);
    return 0;
}
