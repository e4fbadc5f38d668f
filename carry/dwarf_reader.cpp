// The DWARF reader the variables' (dwarf.cpp) and the types' (types.cpp)
// readers share: three passes, the units' headers, their abbreviation
// tables, then every DIE into one table with child and sibling links.
#include "carry/dwarf_reader.h"
#include "carry/grow.h"

#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#define TREE_DEPTH 256       // deeper nesting than this ends the unit
#define ABBREV_ATTRIBUTES 256  // more attributes than this in one: damaged
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
u64 reader_first_not_below(const void* records, u64 count, u64 stride, u64 field, u64 key) {
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

// ---------------------------------------------------------------------------
// Attribute values.

static u32 fixed_size(u64 form, const dwarf_unit* u) {
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

static bool read_block(span_reader* r, u64 size, dwarf_attribute* out) {
    out->data = r->at;
    out->size = size;
    return reader_skip(r, size);
}

// One value of form at r; implicit is the abbreviation's DW_FORM_implicit_const.
static bool read_value(span_reader* r, const dwarf_unit* u, u64 form, u64 implicit,
                       dwarf_attribute* out) {
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
static bool read_attributes(const dwarf_reader* s, const dwarf_abbrev* a, const dwarf_unit* u,
                            span_reader* r, u64 name, dwarf_attribute* out) {
    const dwarf_spec* specs = &s->specs[a->first_spec];
    for (u32 i = 0; i < a->spec_count; ++i) {
        if (!read_value(r, u, specs[i].form, specs[i].implicit, out)) {
            return false;
        }
        out->name = specs[i].name;
        if (name && specs[i].name == name) {
            return true;
        }
    }
    return name == 0;
}

// A DIE's own attribute (not through its origin).
bool reader_own_attribute(const dwarf_reader* s, u32 index, u64 name, dwarf_attribute* out) {
    const dwarf_die* d = &s->dies[index];
    const dwarf_unit* u = &s->units[d->unit];
    span_reader r = {d->values, s->sections->info + u->end, true};
    if (!read_attributes(s, &s->abbrevs[d->abbrev], u, &r, name, out)) {
        return false;
    }
    out->unit = d->unit;
    return true;
}

#define BUCKET_BYTES 32

static u32 die_at_offset(const dwarf_reader* s, u64 offset) {
    if (offset >= s->sections->info_size) {
        return DWARF_NONE;
    }
    // A DIE takes a byte at least: a bucket holds 32 of them at most.
    u32 index = s->buckets[offset / BUCKET_BYTES];
    while (index < s->die_count && s->dies[index].offset < offset) {
        ++index;
    }
    return index < s->die_count && s->dies[index].offset == offset ? index : DWARF_NONE;
}

// The DIEs lie in the order of their offsets, units in theirs.
static bool index_dies(dwarf_reader* s) {
    u64 count = s->sections->info_size / BUCKET_BYTES + 1;
    s->buckets = (u32*)malloc(count * sizeof(u32));
    if (!s->buckets) {
        return false;
    }
    u32 index = 0;
    for (u64 bucket = 0; bucket < count; ++bucket) {
        while (index < s->die_count && s->dies[index].offset < bucket * BUCKET_BYTES) {
            ++index;
        }
        s->buckets[bucket] = index;
    }
    return true;
}

// The DIE a reference names, or DWARF_NONE.
u32 reader_reference(const dwarf_reader* s, const dwarf_attribute* a) {
    const dwarf_unit* u = &s->units[a->unit];
    switch (a->form) {
    case FORM_ref1: case FORM_ref2: case FORM_ref4: case FORM_ref8: case FORM_ref_udata:
        return a->number < u->end - u->offset ? die_at_offset(s, u->offset + a->number)
                                              : DWARF_NONE;
    case FORM_ref_addr:
        return die_at_offset(s, a->number);
    case FORM_ref_sig8: {
        u32 low = (u32)reader_first_not_below(s->type_units, s->type_unit_count,
                                              sizeof(dwarf_type_unit),
                                              offsetof(dwarf_type_unit, signature), a->number);
        const dwarf_unit* t = low < s->type_unit_count ? &s->units[s->type_units[low].unit] : NULL;
        return t && t->signature == a->number && t->type_offset < t->end - t->offset
                   ? die_at_offset(s, t->offset + t->type_offset)
                   : DWARF_NONE;
    }
    default:
        return DWARF_NONE;
    }
}

// An attribute of the DIE or, failing that, of the DIEs it completes or
// was made from (DW_AT_abstract_origin, DW_AT_specification).
bool reader_attribute(const dwarf_reader* s, u32 index, u64 name, dwarf_attribute* out) {
    for (u32 hops = 0; hops <= ORIGIN_CHAIN && index != DWARF_NONE; ++hops) {
        if (reader_own_attribute(s, index, name, out)) {
            return true;
        }
        dwarf_attribute origin;
        if (!reader_own_attribute(s, index, AT_abstract_origin, &origin) &&
            !reader_own_attribute(s, index, AT_specification, &origin)) {
            return false;
        }
        index = reader_reference(s, &origin);
    }
    return false;
}

// A constant's value; false for any other form.
bool reader_constant(const dwarf_attribute* a, u64* value) {
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
u64 reader_number(const dwarf_reader* s, u32 index, u64 name) {
    dwarf_attribute a;
    u64 value = 0;
    if (reader_attribute(s, index, name, &a)) {
        reader_constant(&a, &value);
    }
    return value;
}

const char* reader_string(const dwarf_reader* s, const dwarf_attribute* a) {
    const dwarf_sections* sections = s->sections;
    const dwarf_unit* u = &s->units[a->unit];
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

const char* reader_text(const dwarf_reader* s, u32 index, u64 name) {
    dwarf_attribute a;
    return reader_attribute(s, index, name, &a) ? reader_string(s, &a) : NULL;
}

const char* reader_name(const dwarf_reader* s, u32 index) {
    return reader_text(s, index, AT_name);
}

u32 reader_type_of(const dwarf_reader* s, u32 index) {
    dwarf_attribute a;
    return reader_attribute(s, index, AT_type, &a) ? reader_reference(s, &a) : DWARF_NONE;
}

// ---------------------------------------------------------------------------
// Pass one: the units' headers.

static bool read_unit_header(const dwarf_sections* sections, u64 offset, dwarf_unit* u) {
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
    u->first_die = DWARF_NONE;
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

static bool read_units(dwarf_reader* s) {
    u64 capacity = 0;
    for (u64 offset = 0; offset < s->sections->info_size;) {
        dwarf_unit u;
        if (!read_unit_header(s->sections, offset, &u)) {
            break;  // nothing after it can be found
        }
        if (s->unit_count == DWARF_NONE - 1 ||
            !grow_table((void**)&s->units, &capacity, s->unit_count + 1, sizeof(dwarf_unit))) {
            return false;
        }
        s->units[s->unit_count++] = u;
        offset = u.end;
    }
    return s->unit_count > 0;
}

static int by_signature(const void* a, const void* b) {
    return compare_pairs(((const dwarf_type_unit*)a)->signature, 0,
                         ((const dwarf_type_unit*)b)->signature, 0);
}

// The type units, for DW_FORM_ref_sig8.
static bool index_type_units(dwarf_reader* s) {
    s->type_units = (dwarf_type_unit*)malloc(s->unit_count * sizeof(dwarf_type_unit));
    if (!s->type_units) {
        return false;
    }
    for (u32 i = 0; i < s->unit_count; ++i) {
        if (s->units[i].type == UT_type || s->units[i].type == UT_split_type) {
            s->type_units[s->type_unit_count++] = {s->units[i].signature, i};
        }
    }
    qsort(s->type_units, s->type_unit_count, sizeof(dwarf_type_unit), by_signature);
    return true;
}

// ---------------------------------------------------------------------------
// Pass two: the abbreviation tables, each read once.

static int by_table_then_code(const void* a, const void* b) {
    const dwarf_abbrev* x = (const dwarf_abbrev*)a;
    const dwarf_abbrev* y = (const dwarf_abbrev*)b;
    return compare_pairs(x->table, x->code, y->table, y->code);
}

static int by_value(const void* a, const void* b) {
    return compare_pairs(*(const u64*)a, 0, *(const u64*)b, 0);
}

// One table's abbreviations, appended; a damaged one keeps those before it.
// Names and forms past 32 bits are no DWARF's: such a form is unknown.
static u32 clamp(u64 value) { return value > DWARF_NONE ? DWARF_NONE : (u32)value; }

static bool add_spec(dwarf_reader* s, u64* capacity, u64 name, u64 form, u64 implicit) {
    if (s->spec_count == DWARF_NONE - 1 ||
        !grow_table((void**)&s->specs, capacity, (u64)s->spec_count + 1, sizeof(dwarf_spec))) {
        return false;
    }
    s->specs[s->spec_count++] = {clamp(name), clamp(form), implicit};
    return true;
}

static bool read_abbrev_table(dwarf_reader* s, u64 table, u64* capacity, u64* budget,
                              u64* spec_capacity, u64* spec_budget) {
    span_reader r = reader_at(s->sections->abbrev, s->sections->abbrev_size, table);
    for (;;) {
        dwarf_abbrev a;
        memset(&a, 0, sizeof(a));
        a.table = table;
        a.code = read_uleb(&r);
        if (!r.ok || a.code == 0) {
            return true;
        }
        a.tag = clamp(read_uleb(&r));
        a.children = read_fixed(&r, 1) != 0;
        a.first_spec = s->spec_count;
        for (;;) {
            u64 name = read_uleb(&r);
            u64 form = read_uleb(&r);
            u64 implicit = form == FORM_implicit_const ? read_leb(&r, true) : 0;
            if (!r.ok || (name == 0 && form == 0) || ++a.spec_count > ABBREV_ATTRIBUTES ||
                *spec_budget == 0) {
                break;
            }
            --*spec_budget;
            if (!add_spec(s, spec_capacity, name, form, implicit)) {
                return false;
            }
        }
        if (!r.ok || a.spec_count > ABBREV_ATTRIBUTES || *budget == 0 || *spec_budget == 0) {
            return true;
        }
        --*budget;
        if (!grow_table((void**)&s->abbrevs, capacity, s->abbrev_count + 1, sizeof(dwarf_abbrev))) {
            return false;
        }
        s->abbrevs[s->abbrev_count++] = a;
    }
}

static bool read_abbrevs(dwarf_reader* s) {
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
    // Likewise an attribute takes two bytes at least.
    u64 capacity = 0, budget = s->sections->abbrev_size / 4 + 16;
    u64 spec_capacity = 0, spec_budget = s->sections->abbrev_size / 2 + 16;
    bool read = true;
    for (u32 i = 0; read && i < s->unit_count; ++i) {
        if (i == 0 || tables[i] != tables[i - 1]) {
            read = read_abbrev_table(s, tables[i], &capacity, &budget, &spec_capacity,
                                     &spec_budget);
        }
    }
    free(tables);
    if (!read || s->abbrev_count >= DWARF_NONE) {
        return false;
    }
    if (s->abbrev_count) {  // none at all: abbrevs is null
        qsort(s->abbrevs, s->abbrev_count, sizeof(dwarf_abbrev), by_table_then_code);
    }
    for (u32 i = 0; i < s->unit_count; ++i) {
        dwarf_unit* u = &s->units[i];
        u32 low = (u32)reader_first_not_below(s->abbrevs, s->abbrev_count, sizeof(dwarf_abbrev),
                                              offsetof(dwarf_abbrev, table), u->abbrev_offset);
        u32 high = low;
        u->abbrev_first = low;
        while (high < s->abbrev_count && s->abbrevs[high].table == u->abbrev_offset) {
            ++high;
        }
        u->abbrev_count = high - low;
    }
    return true;
}

static u32 find_abbrev(const dwarf_reader* s, const dwarf_unit* u, u64 code) {
    const dwarf_abbrev* table = &s->abbrevs[u->abbrev_first];
    if (code - 1 < u->abbrev_count && table[code - 1].code == code) {
        return u->abbrev_first + (u32)(code - 1);  // codes numbered from 1, as compilers do
    }
    u32 low = (u32)reader_first_not_below(table, u->abbrev_count, sizeof(dwarf_abbrev),
                                   offsetof(dwarf_abbrev, code), code);
    return low < u->abbrev_count && table[low].code == code ? u->abbrev_first + low : DWARF_NONE;
}

// ---------------------------------------------------------------------------
// Pass three: every unit's DIEs, linked into their tree.

static bool add_die(dwarf_reader* s, u64 offset, const u8* values, u32 abbrev_index,
                    u32 unit_index, u32 parent) {
    if (s->die_count >= DWARF_NONE - 1 ||
        !grow_table((void**)&s->dies, &s->die_capacity, (u64)s->die_count + 1, sizeof(dwarf_die))) {
        return false;
    }
    s->dies[s->die_count++] = {offset,     values,     abbrev_index, unit_index,
                               DWARF_NONE, DWARF_NONE, parent,       0};
    return true;
}

// The unit's bases for DW_FORM_strx and DW_OP_addrx, from its own DIE.
static void read_bases(dwarf_reader* s, dwarf_unit* u) {
    dwarf_attribute a;
    u64 value;
    if (reader_own_attribute(s, u->first_die, AT_str_offsets_base, &a)) {
        u->str_offsets_base = a.number;
    }
    if ((reader_own_attribute(s, u->first_die, AT_addr_base, &a) ||
         reader_own_attribute(s, u->first_die, AT_GNU_addr_base, &a)) &&
        (a.form == FORM_sec_offset || reader_constant(&a, &value))) {
        u->addr_base = a.number;
    }
}

// The bytes the values of each of the unit's abbreviations take, where
// all its forms are of one size in this unit, so that reading the DIEs
// passes over them at once.
static void note_skips(dwarf_reader* s, const dwarf_unit* u) {
    for (u32 i = u->abbrev_first; i < u->abbrev_first + u->abbrev_count; ++i) {
        dwarf_abbrev* a = &s->abbrevs[i];
        u64 bytes = 0;
        for (u32 k = 0; k < a->spec_count && bytes != DWARF_NONE; ++k) {
            u32 form = s->specs[a->first_spec + k].form;
            u32 size = fixed_size(form, u);
            bytes = size ? bytes + size
                    : form == FORM_flag_present || form == FORM_implicit_const ? bytes
                                                                               : DWARF_NONE;
        }
        a->skip = (u32)bytes;
    }
}

// False only when there is no memory; damage ends the unit where it starts.
static bool read_dies(dwarf_reader* s, u32 unit_index) {
    dwarf_unit* u = &s->units[unit_index];
    const u8* info = s->sections->info;
    span_reader r = {info + u->dies, info + u->end, u->abbrev_count > 0};
    u32 parents[TREE_DEPTH], previous[TREE_DEPTH];
    u32 depth = 0;
    previous[0] = DWARF_NONE;
    note_skips(s, u);
    while (r.ok && r.at < r.end) {
        u64 offset = (u64)(r.at - info);
        u64 code = read_uleb(&r);
        if (code == 0) {  // the end of a run of siblings
            depth -= depth > 0;
            continue;
        }
        u32 index = find_abbrev(s, u, code);
        dwarf_attribute skipped;
        const u8* values = r.at;
        if (index == DWARF_NONE) {
            break;
        }
        u32 skip = s->abbrevs[index].skip;
        if (skip != DWARF_NONE ? !reader_skip(&r, skip)
                               : !read_attributes(s, &s->abbrevs[index], u, &r, 0, &skipped)) {
            break;
        }
        if (!add_die(s, offset, values, index, unit_index,
                     depth > 0 ? parents[depth - 1] : DWARF_NONE)) {
            return false;
        }
        u32 added = s->die_count - 1;
        if (previous[depth] != DWARF_NONE) {
            s->dies[previous[depth]].sibling = added;
        } else if (depth > 0) {
            s->dies[parents[depth - 1]].child = added;
        }
        previous[depth] = added;
        if (u->first_die == DWARF_NONE) {
            u->first_die = added;
        }
        if (s->abbrevs[index].children) {
            if (depth + 1 == TREE_DEPTH) {
                break;
            }
            parents[depth++] = added;
            previous[depth] = DWARF_NONE;
        }
    }
    u->die_end = s->die_count;
    if (u->first_die != DWARF_NONE) {
        read_bases(s, u);
    }
    return true;
}


// ---------------------------------------------------------------------------
// What both readers ask of a DIE beyond single attributes.

u32 reader_own_attributes(const dwarf_reader* s, u32 index, dwarf_attribute* out,
                          u32 capacity) {
    const dwarf_die* d = &s->dies[index];
    const dwarf_unit* u = &s->units[d->unit];
    const dwarf_abbrev* a = &s->abbrevs[d->abbrev];
    const dwarf_spec* specs = &s->specs[a->first_spec];
    span_reader r = {d->values, s->sections->info + u->end, true};
    u32 count = 0;
    for (u32 i = 0; i < a->spec_count && count < capacity; ++i) {
        if (!read_value(&r, u, specs[i].form, specs[i].implicit, &out[count])) {
            break;
        }
        out[count].name = specs[i].name;
        out[count++].unit = d->unit;
    }
    return count;
}

bool reader_fixed_address(const dwarf_reader* s, u32 index, u64* address) {
    dwarf_attribute a;
    if (!reader_own_attribute(s, index, AT_location, &a) ||
        (a.form != FORM_exprloc && a.form != FORM_block && a.form != FORM_block1 &&
         a.form != FORM_block2 && a.form != FORM_block4)) {
        return false;
    }
    const dwarf_unit* u = &s->units[a.unit];
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

bool reader_open(dwarf_reader* s, const dwarf_sections* sections) {
    memset(s, 0, sizeof(*s));
    s->sections = sections;
    if (!sections->info || !sections->abbrev || !read_units(s) || !index_type_units(s) ||
        !read_abbrevs(s)) {
        return false;
    }
    for (u32 i = 0; i < s->unit_count; ++i) {
        if (!read_dies(s, i)) {
            return false;
        }
    }
    return index_dies(s);
}

void reader_close(dwarf_reader* s) {
    free(s->units);
    free(s->type_units);
    free(s->abbrevs);
    free(s->specs);
    free(s->dies);
    free(s->buckets);
    memset(s, 0, sizeof(*s));
}
