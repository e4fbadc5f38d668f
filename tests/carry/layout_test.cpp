// Converting a record between two builds by its members' names, on the
// type graphs of two real builds of one record (types/layout_values.h):
// each member's value in the new layout, what can't be held named, and
// where pointers into members go.
#include <gtest/gtest.h>

#include <stddef.h>
#include <string.h>

#include <string>

#include "carry/layout.h"

namespace first {
#define LAYOUT_BUILD 1
#define LAYOUT_NAME(name) name
#include "types/layout_values.h"
#undef LAYOUT_BUILD
}  // namespace first

namespace second {
#define LAYOUT_BUILD 2
#include "types/layout_values.h"
#undef LAYOUT_BUILD
}  // namespace second

namespace {

std::string program(const char* name) { return std::string(TYPES_PROGRAMS) + name + ".so"; }

struct builds {
    type_graph from, to;
    layout_plan plan;
    u32 old_record, new_record;
};

void read_builds(builds* b) {
    ASSERT_TRUE(types_read_file(program("layout_build_1").c_str(), &b->from));
    ASSERT_TRUE(types_read_file(program("layout_build_2").c_str(), &b->to));
    ASSERT_TRUE(layout_compare(&b->plan, &b->from, &b->to));
    b->old_record = types_named(&b->from, "record", NULL);
    b->new_record = types_named(&b->to, "record", NULL);
    ASSERT_NE(b->old_record, TYPE_NONE);
    ASSERT_NE(b->new_record, TYPE_NONE);
}

void free_builds(builds* b) {
    layout_free(&b->plan);
    types_free(&b->from);
    types_free(&b->to);
}

std::string names(const name_list* list) {
    std::string out;
    for (u32 i = 0; i < list->count; ++i) {
        out += std::string(i ? ", " : "") + list->entries[i].key;
    }
    return out;
}

}  // namespace

TEST(Layout, MembersAreConvertedByNameWhereTheirValuesHold) {
    builds b;
    read_builds(&b);
    // Only the records whose layouts differ.
    EXPECT_EQ(b.plan.changed_types, 2u);
    EXPECT_STREQ(layout_changed_name(&b.plan), "inner");

    first::record old_value;
    memset(&old_value, 0, sizeof(old_value));
    old_value.widen = -123456;
    old_value.narrow_fits = -30000;
    old_value.narrow_big = 1ll << 40;
    old_value.negative = -128;
    old_value.to_double = 1.5f;
    old_value.to_float = 0.25;
    old_value.flags = 5;
    old_value.wide_bits = 100;
    old_value.removed = 7;
    for (int i = 0; i < 4; ++i) {
        old_value.items[i] = 10 + i;
    }
    old_value.in.a = -3;
    old_value.in.f = 2.5f;
    old_value.mood = first::ANGRY;
    old_value.yes = true;
    strcpy(old_value.name, "seven");
    old_value.self = (first::record*)0x1234;

    second::record new_value;
    memset(&new_value, 0xEE, sizeof(new_value));
    ASSERT_TRUE(layout_convert_value(&b.plan, b.old_record, b.new_record, (const u8*)&old_value,
                                     (u8*)&new_value, sizeof(new_value)));
    EXPECT_EQ(new_value.widen, -123456);
    EXPECT_EQ(new_value.narrow_fits, -30000);
    EXPECT_EQ(new_value.narrow_big, 0);  // 2^40 doesn't fit 16 bits
    EXPECT_EQ(new_value.negative, -128);
    EXPECT_EQ(new_value.to_double, 1.5);
    EXPECT_EQ(new_value.to_float, 0.25f);
    EXPECT_EQ(new_value.flags, 5u);
    EXPECT_EQ(new_value.wide_bits, 0u);  // 100 doesn't fit 2 bits
    EXPECT_EQ(new_value.added, 0);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(new_value.items[i], 10 + i);
    }
    EXPECT_EQ(new_value.items[4], 0);
    EXPECT_EQ(new_value.items[5], 0);
    EXPECT_EQ(new_value.in.a, -3);
    EXPECT_EQ(new_value.in.added, 0);
    EXPECT_EQ(new_value.in.f, 2.5f);
    EXPECT_EQ(new_value.mood, 300);
    EXPECT_EQ(new_value.yes, 1);
    EXPECT_STREQ(new_value.name, "seven");
    EXPECT_EQ((u64)new_value.self, 0x1234u);
    EXPECT_EQ(names(&b.plan.zeroed), "record.narrow_big, record.wide_bits");

    // A value that fits where the last did not.
    old_value.narrow_big = -32768;
    old_value.wide_bits = 3;
    ASSERT_TRUE(layout_convert_value(&b.plan, b.old_record, b.new_record, (const u8*)&old_value,
                                     (u8*)&new_value, sizeof(new_value)));
    EXPECT_EQ(new_value.narrow_big, -32768);
    EXPECT_EQ(new_value.wide_bits, 3u);

    // Converted records are counted, and the note says what changed.
    layout_write_note(&b.plan);
    std::string note = long_text_view(&b.plan.note);
    EXPECT_EQ(note, "converted 2 inner (added: added), 2 record (added: added; removed: removed)");

    // The wrong size, or a type of another kind: nothing written.
    EXPECT_FALSE(layout_convert_value(&b.plan, b.old_record, b.new_record, (const u8*)&old_value,
                                      (u8*)&new_value, sizeof(new_value) - 8));
    free_builds(&b);
}

TEST(Layout, PointersIntoMembersFollowThem) {
    builds b;
    read_builds(&b);
    u64 mapped = 0;
    EXPECT_TRUE(layout_map_offset(&b.plan, b.old_record, b.new_record,
                                  offsetof(first::record, items) + 2 * sizeof(int), &mapped));
    EXPECT_EQ(mapped, offsetof(second::record, items) + 2 * sizeof(int));
    EXPECT_TRUE(layout_map_offset(&b.plan, b.old_record, b.new_record,
                                  offsetof(first::record, in) + offsetof(first::inner, f), &mapped));
    EXPECT_EQ(mapped, offsetof(second::record, in) + offsetof(second::inner, f));
    EXPECT_TRUE(layout_map_offset(&b.plan, b.old_record, b.new_record,
                                  offsetof(first::record, name) + 3, &mapped));
    EXPECT_EQ(mapped, offsetof(second::record, name) + 3);
    // The start stays the start (a pointer to the object), and one past
    // the end stays one past it.
    EXPECT_TRUE(layout_map_offset(&b.plan, b.old_record, b.new_record, 0, &mapped));
    EXPECT_EQ(mapped, 0u);
    EXPECT_TRUE(layout_map_offset(&b.plan, b.old_record, b.new_record, sizeof(first::record),
                                  &mapped));
    EXPECT_EQ(mapped, sizeof(second::record));
    // Into what the next build removed: nowhere.
    EXPECT_FALSE(layout_map_offset(&b.plan, b.old_record, b.new_record,
                                   offsetof(first::record, removed), &mapped));
    free_builds(&b);
}
