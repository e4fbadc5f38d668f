// Reads in three passes: the units' headers, their abbreviation tables,
// then every DIE into one table with child and sibling links (which only
// point forward, so no walk can loop). The variables and their types are
// then looked up in that table, following image_linux.cpp's walk step by
// step: its type-hash cache makes a hash depend on the order types are met.
#include "carry/dwarf.h"

#include "carry/image.h"

#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// The DWARF standard's numbers this reader needs.
enum {
    TAG_array_type = 0x01, TAG_class_type = 0x02, TAG_enumeration_type = 0x04,
    TAG_lexical_block = 0x0b, TAG_member = 0x0d, TAG_pointer_type = 0x0f,
    TAG_reference_type = 0x10, TAG_structure_type = 0x13, TAG_subroutine_type = 0x15,
    TAG_typedef = 0x16, TAG_union_type = 0x17, TAG_inheritance = 0x1c,
    TAG_inlined_subroutine = 0x1d, TAG_subrange_type = 0x21, TAG_base_type = 0x24,
    TAG_const_type = 0x26, TAG_subprogram = 0x2e, TAG_variable = 0x34,
    TAG_volatile_type = 0x35, TAG_restrict_type = 0x37, TAG_namespace = 0x39,
    TAG_rvalue_reference_type = 0x42, TAG_atomic_type = 0x47,
};
enum {
    AT_location = 0x02, AT_name = 0x03, AT_byte_size = 0x0b, AT_bit_size = 0x0d,
    AT_lower_bound = 0x22, AT_upper_bound = 0x2f, AT_abstract_origin = 0x31, AT_count = 0x37,
    AT_data_member_location = 0x38, AT_encoding = 0x3e, AT_specification = 0x47,
    AT_type = 0x49, AT_data_bit_offset = 0x6b, AT_linkage_name = 0x6e,
    AT_str_offsets_base = 0x72, AT_addr_base = 0x73, AT_GNU_addr_base = 0x2133,
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
enum { OP_addr = 0x03, OP_addrx = 0xa1, OP_GNU_addr_index = 0xfb };
enum { UT_compile = 1, UT_type = 2, UT_partial = 3, UT_skeleton = 4, UT_split_compile = 5,
       UT_split_type = 6 };

#define NONE 0xFFFFFFFFu
#define TREE_DEPTH 256       // deeper nesting than this ends the unit
#define ABBREV_ATTRIBUTES 256  // more attributes than this in one: damaged
#define TYPE_DEPTH 12        // as image_linux.cpp's type_hash
#define SCOPE_DEPTH 32       // as image_linux.cpp's walk_scope
#define TYPE_CACHE (1u << 14)  // types whose hash is remembered, as image_linux.cpp's
#define KEY_CAPACITY 512
#define ORIGIN_CHAIN 16      // DW_AT_abstract_origin / DW_AT_specification hops

// ---------------------------------------------------------------------------
// Reading bytes: a failed read leaves ok false and reads nothing more.

typedef struct span_reader {
    const u8* at;
    const u8* end;
    bool ok;
} span_reader;

static span_reader reader_at(const u8* base, u64 size, u64 offset) {
    span_reader r = {base, base, base != NULL && offset <= size};
    if (r.ok) {
        r.at = base + offset;
        r.end = base + size;
    }
    return r;
}

static bool reader_skip(span_reader* r, u64 count) {
    if (!r->ok || (u64)(r->end - r->at) < count) {
        r->ok = false;
        return false;
    }
    r->at += count;
    return true;
}

static u64 read_fixed(span_reader* r, u32 size) {
    const u8* at = r->at;
    if (size > 8 || !reader_skip(r, size)) {
        r->ok = false;
        return 0;
    }
    u64 value = 0;
    for (u32 i = 0; i < size; ++i) {
        value |= (u64)at[i] << (8 * i);
    }
    return value;
}

static u64 read_leb(span_reader* r, bool is_signed) {
    u64 value = 0;
    u32 shift = 0;
    u8 byte = 0x80;
    while (r->ok && (byte & 0x80)) {
        if (r->at >= r->end) {
            r->ok = false;
            return 0;
        }
        byte = *r->at++;
        if (shift < 64) {
            value |= (u64)(byte & 0x7F) << shift;
            shift += 7;
        }
    }
    if (is_signed && shift < 64 && (byte & 0x40)) {
        value |= ~0ull << shift;
    }
    return value;
}

static u64 read_uleb(span_reader* r) { return read_leb(r, false); }

// A NUL-terminated string at offset in a section, or null.
static const char* section_string(const u8* base, u64 size, u64 offset) {
    if (!base || offset >= size || !memchr(base + offset, 0, size - offset)) {
        return NULL;
    }
    return (const char*)base + offset;
}

// The first of count records, stride bytes apart and sorted by the u64 at
// field, whose field is not below key: count when there is none.
static u64 first_not_below(const void* records, u64 count, u64 stride, u64 field, u64 key) {
    const u8* bytes = (const u8*)records;
    u64 low = 0, high = count;
    while (low < high) {
        u64 middle = low + (high - low) / 2;
        u64 value;
        memcpy(&value, bytes + middle * stride + field, sizeof(value));
        if (value < key) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return low;
}

// For qsort: (x1, x2) against (y1, y2), first values first.
static int compare_pairs(u64 x1, u64 x2, u64 y1, u64 y2) {
    if (x1 != y1) {
        return x1 < y1 ? -1 : 1;
    }
    return x2 < y2 ? -1 : x2 > y2 ? 1 : 0;
}

// ---------------------------------------------------------------------------
// The tables.

typedef struct unit {
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
    u32 first_die;  // NONE: none read
} unit;

typedef struct abbrev {
    u64 code;
    u64 table;        // offset of its table in .debug_abbrev
    const u8* specs;  // its attributes' names and forms
    u32 spec_count;
    u32 tag;
    bool children;
} abbrev;

typedef struct die {
    u64 offset;  // in .debug_info
    const u8* values;
    u32 abbrev;
    u32 unit;
    u32 child;    // first child or NONE
    u32 sibling;  // next sibling or NONE
} die;

typedef struct attribute {
    u64 form;
    u64 number;
    const u8* data;  // strings and blocks
    u64 size;
    u32 unit;  // of the DIE it was read from: references and bases are the unit's
} attribute;

typedef struct type_unit {
    u64 signature;
    u32 unit;
} type_unit;

typedef struct reader_state {
    const dwarf_sections* sections;
    unit* units;
    u32 unit_count;
    type_unit* type_units;  // sorted by signature
    u32 type_unit_count;
    abbrev* abbrevs;
    u32 abbrev_count;
    die* dies;
    u32 die_count;
    u64 die_capacity;
    u64* type_hashes;  // by DIE; 0: not worked out
    u8* type_cached;   // by DIE: has a place in the cache
    u32 cached_count;
    u64 steps_left;  // for hashing types: past it the data counts as hostile
    bool failed;     // out of memory or steps
    dwarf_variables* out;
    u64 capacity;
    u64 names_capacity;
} reader_state;

static bool grow(void** memory, u64* capacity, u64 needed, u64 unit_size) {
    if (needed <= *capacity) {
        return true;
    }
    u64 grown = *capacity ? *capacity : 64;
    while (grown < needed) {
        grown *= 2;
    }
    void* moved = realloc(*memory, grown * unit_size);
    if (!moved) {
        return false;
    }
    *memory = moved;
    *capacity = grown;
    return true;
}

// ---------------------------------------------------------------------------
// Attribute values.

static u32 fixed_size(u64 form, const unit* u) {
    switch (form) {
    case FORM_data1: case FORM_ref1: case FORM_flag: case FORM_strx1: case FORM_addrx1:
        return 1;
    case FORM_data2: case FORM_ref2: case FORM_strx2: case FORM_addrx2:
        return 2;
    case FORM_strx3: case FORM_addrx3:
        return 3;
    case FORM_data4: case FORM_ref4: case FORM_ref_sup4: case FORM_strx4: case FORM_addrx4:
        return 4;
    case FORM_data8: case FORM_ref8: case FORM_ref_sig8: case FORM_ref_sup8:
        return 8;
    case FORM_addr:
        return u->address_size;
    case FORM_ref_addr:
        return u->version == 2 ? u->address_size : u->offset_size;
    case FORM_strp: case FORM_line_strp: case FORM_sec_offset: case FORM_strp_sup:
    case FORM_GNU_ref_alt: case FORM_GNU_strp_alt:
        return u->offset_size;
    default:
        return 0;
    }
}

static bool read_block(span_reader* r, u64 size, attribute* out) {
    out->data = r->at;
    out->size = size;
    return reader_skip(r, size);
}

// One value of form at r; implicit is the abbreviation's DW_FORM_implicit_const.
static bool read_value(span_reader* r, const unit* u, u64 form, u64 implicit, attribute* out) {
    for (u32 hops = 0; form == FORM_indirect && r->ok; ++hops) {
        form = hops < 4 ? read_uleb(r) : 0;
    }
    memset(out, 0, sizeof(*out));
    out->form = form;
    if (u32 size = fixed_size(form, u)) {
        out->number = read_fixed(r, size);
        return r->ok;
    }
    switch (form) {
    case FORM_sdata:
        out->number = read_leb(r, true);
        return r->ok;
    case FORM_udata: case FORM_ref_udata: case FORM_strx: case FORM_addrx: case FORM_loclistx:
    case FORM_rnglistx: case FORM_GNU_addr_index: case FORM_GNU_str_index:
        out->number = read_uleb(r);
        return r->ok;
    case FORM_implicit_const:
        out->number = implicit;
        return true;
    case FORM_flag_present:
        out->number = 1;
        return true;
    case FORM_string: {
        const u8* nul = r->ok ? (const u8*)memchr(r->at, 0, (u64)(r->end - r->at)) : NULL;
        return nul && read_block(r, (u64)(nul - r->at) + 1, out);
    }
    case FORM_data16: return read_block(r, 16, out);
    case FORM_exprloc: case FORM_block: return read_block(r, read_uleb(r), out);
    case FORM_block1: return read_block(r, read_fixed(r, 1), out);
    case FORM_block2: return read_block(r, read_fixed(r, 2), out);
    case FORM_block4: return read_block(r, read_fixed(r, 4), out);
    default:
        return false;  // unknown: the rest of the DIE can't be found
    }
}

// Walks a DIE's attributes: with name 0 to its end (r then stands after
// it), otherwise until that attribute, which goes to out.
static bool read_attributes(const reader_state* s, const abbrev* a, const unit* u,
                            span_reader* r, u64 name, attribute* out) {
    span_reader specs = {a->specs, s->sections->abbrev + s->sections->abbrev_size, true};
    for (u32 i = 0; i < a->spec_count; ++i) {
        u64 spec_name = read_uleb(&specs);
        u64 form = read_uleb(&specs);
        u64 implicit = form == FORM_implicit_const ? read_leb(&specs, true) : 0;
        if (!specs.ok || !read_value(r, u, form, implicit, out)) {
            return false;
        }
        if (name && spec_name == name) {
            return true;
        }
    }
    return name == 0;
}

// A DIE's own attribute (not through its origin).
static bool die_attribute(const reader_state* s, u32 index, u64 name, attribute* out) {
    const die* d = &s->dies[index];
    const unit* u = &s->units[d->unit];
    span_reader r = {d->values, s->sections->info + u->end, true};
    if (!read_attributes(s, &s->abbrevs[d->abbrev], u, &r, name, out)) {
        return false;
    }
    out->unit = d->unit;
    return true;
}

static u32 die_tag(const reader_state* s, u32 index) {
    return s->abbrevs[s->dies[index].abbrev].tag;
}

static u32 die_at_offset(const reader_state* s, u64 offset) {
    u32 low = (u32)first_not_below(s->dies, s->die_count, sizeof(die), offsetof(die, offset),
                                   offset);
    return low < s->die_count && s->dies[low].offset == offset ? low : NONE;
}

// The DIE a reference names, or NONE.
static u32 referenced_die(const reader_state* s, const attribute* a) {
    const unit* u = &s->units[a->unit];
    switch (a->form) {
    case FORM_ref1: case FORM_ref2: case FORM_ref4: case FORM_ref8: case FORM_ref_udata:
        return a->number < u->end - u->offset ? die_at_offset(s, u->offset + a->number) : NONE;
    case FORM_ref_addr:
        return die_at_offset(s, a->number);
    case FORM_ref_sig8: {
        u32 low = (u32)first_not_below(s->type_units, s->type_unit_count, sizeof(type_unit),
                                       offsetof(type_unit, signature), a->number);
        const unit* t = low < s->type_unit_count ? &s->units[s->type_units[low].unit] : NULL;
        return t && t->signature == a->number && t->type_offset < t->end - t->offset
                   ? die_at_offset(s, t->offset + t->type_offset)
                   : NONE;
    }
    default:
        return NONE;
    }
}

// An attribute of the DIE or, failing that, of the DIEs it completes or
// was made from (DW_AT_abstract_origin, DW_AT_specification).
static bool integrated_attribute(const reader_state* s, u32 index, u64 name, attribute* out) {
    for (u32 hops = 0; hops <= ORIGIN_CHAIN && index != NONE; ++hops) {
        if (die_attribute(s, index, name, out)) {
            return true;
        }
        attribute origin;
        if (!die_attribute(s, index, AT_abstract_origin, &origin) &&
            !die_attribute(s, index, AT_specification, &origin)) {
            return false;
        }
        index = referenced_die(s, &origin);
    }
    return false;
}

// A constant's value; false for any other form.
static bool attribute_constant(const attribute* a, u64* value) {
    switch (a->form) {
    case FORM_data1: case FORM_data2: case FORM_data4: case FORM_data8: case FORM_sdata:
    case FORM_udata: case FORM_implicit_const:
        *value = a->number;
        return true;
    default:
        return false;
    }
}

// An integrated constant attribute; 0 when absent or not a constant.
static u64 attribute_number(const reader_state* s, u32 index, u64 name) {
    attribute a;
    u64 value = 0;
    if (integrated_attribute(s, index, name, &a)) {
        attribute_constant(&a, &value);
    }
    return value;
}

static const char* attribute_string(const reader_state* s, const attribute* a) {
    const dwarf_sections* sections = s->sections;
    const unit* u = &s->units[a->unit];
    switch (a->form) {
    case FORM_string:
        return (const char*)a->data;
    case FORM_strp:
        return section_string(sections->str, sections->str_size, a->number);
    case FORM_line_strp:
        return section_string(sections->line_str, sections->line_str_size, a->number);
    case FORM_strx: case FORM_strx1: case FORM_strx2: case FORM_strx3: case FORM_strx4:
    case FORM_GNU_str_index: {
        span_reader r = reader_at(sections->str_offsets, sections->str_offsets_size,
                                  u->str_offsets_base);
        if (a->number > sections->str_offsets_size / u->offset_size) {
            return NULL;
        }
        reader_skip(&r, a->number * u->offset_size);
        u64 offset = read_fixed(&r, u->offset_size);
        return r.ok ? section_string(sections->str, sections->str_size, offset) : NULL;
    }
    default:
        return NULL;
    }
}

static const char* integrated_string(const reader_state* s, u32 index, u64 name) {
    attribute a;
    return integrated_attribute(s, index, name, &a) ? attribute_string(s, &a) : NULL;
}

static const char* die_name(const reader_state* s, u32 index) {
    return integrated_string(s, index, AT_name);
}

static u32 type_of(const reader_state* s, u32 index) {
    attribute a;
    return integrated_attribute(s, index, AT_type, &a) ? referenced_die(s, &a) : NONE;
}

// ---------------------------------------------------------------------------
// Pass one: the units' headers.

static bool read_unit_header(const dwarf_sections* sections, u64 offset, unit* u) {
    memset(u, 0, sizeof(*u));
    span_reader r = reader_at(sections->info, sections->info_size, offset);
    u64 length = read_fixed(&r, 4);
    u->offset_size = 4;
    if (length == 0xFFFFFFFFull) {
        length = read_fixed(&r, 8);
        u->offset_size = 8;
    } else if (length >= 0xFFFFFFF0ull) {
        return false;
    }
    if (!r.ok || length > (u64)(r.end - r.at) || length < 2) {
        return false;
    }
    u->offset = offset;
    u->end = (u64)(r.at - sections->info) + length;
    u->first_die = NONE;
    r.end = sections->info + u->end;
    u->version = (u32)read_fixed(&r, 2);
    u->type = UT_compile;
    if (u->version == 5) {
        u->type = (u32)read_fixed(&r, 1);
        u->address_size = (u32)read_fixed(&r, 1);
        u->abbrev_offset = read_fixed(&r, u->offset_size);
        if (u->type == UT_type || u->type == UT_split_type) {
            u->signature = read_fixed(&r, 8);
            u->type_offset = read_fixed(&r, u->offset_size);
        } else if (u->type == UT_skeleton || u->type == UT_split_compile) {
            reader_skip(&r, 8);
        } else if (u->type != UT_compile && u->type != UT_partial) {
            r.ok = false;
        }
        // Without DW_AT_*_base, the bases lie past their tables' headers.
        u->str_offsets_base = u->addr_base = u->offset_size == 8 ? 16 : 8;
    } else if (u->version >= 2 && u->version <= 4) {
        u->abbrev_offset = read_fixed(&r, u->offset_size);
        u->address_size = (u32)read_fixed(&r, 1);
    } else {
        r.ok = false;
    }
    u->dies = (u64)(r.at - sections->info);
    // A unit it can't read is still passed over by its length.
    if (!r.ok || (u->address_size != 4 && u->address_size != 8)) {
        u->dies = u->end;
    }
    return true;
}

static bool read_units(reader_state* s) {
    u64 capacity = 0;
    for (u64 offset = 0; offset < s->sections->info_size;) {
        unit u;
        if (!read_unit_header(s->sections, offset, &u)) {
            break;  // nothing after it can be found
        }
        if (s->unit_count == NONE - 1 ||
            !grow((void**)&s->units, &capacity, s->unit_count + 1, sizeof(unit))) {
            return false;
        }
        s->units[s->unit_count++] = u;
        offset = u.end;
    }
    return s->unit_count > 0;
}

static int by_signature(const void* a, const void* b) {
    return compare_pairs(((const type_unit*)a)->signature, 0, ((const type_unit*)b)->signature, 0);
}

// The type units, for DW_FORM_ref_sig8.
static bool index_type_units(reader_state* s) {
    s->type_units = (type_unit*)malloc(s->unit_count * sizeof(type_unit));
    if (!s->type_units) {
        return false;
    }
    for (u32 i = 0; i < s->unit_count; ++i) {
        if (s->units[i].type == UT_type || s->units[i].type == UT_split_type) {
            s->type_units[s->type_unit_count++] = {s->units[i].signature, i};
        }
    }
    qsort(s->type_units, s->type_unit_count, sizeof(type_unit), by_signature);
    return true;
}

// ---------------------------------------------------------------------------
// Pass two: the abbreviation tables, each read once.

static int by_table_then_code(const void* a, const void* b) {
    const abbrev* x = (const abbrev*)a;
    const abbrev* y = (const abbrev*)b;
    return compare_pairs(x->table, x->code, y->table, y->code);
}

static int by_value(const void* a, const void* b) {
    return compare_pairs(*(const u64*)a, 0, *(const u64*)b, 0);
}

// One table's abbreviations, appended; a damaged one keeps those before it.
static bool read_abbrev_table(reader_state* s, u64 table, u64* capacity, u64* budget) {
    span_reader r = reader_at(s->sections->abbrev, s->sections->abbrev_size, table);
    for (;;) {
        abbrev a;
        memset(&a, 0, sizeof(a));
        a.table = table;
        a.code = read_uleb(&r);
        if (!r.ok || a.code == 0) {
            return true;
        }
        u64 tag = read_uleb(&r);
        a.tag = tag > NONE ? NONE : (u32)tag;
        a.children = read_fixed(&r, 1) != 0;
        a.specs = r.at;
        for (;;) {
            u64 name = read_uleb(&r);
            u64 form = read_uleb(&r);
            if (form == FORM_implicit_const) {
                read_leb(&r, true);
            }
            if (!r.ok || (name == 0 && form == 0) || ++a.spec_count > ABBREV_ATTRIBUTES) {
                break;
            }
        }
        if (!r.ok || a.spec_count > ABBREV_ATTRIBUTES || *budget == 0) {
            return true;
        }
        --*budget;
        if (!grow((void**)&s->abbrevs, capacity, s->abbrev_count + 1, sizeof(abbrev))) {
            return false;
        }
        s->abbrevs[s->abbrev_count++] = a;
    }
}

static bool read_abbrevs(reader_state* s) {
    u64* tables = (u64*)malloc(s->unit_count * sizeof(u64));
    if (!tables) {
        return false;
    }
    for (u32 i = 0; i < s->unit_count; ++i) {
        tables[i] = s->units[i].abbrev_offset;
    }
    qsort(tables, s->unit_count, sizeof(u64), by_value);
    // Tables don't overlap and an abbreviation takes five bytes at least:
    // more of them than that means tables read over each other's bytes.
    u64 capacity = 0, budget = s->sections->abbrev_size / 4 + 16;
    bool read = true;
    for (u32 i = 0; read && i < s->unit_count; ++i) {
        if (i == 0 || tables[i] != tables[i - 1]) {
            read = read_abbrev_table(s, tables[i], &capacity, &budget);
        }
    }
    free(tables);
    if (!read || s->abbrev_count >= NONE) {
        return false;
    }
    qsort(s->abbrevs, s->abbrev_count, sizeof(abbrev), by_table_then_code);
    for (u32 i = 0; i < s->unit_count; ++i) {
        unit* u = &s->units[i];
        u32 low = (u32)first_not_below(s->abbrevs, s->abbrev_count, sizeof(abbrev),
                                       offsetof(abbrev, table), u->abbrev_offset);
        u32 high = low;
        u->abbrev_first = low;
        while (high < s->abbrev_count && s->abbrevs[high].table == u->abbrev_offset) {
            ++high;
        }
        u->abbrev_count = high - low;
    }
    return true;
}

static u32 find_abbrev(const reader_state* s, const unit* u, u64 code) {
    const abbrev* table = &s->abbrevs[u->abbrev_first];
    u32 low = (u32)first_not_below(table, u->abbrev_count, sizeof(abbrev),
                                   offsetof(abbrev, code), code);
    return low < u->abbrev_count && table[low].code == code ? u->abbrev_first + low : NONE;
}

// ---------------------------------------------------------------------------
// Pass three: every unit's DIEs, linked into their tree.

static bool add_die(reader_state* s, u64 offset, const u8* values, u32 abbrev_index,
                    u32 unit_index) {
    if (s->die_count >= NONE - 1 ||
        !grow((void**)&s->dies, &s->die_capacity, (u64)s->die_count + 1, sizeof(die))) {
        return false;
    }
    s->dies[s->die_count++] = {offset, values, abbrev_index, unit_index, NONE, NONE};
    return true;
}

// The unit's bases for DW_FORM_strx and DW_OP_addrx, from its own DIE.
static void read_bases(reader_state* s, unit* u) {
    attribute a;
    u64 value;
    if (die_attribute(s, u->first_die, AT_str_offsets_base, &a)) {
        u->str_offsets_base = a.number;
    }
    if ((die_attribute(s, u->first_die, AT_addr_base, &a) ||
         die_attribute(s, u->first_die, AT_GNU_addr_base, &a)) &&
        (a.form == FORM_sec_offset || attribute_constant(&a, &value))) {
        u->addr_base = a.number;
    }
}

// False only when there is no memory; damage ends the unit where it starts.
static bool read_dies(reader_state* s, u32 unit_index) {
    unit* u = &s->units[unit_index];
    const u8* info = s->sections->info;
    span_reader r = {info + u->dies, info + u->end, u->abbrev_count > 0};
    u32 parents[TREE_DEPTH], previous[TREE_DEPTH];
    u32 depth = 0;
    previous[0] = NONE;
    while (r.ok && r.at < r.end) {
        u64 offset = (u64)(r.at - info);
        u64 code = read_uleb(&r);
        if (code == 0) {  // the end of a run of siblings
            depth -= depth > 0;
            continue;
        }
        u32 index = find_abbrev(s, u, code);
        attribute skipped;
        const u8* values = r.at;
        if (index == NONE || !read_attributes(s, &s->abbrevs[index], u, &r, 0, &skipped)) {
            break;
        }
        if (!add_die(s, offset, values, index, unit_index)) {
            return false;
        }
        u32 added = s->die_count - 1;
        if (previous[depth] != NONE) {
            s->dies[previous[depth]].sibling = added;
        } else if (depth > 0) {
            s->dies[parents[depth - 1]].child = added;
        }
        previous[depth] = added;
        if (u->first_die == NONE) {
            u->first_die = added;
        }
        if (s->abbrevs[index].children) {
            if (depth + 1 == TREE_DEPTH) {
                break;
            }
            parents[depth++] = added;
            previous[depth] = NONE;
        }
    }
    if (u->first_die != NONE) {
        read_bases(s, u);
    }
    return true;
}

// ---------------------------------------------------------------------------
// Types: their layout's hash and their size.

static u64 mix(u64 hash, u64 value) { return image_hash_number(value, hash); }

// The DIE's place in the cache, or null once the cache is full.
static u64* cached_type(reader_state* s, u32 index) {
    if (!s->type_cached[index]) {
        if (s->cached_count == TYPE_CACHE) {
            return NULL;
        }
        s->type_cached[index] = 1;
        ++s->cached_count;
    }
    return &s->type_hashes[index];
}

static u64 type_hash(reader_state* s, u32 type, u32 depth);

static u64 referenced_type_hash(reader_state* s, u32 index, u32 depth) {
    u32 type = type_of(s, index);
    return type == NONE ? 0 : type_hash(s, type, depth + 1);
}

static u64 members_hash(reader_state* s, u32 record, u64 hash, u32 depth) {
    for (u32 member = s->dies[record].child; member != NONE; member = s->dies[member].sibling) {
        u32 tag = die_tag(s, member);
        if (tag != TAG_member && tag != TAG_inheritance) {
            continue;
        }
        const char* name = die_name(s, member);
        hash = image_hash_text(name ? name : "", hash);
        hash = mix(hash, attribute_number(s, member, AT_data_member_location));
        hash = mix(hash, attribute_number(s, member, AT_data_bit_offset));
        hash = mix(hash, attribute_number(s, member, AT_bit_size));
        hash = mix(hash, referenced_type_hash(s, member, depth));
    }
    return hash;
}

static u64 array_hash(reader_state* s, u32 array, u64 hash, u32 depth) {
    for (u32 bound = s->dies[array].child; bound != NONE; bound = s->dies[bound].sibling) {
        hash = mix(hash, attribute_number(s, bound, AT_count));
        hash = mix(hash, attribute_number(s, bound, AT_upper_bound));
    }
    return mix(hash, referenced_type_hash(s, array, depth));
}

// Step for step image_linux.cpp's type_hash.
static u64 type_hash(reader_state* s, u32 type, u32 depth) {
    u32 tag = die_tag(s, type);
    const char* name = die_name(s, type);
    u64 hash = mix(IMAGE_HASH_SEED, (u64)tag);
    hash = image_hash_text(name ? name : "", hash);
    if (depth > TYPE_DEPTH || s->failed) {
        return hash;
    }
    if (s->steps_left-- == 0) {
        s->failed = true;  // more work than any real module's types make
        return hash;
    }
    u64* cached = cached_type(s, type);
    if (cached && *cached) {
        return *cached;
    }
    if (cached) {
        *cached = hash | 1;  // while it is worked out: its name alone
    }
    hash = mix(hash, attribute_number(s, type, AT_byte_size));
    switch (tag) {
    case TAG_base_type:
    case TAG_enumeration_type:
        hash = mix(hash, attribute_number(s, type, AT_encoding));
        break;
    case TAG_structure_type:
    case TAG_class_type:
    case TAG_union_type:
        hash = members_hash(s, type, hash, depth);
        break;
    case TAG_array_type:
        hash = array_hash(s, type, hash, depth);
        break;
    case TAG_subroutine_type:
        break;
    default:  // typedefs, qualifiers, pointers and references
        hash = mix(hash, referenced_type_hash(s, type, depth));
        break;
    }
    hash |= 1;
    if (cached) {
        *cached = hash;
    }
    return hash;
}

static u64 type_size(const reader_state* s, u32 type, u32 depth);

static bool multiply(u64* total, u64 factor) {
    if (factor && *total > ~0ull / factor) {
        return false;
    }
    *total *= factor;
    return true;
}

// Elements times their size; 0 when a bound is unknown.
static u64 array_size(const reader_state* s, u32 array, u32 depth) {
    u64 count = 1;
    for (u32 bound = s->dies[array].child; bound != NONE; bound = s->dies[bound].sibling) {
        if (die_tag(s, bound) != TAG_subrange_type) {
            continue;
        }
        attribute a;
        u64 elements, upper, lower = 0;
        if (integrated_attribute(s, bound, AT_count, &a)) {
            if (!attribute_constant(&a, &elements)) {
                return 0;
            }
        } else if (integrated_attribute(s, bound, AT_upper_bound, &a) &&
                   attribute_constant(&a, &upper)) {
            if (integrated_attribute(s, bound, AT_lower_bound, &a) &&
                !attribute_constant(&a, &lower)) {
                return 0;
            }
            elements = upper - lower + 1;  // -1 as the upper bound of [0] wraps to 0
        } else {
            return 0;
        }
        if (!multiply(&count, elements)) {
            return 0;
        }
    }
    u32 element = type_of(s, array);
    u64 size = element == NONE ? 0 : type_size(s, element, depth + 1);
    return multiply(&size, count) ? size : 0;
}

// The bytes an object of the type takes, through typedefs and qualifiers.
static u64 type_size(const reader_state* s, u32 type, u32 depth) {
    for (; type != NONE && depth <= TYPE_DEPTH; ++depth) {
        attribute a;
        u64 size;
        if (integrated_attribute(s, type, AT_byte_size, &a) && attribute_constant(&a, &size)) {
            return size;
        }
        switch (die_tag(s, type)) {
        case TAG_array_type:
            return array_size(s, type, depth);
        case TAG_pointer_type:
        case TAG_reference_type:
        case TAG_rvalue_reference_type:  // clang gives these no size
            return s->units[s->dies[type].unit].address_size;
        case TAG_typedef:
        case TAG_const_type:
        case TAG_volatile_type:
        case TAG_restrict_type:
        case TAG_atomic_type:
            type = type_of(s, type);
            break;
        default:
            return 0;
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------
// The variables.

// A fixed address: a location of exactly one DW_OP_addr or DW_OP_addrx.
static bool variable_address(const reader_state* s, u32 index, u64* address) {
    attribute a;
    if (!die_attribute(s, index, AT_location, &a) ||
        (a.form != FORM_exprloc && a.form != FORM_block && a.form != FORM_block1 &&
         a.form != FORM_block2 && a.form != FORM_block4)) {
        return false;
    }
    const unit* u = &s->units[a.unit];
    span_reader r = {a.data, a.data + a.size, a.size > 0};
    u64 op = read_fixed(&r, 1);
    if (op == OP_addr) {
        *address = read_fixed(&r, u->address_size);
    } else if (op == OP_addrx || op == OP_GNU_addr_index) {
        u64 slot = read_uleb(&r);
        const dwarf_sections* sections = s->sections;
        span_reader table = reader_at(sections->addr, sections->addr_size, u->addr_base);
        if (!r.ok || slot > sections->addr_size / u->address_size ||
            !reader_skip(&table, slot * u->address_size)) {
            return false;
        }
        *address = read_fixed(&table, u->address_size);
        r.ok = table.ok;
    } else {
        return false;
    }
    return r.ok && r.at == r.end;
}

static bool add_name(reader_state* s, const char* text, u32* offset) {
    dwarf_variables* out = s->out;
    u64 length = strlen(text) + 1;
    if (out->names_size + length > NONE ||
        !grow((void**)&out->names, &s->names_capacity, out->names_size + length, 1)) {
        return false;
    }
    memcpy(out->names + out->names_size, text, length);
    *offset = (u32)out->names_size;
    out->names_size += length;
    return true;
}

static bool add_variable(reader_state* s, u64 address, u64 size, const char* key,
                         const char* path, u64 hash) {
    dwarf_variables* out = s->out;
    u32 key_at, path_at;
    if (!grow((void**)&out->variables, &s->capacity, out->count + 1, sizeof(dwarf_variable)) ||
        !add_name(s, key, &key_at)) {
        return false;
    }
    // The variables of one file follow each other: its path once.
    const dwarf_variable* last = out->count ? &out->variables[out->count - 1] : NULL;
    if (last && strcmp(out->names + last->path, path) == 0) {
        path_at = last->path;
    } else if (!add_name(s, path, &path_at)) {
        return false;
    }
    out->variables[out->count++] = {address, size, hash, key_at, path_at};
    return true;
}

static void note_variable(reader_state* s, u32 index, const char* file, const char* function) {
    u64 address;
    const char* name = die_name(s, index);
    if (!name || !variable_address(s, index, &address)) {
        return;
    }
    char key[KEY_CAPACITY];  // cut where image_linux.cpp cuts it
    snprintf(key, sizeof(key), function[0] ? "%s:%s:%s" : "%s:%s%s", image_file_name(file),
             function, name);
    u32 type = type_of(s, index);
    u64 hash = type == NONE ? 0 : type_hash(s, type, 0);
    u64 size = type == NONE ? 0 : type_size(s, type, 0);
    if (!add_variable(s, address, size, key, file, hash)) {
        s->failed = true;
    }
}

// As image_linux.cpp's walk_scope: function is the one the scope is in.
static void walk_scope(reader_state* s, u32 scope, const char* file, const char* function,
                       u32 depth) {
    if (depth > SCOPE_DEPTH) {
        return;
    }
    for (u32 child = s->dies[scope].child; child != NONE && !s->failed;
         child = s->dies[child].sibling) {
        u32 tag = die_tag(s, child);
        if (tag == TAG_variable) {
            note_variable(s, child, file, function);
        } else if (tag == TAG_subprogram || tag == TAG_lexical_block ||
                   tag == TAG_namespace || tag == TAG_inlined_subroutine) {
            const char* inside = function;
            if (tag == TAG_subprogram) {
                inside = integrated_string(s, child, AT_linkage_name);
                inside = inside ? inside : die_name(s, child);
                inside = inside ? inside : "";
            }
            walk_scope(s, child, file, inside, depth + 1);
        }
    }
}

// By address, then in the order found, as a stable sort leaves them.
static int by_address(const void* a, const void* b) {
    const dwarf_variable* x = (const dwarf_variable*)a;
    const dwarf_variable* y = (const dwarf_variable*)b;
    return compare_pairs(x->address, x->key, y->address, y->key);
}

static bool read_all(reader_state* s) {
    if (!read_units(s) || !index_type_units(s) || !read_abbrevs(s)) {
        return false;
    }
    for (u32 i = 0; i < s->unit_count; ++i) {
        if (!read_dies(s, i)) {
            return false;
        }
    }
    s->type_hashes = (u64*)calloc(s->die_count + 1, sizeof(u64));
    s->type_cached = (u8*)calloc(s->die_count + 1, 1);
    if (!s->type_hashes || !s->type_cached) {
        return false;
    }
    // A real module's types take a handful of steps per DIE.
    s->steps_left = 64 * (u64)s->die_count + 4096;
    for (u32 i = 0; i < s->unit_count && !s->failed; ++i) {
        u32 first = s->units[i].first_die;
        if (first != NONE) {
            const char* file = die_name(s, first);
            walk_scope(s, first, file ? file : "", "", 0);
        }
    }
    return !s->failed && s->out->count > 0;
}

bool32 dwarf_read(const dwarf_sections* sections, dwarf_variables* out) {
    memset(out, 0, sizeof(*out));
    reader_state s;
    memset(&s, 0, sizeof(s));
    s.sections = sections;
    s.out = out;
    bool read = sections->info && sections->abbrev && read_all(&s);
    free(s.units);
    free(s.type_units);
    free(s.abbrevs);
    free(s.dies);
    free(s.type_hashes);
    free(s.type_cached);
    if (!read) {
        dwarf_free(out);
        return 0;
    }
    qsort(out->variables, out->count, sizeof(dwarf_variable), by_address);
    return 1;
}

const dwarf_variable* dwarf_at(const dwarf_variables* variables, u64 address) {
    u64 low = first_not_below(variables->variables, variables->count, sizeof(dwarf_variable),
                              offsetof(dwarf_variable, address), address);
    return low < variables->count && variables->variables[low].address == address
               ? &variables->variables[low]
               : NULL;
}

void dwarf_free(dwarf_variables* variables) {
    free(variables->variables);
    free(variables->names);
    memset(variables, 0, sizeof(*variables));
}
