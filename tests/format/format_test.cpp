#include "engine/base/format.h"

#include <gtest/gtest.h>

#include <string.h>

#include <limits>
#include <string>
#include <vector>

namespace {

format_arg U(u64 v) { return format_arg_u64(v); }
format_arg S(i64 v) { return format_arg_s64(v); }
format_arg F(f32 v) { return format_arg_f32(v); }
format_arg T(const char* s) { return format_arg_text(s); }
format_arg tagged(u32 type, u64 value) {
    format_arg a;
    a.value = value;
    a.type = type;
    return a;
}

struct row {
    const char* format;
    std::vector<format_arg> args;
    std::string expected;
};

const size_t BUFFER = 4096;

// Formats into a buffer filled with `fill` and returns the text; checks that
// the returned length matches and that the text is terminated there.
std::string run(const char* format, const std::vector<format_arg>& args, char fill = 0) {
    std::vector<char> out(BUFFER, fill);
    u64 n = format_text_args(out.data(), format, args.empty() ? nullptr : args.data(),
                             (u32)args.size());
    EXPECT_LT(n, BUFFER);
    EXPECT_EQ(out[n], 0) << format;
    EXPECT_EQ(strlen(out.data()), n) << format << ": no zero byte is left inside";
    return std::string(out.data(), n);
}

// The bounded form at every capacity around the result's length: the same
// length, the unbounded text cut cleanly, nothing written past the capacity.
// Its buffer starts full of '#', yet what "col:" passes over reads as it
// does in a zero-filled buffer.
void check_bounded(const row& r) {
    std::string whole = run(r.format, r.args, 0);
    const u64 length = whole.size();
    for (u64 capacity = 0; capacity <= length + 3; ++capacity) {
        std::vector<char> out(length + 16, '#');
        u64 n = format_text_bounded(out.data(), capacity, r.format,
                                    r.args.empty() ? nullptr : r.args.data(), (u32)r.args.size());
        EXPECT_EQ(n, length) << r.format << " at capacity " << capacity;
        if (capacity == 0) {
            EXPECT_EQ(out[0], '#') << r.format;
            continue;
        }
        u64 kept = length < capacity - 1 ? length : capacity - 1;
        EXPECT_EQ(std::string(out.data(), kept), whole.substr(0, kept)) << r.format << " at " << capacity;
        EXPECT_EQ(out[kept], 0) << r.format << " at " << capacity;
        for (u64 i = capacity; i < out.size(); ++i) {
            ASSERT_EQ(out[i], '#') << r.format << " wrote past capacity " << capacity;
        }
    }
}

void check_table(const std::vector<row>& table) {
    for (const row& r : table) {
        EXPECT_EQ(run(r.format, r.args), r.expected) << "format: " << r.format;
        check_bounded(r);
    }
}

TEST(Format, PlainTextAndEscapes) {
    check_table({
        {"", {}, ""},
        {"plain text, no placeholders.", {}, "plain text, no placeholders."},
        {"\\%", {}, "%"},
        {"\\$\\\\", {}, "$\\"},
        {"a$b", {}, "ab"},
        {"$", {}, ""},
        {"\\a\\b", {}, "a\\b"},           // a "\" right after an escape is plain
        {"\\\\", {}, "\\"},
        {"\\a\\\\b", {}, "a\\b"},          // escape, plain "\", escape
        {"ab\\", {}, "ab"},                // a final "\" copies nothing
        {"x\\", {U(1)}, "x"},
        {"\\%%", {U(5)}, "%5"},            // the character after an escape is read at once
        {"\\$${pad:1}|", {}, "$ |"},
        {"tab\there", {}, "tab\there"},
    });
}

TEST(Format, EveryTagPrints) {
    check_table({
        {"%", {U(42)}, "42"},
        {"%", {S(-7)}, "-7"},
        {"%", {F(1.5f)}, "1.500"},
        {"%", {F(-2.5f)}, "-2.500"},
        {"%", {T("abc")}, "abc"},
        {"%", {T(nullptr)}, ""},
        {"[%]", {tagged(0, 42)}, "[]"},
        {"[%]", {tagged(9, 42)}, "[]"},
        {"%", {tagged(FORMAT_ARG_U32, ~0ull)}, "18446744073709551615"},
        {"%", {tagged(FORMAT_ARG_U64, 0)}, "0"},
        {"%", {tagged(FORMAT_ARG_U8, 300)}, "300"},
        {"%", {tagged(FORMAT_ARG_S32, ~0ull)}, "-1"},
        {"%", {tagged(FORMAT_ARG_S64, 1ull << 63)}, "-9223372036854775808"},
        {"%", {tagged(FORMAT_ARG_S8, 5)}, "5"},
        {"%%", {U(1), U(2)}, "12"},        // no doubled-"%" escape
        {"% and %", {T("one"), S(2)}, "one and 2"},
        {"%", {format_arg_u32(7)}, "7"},
        {"%", {format_arg_s32(-7)}, "-7"},
    });
}

TEST(Format, ValueKeywords) {
    check_table({
        {"%{}", {U(42)}, "42"},
        {"%{xyz}", {U(42)}, "42"},
        {"%{char}", {U(65)}, "A"},
        {"%{char}", {U(0x141)}, "A"},
        {"[%{char}]", {U(0)}, "[ ]"},
        {"%{hex32}", {U(255)}, "000000ff"},
        {"%{hex32}", {U(0x1234567890ull)}, "34567890"},
        {"%{hex32}", {F(1.0f)}, "3f800000"},
        {"%{hex8}", {U(10)}, "0a"},
        {"%{hex8}", {U(4660)}, "1234"},
        {"%{bin8}", {U(5)}, "00000101"},
        {"%{bin8}", {U(0x1FF)}, "11111111"},
        {"%{ hex8 }", {U(255)}, "ff"},     // spaces between specifiers are skipped
        {"%{CHAR}", {U(65)}, "65"},        // keywords are case-sensitive
    });
}

TEST(Format, WidthCutsAndPads) {
    check_table({
        {"%{width:5}|", {U(42)}, "42   |"},
        {"%{width:1}|", {U(42)}, "4|"},
        {"%{width:0}|", {U(42)}, "|"},
        {"%{width:3}|", {tagged(0, 1)}, "   |"},
        {"%{width:2}|", {T("abc")}, "ab|"},
        {"%{width:6}|", {T("abc")}, "abc   |"},
        {"%{hex32 width:4}|", {U(255)}, "0000|"},
        {"%{char width:3}|", {U(66)}, "B  |"},
        {"%{width:3 width:1}|", {U(42)}, "4|"},
    });
}

TEST(Format, DigitGrouping) {
    check_table({
        {"%{del:3}", {U(1234567)}, "1,234,567"},
        {"%{del:3}", {U(123)}, "123"},
        {"%{del:3}", {U(1234)}, "1,234"},
        {"%{del:0}", {U(1234)}, "1234"},
        {"%{del:1}", {U(123)}, "1,2,3"},
        {"%{hex32 del:4}", {U(255)}, "0000,00ff"},
        {"%{sign del:3}", {U(1234567)}, "+1,234,567"},
        // A leading sign is passed over.
        {"%{del:3}", {S(-1234)}, "-1,234"},
        {"%{del:3}", {S(-123)}, "-123"},
        {"%{sign del:3}", {U(123)}, "+123"},
        {"%{sign:1 del:3}", {U(1234)}, " 1,234"},
        {"%{del:3}", {T("-1234567")}, "-1,234,567"},
        // The fraction after the point is left alone.
        {"%{del:3}", {F(1234567.5f)}, "1,234,567.500"},
        {"%{del:3}", {F(-1234.25f)}, "-1,234.250"},
        {"%{del:3}", {F(12.5f)}, "12.500"},
        {"%{del:% width:%}|", {U(1234), U(2), U(4)}, "12,3|"},
    });
}

TEST(Format, ExplicitSign) {
    check_table({
        {"%{sign}", {U(42)}, "+42"},
        {"%{sign}", {S(-42)}, "-42"},
        {"%{sign}", {S(0)}, "+0"},
        {"%{sign:1}", {S(42)}, " 42"},
        {"%{sign:1}", {S(-42)}, "-42"},
        {"%{sign width:6}|", {U(42)}, "+42   |"},
        {"%{sign:%}", {S(42), U(1)}, " 42"},
        {"%{sign}", {S(INT64_MIN)}, "-9223372036854775808"},
        {"%{sign}", {U(~0ull)}, "+18446744073709551615"},
        {"%{sign}", {F(2.5f)}, "+2.500"},
        {"%{sign}", {F(-2.5f)}, "-2.500"},
        {"%{sign}", {F(-0.0f)}, "+0.000"},
        // A text shows its own sign once.
        {"%{sign}", {T("-5")}, "-5"},
        {"%{sign}", {T("+5")}, "+5"},
        {"%{sign}", {T("5")}, "+5"},
        {"%{sign}", {tagged(0, 5)}, "+"},
        {"%{signal}", {U(1)}, "+1"},       // a prefix: "al" is skipped
    });
}

TEST(Format, SizeTakesASliceInPlace) {
    static const char with_zero[] = {'a', 0, 'b', 'c', 0};
    check_table({
        {"%{size:3}", {T("abcdef")}, "abc"},
        {"%{size:3 width:5}|", {T("abcdef")}, "abc  |"},
        {"%{size:0}|", {T("abcdef")}, "|"},
        {"%{size:%}", {T("abcdef"), U(2)}, "ab"},
        {"[%{size:4}]", {T(with_zero)}, "[a bc]"},   // a zero byte becomes a space
        {"%{size:2}", {U(12345)}, "12"},             // not a text: its printed form
        {"%{size:9}|", {U(12345)}, "12345|"},
        {"%{size:5}|", {T(nullptr)}, "|"},
        {"%{size:4 del:1}", {T("1234xyz")}, "1,2,3,4"},
        {"%{size:2 sign}", {T("-7x")}, "-7-7x"},
        {"%{width:2 size:3}|", {T("abcdef")}, "ab|"},
    });
}

TEST(Format, SizeNeverWritesIntoTheCallersText) {
    char text[] = "12345678";
    char out[64];
    format_arg args[] = {T(text)};
    EXPECT_EQ(format_text_args(out, "%{size:4 del:2}", args, 1), 5u);
    EXPECT_STREQ(out, "12,34");
    EXPECT_EQ(format_text_args(out, "%{size:3 sign}", args, 1), 12u);
    EXPECT_STREQ(out, "123+12345678");
    EXPECT_STREQ(text, "12345678");
}

TEST(Format, NumericParameters) {
    check_table({
        {"%{width:%}|", {U(42), U(4)}, "42  |"},      // own argument first
        {"%{width:%}|", {U(42), T("3")}, "42 |"},     // a text read as a number
        {"%{width:%}|", {U(42), F(4.9f)}, "42  |"},   // truncated toward zero
        {"%{width:%}|", {U(42), F(260.0f)}, "42  |"}, // low 8 bits: 4
        {"%{width:%}|", {U(42), F(-1.0f)}, "42" + std::string(253, ' ') + "|"},  // 255
        {"%{width:%}|", {U(42), F(1e30f)}, "|"},     // beyond 32 bits: 0
        {"%{width:%}|", {U(42), F(std::numeric_limits<f32>::quiet_NaN())}, "|"},
        {"%{width:%}|", {U(42), tagged(0, 9)}, "|"},
        {"%{width:+3}|", {U(42)}, "42 |"},
        {"%{width:+}|", {U(42)}, "|"},                // a lone sign reads as 0
        {"%{width:x}|", {U(42)}, "|"},                // no digits: 0, "x" skipped
        {"%{width:007}|", {U(42)}, "42     |"},
        {"%{width:4294967298}|", {U(42)}, "42|"},     // wraps to 2
        {"${chars:%%}", {U(45), U(3)}, "---"},
        {"${chars:61+3}", {}, "==="},
        {"${chars:317+2}", {}, "=="},                 // the character keeps 8 bits
        {"${chars:%%}", {F(65.7f), F(2.0f)}, "AA"},
    });
}

TEST(Format, PadAndRunsOfCharacters) {
    check_table({
        {"${pad:3}x", {}, "   x"},
        {"${pad:0}x", {}, "x"},
        {"${pad:%}x", {U(2)}, "  x"},
        {"${chars:120+0}|", {}, "|"},
        {"${chars:0+3}|", {}, "   |"},               // zero bytes become spaces
        {"${pad:1 chars:46+2 pad:1}|", {}, " .. |"},
        {"${PAD:3}|", {}, "|"},
    });
}

TEST(Format, TabStopsCountFromTheStartOfTheOutput) {
    check_table({
        {"ab${tab:4}c", {}, "ab  c"},
        {"abcd${tab:4}c", {}, "abcd    c"},
        {"${tab:4}c", {}, "    c"},
        {"ab${tab:0}c", {}, "abc"},
        {"\t${tab:8}|", {}, "\t    |"},              // a tab counts four columns
        {"ab\nc${tab:4}|", {}, "ab\nc    |"},        // a newline does not restart
        {"a${pad:2 tab:4}|", {}, "a   |"},           // the group's own text counts
        {"${chars:9+1 tab:8}|", {}, "\t    |"},
        {"%${tab:%}|", {T("abc"), U(5)}, "abc  |"},
        {"${tab:10}|${tab:10}|", {}, "          |         |"},
    });
}

// "col:" moves the output position; what it passes over keeps the buffer's
// bytes, and zero bytes there become spaces.
TEST(Format, ColumnOverZeroFilledAndPrefilledBuffers) {
    struct col_row {
        const char* format;
        std::vector<format_arg> args;
        const char* over_zeros;
        const char* over_dots;
    };
    const std::vector<col_row> table = {
        {"ab${col:5}c", {}, "ab   c", "ab...c"},
        {"abcdef${col:2}X", {}, "abX", "abX"},
        {"abcdef${col:2}X${col:6}", {}, "abXdef", "abXdef"},
        {"%${col:5}c", {T("ab")}, "ab   c", "ab ..c"},       // the zero after a piece shows
        {"${col:3 pad:2}x", {}, "     x", "...  x"},
        {"${col:0}", {}, "", ""},
        {"abc${col:%}d", {U(1)}, "ad", "ad"},
        {"%{width:1}${col:4}|", {U(12345)}, "1   |", "1 ..|"}, // cut text does not show
    };
    for (const col_row& r : table) {
        EXPECT_EQ(run(r.format, r.args, 0), r.over_zeros) << r.format;
        EXPECT_EQ(run(r.format, r.args, '.'), r.over_dots) << r.format;
        check_bounded({r.format, r.args, r.over_zeros});
    }
}

TEST(Format, UnclosedAtTheEnd) {
    check_table({
        {"a%{width:5", {U(42)}, "a42   "},
        {"a%{", {U(42)}, "a42"},
        {"a%{hex8", {U(255)}, "aff"},
        {"a%{width:", {U(42)}, "a"},
        {"a${pad:2", {}, "a  "},
        {"a${", {}, "a"},
        {"a${tab:", {}, "a"},
        {"%{sign:", {U(1)}, "+1"},
    });
}

// Asking for more arguments than were passed, or a second value keyword,
// ends the text where it happens; the unfinished piece writes nothing.
TEST(Format, CallersErrorsEndTheText) {
    check_table({
        {"%", {}, ""},
        {"ab%cd", {}, "ab"},
        {"ab%cd%ef", {U(1)}, "ab1cd"},
        {"ab%{width:%}cd", {U(1)}, "ab"},
        {"a${pad:% pad:%}b", {U(2)}, "a"},
        {"a${chars:%%}b", {U(65)}, "a"},
        {"a${col:%}b", {}, "a"},
        {"ab${col:5 pad:%}cd", {}, "ab"},
        {"x%{char hex8}y", {U(65)}, "x"},
        {"x%{hex32 bin8}y", {U(1)}, "x"},
        {"x%{del:3 char}y", {U(1)}, "x"},
        {"x%{size:1 hex8}y", {T("ab")}, "x"},
        {"x%{sign char}y", {U(1)}, "x"},
        {"%%%%%", {U(1), U(2), U(3)}, "123"},
    });
    // Nothing past the array is read, whatever lies behind it.
    format_arg args[2] = {U(1), U(2)};
    char out[16];
    EXPECT_EQ(format_text_args(out, "%%", args, 1), 1u);
    EXPECT_STREQ(out, "1");
    EXPECT_EQ(format_text_args(out, "abc", nullptr, 0), 3u);
}

// A placeholder's or group's text longer than the scratch area is cut at 255
// characters; a plain argument is not.
TEST(Format, ScratchTextIsCutNeverOverrun) {
    const std::string long_digits(300, '7');
    const std::string long_text(300, 'a');
    EXPECT_EQ(run("%", {T(long_text.c_str())}), long_text);
    EXPECT_EQ(run("%{width:300}", {T(long_text.c_str())}), long_text);
    EXPECT_EQ(run("${pad:1000}x", {}), std::string(255, ' ') + "x");
    EXPECT_EQ(run("${chars:%%}|", {U('z'), U(5000)}), std::string(255, 'z') + "|");
    EXPECT_EQ(run("%{sign}", {T(long_text.c_str())}), "+" + long_text.substr(0, 254));
    std::string grouped;
    for (int i = 0; i < 300; ++i) {
        grouped += '7';
        if ((300 - i - 1) % 3 == 0 && i != 299) grouped += ',';
    }
    EXPECT_EQ(run("%{del:3}", {T(long_digits.c_str())}), grouped.substr(0, 255));
    EXPECT_EQ(run("%{size:300 del:3}", {T(long_digits.c_str())}).size(), 255u);
    EXPECT_EQ(run("${pad:200 tab:4 pad:100 chars:46+10}|", {}), std::string(255, ' ') + "|");
}

TEST(Format, BoundedCutsCleanlyAndReportsTheWholeLength) {
    check_table({{"mixed % and %{del:3} in ${pad:2}%{width:6}|${tab:8}%{sign}",
                  {T("text"), U(1234567), F(2.25f), S(-9)},
                  "mixed text and 1,234,567 in   2.250 |   -9"}});
    // A huge width is counted, not written.
    char out[16];
    memset(out, '#', sizeof out);
    format_arg args[] = {U(42)};
    EXPECT_EQ(format_text_bounded(out, 8, "%{width:-1}", args, 1), 4294967295ull);
    EXPECT_STREQ(out, "42     ");
    EXPECT_EQ(out[8], '#');
    EXPECT_EQ(format_text_bounded(out, 8, "${col:4000000000}x", nullptr, 0), 4000000001ull);
    // Counts take the low 32 bits: -1, as a literal, a signed or a text
    // argument, is the largest width.
    format_arg minus_one[][2] = {{U(1), S(-1)}, {U(1), T("-1x")}};
    for (auto& pair : minus_one) {
        EXPECT_EQ(format_text_bounded(out, 4, "%{width:%}|", pair, 2), 4294967296ull);
        EXPECT_STREQ(out, "1  ");
    }
    EXPECT_EQ(format_text_bounded(nullptr, 0, "%{width:%}", args, 1), 0u);  // too few
    EXPECT_EQ(format_text_bounded(nullptr, 0, "abc%", args, 1), 5u);
    // Tabs dropped past the capacity still count four columns.
    EXPECT_EQ(format_text_bounded(out, 2, "\t\t${tab:16}x", nullptr, 0), 11u);
    EXPECT_STREQ(out, "\t");
    format_arg tabbed[] = {T("a\tb"), U(3)};
    EXPECT_EQ(format_text_bounded(out, 1, "%{size:%}${tab:8}|", tabbed, 2), 6u);
}

// After "col:" moved back over dropped output, a "tab:" past the capacity
// counts the tabs the unbounded text holds there now: not those overwritten
// since, nor those beyond the position. Each row measures a different length
// once a stale tab counts.
TEST(Format, BoundedTabAfterColumnMovedBack) {
    check_table({
        {"ab\t\t${col:2}cd${tab:8}|", {}, "abcd    |"},            // both overwritten
        {"ab\t\t\t${col:3}${tab:8}|", {}, "ab\t  |"},            // two beyond the position
        {"\t\t\t${col:1}xy${tab:16}|", {}, "\txy          |"},
        {"${chars:9+3}${col:1 tab:8}|", {}, "\t    |"},            // a group's tabs
        {"a\t\t${col:1}%${tab:8}|", {T("\t")}, "a\t   |"},         // a tab rewritten
        {"ab\t\t${col:2}cd${tab:8}x${col:3}${tab:8}|${col:1}${tab:4}!", {},
         "a   !"},                                                  // answers reused
        {"\t\t\t${col:2 tab:8}|", {}, "\t\t        |"},
    });
}

TEST(Format, VariadicEntryPoints) {
    char out[256];
    EXPECT_EQ(format_text(out, "none"), 4u);
    EXPECT_STREQ(out, "none");
    EXPECT_EQ(format_text(out, "%", format_arg_u64(9)), 1u);
    EXPECT_STREQ(out, "9");
    u64 n = format_text(out, "%,%,%,%,%,%,%,%,%,%,%,%,%,%,%,%", U(1), U(2), U(3), U(4), U(5),
                        U(6), U(7), U(8), U(9), U(10), S(-11), T("12"), F(13.0f), U(14),
                        U(15), U(16));
    EXPECT_STREQ(out, "1,2,3,4,5,6,7,8,9,10,-11,12,13.000,14,15,16");
    EXPECT_EQ(n, strlen(out));
}

}  // namespace

extern "C" {
u64 c_format_none(char* out);
u64 c_format_mixed(char* out);
u64 c_format_sixteen(char* out);
int c_format_evaluations(char* out);
}

namespace {

// The C form, from a strict C99 source.
TEST(Format, CEntryPoints) {
    char out[256];
    EXPECT_EQ(c_format_none(out), 3u);
    EXPECT_STREQ(out, "a%b");
    EXPECT_EQ(c_format_mixed(out), 16u);
    EXPECT_STREQ(out, "t|-5|1.500|42  |");
    EXPECT_EQ(c_format_sixteen(out), 43u);
    EXPECT_STREQ(out, "1,2,3,4,5,6,7,8,9,10,-11,12,13.000,14,15,16");
    EXPECT_EQ(c_format_evaluations(out), 2);
    EXPECT_STREQ(out, "12");
}

}  // namespace
