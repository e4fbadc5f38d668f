#include <gtest/gtest.h>

#include <string.h>

#include <memory>
#include <string>

#include "engine/base/text.h"
#include "tests/base/fatal_stop.h"

namespace {

TEST(text, length_end_and_equality) {
    EXPECT_EQ(text_length(""), 0u);
    EXPECT_EQ(text_length("hello"), 5u);
    const char* s = "abc";
    EXPECT_EQ(text_end(s), s + 3);
    const char* empty = "";
    EXPECT_EQ(text_end(empty), empty);
    EXPECT_EQ(text_equal("abc", "abc"), 1u);
    EXPECT_EQ(text_equal("abc", "abcd"), 0u);
    EXPECT_EQ(text_equal("abcd", "abc"), 0u);
    EXPECT_EQ(text_equal("", ""), 1u);
}

TEST(text_equal_counted, compares_the_counted_prefix) {
    EXPECT_EQ(text_equal_counted("", "abc", 0, 3), 0u);
    EXPECT_EQ(text_equal_counted("abX", "abY", 2, 2), 1u);
    EXPECT_EQ(text_equal_counted("ab", "abc", 3, 3), 0u);
    EXPECT_EQ(text_equal_counted("ab", "ab", 5, 5), 1u);  // end together before the count
    EXPECT_EQ(text_equal_counted("abc", "abd", 3, 3), 0u);
    EXPECT_EQ(text_equal_counted("x", "y", 0, 0), 1u);
}

TEST(copy_text, plain_wide_counted_and_concatenated) {
    char out[32];
    memset(out, 'z', sizeof out);
    EXPECT_EQ(copy_text(out, "abc"), 3u);
    EXPECT_STREQ(out, "abc");
    EXPECT_EQ(out[4], 'z');
    EXPECT_EQ(copy_text(out, ""), 0u);
    EXPECT_EQ(out[0], 0);

    const u16 wide[] = {0x0041, 0x20AC, 0};
    EXPECT_EQ(copy_wide_text(out, wide), 2u);
    EXPECT_EQ(memcmp(out, "\x41\xAC", 3), 0);

    memset(out, 'z', sizeof out);
    EXPECT_EQ(copy_text_n(out, "abc", 2), 2u);
    EXPECT_EQ(memcmp(out, "ab\0z", 4), 0);
    EXPECT_EQ(copy_text_n(out, "a\0c", 3), 3u);  // a zero among the n is copied
    EXPECT_EQ(memcmp(out, "a\0c\0", 4), 0);

    EXPECT_EQ(concat_text(out, "ab", "cde"), 5u);
    EXPECT_STREQ(out, "abcde");
    EXPECT_EQ(concat_text(out, "", ""), 0u);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(concat_text_checked(out, "x", "yz"), 3u);
    EXPECT_STREQ(out, "xyz");
}

TEST(concat_text_checked_death, destination_equal_to_a_source_stops) {
    char a[16] = "ab";
    char b[16] = "cd";
    EXPECT_FATAL_STOP(concat_text_checked(a, a, b));
    EXPECT_FATAL_STOP(concat_text_checked(b, a, b));
}

TEST(find_text, first_whole_occurrence) {
    EXPECT_EQ(find_text("lo", "hello"), 3u);
    EXPECT_EQ(find_text("", "hello"), TEXT_NOT_FOUND);
    EXPECT_EQ(find_text("x", ""), TEXT_NOT_FOUND);
    EXPECT_EQ(find_text("ll", "hello"), 2u);
    EXPECT_EQ(find_text("hello", "hello"), 0u);
    EXPECT_EQ(find_text("lox", "hello"), TEXT_NOT_FOUND);  // a partial match at the end
    EXPECT_EQ(find_text("aab", "aaab"), 1u);
}

TEST(text_hash, known_values_and_order) {
    EXPECT_EQ(text_hash(""), 3598934u);
    EXPECT_EQ(text_hash("a"), 3599031u);
    EXPECT_EQ(text_hash("abc"), 10859709u);
    EXPECT_EQ(text_hash("ab"), 3741229u);
    EXPECT_EQ(text_hash("ba"), 3739779u);
    // Bytes 128 to 255 count as negative numbers.
    u32 expected = (2094190439u + (u32)-1) % 15485863u;
    EXPECT_EQ(text_hash("\xFF"), expected);
}

TEST(text_hash, a_sum_that_is_a_multiple_of_the_modulus_is_not_zero) {
    // "0:T/" sums to 4119239558 = 266 * 15485863.
    EXPECT_EQ(text_hash("0:T/"), 1u);
}

struct decoded {
    u32 code;
    u64 consumed;
};

decoded decode(const char* bytes) {
    decoded d = {0x12345678, 0};
    d.consumed = decode_utf8(bytes, &d.code);
    return d;
}

TEST(decode_utf8, every_length) {
    EXPECT_EQ(decode("A").code, 65u);
    EXPECT_EQ(decode("A").consumed, 1u);
    EXPECT_EQ(decode("").code, 0u);
    EXPECT_EQ(decode("").consumed, 1u);
    EXPECT_EQ(decode("\xC3\xA9").code, 0xE9u);
    EXPECT_EQ(decode("\xC3\xA9").consumed, 2u);
    EXPECT_EQ(decode("\xE2\x82\xAC").code, 0x20ACu);
    EXPECT_EQ(decode("\xE2\x82\xAC").consumed, 3u);
    EXPECT_EQ(decode("\xF0\x9F\x98\x80").code, 0x1F600u);
    EXPECT_EQ(decode("\xF0\x9F\x98\x80").consumed, 4u);
    // Overlong forms and values past 0x10FFFF are combined as they stand.
    EXPECT_EQ(decode("\xC0\x80").code, 0u);
    EXPECT_EQ(decode("\xF7\xBF\xBF\xBF").code, 0x1FFFFFu);
}

// The malformed bytes sit at the very end of their own allocation, so
// reading past the terminator trips the address sanitizer.
decoded decode_exact(const std::string& bytes) {
    std::unique_ptr<char[]> copy(new char[bytes.size() + 1]);
    memcpy(copy.get(), bytes.c_str(), bytes.size() + 1);
    return decode(copy.get());
}

TEST(decode_utf8, malformed_input_yields_the_replacement_and_one_byte) {
    const char* cases[] = {
        "\x80", "\xBF\x41",             // continuation byte as a lead
        "\xF8\x80\x80\x80", "\xFF",     // lead bytes past four-byte forms
        "\xC3\x41", "\xE2\x82\x41",     // continuation without its top bit
        "\xF0\x9F\x98\xC0",             // 11xxxxxx is no continuation either
        "\xC3", "\xE2\x82", "\xF0\x9F\x98",  // a terminator inside a sequence
    };
    for (const char* c : cases) {
        decoded d = decode_exact(c);
        EXPECT_EQ(d.code, UTF8_REPLACEMENT) << c;
        EXPECT_EQ(d.consumed, 1u) << c;
    }
}

TEST(decode_utf8, walks_mixed_text_without_losing_the_next_character) {
    const char* text = "a\xC3\xA9\xE2\x82\x41\xF0\x9F\x98\x80z";
    const u32 expected[] = {'a', 0xE9, UTF8_REPLACEMENT, UTF8_REPLACEMENT, 'A', 0x1F600, 'z'};
    u32 n = 0;
    for (const char* p = text; *p; ++n) {
        u32 code;
        p += decode_utf8(p, &code);
        ASSERT_LT(n, 7u);
        EXPECT_EQ(code, expected[n]) << n;
    }
    EXPECT_EQ(n, 7u);
}

TEST(blank_carriage_returns, replaces_every_one_in_place) {
    char s[] = "a\r\nb\r\r";
    EXPECT_EQ(blank_carriage_returns(s), 0u);
    EXPECT_STREQ(s, "a \nb  ");
}

TEST(lines, start_end_and_count) {
    const char* s = "ab\ncd";
    EXPECT_EQ(line_start(s, 0), 0u);
    EXPECT_EQ(line_start(s, 2), 0u);
    EXPECT_EQ(line_start(s, 3), 3u);  // just after the newline: pos itself
    EXPECT_EQ(line_start(s, 4), 3u);
    EXPECT_EQ(line_start(s, 5), 3u);
    EXPECT_EQ(line_end(s, 0), 2u);  // the newline belongs to its line
    EXPECT_EQ(line_end(s, 2), 2u);
    EXPECT_EQ(line_end(s, 3), 4u);  // the last character before the terminator
    EXPECT_EQ(line_end("", 0), 0xFFFFFFFFu);
    EXPECT_EQ(count_lines(s, 5), 2u);
    EXPECT_EQ(count_lines("ab\n", 3), 2u);
    EXPECT_EQ(count_lines(s, 2), 1u);
    EXPECT_EQ(count_lines(s, 0), 0u);
    EXPECT_EQ(line_start("\n\n", 1), 1u);
    EXPECT_EQ(line_end("\n\n", 1), 1u);
}

TEST(columns, spaces_tabs_and_stops) {
    char out[32];
    memset(out, 'z', sizeof out);
    EXPECT_EQ(pad_spaces(out, 8, 3), 5u);
    EXPECT_STREQ(out, "     ");
    memset(out, 'z', sizeof out);
    EXPECT_EQ(pad_spaces(out, 3, 8), 0u);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[1], 'z');

