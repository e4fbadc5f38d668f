#include "engine/base/text.h"

#include "engine/base/fatal.h"
#include "engine/base/memory.h"

u32 text_length(const char* s) {
    return (u32)(text_end(s) - s);
}

char* text_end(const char* s) {
    while (*s) ++s;
    return (char*)s;
}

bool32 text_equal(const char* a, const char* b) {
    for (;; ++a, ++b) {
        if (*a != *b) return 0;
        if (*a == 0) return 1;
    }
}

bool32 text_equal_counted(const char* a, const char* b, u32 length_a, u32 length_b) {
    if (length_a != length_b) return 0;
    for (u32 i = 0; i < length_a; ++i) {
        if (a[i] != b[i]) return 0;
        if (a[i] == 0) return 1;
    }
    return 1;
}

u32 copy_text(char* dst, const char* src) {
    u32 n = 0;
    while ((dst[n] = src[n]) != 0) ++n;
    return n;
}

u32 copy_wide_text(char* dst, const u16* src) {
    u32 n = 0;
    for (; src[n] != 0; ++n) dst[n] = (char)(u8)src[n];
    dst[n] = 0;
    return n;
}

u32 copy_text_n(char* dst, const char* src, u32 n) {
    copy_bytes(dst, src, n);
    dst[n] = 0;
    return n;
}

u64 concat_text(char* dst, const char* a, const char* b) {
    u64 first = copy_text(dst, a);
    return first + copy_text(dst + first, b);
}

u32 concat_text_checked(char* dst, const char* a, const char* b) {
    fatal_assert(dst != a && dst != b);
    return (u32)concat_text(dst, a, b);
}

u32 find_text(const char* pattern, const char* text) {
    if (*pattern == 0) return TEXT_NOT_FOUND;
    for (u32 i = 0; text[i] != 0; ++i) {
        u32 j = 0;
        while (pattern[j] != 0 && pattern[j] == text[i + j]) ++j;
        if (pattern[j] == 0) return i;
    }
    return TEXT_NOT_FOUND;
}

u32 text_hash(const char* s) {
    const u32 modulus = 15485863u;
    u32 sum = 2094190439u;
    u32 weight = 1;
    for (; *s; ++s) {
        sum += (u32)(i32)(i8)*s * weight;
        weight *= 1451u;
    }
    u32 hash = sum % modulus;
    // 0 is reserved; a sum that is a multiple of the modulus maps to 1.
    return hash != 0 ? hash : 1;
}

// Combines `count` continuation bytes after the lead into *code; 0 when one
// of them lacks its top bit. Stops at the first bad byte, so a terminator
// ends the reading.
static bool32 read_continuations(const u8* p, u32 count, u32* code) {
    for (u32 i = 1; i <= count; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        *code = (*code << 6) | (p[i] & 0x3F);
    }
    return 1;
}

u64 decode_utf8(const char* text, u32* out) {
    const u8* p = (const u8*)text;
    u8 lead = p[0];
    if (lead < 0x80) {
        *out = lead;
        return 1;
    }
    u32 continuations;
    u32 code;
    if ((lead & 0xF8) == 0xF0) {
        continuations = 3;
        code = lead & 0x07;
    } else if ((lead & 0xF0) == 0xE0) {
        continuations = 2;
        code = lead & 0x0F;
    } else if ((lead & 0xE0) == 0xC0) {
        continuations = 1;
        code = lead & 0x1F;
    } else {
        *out = UTF8_REPLACEMENT;
        return 1;
    }
    if (!read_continuations(p, continuations, &code)) {
        *out = UTF8_REPLACEMENT;
        return 1;
    }
    *out = code;
    return continuations + 1;
}

u32 blank_carriage_returns(char* s) {
    for (; *s; ++s) {
        if (*s == 13) *s = ' ';
    }
    return 0;
}

u32 line_start(const char* s, u32 pos) {
    for (u32 i = pos; i > 0; --i) {
        if (s[i - 1] == '\n') return i;
    }
    return 0;
}

u32 line_end(const char* s, u32 pos) {
    u32 i = pos;
    while (s[i] != 0 && s[i] != '\n') ++i;
    return s[i] == '\n' ? i : i - 1;
}

u32 count_lines(const char* s, u32 length) {
    if (length == 0) return 0;
    u32 lines = 1;
    for (u32 i = 0; i < length; ++i) {
        if (s[i] == '\n') ++lines;
    }
    return lines;
}

u32 pad_spaces(char* dst, u32 to, u32 from) {
    u32 n = from < to ? to - from : 0;
    fill_bytes(dst, ' ', n);
    dst[n] = 0;
    return n;
}

u32 text_columns(const char* start, const char* end, u32 tab_width) {
    u32 columns = (u32)(end - start);
    for (const char* p = start; p < end; ++p) {
        if (*p == '\t') columns += tab_width - 1;
    }
    return columns;
}

u32 pad_to_tab_stop(char* dst, u32 column, u32 tab_stop) {
    if (tab_stop == 0) return 0;
    return pad_spaces(dst, tab_stop - column % tab_stop, 0);
}

u32 min_u32(u32 a, u32 b) {
    return a < b ? a : b;
}

u32 int_power(u32 base, u32 exponent) {
    // Squaring gives the same wrapped product as repeated multiplication.
    u32 result = 1;
    for (; exponent != 0; exponent >>= 1) {
        if (exponent & 1) result *= base;
        base *= base;
    }
    return result;
}
