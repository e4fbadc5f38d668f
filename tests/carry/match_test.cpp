// What a symbol of one build is in the next (image_find), on layouts made
// by hand: the counts compilers put in names taken out and nothing else,
// two files of one name in a build moved to another folder, and functions
// whose names count found by their code, by elimination, by their closure
// type, or not at all.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "carry/image.h"
#include "host/os.h"

namespace {

std::string shape(const char* key) {
    char out[1024];
    image_shape(key, out, sizeof(out));
    return out;
}

bool counted(const char* key) {
    char out[1024];
    return image_shape(key, out, sizeof(out)) != 0;
}

TEST(ImageShape, TheCompilersCountsAreTakenOutOfNamesAndNothingElse) {
    // clang's lambdas, counted per file: any count, one shape.
    EXPECT_EQ(shape("f.cpp:_ZZL6set_upvENK3$_0clEi"), shape("f.cpp:_ZZL6set_upvENK4$_12clEi"));
    EXPECT_EQ(shape("f.cpp:_ZZL6set_upvENK3$_0clEi"), "f.cpp:set_up()::$_::operator()(int) const");
    // GCC's, counted per function: the function and the signature stay.
    EXPECT_EQ(shape("_ZZ6set_upvENKUliE_clEi"), shape("_ZZ6set_upvENKUliE0_clEi"));
    EXPECT_NE(shape("_ZZ6set_upvENKUliE_clEi"), shape("_ZZ6set_upvENKUlvE_clEv"));
    EXPECT_NE(shape("_ZZ6set_upvENKUliE_clEi"), shape("_ZZ4morevENKUliE_clEi"));
    // A variable in a lambda, keyed by its function.
    EXPECT_EQ(shape("f.cpp:_ZZL6set_upvENK3$_0clEi:calls"),
              shape("f.cpp:_ZZL6set_upvENK3$_7clEi:calls"));
    // Clones, blocks, initializers.
    EXPECT_EQ(shape("f.c:step.part.0"), shape("f.c:step.part.1"));
    EXPECT_EQ(shape("f.c:step.constprop.0.isra.0"), "f.c:step.constprop..isra.");
    EXPECT_EQ(shape("_Z4stepi.isra.0"), shape("_Z4stepi.isra.3"));
    EXPECT_EQ(shape("__main_block_invoke_2"), "__main_block_invoke");
    EXPECT_EQ(shape("f.cpp:__cxx_global_var_init.12"), "f.cpp:__cxx_global_var_init.");
    // Names that only look like it.
    for (const char* plain : {"printf", "world.c:static_c000", "_ZN5Utils4stepEv", "_Z3fooi",
                              "step.cold", "main.c:frame", "_ZN4Ulam3getEv", "a$_b"}) {
        EXPECT_FALSE(counted(plain)) << plain;
        EXPECT_EQ(shape(plain), plain);
    }
}

// Layouts of symbols at made-up addresses: image_find reads no memory.
struct layouts {
    image_layout from;
    image_layout to;
    layouts() {
        memset(&from, 0, sizeof(from));
        memset(&to, 0, sizeof(to));
    }
    ~layouts() {
        image_free(&from);
        image_free(&to);
    }
};

image_symbol* add(image_layout* layout, u64 address, image_kind kind, const char* key,
                  const char* path = NULL) {
    EXPECT_TRUE(image_add(layout, address, 16, kind, key, path, 0));
    return &layout->symbols[layout->symbol_count - 1];
}

// The symbol of key in layout, found after image_finish.
image_symbol* symbol(image_layout* layout, const char* key) {
    for (u32 i = 0; i < layout->symbol_count; ++i) {
        if (strcmp(image_key(layout, &layout->symbols[i]), key) == 0) {
            return &layout->symbols[i];
        }
    }
    ADD_FAILURE() << "no " << key;
    return NULL;
}

// What the old symbol of key finds in the new build: its key, "unsure" or
// "gone".
std::string found(layouts* both, const char* key) {
    bool32 twice = 0;
    const image_symbol* now = image_find(&both->to, symbol(&both->from, key), &both->from, &twice);
    return twice ? "unsure" : now ? image_key(&both->to, now) : "gone";
}

TEST(ImageFind, FilesOfOneNameInAnotherFolderFindTheirOwn) {
    const char* paths[] = {"/src/game/a/util.c", "/src/game/b/util.c", "/src/game/main.c"};
    const char* moved[] = {"/home/me/copy/a/util.c", "b/util.c", "/home/me/copy/main.c"};
    layouts both;
    for (u32 i = 0; i < 3; ++i) {
        add(&both.from, 0x1000 + 0x100 * i, IMAGE_KEPT,
            i < 2 ? "util.c:count" : "main.c:frame", paths[i]);
        add(&both.to, 0x2000 + 0x100 * (2 - i), IMAGE_KEPT,
            i < 2 ? "util.c:count" : "main.c:frame", moved[i]);
    }
    ASSERT_TRUE(image_finish(&both.from) && image_finish(&both.to));
    for (u32 i = 0; i < 3; ++i) {
        bool32 twice = 0;
        const image_symbol* old = &both.from.symbols[i];
        const image_symbol* now = image_find(&both.to, old, &both.from, &twice);
        ASSERT_NE(now, nullptr) << i;
        EXPECT_FALSE(twice);
        EXPECT_EQ(now->address, 0x2000 + 0x100 * (2 - i)) << i;
        // And each is the one of its build.
        EXPECT_EQ(image_find(&both.from, old, &both.from, &twice), old);
        EXPECT_FALSE(twice);
    }
}

TEST(ImageFind, AFileOfOneNameGoneOrMovedToFoldersOfOtherNamesIsNamedNotGuessed) {
    layouts gone;
    add(&gone.from, 0x1000, IMAGE_KEPT, "util.c:count", "/src/a/util.c");
    add(&gone.from, 0x1100, IMAGE_KEPT, "util.c:count", "/src/b/util.c");
    add(&gone.to, 0x2000, IMAGE_KEPT, "util.c:count", "/elsewhere/b/util.c");
    ASSERT_TRUE(image_finish(&gone.from) && image_finish(&gone.to));
    bool32 twice = 0;
    EXPECT_EQ(image_find(&gone.to, &gone.from.symbols[0], &gone.from, &twice), nullptr);
    EXPECT_FALSE(twice);  // a's went
    EXPECT_EQ(image_find(&gone.to, &gone.from.symbols[1], &gone.from, &twice),
              &gone.to.symbols[0]);
    // The new build's one takes b's, not a's.
    EXPECT_EQ(image_find(&gone.from, &gone.to.symbols[0], &gone.to, &twice), &gone.from.symbols[1]);

    layouts renamed;
    add(&renamed.from, 0x1000, IMAGE_KEPT, "util.c:count", "/src/a/util.c");
    add(&renamed.from, 0x1100, IMAGE_KEPT, "util.c:count", "/src/b/util.c");
    add(&renamed.to, 0x2000, IMAGE_KEPT, "util.c:count", "/src/c/util.c");
    add(&renamed.to, 0x2100, IMAGE_KEPT, "util.c:count", "/src/d/util.c");
    ASSERT_TRUE(image_finish(&renamed.from) && image_finish(&renamed.to));
    EXPECT_EQ(image_find(&renamed.to, &renamed.from.symbols[0], &renamed.from, &twice), nullptr);
    EXPECT_TRUE(twice);
}

// Functions of one closure type each: its operator(), the std::function
// invoker and manager made for it.
const char* const operators[] = {"f.cpp:_ZZL6set_upvENK3$_0clEi", "f.cpp:_ZZL6set_upvENK3$_1clEi",
                                 "f.cpp:_ZZL6set_upvENK3$_2clEi"};
const char* const invokers[] = {
    "f.cpp:_ZNSt17_Function_handlerIFiiEZL6set_upvE3$_0E9_M_invokeERKSt9_Any_dataOi",
    "f.cpp:_ZNSt17_Function_handlerIFiiEZL6set_upvE3$_1E9_M_invokeERKSt9_Any_dataOi",
    "f.cpp:_ZNSt17_Function_handlerIFiiEZL6set_upvE3$_2E9_M_invokeERKSt9_Any_dataOi"};
const char* const managers[] = {
    "f.cpp:_ZNSt17_Function_handlerIFiiEZL6set_upvE3$_0E10_M_managerERSt9_Any_dataRKS3_St18_"
    "Manager_operation",
    "f.cpp:_ZNSt17_Function_handlerIFiiEZL6set_upvE3$_1E10_M_managerERSt9_Any_dataRKS3_St18_"
    "Manager_operation",
    "f.cpp:_ZNSt17_Function_handlerIFiiEZL6set_upvE3$_2E10_M_managerERSt9_Any_dataRKS3_St18_"
    "Manager_operation"};

// A build of lambdas whose bodies are codes[i] (0: none), in that order;
// every manager alike, of whole code or not.
void lambdas(image_layout* layout, const u64* codes, u32 count, bool whole_managers) {
    for (u32 i = 0; i < count; ++i) {
        add(layout, 0x10000 + 0x300 * i, IMAGE_CODE, operators[i]);
        add(layout, 0x10100 + 0x300 * i, IMAGE_CODE, invokers[i]);
        add(layout, 0x10200 + 0x300 * i, IMAGE_CODE, managers[i]);
    }
    ASSERT_TRUE(image_finish(layout));
    for (u32 i = 0; i < count; ++i) {
        symbol(layout, operators[i])->code_hash = codes[i];
        symbol(layout, invokers[i])->code_hash = codes[i] * 3;
        symbol(layout, invokers[i])->flags |= IMAGE_WHOLE_CODE;
        symbol(layout, managers[i])->code_hash = 77;
        symbol(layout, managers[i])->flags |= whole_managers ? IMAGE_WHOLE_CODE : 0;
    }
}

TEST(ImageFind, LambdasGoByCodeNeverByTheirCount) {
    const u64 first[] = {11, 22};
    // One added before them, and the two swapped: each keeps its own code.
    const u64 second[] = {99, 22, 11};
    for (bool whole : {true, false}) {
        layouts both;
        lambdas(&both.from, first, 2, whole);
        lambdas(&both.to, second, 3, whole);
        EXPECT_EQ(found(&both, operators[0]), operators[2]);
        EXPECT_EQ(found(&both, invokers[1]), invokers[1]);
        EXPECT_EQ(found(&both, invokers[0]), invokers[2]);
        // Managers alike in code: each goes with its own closure type.
        EXPECT_EQ(found(&both, managers[0]), managers[2]) << whole;
        EXPECT_EQ(found(&both, managers[1]), managers[1]) << whole;
    }
}

TEST(ImageFind, AChangedLambdaIsTheOneLeftAndTwoChangedAreNamed) {
    const u64 first[] = {11, 22, 33};
    const u64 one_changed[] = {11, 44, 33};
    layouts one;
    lambdas(&one.from, first, 3, false);
    lambdas(&one.to, one_changed, 3, false);
    EXPECT_EQ(found(&one, invokers[1]), invokers[1]);
    EXPECT_EQ(found(&one, managers[1]), managers[1]);

    const u64 two_changed[] = {55, 44, 33};
    layouts two;
    lambdas(&two.from, first, 3, false);
    lambdas(&two.to, two_changed, 3, false);
    EXPECT_EQ(found(&two, invokers[0]), "unsure");
    EXPECT_EQ(found(&two, invokers[1]), "unsure");
    EXPECT_EQ(found(&two, operators[1]), "unsure");
    EXPECT_EQ(found(&two, managers[1]), "unsure");  // no code of its closure type tells
    EXPECT_EQ(found(&two, invokers[2]), invokers[2]);
    EXPECT_EQ(found(&two, managers[2]), managers[2]);

    // Of whole code, managers alike do the same: any of them is the one.
    layouts whole;
    lambdas(&whole.from, first, 3, true);
    lambdas(&whole.to, two_changed, 3, true);
    EXPECT_EQ(found(&whole, invokers[0]), "unsure");
    EXPECT_NE(found(&whole, managers[0]), "unsure");

    // Removed: gone, not unsure.
    const u64 removed[] = {11, 33};
    layouts gone;
    lambdas(&gone.from, first, 3, false);
    lambdas(&gone.to, removed, 2, false);
    EXPECT_EQ(found(&gone, invokers[1]), "gone");
    EXPECT_EQ(found(&gone, invokers[2]), invokers[1]);
}

#if defined(CLOSURES_V1) && defined(CLOSURES_MOVED)
// The same sources built from a copy in another folder: every object and
// every function whose name counts finds its own, of the same size.
TEST(ImageRead, ABuildFromAnotherFolderFindsEveryObjectAndLambda) {
    char reason[256];
    void* libraries[2] = {library_load(CLOSURES_V1, reason, sizeof(reason)), NULL};
    ASSERT_NE(libraries[0], nullptr) << reason;
    libraries[1] = library_load(CLOSURES_MOVED, reason, sizeof(reason));
    ASSERT_NE(libraries[1], nullptr) << reason;
    layouts both;
    ASSERT_TRUE(image_read(libraries[0], CLOSURES_V1, &both.from)) << both.from.problem;
    ASSERT_TRUE(image_read(libraries[1], CLOSURES_MOVED, &both.to)) << both.to.problem;
    u32 objects = 0, functions = 0;
    for (u32 i = 0; i < both.from.symbol_count; ++i) {
        const image_symbol* old = &both.from.symbols[i];
        bool counted = old->kind == IMAGE_CODE && (old->flags & IMAGE_COUNTED);
        if (old->kind != IMAGE_KEPT && !counted) {
            continue;
        }
        bool32 twice = 0;
        const image_symbol* now = image_find(&both.to, old, &both.from, &twice);
        const char* key = image_key(&both.from, old);
        ASSERT_TRUE(now && !twice) << key;
        EXPECT_STREQ(image_key(&both.to, now), key);
        EXPECT_EQ(now->size, old->size) << key;
        EXPECT_EQ(now->type_hash, old->type_hash) << key;
        objects += old->kind == IMAGE_KEPT;
        functions += counted;
    }
    EXPECT_GE(objects, 10u);
    EXPECT_GE(functions, 100u);
    library_free(libraries[0]);
    library_free(libraries[1]);
}
#endif

#if defined(CLOSURES_V1) && defined(CLOSURES_V2)
// A build with one lambda more before the others: all code after it lies
// elsewhere, and every call and load names another place. Each invoker a
// std::function holds still has exactly one of its code in the new build.
TEST(ImageRead, CodeHashesDontSayWhereCodeLies) {
    char reason[256];
    void* libraries[2] = {library_load(CLOSURES_V1, reason, sizeof(reason)),
                          library_load(CLOSURES_V2, reason, sizeof(reason))};
    ASSERT_TRUE(libraries[0] && libraries[1]) << reason;
    layouts both;
    ASSERT_TRUE(image_read(libraries[0], CLOSURES_V1, &both.from)) << both.from.problem;
    ASSERT_TRUE(image_read(libraries[1], CLOSURES_V2, &both.to)) << both.to.problem;
    u32 invokers = 0;
    for (u32 i = 0; i < both.from.symbol_count; ++i) {
        const image_symbol* old = &both.from.symbols[i];
        const char* key = image_key(&both.from, old);
        if (old->kind != IMAGE_CODE || !strstr(key, "_M_invoke")) {
            continue;
        }
        invokers += 1;
        EXPECT_NE(old->code_hash, 0u) << key;
        EXPECT_TRUE(old->flags & IMAGE_WHOLE_CODE) << key;
        u32 same = 0;
        for (u32 k = 0; k < both.to.symbol_count; ++k) {
            same += both.to.symbols[k].code_hash == old->code_hash;
        }
        EXPECT_EQ(same, 1u) << key;
    }
    EXPECT_EQ(invokers, 6u);
    library_free(libraries[0]);
    library_free(libraries[1]);
}
#endif

}  // namespace
