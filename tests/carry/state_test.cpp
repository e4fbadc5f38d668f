// Moving pointers from one build's image to the next at their edges, on two
// images laid out by hand: a function and its middle, an object and one
// past it, a removed object and function, a string and a constant table,
// in carried variables and in a block alike.
#include <gtest/gtest.h>

#include <string.h>

#include "host/os.h"
#include "carry/state.h"
#include "platform/memory.h"

#include <stdio.h>
#include <algorithm>
#include <string>
#include <vector>

namespace {

const u64 IMAGE_BYTES = 0x4000;

struct images {
    u8* old_image;
    u8* new_image;
    image_layout from;
    image_layout to;
};

void lay_out(image_layout* layout, u8* image) {
    memset(layout, 0, sizeof(*layout));
    layout->base = (u64)image;
    layout->size = IMAGE_BYTES;
    layout->keeps_all = 1;
    layout->data = {(u64)image + 0x1000, (u64)image + 0x2000};
    layout->read_only[layout->read_only_count++] = {(u64)image + 0x2000, (u64)image + 0x3100};
    layout->strings[layout->string_count++] = {(u64)image + 0x3000, (u64)image + 0x3100};
}

void add(image_layout* layout, u64 offset, u64 size, image_kind kind, const char* key) {
    ASSERT_TRUE(image_add(layout, layout->base + offset, size, kind, key, NULL, 0));
}

// The old build: f and gone (functions), obj, sized and removed_obj
// (variables), table (constants), "hello" and "world" (strings). The new
// build moves everything, lacks gone and removed_obj, and grows sized.
void make(images* both) {
    both->old_image = (u8*)pages_allocate(IMAGE_BYTES);
    both->new_image = (u8*)pages_allocate(IMAGE_BYTES);
    lay_out(&both->from, both->old_image);
    add(&both->from, 0x100, 32, IMAGE_CODE, "f");
    add(&both->from, 0x200, 16, IMAGE_CODE, "gone");
    add(&both->from, 0x1000, 80, IMAGE_KEPT, "file.c:obj");
    add(&both->from, 0x1100, 16, IMAGE_KEPT, "removed_obj");
    add(&both->from, 0x1200, 8, IMAGE_KEPT, "file.c:sized");
    add(&both->from, 0x2000, 32, IMAGE_READ_ONLY, "table");
    memcpy(both->old_image + 0x3000, "hello\0world\0", 12);
    ASSERT_TRUE(image_finish(&both->from));
    lay_out(&both->to, both->new_image);
    add(&both->to, 0x500, 32, IMAGE_CODE, "f");
    add(&both->to, 0x1040, 80, IMAGE_KEPT, "file.c:obj");
    add(&both->to, 0x1300, 16, IMAGE_KEPT, "file.c:sized");
    add(&both->to, 0x2100, 32, IMAGE_READ_ONLY, "table");
    memcpy(both->new_image + 0x3000, "xx\0world\0hello\0", 15);
    ASSERT_TRUE(image_finish(&both->to));
}

// The words every place holds, old addresses all but the last.
void fill(u64* words, const images* both) {
    u64 old = (u64)both->old_image;
    u64 values[] = {old + 0x100,  old + 0x108, old + 0x1050, old + 0x1104, old + 0x3006,
                    old + 0x2008, old + 0x200, old + 0x3000, 12345};
    memcpy(words, values, sizeof(values));
}

void expect_moved(const u64* words, const images* both, const char* where) {
    u64 now = (u64)both->new_image;
    EXPECT_EQ(words[0], now + 0x500) << where << ": a function";
    EXPECT_EQ(words[2], now + 0x1040 + 80) << where << ": one past an object";
    EXPECT_EQ(words[4], now + 0x3003) << where << ": the same string";
    EXPECT_EQ(words[5], now + 0x2108) << where << ": into a constant table";
    EXPECT_EQ(words[7], now + 0x3009) << where << ": hello";
    EXPECT_EQ(words[8], 12345u) << where << ": a number";
    char text[128];
    ASSERT_TRUE(state_removed_words(words[1], 1, text, sizeof(text))) << where;
    EXPECT_STREQ(text, "jump into the old build's code the reload replaced: the middle of f");
    ASSERT_TRUE(state_removed_words(words[3] - 4, 0, text, sizeof(text))) << where;
    EXPECT_STREQ(text, "use of removed_obj, which the reload removed");
    ASSERT_TRUE(state_removed_words(words[6], 1, text, sizeof(text))) << where;
    EXPECT_STREQ(text, "call of a function the reload removed: gone");
    EXPECT_FALSE(state_removed_words(words[0], 1, text, sizeof(text)));
}

TEST(StateGive, PointersMoveToTheSameThingOrToWhatNamesItsRemoval) {
    images both;
    make(&both);
    fill((u64*)(both.old_image + 0x1000), &both);
    memory_block block = allocate_memory(4096, NULL, 0);
    ASSERT_NE(block.memory, nullptr);
    fill((u64*)block.memory + 3, &both);
    void* slot = (void*)((u64)both.old_image + 0x100);

    state_taken taken;
    memset(&taken, 0, sizeof(taken));
    state_take(&taken, &both.from);
    // What the new build's start-up made stays its own.
    memset(both.old_image, 0xAA, IMAGE_BYTES);
    memcpy(both.new_image + 0x1300, "fresh...", 8);
    char note[STATE_NOTE_CAPACITY];
    long_text line = {};
    state_give(&taken, NULL, &both.to, &slot, note, sizeof(note), &line);

    expect_moved((const u64*)(both.new_image + 0x1040), &both, "a variable");
    expect_moved((const u64*)block.memory + 3, &both, "a block");
    EXPECT_EQ((u64)slot, (u64)both.new_image + 0x500);
    EXPECT_EQ(memcmp(both.new_image + 0x1300, "fresh...", 8), 0);
    // The middle of f is no removal: not named.
    EXPECT_STREQ(note, "kept 1 variable; pointers to what the reload removed: removed_obj, gone; "
                       "1 starts afresh: sized (changed size)");
    EXPECT_STREQ(long_text_view(&line), note);
    long_text_free(&line);
    EXPECT_EQ(state_last_counts().carried, 1u);

    // A later build that has gone again takes its pointers back.
    images again;
    make(&again);
    state_taken second;
    memset(&second, 0, sizeof(second));
    add(&again.to, 0x800, 16, IMAGE_CODE, "gone");
    ASSERT_TRUE(image_finish(&again.to));
    state_take(&second, &both.to);
    state_give(&second, NULL, &again.to, &slot, note, sizeof(note), NULL);
    EXPECT_EQ(((const u64*)block.memory)[3 + 6], (u64)again.new_image + 0x800);

    free_memory(&block);
    state_clear(&taken);
    state_clear(&second);
    for (images* each : {&both, &again}) {
        image_free(&each->from);
        image_free(&each->to);
        pages_free(each->old_image, IMAGE_BYTES);
        pages_free(each->new_image, IMAGE_BYTES);
    }
}

// Two lambdas of one signature, both bodies changed: no reload can tell
// which is which. Their pointers go to stand-ins that name them, and only a
// later build with the very code of one takes its pointer back.
TEST(StateGive, PointersToLambdasItCantTellApartAreNamedNeverGuessed) {
    const char* const lambdas[] = {"f.cpp:_ZZL6set_upvENK3$_0clEi",
                                   "f.cpp:_ZZL6set_upvENK3$_1clEi"};
    const u64 codes[3][2] = {{11, 22}, {55, 44}, {11, 66}};
    images builds[3];
    for (u32 b = 0; b < 3; ++b) {
        builds[b].old_image = (u8*)pages_allocate(IMAGE_BYTES);
        lay_out(&builds[b].from, builds[b].old_image);
        add(&builds[b].from, 0x100, 32, IMAGE_CODE, lambdas[b == 1]);
        if (b < 2) {
            add(&builds[b].from, 0x200, 32, IMAGE_CODE, lambdas[b != 1]);
        }
        add(&builds[b].from, 0x1000 + 0x40 * b, 16, IMAGE_KEPT, "f.cpp:held");
        ASSERT_TRUE(image_finish(&builds[b].from));
        for (u32 i = 0; i < builds[b].from.symbol_count; ++i) {
            image_symbol* symbol = &builds[b].from.symbols[i];
            for (u32 k = 0; k < 2; ++k) {
                if (strcmp(image_key(&builds[b].from, symbol), lambdas[k]) == 0) {
                    symbol->code_hash = codes[b][k];
                }
            }
        }
    }
    u64* held = (u64*)(builds[0].old_image + 0x1000);
    held[0] = (u64)builds[0].old_image + 0x100;
    held[1] = (u64)builds[0].old_image + 0x200;
    void* slot = NULL;
    char note[STATE_NOTE_CAPACITY];
    state_taken taken;
    memset(&taken, 0, sizeof(taken));
    state_take(&taken, &builds[0].from);
    state_give(&taken, NULL, &builds[1].from, &slot, note, sizeof(note), NULL);
    EXPECT_STREQ(note, "kept 1 variable; pointers to what the reload can't tell apart: "
                       "set_up()::$_0::operator()(int) const, "
                       "set_up()::$_1::operator()(int) const");
    held = (u64*)(builds[1].old_image + 0x1040);
    char text[128];
    ASSERT_TRUE(state_removed_words(held[0], 1, text, sizeof(text)));
    EXPECT_STREQ(text, "call of a function the reload can't tell apart: "
                       "set_up()::$_0::operator()(int) const");
    ASSERT_TRUE(state_removed_words(held[1], 0, text, sizeof(text)));
    EXPECT_STREQ(text, "call of a function the reload can't tell apart: "
                       "set_up()::$_1::operator()(int) const");

    // The first's very code is back, alone: though the second's would be the
    // one left, nothing says it is the same.
    state_take(&taken, &builds[1].from);
    state_give(&taken, NULL, &builds[2].from, &slot, note, sizeof(note), NULL);
    held = (u64*)(builds[2].old_image + 0x1080);
    EXPECT_EQ(held[0], (u64)builds[2].old_image + 0x100);
    EXPECT_TRUE(state_removed_words(held[1], 1, text, sizeof(text)));
    state_clear(&taken);
    for (images& each : builds) {
        image_free(&each.from);
        pages_free(each.old_image, IMAGE_BYTES);
    }
}

#if defined(__SANITIZE_ADDRESS__)
#define SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SANITIZED 1
#endif
#endif
#ifndef SANITIZED
#define SANITIZED 0
#endif

// A build's own image read back from files cut short or with bytes
// changed: whatever the file says, the reading ends with an answer.
TEST(ImageRead, DamagedFilesAreReadOrRefusedNeverTrusted) {
    char reason[128];
    void* library = library_load(TEST_MODULE_WHOLE, reason, sizeof(reason));
    ASSERT_NE(library, nullptr) << reason;
    image_layout layout;
    ASSERT_TRUE(image_read(library, TEST_MODULE_WHOLE, &layout)) << layout.problem;
    EXPECT_TRUE(layout.keeps_all && layout.has_debug);
    // Its own two objects are carried, with their sizes and types; none of
    // the runtime's (start-up code, the C++ library, the loader's tables).
    // AddressSanitizer's builds pad each object and add tables of their own.
    std::vector<std::string> kept;
    for (u32 i = 0; i < layout.symbol_count; ++i) {
        const image_symbol* symbol = &layout.symbols[i];
        std::string key = image_key(&layout, symbol);
        if (symbol->kind == IMAGE_KEPT && (!SANITIZED || key.find("__unnamed") == key.npos)) {
            u64 size = SANITIZED ? 0 : symbol->size;
            kept.push_back(key.substr(key.rfind(':') + 1) + "/" + std::to_string(size));
            EXPECT_NE(symbol->type_hash, 0u) << key;
        }
    }
    std::sort(kept.begin(), kept.end());
    std::vector<std::string> own = {"kept_number/4", "noted/1"};
    if (SANITIZED) {
        own = {"kept_number/0", "noted/0"};
    }
    EXPECT_EQ(kept, own);
    image_free(&layout);

    FILE* source = fopen(TEST_MODULE_WHOLE, "rb");
    ASSERT_NE(source, nullptr);
    std::vector<u8> bytes(1 << 22);
    bytes.resize(fread(bytes.data(), 1, bytes.size(), source));
    fclose(source);
    const char* damaged = "damaged_image.so";
    u32 seed = 12345;
    for (u32 round = 0; round < 200; ++round) {
        std::vector<u8> copy = bytes;
        if (round % 4 == 0) {
            copy.resize(copy.size() * round / 200);
        }
        for (u32 flips = 0; flips < 1 + round % 16; ++flips) {
            seed = seed * 1103515245 + 12345;
            if (!copy.empty()) {
                copy[(seed >> 8) % copy.size()] ^= (u8)(1 << (seed % 8));
            }
        }
        FILE* out = fopen(damaged, "wb");
        ASSERT_NE(out, nullptr);
        fwrite(copy.data(), 1, copy.size(), out);
        fclose(out);
        image_keeps_all(damaged);
        if (image_read(library, damaged, &layout)) {
            // What it names lies inside the image.
            for (u32 i = 0; i < layout.symbol_count; ++i) {
                ASSERT_GE(layout.symbols[i].address, layout.base);
                ASSERT_LE(layout.symbols[i].address + layout.symbols[i].size,
                          layout.base + layout.size);
            }
        }
        image_free(&layout);
    }
    remove(damaged);
    library_free(library);
}

}  // namespace
