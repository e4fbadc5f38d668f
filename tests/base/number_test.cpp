#include <gtest/gtest.h>

#include <float.h>
#include <inttypes.h>
#include <math.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "engine/base/number.h"

namespace {

// --- Parsers -----------------------------------------------------------------

struct s64_case {
    const char* text;
    i64 value;
    u64 consumed;
};

TEST(parse_s64, reads_sign_and_digits_and_wraps_at_32_bits) {
    const s64_case cases[] = {
        {"42", 42, 2},
        {"-42", -42, 3},
        {"+7x", 7, 2},
        {"x", 0, 0},
        {"-", 0, 1},
        {"+", 0, 1},
        {"", 0, 0},
        {"--5", 0, 1},
        {"4294967295", 4294967295, 10},
        {"4294967296", 0, 10},
        {"4294967297", 1, 10},
        {"-4294967295", -4294967295LL, 11},
        {"-4294967296", 0, 11},
        {"12345678901234567890", 3944680146LL, 20},
        {"007", 7, 3},
        {" 1", 0, 0},
    };
    for (const s64_case& c : cases) {
        i64 v = 99;
        EXPECT_EQ(parse_s64(c.text, &v), c.consumed) << c.text;
        EXPECT_EQ(v, c.value) << c.text;
        u64 u = 99;
        EXPECT_EQ(parse_u64(c.text, &u), c.consumed) << c.text;
        EXPECT_EQ(u, (u64)c.value) << c.text;
    }
}

TEST(parse_s32, keeps_the_low_32_bits) {
    i32 s = 0;
    u32 u = 0;
    EXPECT_EQ(parse_s32("4294967295", &s), 10u);
    EXPECT_EQ(s, -1);
    EXPECT_EQ(parse_u32("4294967295", &u), 10u);
    EXPECT_EQ(u, 0xFFFFFFFFu);
    EXPECT_EQ(parse_u32("-5", &u), 2u);
    EXPECT_EQ(u, 0xFFFFFFFBu);
    EXPECT_EQ(parse_s32("-2147483648", &s), 11u);
    EXPECT_EQ(s, INT32_MIN);
    EXPECT_EQ(parse_s32("2147483648", &s), 10u);
    EXPECT_EQ(s, INT32_MIN);
    EXPECT_EQ(parse_s32("-9999999999", &s), 11u);
    EXPECT_EQ((u32)s, 2884901889u);
}

TEST(parse_digits, reads_only_digits_modulo_2_to_the_32) {
    u64 v = 99;
    EXPECT_EQ(parse_digits("007", &v), 3u);
    EXPECT_EQ(v, 7u);
    EXPECT_EQ(parse_digits("-1", &v), 0u);
    EXPECT_EQ(v, 0u);
    EXPECT_EQ(parse_digits("99999999999999999999", &v), 20u);
    EXPECT_EQ(v, 1661992959u);
    // A long run is consumed whole, however many digits it has.
    std::string zeros(100000, '0');
    zeros += "12a";
    EXPECT_EQ(parse_digits(zeros.c_str(), &v), 100002u);
    EXPECT_EQ(v, 12u);

    u64 magnitude = 0;
    i64 sign = 0;
    EXPECT_EQ(parse_decimal_parts("-12", &magnitude, &sign), 3u);
    EXPECT_EQ(magnitude, 12u);
    EXPECT_EQ(sign, -1);
    EXPECT_EQ(parse_decimal_parts("+", &magnitude, &sign), 1u);
    EXPECT_EQ(magnitude, 0u);
    EXPECT_EQ(sign, 1);
}

TEST(parse_prefixed_decimal, skips_0x_and_reads_decimal_digits) {
    u64 v = 99;
    EXPECT_EQ(parse_prefixed_decimal("0x123", &v), 3u);
    EXPECT_EQ(v, 123u);
    EXPECT_EQ(parse_prefixed_decimal("123", &v), 3u);
    EXPECT_EQ(v, 123u);
    EXPECT_EQ(parse_prefixed_decimal("100", &v), 3u);
    EXPECT_EQ(v, 100u);
    EXPECT_EQ(parse_prefixed_decimal("0xff", &v), 0u);
    EXPECT_EQ(v, 0u);
    EXPECT_EQ(parse_prefixed_decimal("0", &v), 1u);
    EXPECT_EQ(v, 0u);
    EXPECT_EQ(parse_prefixed_decimal("0X12", &v), 1u);  // only a lower-case x
    EXPECT_EQ(v, 0u);
    // Each term wraps at 32 bits, the sum does not.
    EXPECT_EQ(parse_prefixed_decimal("9999999999", &v), 10u);
    EXPECT_EQ(v, 1410065407u);
    EXPECT_EQ(parse_prefixed_decimal("99999999999999999999", &v), 20u);
    EXPECT_EQ(v, 31726764031u);
}

struct f32_case {
    const char* text;
    f32 value;
    u64 consumed;
};

TEST(parse_f32, reads_a_decimal_fraction_in_single_precision) {
    const f32_case cases[] = {
        {"1.25", 1.25f, 4}, {"-0.5", -0.5f, 4}, {".5", 0.5f, 2},     {"3.", 3.0f, 2},
        {"+1", 0.0f, 0},    {"1e5", 1.0f, 1},   {"12.5x", 12.5f, 4}, {".", 0.0f, 1},
        {"0.1", 0.1f, 3},   {"", 0.0f, 0},      {"100", 100.0f, 3},  {"16777216", 16777216.0f, 8},
    };
    for (const f32_case& c : cases) {
        f32 v = 99.0f;
        EXPECT_EQ(parse_f32(c.text, &v), c.consumed) << c.text;
        EXPECT_EQ(v, c.value) << c.text;
    }
    f32 v = 0.0f;
    EXPECT_EQ(parse_f32("-", &v), 1u);
    EXPECT_EQ(v, 0.0f);
    EXPECT_TRUE(signbit(v));
}

TEST(parse_f32, long_digit_runs_never_give_nan) {
    // Leading zeros push the place value to infinity before the first
    // significant digit is reached; they must not turn the sum into NaN.
    std::string text = std::string(60, '0') + "1.5";
    f32 v = 0.0f;
    EXPECT_EQ(parse_f32(text.c_str(), &v), 63u);
    EXPECT_EQ(v, 1.5f);
    text = "1" + std::string(39, '0');  // 10^39 is past the largest float
    EXPECT_EQ(parse_f32(text.c_str(), &v), 40u);
    EXPECT_TRUE(isinf(v) && v > 0);
    text = "-" + text;
    parse_f32(text.c_str(), &v);
    EXPECT_TRUE(isinf(v) && v < 0);
    text = "0." + std::string(200, '9');  // the place value sinks to 0
    EXPECT_EQ(parse_f32(text.c_str(), &v), 202u);
    EXPECT_FALSE(isnan(v));
    EXPECT_NEAR(v, 1.0f, 1e-5f);
}

// --- Printers ----------------------------------------------------------------

// Checks that a printer writes `expected`, a terminator, and nothing after it.
template <typename T>
void expect_prints(u32 (*print)(char*, T), T value, const char* expected) {
    char buffer[64];
    memset(buffer, 'Z', sizeof buffer);
    u32 n = print(buffer, value);
    EXPECT_EQ(n, strlen(expected)) << expected;
    EXPECT_STREQ(buffer, expected);
    EXPECT_EQ(buffer[n + 1], 'Z') << expected;
}

TEST(print_integers, write_what_printf_writes) {
    expect_prints(print_s32, (i32)-5, "-5");
    expect_prints(print_s32, INT32_MIN, "-2147483648");
    expect_prints(print_s32, INT32_MAX, "2147483647");
    expect_prints(print_u64, (u64)0, "0");
    expect_prints(print_u64, UINT64_MAX, "18446744073709551615");
    expect_prints(print_s64, INT64_MIN, "-9223372036854775808");
    expect_prints(print_u32, UINT32_MAX, "4294967295");
    expect_prints(print_hex32, 255u, "000000ff");
    expect_prints(print_hex8, 10u, "0a");
    expect_prints(print_hex8, 256u, "100");
    expect_prints(print_hex8, 0xDEADBEEFu, "deadbeef");

    // Every digit count, and values around each power of ten and of two.
    char expected[32];
    for (u64 p = 1; p != 0 && p <= UINT64_MAX / 10; p *= 10) {
        for (u64 v : {p - 1, p, p + 1, p * 3 + 7}) {
            snprintf(expected, sizeof expected, "%" PRIu64, v);
            expect_prints(print_u64, v, expected);
            snprintf(expected, sizeof expected, "%" PRId64, -(i64)v);
            expect_prints(print_s64, -(i64)v, expected);
            snprintf(expected, sizeof expected, "%" PRIu32, (u32)v);
            expect_prints(print_u32, (u32)v, expected);
            snprintf(expected, sizeof expected, "%" PRId32, (i32)v);
            expect_prints(print_s32, (i32)v, expected);
        }
    }
    for (u32 bit = 0; bit < 32; ++bit) {
        for (u32 v : {1u << bit, (1u << bit) - 1, (1u << bit) | 0x5A5u}) {
            snprintf(expected, sizeof expected, "%08" PRIx32, v);
            expect_prints(print_hex32, v, expected);
            snprintf(expected, sizeof expected, "%02" PRIx32, v);
            expect_prints(print_hex8, v, expected);
        }
    }
}

TEST(print_bin8, writes_the_low_eight_bits_high_first) {
    expect_prints(print_bin8, 0u, "00000000");
    expect_prints(print_bin8, 5u, "00000101");
    expect_prints(print_bin8, 0x80u, "10000000");
    expect_prints(print_bin8, 0x1FFu, "11111111");
    expect_prints(print_bin8, 0xABCDEF00u, "00000000");
}

void expect_f32_like_printf(f32 value) {
    char expected[64];
    snprintf(expected, sizeof expected, "%3.3f", (double)value);
    char buffer[64];
    u32 n = print_f32(buffer, value);
    ASSERT_STREQ(buffer, expected) << "bits " << std::hex << [&] {
        u32 b;
        memcpy(&b, &value, sizeof b);
        return b;
    }();
    ASSERT_EQ(n, strlen(expected));
    ASSERT_LT(n, (u32)NUMBER_ROOM_F32);
}

TEST(print_f32, writes_what_printf_writes_with_three_decimals) {
    expect_prints(print_f32, 1.0f, "1.000");
    expect_prints(print_f32, -2.5f, "-2.500");
    expect_prints(print_f32, 12345.5f, "12345.500");
    expect_prints(print_f32, -0.0f, "-0.000");
    expect_prints(print_f32, 0.0625f, "0.062");  // a tie goes to the even digit
    expect_prints(print_f32, 0.1875f, "0.188");

    const f32 special[] = {0.0f, -0.0f, FLT_MIN, -FLT_MIN, FLT_MAX, -FLT_MAX, FLT_EPSILON,
                           FLT_TRUE_MIN, 0.0005f, 0.0015f, 0.9995f, 0.00049999f, 0.9999f,
                           16777216.0f, 16777217.0f, 1e19f, 1.8446744e19f, 3.4e38f};
    for (f32 v : special) expect_f32_like_printf(v);
    // Every power of two, and the floats next to it.
    for (int e = -149; e <= 127; ++e) {
        f32 v = ldexpf(1.0f, e);
        expect_f32_like_printf(v);
        expect_f32_like_printf(nextafterf(v, 0.0f));
        expect_f32_like_printf(-nextafterf(v, INFINITY));
    }
    // Exact ties and near-ties at the third decimal.
    for (int i = -40000; i <= 40000; ++i) {
        expect_f32_like_printf((f32)i / 16.0f);
        expect_f32_like_printf((f32)i / 2000.0f);
    }
    // A spread over every exponent: every finite bit pattern on a prime step.
    for (u64 b = 0; b < 0x100000000ull; b += 9973) {
        u32 bits = (u32)b;
        if (((bits >> 23) & 0xFF) == 0xFF) continue;
        f32 v;
        memcpy(&v, &bits, sizeof v);
        expect_f32_like_printf(v);
    }
}

TEST(print_f32, infinities_and_nans_have_fixed_words) {
    expect_prints(print_f32, INFINITY, "inf");
    expect_prints(print_f32, -INFINITY, "-inf");
    expect_prints(print_f32, NAN, "nan");
    expect_prints(print_f32, -NAN, "-nan");
}

}  // namespace
