#include <gtest/gtest.h>

#include <string.h>

#include "engine/base/path.h"
#include "tests/base/fatal_stop.h"

namespace {

struct split_result {
    const char* file_name;
    const char* extension;
};

split_result split(const char* path) {
    const char* start = nullptr;
    split_result r = {};
    path_split(path, &start, &r.file_name, &r.extension);
    EXPECT_EQ(start, path);
    return r;
}

TEST(path_split, finds_file_name_and_extension) {
    EXPECT_STREQ(split("dir/file.txt").file_name, "file.txt");
    EXPECT_STREQ(split("dir/file.txt").extension, "txt");
    EXPECT_STREQ(split("a.b.c").extension, "c");
    EXPECT_STREQ(split("dir\\name").file_name, "name");
    const char* plain = "file";
    EXPECT_EQ(split(plain).extension, plain + 4);  // the empty text at the end
    const char* dotted = "file.";
    EXPECT_EQ(split(dotted).extension, dotted + 5);
    EXPECT_EQ(split(dotted).file_name, dotted);
    const char* empty = "";
    EXPECT_EQ(split(empty).file_name, empty);
    EXPECT_EQ(split(empty).extension, empty);
}

TEST(path_split, extension_search_stops_at_a_separator) {
    const char* dot_dir = "./name";
    EXPECT_EQ(split(dot_dir).extension, dot_dir + 6);
    const char* dotted_dir = "dir.d/file";
    EXPECT_EQ(split(dotted_dir).extension, dotted_dir + 10);
    EXPECT_STREQ(split("dir.d\\file.c").extension, "c");
}

struct normalized {
    std::string text;
    int delta;
};

normalized normalize(const char* input) {
    char buffer[300];
    memset(buffer, 0x55, sizeof buffer);
    strcpy(buffer, input);
    int delta = path_normalize(buffer);
    size_t length = strlen(buffer);
    EXPECT_EQ((int)length - (int)strlen(input), delta) << input;
    // Nothing is written beyond the two spare bytes and the terminator.
    size_t limit = strlen(input) + 3;
    for (size_t i = limit; i < sizeof buffer; ++i) {
        EXPECT_EQ(buffer[i], 0x55) << input;
    }
    return {buffer, delta};
}

#define EXPECT_NORMAL(input, output, change)         \
    do {                                             \
        normalized n = normalize(input);             \
        EXPECT_EQ(n.text, output) << "from " input;  \
        EXPECT_EQ(n.delta, change) << "from " input; \
    } while (0)

TEST(path_normalize, applies_every_rule) {
    EXPECT_NORMAL("file", "./file", 2);
    EXPECT_NORMAL("", ".", 1);
    EXPECT_NORMAL(".hidden", ".hidden", 0);
    EXPECT_NORMAL("..", "..", 0);
    EXPECT_NORMAL("dir/", "dir", -1);
    EXPECT_NORMAL("/", "", -1);
    EXPECT_NORMAL("a/b", "a/b", 0);
    EXPECT_NORMAL("a//", "a/", -1);
    EXPECT_NORMAL("a//b", "a//b", 0);
    EXPECT_NORMAL("C:\\", "C:", -1);
    EXPECT_NORMAL("/work/data", "/work/data", 0);
}

TEST(path_normalize, backslash_pairs_collapse) {
    EXPECT_NORMAL("a\\b", "a/b", 0);
    EXPECT_NORMAL("a\\\\b", "a/b", -1);
    EXPECT_NORMAL("a\\\\\\b", "a//b", -1);
    EXPECT_NORMAL("a\\\\\\\\b", "a//b", -2);
    EXPECT_NORMAL("\\\\server\\share\\", "/server/share", -2);
    EXPECT_NORMAL("C:\\work\\data", "C:/work/data", 0);
    // A backslash makes the name a path, so no "./" is added.
    EXPECT_NORMAL("x\\", "x", -1);
}

TEST(path_normalize, parent_followed_by_current) {
    EXPECT_NORMAL("..\\.\\x", "../x", -2);
    EXPECT_NORMAL("x/.././y", "x/../y", -2);
    EXPECT_NORMAL(".././.././x", "../.././x", -2);
    EXPECT_NORMAL(".././", "../.", -1);
    EXPECT_NORMAL("a/.././.././b", "a/../.././b", -2);
    EXPECT_NORMAL(".././././x", "../././x", -2);
}

struct resolved {
    std::string text;
    int delta;
};

resolved resolve(const char* input, const char* base) {
    char buffer[600];
    strcpy(buffer, input);
    int delta = path_resolve(buffer, base);
    EXPECT_EQ((int)strlen(buffer) - (int)strlen(input), delta) << input;
    return {buffer, delta};
}

TEST(path_resolve, against_an_absolute_base) {
    const char* base = "/x/y";
    EXPECT_EQ(resolve("a", base).text, "/x/y/a");
    EXPECT_EQ(resolve("a", base).delta, 5);
    EXPECT_EQ(resolve("./a", base).text, "/x/y/a");
    EXPECT_EQ(resolve("../a", base).text, "/x/a");
    EXPECT_EQ(resolve("a/b", base).text, "a/b");
    EXPECT_EQ(resolve(".", base).text, "/x/y");
    EXPECT_EQ(resolve("../..", base).text, "");
    EXPECT_EQ(resolve("..hidden", base).text, "/x/y/..hidden");
    EXPECT_EQ(resolve("..\\z\\.\\w", base).text, "/x/z/w");
    EXPECT_EQ(resolve("/a/./b/../c/", base).text, "/a/c");
}

TEST(path_resolve, against_a_relative_base) {
    EXPECT_EQ(resolve("./c", "a/b").text, "a/b/c");
    EXPECT_EQ(resolve("../c", "a/b").text, "a/c");
    EXPECT_EQ(resolve("../../../c", "a/b").text, "c");
    EXPECT_EQ(resolve("name", "").text, "name");
    EXPECT_EQ(resolve("C:/a/../b", "/ignored").text, "C:/b");
}

TEST(path_resolve, keeps_the_root) {
    EXPECT_EQ(resolve("/x/../y", "/base").text, "/y");
    EXPECT_EQ(resolve("/../y", "/base").text, "/y");
    EXPECT_EQ(resolve("../../../y", "/x").text, "/y");
    EXPECT_EQ(resolve("/x/..", "/base").text, "");
}

TEST(path_resolve, refuses_what_does_not_fit) {
    std::string long_path(254, 'a');
    resolved r = resolve(long_path.c_str(), "/x");
    EXPECT_EQ(r.text, long_path);
    EXPECT_EQ(r.delta, 0);

    std::string fits = "./" + std::string(251, 'b');
    EXPECT_EQ(resolve(fits.c_str(), "").text, fits.substr(2));

    // 16 components in all are accepted, 17 are not.
    const char* base = "/1/2/3/4/5/6/7/8";
    EXPECT_EQ(resolve("./a/b/c/d/e/f/g", base).text, "/1/2/3/4/5/6/7/8/a/b/c/d/e/f/g");
    EXPECT_EQ(resolve("./a/b/c/d/e/f/g/h", base).text, "./a/b/c/d/e/f/g/h");
    EXPECT_EQ(resolve("./a/b/c/d/e/f/g/h", base).delta, 0);
}

TEST(path_join, inserts_one_separator) {
    char out[64];
    EXPECT_EQ(path_join(out, "a", "b"), 3u);
    EXPECT_STREQ(out, "a/b");
    EXPECT_EQ(path_join(out, "a/", "b"), 3u);
    EXPECT_STREQ(out, "a/b");
    EXPECT_EQ(path_join(out, "", "b"), 1u);
    EXPECT_STREQ(out, "b");
    EXPECT_EQ(path_join(out, "a/", "/b"), 4u);
    EXPECT_STREQ(out, "a//b");
    EXPECT_EQ(path_join(out, "a", ""), 2u);
    EXPECT_STREQ(out, "a/");
}

std::vector<std::string> components(const char* path) {
    const char* starts[8];
    u32 lengths[8];
    u32 count = 1;  // appends after what is already there
    starts[0] = "kept";
    lengths[0] = 4;
    path_components(path, starts, lengths, &count, 8);
    std::vector<std::string> out;
    for (u32 i = 0; i < count; ++i) out.emplace_back(starts[i], lengths[i]);
    return out;
}

TEST(path_components, lists_runs_between_separators) {
    using v = std::vector<std::string>;
    EXPECT_EQ(components("a/b"), (v{"kept", "a", "b"}));
    EXPECT_EQ(components("/x/y"), (v{"kept", "/x", "y"}));
    EXPECT_EQ(components("a//b"), (v{"kept", "a", "/b"}));
    EXPECT_EQ(components("a/"), (v{"kept", "a"}));
    EXPECT_EQ(components(""), (v{"kept"}));
    EXPECT_EQ(components("//x"), (v{"kept", "/", "x"}));
}

TEST(path_components_death, more_than_the_capacity_stops) {
    const char* starts[2];
    u32 lengths[2];
    u32 count = 0;
    path_components("a/b", starts, lengths, &count, 2);
    EXPECT_EQ(count, 2u);
    count = 0;
    EXPECT_FATAL_STOP(path_components("a/b/c", starts, lengths, &count, 2));
}

}  // namespace
