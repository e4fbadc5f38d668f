// The variables and their types are looked up in the shared reader's DIE
// table (dwarf_reader.h), following image_linux.cpp's walk step by step:
// its type-hash cache makes a hash depend on the order types are met.
#include "carry/dwarf.h"
#include "carry/grow.h"

#include "carry/dwarf_reader.h"
#include "carry/image.h"

#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define NONE DWARF_NONE
#define TYPE_DEPTH 12        // as image_linux.cpp's type_hash
#define SCOPE_DEPTH 32       // as image_linux.cpp's walk_scope
#define TYPE_CACHE (1u << 14)  // types whose hash is remembered, as image_linux.cpp's
#define KEY_CAPACITY 512

typedef struct reader_state {
    dwarf_reader reader;
    u64* type_hashes;  // by DIE; 0: not worked out
    u8* type_cached;   // by DIE: has a place in the cache
    u32 cached_count;
    u64 steps_left;  // for hashing types: past it the data counts as hostile
    bool failed;     // out of memory or steps
    dwarf_variables* out;
    u64 capacity;
    u64 names_capacity;
} reader_state;

// For qsort: (x1, x2) against (y1, y2), first values first.
static int compare_pairs(u64 x1, u64 x2, u64 y1, u64 y2) {
    if (x1 != y1) {
        return x1 < y1 ? -1 : 1;
    }
    return x2 < y2 ? -1 : x2 > y2 ? 1 : 0;
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
    u32 type = reader_type_of(&s->reader, index);
    return type == NONE ? 0 : type_hash(s, type, depth + 1);
}

static u64 members_hash(reader_state* s, u32 record, u64 hash, u32 depth) {
    const dwarf_die* dies = s->reader.dies;
    for (u32 member = dies[record].child; member != NONE; member = dies[member].sibling) {
        u32 tag = reader_tag(&s->reader, member);
        if (tag != TAG_member && tag != TAG_inheritance) {
            continue;
        }
        const char* name = reader_name(&s->reader, member);
        hash = image_hash_text(name ? name : "", hash);
        hash = mix(hash, reader_number(&s->reader, member, AT_data_member_location));
        hash = mix(hash, reader_number(&s->reader, member, AT_data_bit_offset));
        hash = mix(hash, reader_number(&s->reader, member, AT_bit_size));
        hash = mix(hash, referenced_type_hash(s, member, depth));
    }
    return hash;
}

static u64 array_hash(reader_state* s, u32 array, u64 hash, u32 depth) {
    const dwarf_die* dies = s->reader.dies;
    for (u32 bound = dies[array].child; bound != NONE; bound = dies[bound].sibling) {
        hash = mix(hash, reader_number(&s->reader, bound, AT_count));
        hash = mix(hash, reader_number(&s->reader, bound, AT_upper_bound));
    }
    return mix(hash, referenced_type_hash(s, array, depth));
}