    const char* s = "a\tb";
    EXPECT_EQ(text_columns(s, s + 3, 4), 6u);
    EXPECT_EQ(text_columns(s, s + 1, 4), 1u);
    const char* tabs = "\t\t";
    EXPECT_EQ(text_columns(tabs, tabs, 4), 0u);
    EXPECT_EQ(text_columns(tabs, tabs + 2, 8), 16u);
    EXPECT_EQ(text_columns(tabs, tabs + 2, 0), 0u);  // 2 + 2 * (0 - 1), wrapped

    memset(out, 'z', sizeof out);
    EXPECT_EQ(pad_to_tab_stop(out, 6, 4), 2u);
    EXPECT_STREQ(out, "  ");
    EXPECT_EQ(pad_to_tab_stop(out, 8, 4), 4u);
    EXPECT_STREQ(out, "    ");
    EXPECT_EQ(pad_to_tab_stop(out, 0, 1), 1u);
    memset(out, 'z', sizeof out);
    EXPECT_EQ(pad_to_tab_stop(out, 6, 0), 0u);
    EXPECT_EQ(out[0], 'z');  // not even a terminator
}

TEST(integers, min_and_power) {
    EXPECT_EQ(min_u32(3, 7), 3u);
    EXPECT_EQ(min_u32(7, 3), 3u);
    EXPECT_EQ(min_u32(0xFFFFFFFF, 0), 0u);
    EXPECT_EQ(int_power(10, 0), 1u);
    EXPECT_EQ(int_power(0, 0), 1u);
    EXPECT_EQ(int_power(10, 10), 1410065408u);
    EXPECT_EQ(int_power(2, 31), 0x80000000u);
    EXPECT_EQ(int_power(2, 32), 0u);
    EXPECT_EQ(int_power(3, 5), 243u);
    // Wrapping powers agree with repeated multiplication.
    u32 product = 1;
    for (u32 e = 0; e < 40; ++e) {
        EXPECT_EQ(int_power(0xFFFFFFFB, e), product) << e;
        product *= 0xFFFFFFFBu;
    }
}

}  // namespace
