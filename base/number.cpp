#include "engine/base/number.h"

#include "engine/base/memory.h"

namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

u64 digit_run(const char* text) {
    u64 n = 0;
    while (is_digit(text[n])) ++n;
    return n;
}

// Two decimal digits per entry, "00" to "99".
const char DIGIT_PAIRS[201] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

const char HEX_DIGITS[17] = "0123456789abcdef";

// Writes the digits of `value` so that they end just before `end`; returns
// where they start. Two digits per division keeps the loop short.
char* digits_before(char* end, u64 value) {
    while (value >= 100) {
        u32 pair = (u32)(value % 100) * 2;
        value /= 100;
        *--end = DIGIT_PAIRS[pair + 1];
        *--end = DIGIT_PAIRS[pair];
    }
    if (value >= 10) {
        *--end = DIGIT_PAIRS[value * 2 + 1];
        *--end = DIGIT_PAIRS[value * 2];
    } else {
        *--end = (char)('0' + value);
    }
    return end;
}

u32 put_text(char* out, const char* text, u32 n) {
    copy_bytes(out, text, n);
    out[n] = 0;
    return n;
}

// Writes the decimal digits of a 128-bit number held in four 32-bit limbs,
// least significant first, at `out` without a terminator; returns their count.
u32 put_wide_decimal(char* out, u32 limbs[4]) {
    const u32 BILLION = 1000000000u;
    char digits[48];
    char* end = digits + sizeof digits;
    char* start = end;
    for (;;) {
        u64 rest = 0;
        bool more = false;
        for (int i = 3; i >= 0; --i) {
            u64 cur = (rest << 32) | limbs[i];
            limbs[i] = (u32)(cur / BILLION);
            rest = cur % BILLION;
            more = more || limbs[i] != 0;
        }
        if (!more) {
            start = digits_before(end, rest);
            break;
        }
        // A full group of nine digits, leading zeros kept.
        for (int k = 0; k < 9; ++k) {
            *--end = (char)('0' + rest % 10);
            rest /= 10;
        }
        start = end;
    }
    u32 n = (u32)(digits + sizeof digits - start);
    copy_bytes(out, start, n);
    return n;
}

}  // namespace

// --- Parsers -----------------------------------------------------------------

u64 parse_digits(const char* text, u64* out) {
    // Horner's rule in wrapping 32-bit arithmetic gives the same value modulo
    // 2^32 as summing digit times int_power(10, distance).
    u32 value = 0;
    u64 n = 0;
    for (; is_digit(text[n]); ++n) value = value * 10u + (u32)(text[n] - '0');
    *out = value;
    return n;
}

u64 parse_decimal_parts(const char* text, u64* magnitude, i64* sign) {
    u64 n = 0;
    *sign = 1;
    if (text[0] == '-') {
        *sign = -1;
        n = 1;
    } else if (text[0] == '+') {
        n = 1;
    }
    return n + parse_digits(text + n, magnitude);
}

u64 parse_s64(const char* text, i64* out) {
    u64 magnitude;
    i64 sign;
    u64 n = parse_decimal_parts(text, &magnitude, &sign);
    *out = (i64)magnitude * sign;  // |magnitude| < 2^32: no overflow
    return n;
}

u64 parse_u64(const char* text, u64* out) {
    i64 v;
    u64 n = parse_s64(text, &v);
    *out = (u64)v;
    return n;
}

u64 parse_s32(const char* text, i32* out) {
    i64 v;
    u64 n = parse_s64(text, &v);
    u32 low = (u32)(u64)v;
    copy_bytes(out, &low, sizeof low);  // two's complement without an overflowing cast
    return n;
}

u64 parse_u32(const char* text, u32* out) {
    i64 v;
    u64 n = parse_s64(text, &v);
    *out = (u32)(u64)v;
    return n;
}

u64 parse_f32(const char* text, f32* out) {
    const f32 TENTH = 0.1f;
    u64 n = 0;
    f32 sign = 1.0f;
    if (text[0] == '-') {
        sign = -1.0f;
        n = 1;
    }
    f32 sum = 0.0f;
    u64 digits = digit_run(text + n);
    f32 place = 1.0f;
    for (u64 i = digits; i-- > 0;) {
        u32 d = (u32)(text[n + i] - '0');
        // 0 times an infinite place value would be NaN; a zero adds nothing.
        if (d != 0) {
            f32 term = (f32)d * place;
            sum += term;
        }
        place *= 10.0f;
    }
    n += digits;
    if (text[n] == '.') {
        ++n;
        place = TENTH;
        for (; is_digit(text[n]); ++n) {
            f32 term = (f32)(text[n] - '0') * place;
            sum += term;
            place *= TENTH;
        }
    }
    *out = sign * sum;
    return n;
}