// Step for step image_linux.cpp's type_hash.
static u64 type_hash(reader_state* s, u32 type, u32 depth) {
    u32 tag = reader_tag(&s->reader, type);
    const char* name = reader_name(&s->reader, type);
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
    hash = mix(hash, reader_number(&s->reader, type, AT_byte_size));
    switch (tag) {
    case TAG_base_type:
    case TAG_enumeration_type:
        hash = mix(hash, reader_number(&s->reader, type, AT_encoding));
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
    const dwarf_die* dies = s->reader.dies;
    for (u32 bound = dies[array].child; bound != NONE; bound = dies[bound].sibling) {
        if (reader_tag(&s->reader, bound) != TAG_subrange_type) {
            continue;
        }
        dwarf_attribute a;
        u64 elements, upper, lower = 0;
        if (reader_attribute(&s->reader, bound, AT_count, &a)) {
            if (!reader_constant(&a, &elements)) {
                return 0;
            }
        } else if (reader_attribute(&s->reader, bound, AT_upper_bound, &a) &&
                   reader_constant(&a, &upper)) {
            if (reader_attribute(&s->reader, bound, AT_lower_bound, &a) &&
                !reader_constant(&a, &lower)) {
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
    u32 element = reader_type_of(&s->reader, array);
    u64 size = element == NONE ? 0 : type_size(s, element, depth + 1);
    return multiply(&size, count) ? size : 0;
}

// The bytes an object of the type takes, through typedefs and qualifiers.
static u64 type_size(const reader_state* s, u32 type, u32 depth) {
    for (; type != NONE && depth <= TYPE_DEPTH; ++depth) {
        dwarf_attribute a;
        u64 size;
        if (reader_attribute(&s->reader, type, AT_byte_size, &a) && reader_constant(&a, &size)) {
            return size;
        }
        switch (reader_tag(&s->reader, type)) {
        case TAG_array_type:
            return array_size(s, type, depth);
        case TAG_pointer_type:
        case TAG_reference_type:
        case TAG_rvalue_reference_type:  // clang gives these no size
            return s->reader.units[s->reader.dies[type].unit].address_size;
        case TAG_typedef:
        case TAG_const_type:
        case TAG_volatile_type:
        case TAG_restrict_type:
        case TAG_atomic_type:
            type = reader_type_of(&s->reader, type);
            break;
        default:
            return 0;
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------
// The variables.

static bool add_name(reader_state* s, const char* text, u32* offset) {
    dwarf_variables* out = s->out;
    u64 length = strlen(text) + 1;
    if (out->names_size + length > NONE ||
        !grow_table((void**)&out->names, &s->names_capacity, out->names_size + length, 1)) {
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
    if (!grow_table((void**)&out->variables, &s->capacity, out->count + 1, sizeof(dwarf_variable)) ||
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
    const char* name = reader_name(&s->reader, index);
    if (!name || !reader_fixed_address(&s->reader, index, &address)) {
        return;
    }
    char key[KEY_CAPACITY];  // cut where image_linux.cpp cuts it
    snprintf(key, sizeof(key), function[0] ? "%s:%s:%s" : "%s:%s%s", image_file_name(file),
             function, name);
    u32 type = reader_type_of(&s->reader, index);
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
    for (u32 child = s->reader.dies[scope].child; child != NONE && !s->failed;
         child = s->reader.dies[child].sibling) {
        u32 tag = reader_tag(&s->reader, child);
        if (tag == TAG_variable) {
            note_variable(s, child, file, function);
        } else if (tag == TAG_subprogram || tag == TAG_lexical_block ||
                   tag == TAG_namespace || tag == TAG_inlined_subroutine) {
            const char* inside = function;
            if (tag == TAG_subprogram) {
                inside = reader_text(&s->reader, child, AT_linkage_name);
                inside = inside ? inside : reader_name(&s->reader, child);
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

static bool read_all(reader_state* s, const dwarf_sections* sections) {
    if (!reader_open(&s->reader, sections)) {
        return false;
    }
    u32 die_count = s->reader.die_count;
    s->type_hashes = (u64*)calloc(die_count + 1, sizeof(u64));
    s->type_cached = (u8*)calloc(die_count + 1, 1);
    if (!s->type_hashes || !s->type_cached) {
        return false;
    }
    // A real module's types take a handful of steps per DIE.
    s->steps_left = 64 * (u64)die_count + 4096;
    for (u32 i = 0; i < s->reader.unit_count && !s->failed; ++i) {
        u32 first = s->reader.units[i].first_die;
        if (first != NONE) {
            const char* file = reader_name(&s->reader, first);
            walk_scope(s, first, file ? file : "", "", 0);
        }
    }
    return !s->failed && s->out->count > 0;
}

bool32 dwarf_read(const dwarf_sections* sections, dwarf_variables* out) {
    memset(out, 0, sizeof(*out));
    reader_state s;
    memset(&s, 0, sizeof(s));
    s.out = out;
    bool read = read_all(&s, sections);
    reader_close(&s.reader);
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
    u64 low = reader_first_not_below(variables->variables, variables->count, sizeof(dwarf_variable),
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
