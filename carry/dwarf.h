// The variables a build's DWARF gives a fixed address, read from the bytes
// of its debug sections: for each, its key, its type's size and the hash of
// its type's layout, by the same rules as the ELF reader's through elfutils
// (image_linux.cpp), so that both hosts name and compare kept variables
// alike. Portable and self-contained, for the images elfutils can't read
// (PE); the bytes may come from a hostile module: nothing outside the
// spans given is read, and damaged data ends a unit, never the host.
#ifndef CARRY_DWARF_H
#define CARRY_DWARF_H

#include "engine/base/types.h"

// The debug sections as they lie in the file; any may be absent (null, 0).
typedef struct dwarf_sections {
    const u8* info;
    u64 info_size;
    const u8* abbrev;
    u64 abbrev_size;
    const u8* str;
    u64 str_size;
    const u8* line_str;
    u64 line_str_size;
    const u8* addr;
    u64 addr_size;
    const u8* str_offsets;
    u64 str_offsets_size;
} dwarf_sections;

typedef struct dwarf_variable {
    u64 address;    // as the DWARF says it: the image's preferred address
    u64 size;       // its type's byte size; 0 when it can't be known
    u64 type_hash;  // its type's layout; 0 when it has no type
    u32 key;        // offset of its key in names: "file:function:name" or "file:name",
                    // the file by its name alone
    u32 path;       // offset of its file's path in names, as the unit names it
} dwarf_variable;

typedef struct dwarf_variables {
    dwarf_variable* variables;  // sorted by address; in the DWARF's order among equals
    u64 count;
    char* names;
    u64 names_size;
} dwarf_variables;

// Every variable with a fixed address (DW_OP_addr, DW_OP_addrx). False when
// there is none, there is no memory, or the data is too damaged to trust;
// out then holds nothing.
bool32 dwarf_read(const dwarf_sections* sections, dwarf_variables* out);

// The first variable at exactly address, or null.
const dwarf_variable* dwarf_at(const dwarf_variables* variables, u64 address);

static inline const char* dwarf_key(const dwarf_variables* variables,
                                    const dwarf_variable* variable) {
    return variables->names + variable->key;
}

static inline const char* dwarf_path(const dwarf_variables* variables,
                                     const dwarf_variable* variable) {
    return variables->names + variable->path;
}

void dwarf_free(dwarf_variables* variables);

#endif