u64 parse_prefixed_decimal(const char* text, u64* out) {
    if (text[0] == '0' && text[1] == 'x') text += 2;
    u64 digits = digit_run(text);
    u64 sum = 0;
    u32 power = 1;
    for (u64 i = digits; i-- > 0;) {
        sum += (u64)((u32)(text[i] - '0') * power);
        power *= 10u;
    }
    *out = sum;
    return digits;
}

// --- Printers ------------------------------------------------------------------

u32 print_u64(char* out, u64 value) {
    char digits[20];
    char* end = digits + sizeof digits;
    char* start = digits_before(end, value);
    return put_text(out, start, (u32)(end - start));
}

u32 print_u32(char* out, u32 value) {
    return print_u64(out, value);
}

u32 print_s64(char* out, i64 value) {
    if (value >= 0) return print_u64(out, (u64)value);
    out[0] = '-';
    return 1 + print_u64(out + 1, 0 - (u64)value);
}

u32 print_s32(char* out, i32 value) {
    if (value >= 0) return print_u32(out, (u32)value);
    out[0] = '-';
    return 1 + print_u32(out + 1, 0u - (u32)value);
}

// mantissa * 2^-k split into whole units and thousandths, the thousandths
// rounded to nearest with ties to even on the exact value.
static u32 split_thousandths(u32 mantissa, u32 k, u64* whole) {
    if (k >= 35) {
        // mantissa * 1000 < 2^34: under half a thousandth.
        *whole = 0;
        return 0;
    }
    u64 one = 1;
    u64 mask = (one << k) - 1;
    *whole = k < 24 ? mantissa >> k : 0;
    u64 fraction = (mantissa & mask) * 1000u;
    u64 q = fraction >> k;
    u64 rest = fraction & mask;
    u64 half = one << (k - 1);
    if (rest > half || (rest == half && (q & 1))) ++q;
    if (q == 1000) {
        ++*whole;
        q = 0;
    }
    return (u32)q;
}

u32 print_f32(char* out, f32 value) {
    u32 bits;
    copy_bytes(&bits, &value, sizeof bits);
    u32 n = 0;
    if (bits >> 31) out[n++] = '-';
    u32 exponent = (bits >> 23) & 0xFF;
    u32 mantissa = bits & 0x7FFFFF;
    if (exponent == 0xFF) return n + put_text(out + n, mantissa ? "nan" : "inf", 3);
    if (exponent != 0) mantissa |= 0x800000;
    else exponent = 1;  // subnormal: same scale as the smallest normal
    // The value is mantissa * 2^shift exactly.
    i32 shift = (i32)exponent - 150;
    if (shift > 40) {
        // Past 2^64: an integer of up to 39 digits.
        u32 limbs[4] = {0, 0, 0, 0};
        u32 word = (u32)shift / 32, bit = (u32)shift % 32;
        limbs[word] = mantissa << bit;
        if (bit != 0 && word < 3) limbs[word + 1] = mantissa >> (32 - bit);
        n += put_wide_decimal(out + n, limbs);
        return n + put_text(out + n, ".000", 4);
    }
    u64 whole = (u64)mantissa << (shift > 0 ? shift : 0);
    u32 thousandths = 0;
    if (shift < 0) thousandths = split_thousandths(mantissa, (u32)-shift, &whole);
    n += print_u64(out + n, whole);
    out[n] = '.';
    out[n + 1] = (char)('0' + thousandths / 100);
    out[n + 2] = DIGIT_PAIRS[(thousandths % 100) * 2];
    out[n + 3] = DIGIT_PAIRS[(thousandths % 100) * 2 + 1];
    out[n + 4] = 0;
    return n + 4;
}

u32 print_hex32(char* out, u32 value) {
    for (int i = 7; i >= 0; --i) {
        out[i] = HEX_DIGITS[value & 15];
        value >>= 4;
    }
    out[8] = 0;
    return 8;
}

u32 print_hex8(char* out, u32 value) {
    u32 n = 2;
    while (n < 8 && (value >> (4 * n)) != 0) ++n;
    for (u32 i = n; i-- > 0;) {
        out[i] = HEX_DIGITS[value & 15];
        value >>= 4;
    }
    out[n] = 0;
    return n;
}

u32 print_bin8(char* out, u32 value) {
    for (int i = 7; i >= 0; --i) {
        out[i] = (char)('0' + (value & 1));
        value >>= 1;
    }
    out[8] = 0;
    return 8;
}
