// Names as a reload's messages give them: keys of every form, C++ linkage
// names among them, statics of one name from two files, and lists cut for a
// title.
#include <gtest/gtest.h>

#include <string>

#include "carry/names.h"

namespace {

std::string readable(const char* key, bool32 with_file = 0) {
    char out[256];
    name_readable(key, with_file, out, sizeof(out));
    return out;
}

std::string written(const name_list* list, u32 most, u32 limit) {
    long_text out = {};
    name_list_write(list, most, limit, &out);
    std::string text = long_text_view(&out);
    long_text_free(&out);
    return text;
}

TEST(Names, KeysReadAsAUserWritesThem) {
    EXPECT_EQ(readable("heap.cpp:_ZN4gameL5probeEm"), "game::probe(unsigned long)");
    EXPECT_EQ(readable("_Z5probev"), "probe()");
    EXPECT_EQ(readable("heap.cpp:_Z4stepf:count"), "step(float)::count");
    EXPECT_EQ(readable("heap.cpp:_ZZ4stepfE5count"), "step(float)::count");
    EXPECT_EQ(readable("main.c:update:count"), "update::count");
    EXPECT_EQ(readable("/src/game/p_user.c:plr", 1), "p_user.c:plr");
    EXPECT_EQ(readable("/src/game/p_user.c:plr"), "plr");
    // A drive's colon is part of the file.
    EXPECT_EQ(readable("C:/src/p_user.c:plr", 1), "p_user.c:plr");
    EXPECT_EQ(readable("C:\\src\\p_user.c:think:plr", 1), "p_user.c:think::plr");
    // What is not a linkage name stays as it is.
    EXPECT_EQ(readable("_Z12short"), "_Z12short");
    EXPECT_EQ(readable("unnamed data of the old build"), "unnamed data of the old build");
    char small[8];
    name_readable("_ZN4game5World4stepEf", 0, small, sizeof(small));
    EXPECT_STREQ(small, "game::W");
}

TEST(Names, ListsNameTwoOfOneNameByFileAndCutForATitle) {
    name_list list = {};
    name_list_add(&list, "/src/p_user.c:plr", " (changed size)");
    name_list_add(&list, "_ZN4game5probeEv", "");
    name_list_add(&list, "p_enemy.c:plr", " (changed size)");
    EXPECT_TRUE(name_list_has(&list, "_ZN4game5probeEv"));
    EXPECT_FALSE(name_list_has(&list, "plr"));
    EXPECT_EQ(written(&list, 0, 0),
              "p_user.c:plr (changed size), game::probe(), p_enemy.c:plr (changed size)");
    for (u32 i = 0; i < 7; ++i) {
        name_list_add(&list, ("main.c:item" + std::to_string(i)).c_str(), "");
    }
    EXPECT_EQ(written(&list, 3, 180),
              "p_user.c:plr (changed size), game::probe(), p_enemy.c:plr (changed size) and 7 "
              "more");
    EXPECT_EQ(written(&list, 3, 50), "p_user.c:plr (changed size) and 9 more");
    // One name at least, cut to the room there is.
    EXPECT_EQ(written(&list, 3, 24), "p_use... and 9 more");
    name_list_free(&list);
}

}  // namespace
