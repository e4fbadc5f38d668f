// The DWARF reading both the variables' reader (dwarf.cpp) and the type
// graph's (types.cpp) stand on: the units' headers, their abbreviation
// tables, and every DIE in one table with child and sibling links (which
// only point forward, so no walk over them can loop). Attributes are read
// from the DIE's bytes when asked for. Everything stays inside the spans of
// dwarf_sections: damaged data ends a unit, never the reader.
// Internal to carry.
#ifndef CARRY_DWARF_READER_H
#define CARRY_DWARF_READER_H

#include "carry/dwarf.h"

// The DWARF standard's numbers the readers need.
enum {
    TAG_array_type = 0x01, TAG_class_type = 0x02, TAG_enumeration_type = 0x04,
    TAG_lexical_block = 0x0b, TAG_member = 0x0d, TAG_pointer_type = 0x0f,
    TAG_reference_type = 0x10, TAG_compile_unit = 0x11, TAG_structure_type = 0x13,
    TAG_subroutine_type = 0x15, TAG_typedef = 0x16, TAG_union_type = 0x17,
    TAG_inheritance = 0x1c, TAG_inlined_subroutine = 0x1d, TAG_ptr_to_member_type = 0x1f,
    TAG_subrange_type = 0x21, TAG_base_type = 0x24, TAG_const_type = 0x26,
    TAG_enumerator = 0x28, TAG_subprogram = 0x2e, TAG_variable = 0x34,
    TAG_volatile_type = 0x35, TAG_restrict_type = 0x37, TAG_namespace = 0x39,
    TAG_unspecified_type = 0x3b, TAG_partial_unit = 0x3c, TAG_type_unit = 0x41,
    TAG_rvalue_reference_type = 0x42, TAG_atomic_type = 0x47,
};
enum {
    AT_location = 0x02, AT_name = 0x03, AT_byte_size = 0x0b, AT_bit_offset = 0x0c,
    AT_bit_size = 0x0d, AT_language = 0x13, AT_const_value = 0x1c, AT_lower_bound = 0x22,
    AT_upper_bound = 0x2f, AT_abstract_origin = 0x31, AT_artificial = 0x34, AT_count = 0x37,
    AT_data_member_location = 0x38, AT_declaration = 0x3c, AT_encoding = 0x3e,
    AT_external = 0x3f, AT_specification = 0x47, AT_type = 0x49, AT_virtuality = 0x4c,
    AT_signature = 0x69, AT_data_bit_offset = 0x6b, AT_linkage_name = 0x6e,
    AT_str_offsets_base = 0x72, AT_addr_base = 0x73, AT_MIPS_linkage_name = 0x2007,
    AT_GNU_addr_base = 0x2133,
};
enum {
    FORM_addr = 0x01, FORM_block2 = 0x03, FORM_block4 = 0x04, FORM_data2 = 0x05,
    FORM_data4 = 0x06, FORM_data8 = 0x07, FORM_string = 0x08, FORM_block = 0x09,
    FORM_block1 = 0x0a, FORM_data1 = 0x0b, FORM_flag = 0x0c, FORM_sdata = 0x0d,
    FORM_strp = 0x0e, FORM_udata = 0x0f, FORM_ref_addr = 0x10, FORM_ref1 = 0x11,
    FORM_ref2 = 0x12, FORM_ref4 = 0x13, FORM_ref8 = 0x14, FORM_ref_udata = 0x15,
    FORM_indirect = 0x16, FORM_sec_offset = 0x17, FORM_exprloc = 0x18,
    FORM_flag_present = 0x19, FORM_strx = 0x1a, FORM_addrx = 0x1b, FORM_ref_sup4 = 0x1c,
    FORM_strp_sup = 0x1d, FORM_data16 = 0x1e, FORM_line_strp = 0x1f, FORM_ref_sig8 = 0x20,
    FORM_implicit_const = 0x21, FORM_loclistx = 0x22, FORM_rnglistx = 0x23,
    FORM_ref_sup8 = 0x24, FORM_strx1 = 0x25, FORM_strx2 = 0x26, FORM_strx3 = 0x27,
    FORM_strx4 = 0x28, FORM_addrx1 = 0x29, FORM_addrx2 = 0x2a, FORM_addrx3 = 0x2b,
    FORM_addrx4 = 0x2c, FORM_GNU_addr_index = 0x1f01, FORM_GNU_str_index = 0x1f02,
    FORM_GNU_ref_alt = 0x1f20, FORM_GNU_strp_alt = 0x1f21,
};
enum { OP_addr = 0x03, OP_plus_uconst = 0x23, OP_addrx = 0xa1, OP_GNU_addr_index = 0xfb };
enum { UT_compile = 1, UT_type = 2, UT_partial = 3, UT_skeleton = 4, UT_split_compile = 5,
       UT_split_type = 6 };

