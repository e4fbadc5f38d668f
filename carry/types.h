// The types a build's DWARF describes, as one graph: what a reload needs
// to find every live object of a type and to convert it member by member
// when the next build changed the type's layout (layout.h). Read from the
// bytes of the debug sections (dwarf.h) on both systems; the bytes may come
// from a hostile module: nothing outside the spans given is read, damaged
// data ends a unit, never the host.
//
// Typedefs and const/volatile qualifiers are looked through: a member or
// pointer names the type under them. The same type described in several
// units (a header's struct in every file that includes it) is one type,
// when name and layout agree.
#ifndef CARRY_TYPES_H
#define CARRY_TYPES_H

#include "carry/dwarf.h"

#define TYPE_NONE 0xFFFFFFFFu  // no type: void, or one the DWARF lacks

typedef enum type_kind {
    TYPE_UNKNOWN,   // a declaration without its definition, or a kind not described here
    TYPE_INTEGER,   // integers, characters, bool and enums
    TYPE_FLOAT,     // float, double, long double
    TYPE_POINTER,   // pointers and references (lvalue and rvalue); target: what it points to
    TYPE_RECORD,    // struct and class
    TYPE_UNION,
    TYPE_ARRAY,     // target: the element type; count elements (0: unknown, a flexible array)
    TYPE_FUNCTION,  // what a function pointer points to
} type_kind;

// TYPE_INTEGER's flags.
#define TYPE_SIGNED 1u
#define TYPE_BOOL 2u
#define TYPE_CHAR 4u  // char, signed char, unsigned char, char8_t: its arrays and pointers hold text or bytes
#define TYPE_ENUM 8u
// TYPE_RECORD's: the record has a virtual table pointer (its own or a base's).
#define TYPE_DYNAMIC 16u

typedef struct type_info {
    u32 kind;      // type_kind
    u32 flags;
    u64 size;      // bytes; 0 when unknown
    u32 name;      // offset in names: the qualified name as the C++ ABI demangles it
                   // ("Agent", "game::Agent", "std::vector<int, std::allocator<int> >"); for a
                   // record without a tag, the first typedef that names it ("mobj_t"); "" for none
    u32 target;    // TYPE_POINTER and TYPE_ARRAY: the type index (TYPE_NONE: void or unknown)
    u64 count;     // TYPE_ARRAY: elements of target (a multi-dimensional array nests arrays)
    u32 first_member;  // TYPE_RECORD and TYPE_UNION: the first of member_count in members
    u32 member_count;
    u32 shown;     // offset in names: what users call it, for messages: the first typedef
                   // that names it ("mobj_t" for struct mobj_s), else its name
    u32 unused;
} type_info;

// A member's flags.
#define MEMBER_BASE 1u      // a base class (name: the base's name)
#define MEMBER_VIRTUAL_POINTER 2u  // the virtual table pointer ("_vptr.Agent", "_vptr$Agent")
#define MEMBER_BITS 4u      // a bit-field: bit_offset and bit_size say where (from the record's start)
// A virtual base: where it lies is in the virtual table, not fixed (offset 0).
#define MEMBER_VIRTUAL_BASE 8u

typedef struct type_member {
    u32 name;        // offset in names; "" for an anonymous struct or union member
    u32 type;        // index in types, or TYPE_NONE
    u64 offset;      // bytes from the record's start
    u32 flags;
    u32 bit_size;    // MEMBER_BITS only
    u64 bit_offset;  // MEMBER_BITS only: bits from the record's start
} type_member;

// A variable with a fixed address: a global, or a function's static.
typedef struct type_global {
    u64 address;  // as the DWARF says it: the image's preferred address
    u32 type;     // index in types, or TYPE_NONE
    u32 unused;
} type_global;

typedef struct type_graph {
    type_info* types;
    u32 type_count;
    type_member* members;
    u32 member_count;
    type_global* globals;  // sorted by address
    u32 global_count;
    char* names;
    u64 names_size;
} type_graph;

// Reads every type and every variable with a fixed address. False when
// there is none, there is no memory, or the data is too damaged to trust;
// out then holds nothing.
bool32 types_read(const dwarf_sections* sections, type_graph* out);

// Reads the graph of the image file at path (ELF on Linux, PE on Windows:
// image_<os>.cpp), without loading it. False when it has no debug
// information or can't be read.
bool32 types_read_file(const char* path, type_graph* out);

// The type of the variable at exactly address, or TYPE_NONE.
u32 types_global_at(const type_graph* graph, u64 address);

// The record, union or other named type called name (any kind but
// TYPE_POINTER, TYPE_ARRAY, TYPE_FUNCTION), or TYPE_NONE; the first when
// several types of different layouts share the name (*several set then,
// unless null).
u32 types_named(const type_graph* graph, const char* name, bool32* several);

static inline const char* types_name(const type_graph* graph, u32 offset) {
    return graph->names + offset;
}

void types_free(type_graph* graph);

#endif
