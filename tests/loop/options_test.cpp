// The host's command line: what each option sets, and what is refused.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "loop/options.h"

// The options point into the arguments, which live as long as the test.
static std::vector<std::string> kept[16];
static u32 kept_count;

static bool parse(std::vector<std::string> words, host_options* options, std::string* reason) {
    std::vector<std::string>& held = kept[kept_count++ % 16];
    held = words;
    std::vector<char*> arguments;
    for (std::string& word : held) arguments.push_back(&word[0]);
    char text[160] = "";
    bool ok = parse_options(options, (int)arguments.size(), arguments.data(), text, sizeof(text));
    *reason = text;
    return ok;
}

TEST(Options, EachOptionAndTheRefusedOnes) {
    host_options options;
    std::string reason;
    ASSERT_TRUE(parse({}, &options, &reason));
    EXPECT_TRUE(!options.record && !options.replay && !options.hashes && !options.check &&
                !options.loop && !options.headless && !options.no_undo);
    ASSERT_TRUE(parse({"--no-undo", "--record", "b.rec"}, &options, &reason));
    EXPECT_TRUE(options.no_undo);

    ASSERT_TRUE(parse({"--replay", "a.rec", "--headless", "--hashes", "h.txt", "--check", "c.txt"},
                      &options, &reason));
    EXPECT_STREQ(options.replay, "a.rec");
    EXPECT_STREQ(options.hashes, "h.txt");
    EXPECT_STREQ(options.check, "c.txt");
    EXPECT_TRUE(options.headless && !options.loop && !options.record);
    ASSERT_TRUE(parse({"--loop", "--replay", "a.rec"}, &options, &reason));
    EXPECT_TRUE(options.loop);
    ASSERT_TRUE(parse({"--record", "b.rec", "--hashes", "h.txt"}, &options, &reason));
    EXPECT_STREQ(options.record, "b.rec");
    // Words that are no options are left alone, as the host always did.
    ASSERT_TRUE(parse({"picture.bmp", "--loop", "--replay", "a.rec", "notes"}, &options, &reason));
    EXPECT_STREQ(options.replay, "a.rec");
    EXPECT_TRUE(options.loop);

    struct refused {
        std::vector<std::string> words;
        const char* reason;
    } cases[] = {
        {{"--record"}, "--record needs a file name"},
        {{"--replay", ""}, "--replay needs a file name"},
        {{"--replay", "a", "--replay", "b"}, "--replay is given twice"},
        {{"--record", "a", "--replay", "b"}, "--record and --replay don't go together"},
        {{"--loop"}, "--loop needs --replay FILE"},
        {{"--headless", "--record", "a"}, "--headless needs --replay FILE"},
        {{"--replay", "a", "--headless", "--loop"}, "it does not take --loop"},
        {{"-replay", "a"}, "unknown option -replay"},
        {{"--replay", "a", "--lop"}, "unknown option --lop"},
    };
    for (const refused& each : cases) {
        EXPECT_FALSE(parse(each.words, &options, &reason)) << each.reason;
        EXPECT_NE(reason.find(each.reason), std::string::npos) << reason;
    }
}