#define DWARF_NONE 0xFFFFFFFFu

typedef struct dwarf_unit {
    u64 offset;  // of its header in .debug_info
    u64 end;     // one past its last byte
    u64 dies;    // offset of its first DIE
    u64 abbrev_offset;
    u64 signature;    // type units
    u64 type_offset;  // type units: of the type's DIE, from offset
    u64 str_offsets_base;
    u64 addr_base;
    u32 version;
    u32 offset_size;
    u32 address_size;
    u32 type;
    u32 abbrev_first;  // its abbreviations, sorted by code; abbrev_count 0: unreadable
    u32 abbrev_count;
    u32 first_die;  // DWARF_NONE: none read
    u32 die_end;    // one past its last DIE
} dwarf_unit;

// An attribute's name and form as an abbreviation gives them.
typedef struct dwarf_spec {
    u32 name;
    u32 form;
    u64 implicit;  // DW_FORM_implicit_const's value
} dwarf_spec;

typedef struct dwarf_abbrev {
    u64 code;
    u64 table;  // offset of its table in .debug_abbrev
    u32 first_spec;  // its attributes in the reader's specs
    u32 spec_count;
    u32 tag;
    u32 skip;  // bytes its DIEs' values take when all are of fixed size, else DWARF_NONE
    bool children;
} dwarf_abbrev;

typedef struct dwarf_die {
    u64 offset;  // in .debug_info
    const u8* values;
    u32 abbrev;
    u32 unit;
    u32 child;    // first child or DWARF_NONE
    u32 sibling;  // next sibling or DWARF_NONE
    u32 parent;   // DWARF_NONE for a unit's own
    u32 unused;
} dwarf_die;

typedef struct dwarf_attribute {
    u64 name;
    u64 form;
    u64 number;
    const u8* data;  // strings and blocks
    u64 size;
    u32 unit;  // of the DIE it was read from: references and bases are the unit's
} dwarf_attribute;

typedef struct dwarf_type_unit {
    u64 signature;
    u32 unit;
} dwarf_type_unit;

typedef struct dwarf_reader {
    const dwarf_sections* sections;
    dwarf_unit* units;
    u32 unit_count;
    dwarf_type_unit* type_units;  // sorted by signature
    u32 type_unit_count;
    dwarf_abbrev* abbrevs;
    u32 abbrev_count;
    dwarf_spec* specs;
    u32 spec_count;
    dwarf_die* dies;
    u32 die_count;
    u64 die_capacity;
    u32* buckets;  // by 32 bytes of .debug_info: the first DIE at or past them
} dwarf_reader;

// Reads every unit's DIEs. False when there is no memory or no unit;
// reader_close gives back what it holds either way.
bool reader_open(dwarf_reader* reader, const dwarf_sections* sections);
void reader_close(dwarf_reader* reader);

static inline u32 reader_tag(const dwarf_reader* reader, u32 die) {
    return reader->abbrevs[reader->dies[die].abbrev].tag;
}

// A DIE's own attribute (not through its origin).
bool reader_own_attribute(const dwarf_reader* reader, u32 die, u64 name, dwarf_attribute* out);
// All of a DIE's own attributes, up to capacity of them, in their order:
// how many were read (a damaged DIE gives those before the damage).
u32 reader_own_attributes(const dwarf_reader* reader, u32 die, dwarf_attribute* out,
                          u32 capacity);
// An attribute of the DIE or, failing that, of the DIEs it completes or was
// made from (DW_AT_abstract_origin, DW_AT_specification).
bool reader_attribute(const dwarf_reader* reader, u32 die, u64 name, dwarf_attribute* out);

// The DIE a reference names, or DWARF_NONE.
u32 reader_reference(const dwarf_reader* reader, const dwarf_attribute* attribute);
// A constant's value; false for any other form.
bool reader_constant(const dwarf_attribute* attribute, u64* value);
// A string's text, or null.
const char* reader_string(const dwarf_reader* reader, const dwarf_attribute* attribute);

// Through the DIE's origin: a constant (0 when absent or none), a string
// (null), the DW_AT_name, the DW_AT_type's DIE (DWARF_NONE).
u64 reader_number(const dwarf_reader* reader, u32 die, u64 name);
const char* reader_text(const dwarf_reader* reader, u32 die, u64 name);
const char* reader_name(const dwarf_reader* reader, u32 die);
u32 reader_type_of(const dwarf_reader* reader, u32 die);

// A variable's fixed address: a location of exactly one DW_OP_addr or
// DW_OP_addrx.
bool reader_fixed_address(const dwarf_reader* reader, u32 die, u64* address);

// The first of count records, stride bytes apart and sorted by the u64 at
// field, whose field is not below key: count when there is none.
u64 reader_first_not_below(const void* records, u64 count, u64 stride, u64 field, u64 key);

#endif
