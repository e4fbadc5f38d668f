// The type graph of real builds: small C and C++ programs compiled by the
// real compilers in every DWARF flavour the reader takes (tests/carry/
// types/), checked against the layouts the C and C++ ABIs give them, the
// names the C++ ABI demangles, and the addresses in the symbol table; then
// damaged copies of a build's sections, each in a heap block of exactly its
// size so that a read past one is a read past the block.
#include <gtest/gtest.h>

#include "tests/carry/file_bytes.h"

#include <cxxabi.h>
#include <gelf.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "carry/types.h"

namespace {

std::string program(const char* name) { return std::string(TYPES_PROGRAMS) + name + ".so"; }

// The address of a symbol by its name or its demangled name, from the
// file's symbol table; 0 when there is none.
u64 symbol_address(const std::string& path, const char* wanted) {
    std::string image;
    if (!file_bytes(path.c_str(), &image)) {
        return 0;
    }
    elf_version(EV_CURRENT);
    Elf* elf = elf_memory(&image[0], image.size());
    u64 found = 0;
    for (Elf_Scn* section = NULL; elf && !found && (section = elf_nextscn(elf, section));) {
        GElf_Shdr header;
        gelf_getshdr(section, &header);
        Elf_Data* data = elf_getdata(section, NULL);
        if (header.sh_type != SHT_SYMTAB || !data) {
            continue;
        }
        for (u64 i = 0; i < header.sh_size / header.sh_entsize && !found; ++i) {
            GElf_Sym symbol;
            gelf_getsym(data, (int)i, &symbol);
            const char* name = elf_strptr(elf, header.sh_link, symbol.st_name);
            int status = -1;
            char* demangled = name ? abi::__cxa_demangle(name, NULL, NULL, &status) : NULL;
            if (name && (strcmp(name, wanted) == 0 || (demangled && strcmp(demangled, wanted) == 0))) {
                found = symbol.st_value;
            }
            free(demangled);
        }
    }
    elf_end(elf);
    return found;
}

const char* name_of(const type_graph* g, u32 type) {
    return type == TYPE_NONE ? "(none)" : types_name(g, g->types[type].name);
}

const type_member* member(const type_graph* g, u32 type, const char* name) {
    const type_info* t = &g->types[type];
    for (u32 i = 0; i < t->member_count; ++i) {
        if (strcmp(types_name(g, g->members[t->first_member + i].name), name) == 0) {
            return &g->members[t->first_member + i];
        }
    }
    return NULL;
}

// A member's type, asserting that the member is there.
u32 member_type(const type_graph* g, u32 type, const char* name) {
    const type_member* m = member(g, type, name);
    EXPECT_NE(m, nullptr) << name_of(g, type) << " has no " << name;
    return m ? m->type : TYPE_NONE;
}

// A member of the record or of one of its bases, depth first.
const type_member* inherited(const type_graph* g, u32 type, const char* name, u32 depth = 0) {
    if (const type_member* m = member(g, type, name)) {
        return m;
    }
    const type_info* t = &g->types[type];
    for (u32 i = 0; i < t->member_count && depth < 8; ++i) {
        const type_member* base = &g->members[t->first_member + i];
        const type_member* m = (base->flags & MEMBER_BASE) && base->type != TYPE_NONE
                                   ? inherited(g, base->type, name, depth + 1)
                                   : NULL;
        if (m) {
            return m;
        }
    }
    return NULL;
}

// Whether a pointer to target lies in type, in its members or theirs.
bool holds_pointer_to(const type_graph* g, u32 type, u32 target, u32 depth = 0) {
    const type_info* t = &g->types[type];
    if (t->kind == TYPE_POINTER) {
        return t->target == target;
    }
    for (u32 i = 0; i < t->member_count && depth < 12; ++i) {
        u32 inside = g->members[t->first_member + i].type;
        if (inside != TYPE_NONE && holds_pointer_to(g, inside, target, depth + 1)) {
            return true;
        }
    }
    return false;
}

u32 named(const type_graph* g, const char* name, bool expect_one = true) {
    bool32 several = 0;
    u32 type = types_named(g, name, &several);
    EXPECT_NE(type, TYPE_NONE) << name;
    if (expect_one) {
        EXPECT_FALSE(several) << name;
    }
    return type;
}

// What every graph holds to: indices inside their arrays, names inside the
// names, globals sorted, and no type twice (one type per name and layout).
void check_whole(const type_graph* g) {
    ASSERT_GT(g->names_size, 0u);
    ASSERT_EQ(g->names[g->names_size - 1], '\0');
    for (u32 i = 0; i < g->type_count; ++i) {
        const type_info* t = &g->types[i];
        ASSERT_LT(t->name, g->names_size);
        ASSERT_LT(t->shown, g->names_size);
        ASSERT_TRUE(t->target == TYPE_NONE || t->target < g->type_count);
        ASSERT_LE((u64)t->first_member + t->member_count, g->member_count);
        for (u32 k = 0; k < t->member_count; ++k) {
            const type_member* m = &g->members[t->first_member + k];
            ASSERT_LT(m->name, g->names_size);
            ASSERT_TRUE(m->type == TYPE_NONE || m->type < g->type_count);
        }
    }
    for (u32 i = 0; i < g->global_count; ++i) {
        ASSERT_TRUE(g->globals[i].type == TYPE_NONE || g->globals[i].type < g->type_count);
        ASSERT_TRUE(i == 0 || g->globals[i - 1].address <= g->globals[i].address);
    }
}

// Records of one name differ in their layout: the same one described in
// several units is one type.
void check_no_twins(const type_graph* g) {
    for (u32 i = 1; i < g->type_count; ++i) {
        const type_info* a = &g->types[i - 1];
        const type_info* b = &g->types[i];
        if (a->kind != TYPE_RECORD || b->kind != TYPE_RECORD || a->name != b->name) {
            continue;
        }
        bool differ = a->size != b->size || a->member_count != b->member_count;
        for (u32 k = 0; !differ && k < a->member_count; ++k) {
            const type_member* x = &g->members[a->first_member + k];
            const type_member* y = &g->members[b->first_member + k];
            differ = x->name != y->name || x->offset != y->offset || x->type != y->type;
        }
        EXPECT_TRUE(differ) << "twice: " << name_of(g, i);
    }
}

void expect_integer(const type_graph* g, u32 type, u64 size, u32 flags) {
    ASSERT_NE(type, TYPE_NONE);
    EXPECT_EQ(g->types[type].kind, (u32)TYPE_INTEGER) << name_of(g, type);
    EXPECT_EQ(g->types[type].size, size) << name_of(g, type);
    EXPECT_EQ(g->types[type].flags, flags) << name_of(g, type);
}

// A program's graph, read and checked whole: nothing outside it, no type twice.
void read_whole(const char* flavour, type_graph* g) {
    ASSERT_TRUE(types_read_file(program(flavour).c_str(), g));
    check_whole(g);
    check_no_twins(g);
}

void check_c_game(const char* flavour) {
    SCOPED_TRACE(flavour);
    std::string path = program(flavour);
    type_graph g;
    ASSERT_NO_FATAL_FAILURE(read_whole(flavour, &g));

    // typedef struct mobj_s {...} mobj_t: its tag names it, users know the typedef.
    u32 mobj = named(&g, "mobj_s");
    const type_info* t = &g.types[mobj];
    EXPECT_EQ(t->kind, (u32)TYPE_RECORD);
    EXPECT_EQ(t->size, 160u);  // the x86-64 System V layout of c_game.h's mobj_s
    EXPECT_STREQ(types_name(&g, t->shown), "mobj_t");
    EXPECT_EQ(types_named(&g, "mobj_t", NULL), TYPE_NONE);

    // A pointer to its own type, and a list through another.
    u32 target = member_type(&g, mobj, "target");
    EXPECT_EQ(g.types[target].kind, (u32)TYPE_POINTER);
    EXPECT_EQ(g.types[target].target, mobj);
    u32 node = named(&g, "node");
    u32 list = member_type(&g, mobj, "list");
    EXPECT_EQ(g.types[list].target, node);
    u32 next = member_type(&g, node, "next");
    EXPECT_EQ(g.types[next].target, node);
    EXPECT_EQ(member(&g, node, "value")->offset, 8u);

    // A nested struct by its typedef; arrays, nested for two dimensions.
    u32 vec2 = member_type(&g, mobj, "position");
    EXPECT_EQ(vec2, named(&g, "vec2"));
    EXPECT_STREQ(types_name(&g, g.types[vec2].shown), "vec2_t");
    EXPECT_EQ(member(&g, mobj, "position")->offset, 8u);
    EXPECT_EQ(g.types[member_type(&g, vec2, "y")].kind, (u32)TYPE_FLOAT);
    u32 health = member_type(&g, mobj, "health");
    EXPECT_EQ(g.types[health].kind, (u32)TYPE_ARRAY);
    EXPECT_EQ(g.types[health].count, 4u);
    EXPECT_EQ(g.types[health].size, 16u);
    expect_integer(&g, g.types[health].target, 4, TYPE_SIGNED);
    u32 grid = member_type(&g, mobj, "grid");
    EXPECT_EQ(member(&g, mobj, "grid")->offset, 48u);
    EXPECT_EQ(g.types[grid].count, 2u);
    EXPECT_EQ(g.types[grid].size, 48u);
    u32 row = g.types[grid].target;
    ASSERT_NE(row, TYPE_NONE);
    EXPECT_EQ(g.types[row].kind, (u32)TYPE_ARRAY);
    EXPECT_EQ(g.types[row].count, 3u);
    EXPECT_EQ(g.types[row].size, 24u);
    expect_integer(&g, g.types[row].target, 8, TYPE_SIGNED);

    // Bit-fields in bits from the record's start.
    const type_member* flags = member(&g, mobj, "flags");
    const type_member* visible = member(&g, mobj, "visible");
    ASSERT_TRUE(flags && visible);
    EXPECT_EQ(flags->flags, MEMBER_BITS);
    EXPECT_EQ(flags->bit_size, 3u);
    EXPECT_EQ(flags->bit_offset, 256u);
    EXPECT_EQ(flags->offset, 32u);
    EXPECT_EQ(visible->bit_size, 1u);
    EXPECT_EQ(visible->bit_offset, 259u);
    expect_integer(&g, visible->type, 4, 0);
    EXPECT_EQ(member(&g, mobj, "tag")->offset, 33u);
    EXPECT_EQ(member(&g, mobj, "tag")->flags, 0u);

    // Scalars by their encodings; enums by their values' sign.
    expect_integer(&g, member_type(&g, mobj, "tag"), 1, TYPE_SIGNED | TYPE_CHAR);
    u32 kind = member_type(&g, mobj, "kind");
    expect_integer(&g, kind, 4, TYPE_ENUM);
    EXPECT_STREQ(name_of(&g, kind), "kind");
    EXPECT_STREQ(types_name(&g, g.types[kind].shown), "kind_t");
    expect_integer(&g, member_type(&g, mobj, "sign"), 4, TYPE_ENUM | TYPE_SIGNED);
    expect_integer(&g, member_type(&g, mobj, "alive"), 1, TYPE_BOOL);
    EXPECT_EQ(g.types[member_type(&g, mobj, "speed")].kind, (u32)TYPE_FLOAT);
    EXPECT_EQ(g.types[member_type(&g, mobj, "speed")].size, 8u);
    u32 think = member_type(&g, mobj, "think");
    EXPECT_EQ(g.types[think].kind, (u32)TYPE_POINTER);
    EXPECT_EQ(g.types[g.types[think].target].kind, (u32)TYPE_FUNCTION);
    u32 text = member_type(&g, mobj, "name");
    EXPECT_EQ(g.types[text].count, 16u);
    EXPECT_NE(g.types[g.types[text].target].flags & TYPE_CHAR, 0u);
    u32 value = member_type(&g, mobj, "value");
    EXPECT_EQ(g.types[value].kind, (u32)TYPE_UNION);
    EXPECT_EQ(g.types[value].member_count, 2u);
    EXPECT_EQ(member(&g, mobj, "value")->offset, 144u);
    // const volatile looked through.
    u32 watched = member_type(&g, mobj, "watched");
    expect_integer(&g, g.types[watched].target, 4, TYPE_SIGNED);

    // typedef struct {...} point; a flexible array member.
    u32 point = named(&g, "point");
    EXPECT_EQ(g.types[point].kind, (u32)TYPE_RECORD);
    EXPECT_EQ(g.types[point].size, 8u);
    u32 bytes = member_type(&g, named(&g, "message"), "bytes");
    EXPECT_EQ(g.types[bytes].kind, (u32)TYPE_ARRAY);
    EXPECT_EQ(g.types[bytes].count, 0u);
    expect_integer(&g, g.types[bytes].target, 1, TYPE_CHAR);

    // Declarations: one defined in the other file is that type; one never
    // defined stays unknown.
    u32 holder = named(&g, "holder");
    u32 elsewhere = g.types[member_type(&g, holder, "elsewhere")].target;
    EXPECT_EQ(elsewhere, named(&g, "defined_elsewhere"));
    EXPECT_EQ(g.types[elsewhere].kind, (u32)TYPE_RECORD);
    EXPECT_EQ(g.types[elsewhere].size, 8u);
    u32 opaque = g.types[member_type(&g, holder, "opaque")].target;
    EXPECT_EQ(g.types[opaque].kind, (u32)TYPE_UNKNOWN);
    EXPECT_STREQ(name_of(&g, opaque), "declared_only");
    EXPECT_EQ(member_type(&g, holder, "corner"), point);

    // Two layouts of one name: both kept, said to be several.
    bool32 several = 0;
    types_named(&g, "state", &several);
    EXPECT_TRUE(several);

    // The globals, the files' statics and a function's, at their symbols' addresses.
    struct expected_global {
        const char* symbol;
        u32 type;
    } globals[] = {
        {"origin", point},       {"holder", holder},       {"first_node", node},
        {"counter", named(&g, "int")},                     {"count.calls", named(&g, "int")},
        {"elsewhere", elsewhere},
    };
    for (const expected_global& e : globals) {
        u64 address = symbol_address(path, e.symbol);
        ASSERT_NE(address, 0u) << e.symbol;
        EXPECT_EQ(types_global_at(&g, address), e.type) << e.symbol;
    }
    u32 players = types_global_at(&g, symbol_address(path, "players"));
    ASSERT_NE(players, TYPE_NONE);
    EXPECT_EQ(g.types[players].target, mobj);
    EXPECT_EQ(g.types[players].size, 640u);
    EXPECT_EQ(g.types[types_global_at(&g, symbol_address(path, "nodes"))].target, node);
    EXPECT_EQ(g.types[types_global_at(&g, symbol_address(path, "state_a"))].size, 4u);
    EXPECT_EQ(g.types[types_global_at(&g, symbol_address(path, "state_b"))].size, 8u);
    EXPECT_EQ(types_global_at(&g, symbol_address(path, "origin") + 1), TYPE_NONE);
    types_free(&g);
}

TEST(TypesRead, CStructsInEveryDwarfFlavour) {
    check_c_game("c_dwarf5");
    check_c_game("c_dwarf4");
    check_c_game("c_dwarf2");
    check_c_game("c_compressed");
}

#define VECTOR_OF_BASES                                                                        \
    "std::vector<std::unique_ptr<game::Base, std::default_delete<game::Base> >, "             \
    "std::allocator<std::unique_ptr<game::Base, std::default_delete<game::Base> > > >"

void check_cpp_world(const char* flavour) {
    SCOPED_TRACE(flavour);
    std::string path = program(flavour);
    type_graph g;
    ASSERT_NO_FATAL_FAILURE(read_whole(flavour, &g));

    // A hierarchy with virtual functions: the virtual table pointer, bases.
    u32 base = named(&g, "game::Base");
    EXPECT_EQ(g.types[base].flags, TYPE_DYNAMIC);
    EXPECT_EQ(g.types[base].size, 16u);
    const type_info* t = &g.types[base];
    ASSERT_GE(t->member_count, 2u);
    const type_member* vptr = &g.members[t->first_member];
    EXPECT_EQ(vptr->flags, MEMBER_VIRTUAL_POINTER);
    EXPECT_EQ(strncmp(types_name(&g, vptr->name), "_vptr", 5), 0);
    EXPECT_EQ(member(&g, base, "hits")->offset, 8u);
    u32 agent = named(&g, "game::Agent");
    EXPECT_EQ(g.types[agent].flags, TYPE_DYNAMIC);
    const type_member* agent_base = member(&g, agent, "game::Base");
    ASSERT_NE(agent_base, nullptr);
    EXPECT_EQ(agent_base->flags, MEMBER_BASE);
    EXPECT_EQ(agent_base->type, base);
    EXPECT_EQ(member(&g, agent, "speed")->offset, 12u);
    // Dynamic through its base alone; a plain base at its offset.
    u32 mixed = named(&g, "game::Mixed");
    EXPECT_EQ(g.types[mixed].flags, TYPE_DYNAMIC);
    EXPECT_EQ(member(&g, mixed, "game::Plain")->offset, 16u);
    EXPECT_EQ(member(&g, mixed, "game::Agent")->offset, 0u);
    EXPECT_EQ(member(&g, mixed, "extra")->offset, 20u);
    u32 plain = named(&g, "game::Plain");
    EXPECT_EQ(g.types[plain].flags, 0u);
    u32 shared = named(&g, "game::Shared");
    EXPECT_EQ(member(&g, shared, "game::Plain")->flags, MEMBER_BASE | MEMBER_VIRTUAL_BASE);
    EXPECT_EQ(g.types[shared].flags, TYPE_DYNAMIC);

    // Names as the C++ ABI demangles them.
    named(&g, "game::Outer::Inner");
    named(&g, "(anonymous namespace)::Hidden");  // in both files: one type
    named(&g, "local_statics()::Local");
    // Pointers to members are not pointers.
    u32 pair = named(&g, "Pair");
    EXPECT_EQ(g.types[member_type(&g, pair, "method")].kind, (u32)TYPE_UNKNOWN);
    EXPECT_EQ(g.types[member_type(&g, pair, "method")].size, 16u);
    EXPECT_EQ(g.types[member_type(&g, pair, "field")].size, 8u);

    // std::vector<std::unique_ptr<Base>>: its buffer's pointer down to the
    // pointer to Base each element holds.
    u32 objects = types_global_at(&g, symbol_address(path, "objects"));
    ASSERT_NE(objects, TYPE_NONE);
    EXPECT_STREQ(name_of(&g, objects), VECTOR_OF_BASES);
    EXPECT_EQ(objects, named(&g, VECTOR_OF_BASES));
    const type_member* impl = inherited(&g, objects, "_M_impl");
    ASSERT_NE(impl, nullptr);
    EXPECT_STREQ(name_of(&g, impl->type),
                 "std::_Vector_base<std::unique_ptr<game::Base, std::default_delete<game::Base> "
                 ">, std::allocator<std::unique_ptr<game::Base, std::default_delete<game::Base> > "
                 "> >::_Vector_impl");
    const type_member* start = inherited(&g, impl->type, "_M_start");
    ASSERT_NE(start, nullptr);
    u32 element = g.types[start->type].target;
    EXPECT_EQ(g.types[start->type].kind, (u32)TYPE_POINTER);
    EXPECT_STREQ(name_of(&g, element), "std::unique_ptr<game::Base, std::default_delete<game::Base> >");
    EXPECT_EQ(g.types[element].size, 8u);
    // A class's member typedef (vector's value_type) is not what users call it.
    EXPECT_STREQ(types_name(&g, g.types[element].shown), name_of(&g, element));
    EXPECT_TRUE(holds_pointer_to(&g, element, base));
    named(&g, "std::tuple<game::Base *, std::default_delete<game::Base> >");

    // A list's and a map's nodes by name, through their bases to their links.
    u32 list_node = named(&g, "std::_List_node<int>");
    EXPECT_EQ(g.types[list_node].kind, (u32)TYPE_RECORD);
    const type_member* list_next = inherited(&g, list_node, "_M_next");
    ASSERT_NE(list_next, nullptr);
    EXPECT_STREQ(name_of(&g, g.types[list_next->type].target), "std::__detail::_List_node_base");
    EXPECT_NE(member(&g, list_node, "_M_storage"), nullptr);
    u32 map_node = named(&g, "std::_Rb_tree_node<std::pair<const int, int> >");
    EXPECT_NE(member(&g, map_node, "_M_storage"), nullptr);
    EXPECT_NE(inherited(&g, map_node, "_M_left"), nullptr);
    EXPECT_STREQ(name_of(&g, types_global_at(&g, symbol_address(path, "numbers[abi:cxx11]"))),
                 "std::__cxx11::list<int, std::allocator<int> >");
    EXPECT_STREQ(name_of(&g, types_global_at(&g, symbol_address(path, "table"))),
                 "std::map<int, int, std::less<int>, std::allocator<std::pair<const int, int> > >");

    // A class's static and a function's statics.
    EXPECT_EQ(types_global_at(&g, symbol_address(path, "game::Outer::shared")), named(&g, "int"));
    EXPECT_EQ(types_global_at(&g, symbol_address(path, "local_statics()::mixed")), mixed);
    EXPECT_EQ(types_global_at(&g, symbol_address(path, "local_statics()::local")),
              named(&g, "local_statics()::Local"));
    types_free(&g);
}

TEST(TypesRead, CxxClassesContainersAndNames) {
    check_cpp_world("cpp_dwarf5");
    check_cpp_world("cpp_dwarf4");
    check_cpp_world("cpp_type_units");
}

// The sections of a build, each in a heap block of exactly its size.
struct debug_copy {
    u8* bytes[6];
    u64 sizes[6];
};

bool read_sections(const std::string& path, debug_copy* copy) {
    static const char* const names[] = {".debug_info", ".debug_abbrev", ".debug_str",
                                        ".debug_line_str", ".debug_addr", ".debug_str_offsets"};
    memset(copy, 0, sizeof(*copy));
    std::string image;
    if (!file_bytes(path.c_str(), &image)) {
        return false;
    }
    elf_version(EV_CURRENT);
    Elf* elf = elf_memory(&image[0], image.size());
    size_t strings = 0;
    if (!elf || elf_getshdrstrndx(elf, &strings) != 0) {
        return false;
    }
    for (Elf_Scn* section = NULL; (section = elf_nextscn(elf, section));) {
        GElf_Shdr header;
        gelf_getshdr(section, &header);
        const char* name = elf_strptr(elf, strings, header.sh_name);
        Elf_Data* data = elf_getdata(section, NULL);
        for (u32 k = 0; k < 6 && name && data; ++k) {
            if (strcmp(name, names[k]) == 0) {
                copy->bytes[k] = (u8*)malloc(data->d_size ? data->d_size : 1);
                copy->sizes[k] = data->d_size;
                memcpy(copy->bytes[k], data->d_buf, data->d_size);
            }
        }
    }
    elf_end(elf);
    return copy->bytes[0] != NULL;
}

void free_sections(debug_copy* copy) {
    for (u32 k = 0; k < 6; ++k) {
        free(copy->bytes[k]);
    }
}

dwarf_sections spans(const debug_copy* c) {
    return {c->bytes[0], c->sizes[0], c->bytes[1], c->sizes[1], c->bytes[2], c->sizes[2],
            c->bytes[3], c->sizes[3], c->bytes[4], c->sizes[4], c->bytes[5], c->sizes[5]};
}

// Damage of every kind a file can have: sections cut short, bits flipped,
// runs of bytes overwritten. What is read holds together.
TEST(TypesRead, DamagedSectionsAreReadOrRefused) {
    debug_copy original;
    ASSERT_TRUE(read_sections(program("cpp_type_units"), &original));
    dwarf_sections sections = spans(&original);
    type_graph g;
    ASSERT_TRUE(types_read(&sections, &g));
    u32 intact = g.type_count;
    types_free(&g);
    u32 seed = 39, refused = 0, changed = 0;
    for (u32 round = 0; round < 300; ++round) {
        debug_copy copy;
        memset(&copy, 0, sizeof(copy));
        u32 target = round % 6;
        for (u32 k = 0; k < 6; ++k) {
            u64 size = original.sizes[k];
            if (k == target && round % 3 == 0) {
                size = size * (round % 97) / 97;
            }
            if (original.bytes[k]) {
                copy.bytes[k] = (u8*)malloc(size ? size : 1);
                copy.sizes[k] = size;
                memcpy(copy.bytes[k], original.bytes[k], size);
            }
        }
        for (u32 flips = 0; round % 3 != 0 && copy.sizes[target] && flips < 1 + round % 12;
             ++flips) {
            seed = seed * 1103515245 + 12345;
            u64 at = (seed >> 4) % copy.sizes[target];
            copy.bytes[target][at] ^= round % 3 == 1 ? (u8)(1 << (seed % 8)) : (u8)(seed >> 24);
        }
        sections = spans(&copy);
        if (types_read(&sections, &g)) {
            changed += g.type_count != intact;
            check_whole(&g);
        } else {
            ++refused;
            EXPECT_EQ(g.type_count, 0u);
            EXPECT_EQ(g.types, nullptr);
        }
        types_free(&g);
        free_sections(&copy);
    }
    EXPECT_GT(refused, 0u);
    EXPECT_GT(changed, 0u);
    printf("%u of 300 refused, %u read with other types\n", refused, changed);
    free_sections(&original);
    // Nothing to read.
    dwarf_sections none;
    memset(&none, 0, sizeof(none));
    EXPECT_FALSE(types_read(&none, &g));
    EXPECT_FALSE(types_read_file("/nonexistent", &g));
}

}  // namespace
