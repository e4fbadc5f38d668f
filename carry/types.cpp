// Builds the type graph in four steps over the shared reader's DIE table
// (dwarf_reader.h):
// 1. every type DIE becomes a node (a multi-dimensional array one per
//    dimension); typedefs and qualifiers are looked through; names are
//    qualified by their scopes (C++) and anonymous records take the name of
//    the first typedef that names them;
// 2. nodes are merged into classes of equal types by partition refinement:
//    first by what a node says itself (kind, name, size, members' names and
//    places), then, round by round, by the classes of what it refers to,
//    until no class splits. Types that refer to each other (a list's node)
//    need no special case;
// 3. a declaration stands for the definition of its name when the classes
//    leave exactly one, and the refinement runs again with it;
// 4. one type per class, sorted by name, so that a name is found by
//    bisection.
#include "carry/types.h"
#include "carry/grow.h"

#include "carry/dwarf_reader.h"

#include <cxxabi.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#define NONE DWARF_NONE
#define FOLLOW (NONE - 1)     // node_of: a typedef, qualifier or declaration by signature
#define NO_TYPE (NONE - 2)    // node_of: looked through to nothing (void)
#define FOLLOW_HOPS 64        // typedefs and qualifiers on one type
#define NAME_DEPTH 64         // scopes around one name
#define ARRAY_DEPTH 64        // arrays of arrays
#define BASE_DEPTH 64         // bases of bases
#define MEMBER_ATTRIBUTES 48  // more on one DIE are not read
#define ROUNDS 128            // refinement rounds (real builds take 2 to 4): past them, not trusted
#define DECLARATION_ROUNDS 8  // refinements to settle which declarations resolve
#define EMPTY 0u              // the empty name's offset

enum {
    ATE_boolean = 0x02, ATE_float = 0x04, ATE_signed = 0x05, ATE_signed_char = 0x06,
    ATE_unsigned = 0x07, ATE_unsigned_char = 0x08, ATE_UTF = 0x10,
};

typedef struct node {
    u64 size;
    u64 count;
    u32 kind;
    u32 flags;
    u32 name;
    u32 shown;       // NONE: no typedef names it
    u32 raw_target;  // the DIE its DW_AT_type names, NONE when resolved or none
    u32 target;      // a node, NONE for none
    u32 first_member;  // members' types are DIEs until resolved, then nodes
    u32 member_count;
    u32 declared_kind;  // a declaration's kind (a declaration is TYPE_UNKNOWN); else NONE
} node;

typedef struct builder {
    dwarf_reader reader;
    u32* node_of;    // by DIE: its node, FOLLOW, NO_TYPE or NONE (not a type)
    u32* qualified;  // by DIE: its qualified name, NONE until worked out
    u8* plain_names; // by unit: C, whose scopes name nothing
    node* nodes;
    u32 node_count;
    u64 node_capacity;
    type_member* members;
    u32 member_count;
    u64 member_capacity;
    u32* typedefs;  // typedef DIEs in order
    u32 typedef_count;
    u64 typedef_capacity;
    type_global* variables;  // with a fixed address; type: the variable's DIE
    u32 variable_count;
    u64 variable_capacity;
    char* names;
    u64 names_size;
    u64 names_capacity;
    u64 names_limit;
    u32* interned;  // open addressing: name offsets, NONE for free
    u64 interned_mask;
    u64 interned_count;
    char* scratch;
    u64 scratch_capacity;
    u32* alias;     // by node: the node it stands for (itself, or a declaration's definition)
    u32* class_of;  // by node
    u32 class_count;
    bool failed;  // no memory, or data past trusting
} builder;

static u64 mix(u64 hash, u64 value) {
    hash = (hash ^ value) * 0x9E3779B97F4A7C15ull;
    return hash ^ (hash >> 29);
}

static u64 hash_text(const char* text, u64 length) {
    u64 hash = mix(0xCBF29CE484222325ull, length);
    u64 i = 0;
    for (; i + 8 <= length; i += 8) {
        u64 word;
        memcpy(&word, text + i, 8);
        hash = mix(hash, word);
    }
    u64 rest = 0;
    memcpy(&rest, text + i, length - i);
    return mix(hash, rest);
}

// ---------------------------------------------------------------------------
// Names: each text once in the graph's names, so that equal names have
// equal offsets.

static bool rehash_names(builder* b) {
    u64 capacity = b->interned_mask ? (b->interned_mask + 1) * 2 : 4096;
    u32* table = (u32*)malloc(capacity * sizeof(u32));
    if (!table) {
        return false;
    }
    memset(table, 0xFF, capacity * sizeof(u32));
    for (u64 i = 0; b->interned && i <= b->interned_mask; ++i) {
        u32 offset = b->interned[i];
        if (offset != NONE) {
            const char* text = b->names + offset;
            u64 slot = hash_text(text, strlen(text)) & (capacity - 1);
            while (table[slot] != NONE) {
                slot = (slot + 1) & (capacity - 1);
            }
            table[slot] = offset;
        }
    }
    free(b->interned);
    b->interned = table;
    b->interned_mask = capacity - 1;
    return true;
}

// The offset of text (length bytes, no NUL among them) in the names.
static u32 intern(builder* b, const char* text, u64 length) {
    if (b->failed || ((b->interned_count + 1) * 2 > b->interned_mask && !rehash_names(b))) {
        b->failed = true;
        return EMPTY;
    }
    u64 slot = hash_text(text, length) & b->interned_mask;
    for (; b->interned[slot] != NONE; slot = (slot + 1) & b->interned_mask) {
        const char* known = b->names + b->interned[slot];
        if (strncmp(known, text, length) == 0 && known[length] == '\0') {
            return b->interned[slot];
        }
    }
    u64 end = b->names_size + length + 1;
    if (end > b->names_limit ||
        !grow_table((void**)&b->names, &b->names_capacity, end, 1)) {
        b->failed = true;  // more names than the sections could hold
        return EMPTY;
    }
    u32 offset = (u32)b->names_size;
    memcpy(b->names + offset, text, length);
    b->names[offset + length] = '\0';
    b->names_size = end;
    b->interned[slot] = offset;
    ++b->interned_count;
    return offset;
}

static u32 intern_text(builder* b, const char* text) {
    return text ? intern(b, text, strlen(text)) : EMPTY;
}

// prefix::name, both offsets in the names.
static u32 join(builder* b, u32 prefix, const char* name) {
    if (prefix == EMPTY) {
        return intern_text(b, name);
    }
    u64 prefix_length = strlen(b->names + prefix), name_length = strlen(name);
    u64 length = prefix_length + 2 + name_length;
    if (!grow_table((void**)&b->scratch, &b->scratch_capacity, length + 1, 1)) {
        b->failed = true;
        return EMPTY;
    }
    memcpy(b->scratch, b->names + prefix, prefix_length);
    memcpy(b->scratch + prefix_length, "::", 2);
    memcpy(b->scratch + prefix_length + 2, name, name_length);
    return intern(b, b->scratch, length);
}

static u32 qualified_name(builder* b, u32 die, u32 depth);

static bool is_record_tag(u32 tag) {
    return tag == TAG_structure_type || tag == TAG_class_type || tag == TAG_union_type ||
           tag == TAG_enumeration_type;
}

// What names in scope add in front of theirs ("" for a unit's top).
static u32 scope_prefix(builder* b, u32 scope, u32 depth) {
    const dwarf_reader* r = &b->reader;
    for (; scope != NONE && depth < NAME_DEPTH; scope = r->dies[scope].parent, ++depth) {
        u32 tag = reader_tag(r, scope);
        if (tag == TAG_namespace || (is_record_tag(tag) && reader_name(r, scope))) {
            return qualified_name(b, scope, depth + 1);
        }
        dwarf_attribute a;
        u32 described = NONE;
        if (is_record_tag(tag) && reader_own_attribute(r, scope, AT_signature, &a) &&
            (described = reader_reference(r, &a)) != NONE) {
            return qualified_name(b, described, depth + 1);  // a type unit's class
        }
        if (tag == TAG_subprogram) {
            // A function's own types, as the C++ ABI's names show them: "f(int)::Local".
            const char* linkage = reader_text(r, scope, AT_linkage_name);
            linkage = linkage ? linkage : reader_text(r, scope, AT_MIPS_linkage_name);
            int status = -1;
            char* demangled = linkage ? abi::__cxa_demangle(linkage, NULL, NULL, &status) : NULL;
            u32 prefix = demangled && status == 0 ? intern_text(b, demangled)
                                                  : qualified_name(b, scope, depth + 1);
            free(demangled);
            return prefix;
        }
        if (tag == TAG_compile_unit || tag == TAG_partial_unit || tag == TAG_type_unit) {
            return EMPTY;
        }
    }
    return EMPTY;
}

// A named DIE's name with its scopes' ("game::Agent"); its own in C.
static u32 qualified_name(builder* b, u32 die, u32 depth) {
    const dwarf_reader* r = &b->reader;
    if (b->qualified[die] != NONE) {
        return b->qualified[die];
    }
    const char* name = reader_name(r, die);
    if (!name) {
        name = reader_tag(r, die) == TAG_namespace ? "(anonymous namespace)" : "";
    }
    if (b->plain_names[r->dies[die].unit] || depth >= NAME_DEPTH) {
        return b->qualified[die] = intern_text(b, name);
    }
    b->qualified[die] = intern_text(b, name);  // while its scopes are worked out
    // A definition that completes a declaration is in the declaration's scope.
    dwarf_attribute a;
    u32 scope = r->dies[die].parent;
    if (reader_own_attribute(r, die, AT_specification, &a)) {
        u32 declared = reader_reference(r, &a);
        scope = declared != NONE ? r->dies[declared].parent : scope;
    }
    return b->qualified[die] = join(b, scope_prefix(b, scope, depth), name);
}

// ---------------------------------------------------------------------------
// Step 1: nodes.

static u32 add_node(builder* b, u32 kind) {
    if (b->node_count >= NO_TYPE - 1 ||
        !grow_table((void**)&b->nodes, &b->node_capacity, (u64)b->node_count + 1, sizeof(node))) {
        b->failed = true;
        return NONE;
    }
    node* n = &b->nodes[b->node_count];
    memset(n, 0, sizeof(*n));
    n->kind = kind;
    n->shown = n->raw_target = n->target = n->declared_kind = NONE;
    return b->node_count++;
}

// The attributes types need, read in one pass over the DIE.
typedef struct die_values {
    const char* name;
    u32 type;       // DIE, NONE
    u32 signature;  // DIE, NONE
    bool has_size, declaration, external, has_location, has_bit_offset, has_data_bit_offset,
        has_bit_size, virtual_base, has_count, has_upper, has_encoding;
    u64 size, encoding, location, bit_offset, data_bit_offset, bit_size, count, upper, lower;
    bool location_constant;
} die_values;

// A member's offset: a constant, or DWARF 2's DW_OP_plus_uconst expression.
static bool member_location(const dwarf_attribute* a, u64* value) {
    if (reader_constant(a, value)) {
        return true;
    }
    if ((a->form == FORM_exprloc || a->form == FORM_block1 || a->form == FORM_block) &&
        a->size >= 2 && a->data[0] == OP_plus_uconst) {
        u64 result = 0;
        u32 shift = 0;
        for (u64 i = 1; i < a->size && shift < 64; ++i, shift += 7) {
            result |= (u64)(a->data[i] & 0x7F) << shift;
            if (!(a->data[i] & 0x80)) {
                *value = result;
                return i + 1 == a->size;
            }
        }
    }
    return false;
}

static void read_values(builder* b, u32 die, die_values* v) {
    const dwarf_reader* r = &b->reader;
    dwarf_attribute attributes[MEMBER_ATTRIBUTES];
    u32 count = reader_own_attributes(r, die, attributes, MEMBER_ATTRIBUTES);
    memset(v, 0, sizeof(*v));
    v->type = v->signature = NONE;
    for (u32 i = 0; i < count; ++i) {
        const dwarf_attribute* a = &attributes[i];
        u64 number = 0;
        bool constant = reader_constant(a, &number);
        switch (a->name) {
        case AT_name: v->name = reader_string(r, a); break;
        case AT_type: v->type = reader_reference(r, a); break;
        case AT_signature: v->signature = reader_reference(r, a); break;
        case AT_byte_size: v->has_size = constant; v->size = number; break;
        case AT_encoding: v->has_encoding = constant; v->encoding = number; break;
        case AT_declaration: v->declaration = a->number != 0; break;
        case AT_external: v->external = a->number != 0; break;
        case AT_virtuality: v->virtual_base = a->number != 0; break;
        case AT_bit_offset: v->has_bit_offset = constant; v->bit_offset = number; break;
        case AT_data_bit_offset:
            v->has_data_bit_offset = constant;
            v->data_bit_offset = number;
            break;
        case AT_bit_size: v->has_bit_size = constant; v->bit_size = number; break;
        case AT_count: v->has_count = constant; v->count = number; break;
        case AT_upper_bound: v->has_upper = constant; v->upper = number; break;
        case AT_lower_bound: v->lower = constant ? number : 0; break;
        case AT_data_member_location:
            v->has_location = true;
            v->location_constant = member_location(a, &v->location);
            break;
        default: break;
        }
    }
}

// The byte size of a type DIE through typedefs and qualifiers, for DWARF
// 2-4 bit-fields that leave out their storage unit's.
static u64 die_size(const dwarf_reader* r, u32 die) {
    for (u32 hops = 0; die != NONE && hops < FOLLOW_HOPS; ++hops) {
        u64 size = reader_number(r, die, AT_byte_size);
        if (size) {
            return size;
        }
        die = reader_type_of(r, die);
    }
    return 0;
}

static bool add_member(builder* b, const type_member* member) {
    if (b->member_count >= NONE - 1 ||
        !grow_table((void**)&b->members, &b->member_capacity, (u64)b->member_count + 1,
              sizeof(type_member))) {
        b->failed = true;
        return false;
    }
    b->members[b->member_count++] = *member;
    return true;
}

static bool is_virtual_pointer(const char* name) {
    return strncmp(name, "_vptr.", 6) == 0 || strncmp(name, "_vptr$", 6) == 0;
}

// A record's data members and bases, their types still DIEs.
static void read_members(builder* b, u32 record) {
    const dwarf_reader* r = &b->reader;
    for (u32 child = r->dies[record].child; child != NONE && !b->failed;
         child = r->dies[child].sibling) {
        u32 tag = reader_tag(r, child);
        if (tag != TAG_member && tag != TAG_inheritance) {
            continue;
        }
        die_values v;
        read_values(b, child, &v);
        if (v.declaration || v.external) {
            continue;  // a static member: a variable of its own
        }
        type_member m;
        memset(&m, 0, sizeof(m));
        m.type = v.type;
        m.offset = v.location_constant ? v.location : 0;
        if (tag == TAG_inheritance) {
            m.flags = MEMBER_BASE;
            if (v.virtual_base || (v.has_location && !v.location_constant)) {
                m.flags |= MEMBER_VIRTUAL_BASE;
                m.offset = 0;
            }
        } else {
            m.name = intern_text(b, v.name);
            if (v.name && is_virtual_pointer(v.name)) {
                m.flags = MEMBER_VIRTUAL_POINTER;
            }
        }
        if (v.has_bit_size && tag == TAG_member) {
            m.flags |= MEMBER_BITS;
            m.bit_size = v.bit_size > NONE ? NONE : (u32)v.bit_size;
            if (v.has_data_bit_offset) {
                m.bit_offset = v.data_bit_offset;
            } else if (v.has_bit_offset) {
                // DWARF 2-4 count from the storage unit's most significant
                // bit; on a little-endian machine its lowest bit comes first.
                u64 unit = v.has_size ? v.size : die_size(r, v.type);
                u64 from_end = v.bit_offset + v.bit_size;
                m.bit_offset = m.offset * 8 + (unit * 8 >= from_end ? unit * 8 - from_end : 0);
            } else {
                m.bit_offset = m.offset * 8;
            }
            m.offset = m.bit_offset / 8;
        }
        add_member(b, &m);
    }
}

static u32 base_type(const die_values* v, u32* flags) {
    *flags = 0;
    switch (v->encoding) {
    case ATE_signed:
        *flags = TYPE_SIGNED;
        return TYPE_INTEGER;
    case ATE_signed_char:
        *flags = TYPE_SIGNED | (v->size == 1 ? TYPE_CHAR : 0);
        return TYPE_INTEGER;
    case ATE_unsigned:
        return TYPE_INTEGER;
    case ATE_unsigned_char:
    case ATE_UTF:
        *flags = v->size == 1 ? TYPE_CHAR : 0;
        return TYPE_INTEGER;
    case ATE_boolean:
        *flags = TYPE_BOOL;
        return TYPE_INTEGER;
    case ATE_float:
        return TYPE_FLOAT;
    default:
        return TYPE_UNKNOWN;
    }
}

// Whether an enumeration's values include a negative one.
static bool has_negative_value(const dwarf_reader* r, u32 enumeration) {
    for (u32 child = r->dies[enumeration].child; child != NONE; child = r->dies[child].sibling) {
        dwarf_attribute a;
        if (reader_tag(r, child) == TAG_enumerator &&
            reader_own_attribute(r, child, AT_const_value, &a) && a.form == FORM_sdata &&
            (i64)a.number < 0) {
            return true;
        }
    }
    return false;
}

// An array's dimensions, outermost first, each a node of its own.
static void read_array(builder* b, u32 die, const die_values* v) {
    const dwarf_reader* r = &b->reader;
    u32 outer = NONE, previous = NONE;
    u32 child = r->dies[die].child;
    do {
        while (child != NONE && reader_tag(r, child) != TAG_subrange_type) {
            child = r->dies[child].sibling;
        }
        u32 index = add_node(b, TYPE_ARRAY);
        if (index == NONE) {
            return;
        }
        if (child != NONE) {
            die_values bound;
            read_values(b, child, &bound);
            b->nodes[index].count = bound.has_count ? bound.count
                                    : bound.has_upper ? bound.upper - bound.lower + 1
                                                      : 0;  // -1 as [0]'s upper bound wraps to 0
            child = r->dies[child].sibling;
        }
        if (previous == NONE) {
            outer = index;
            b->nodes[index].size = v->has_size ? v->size : 0;
        } else {
            b->nodes[previous].target = index;
        }
        previous = index;
        while (child != NONE && reader_tag(r, child) != TAG_subrange_type) {
            child = r->dies[child].sibling;
        }
    } while (child != NONE);
    b->nodes[previous].raw_target = v->type;
    b->node_of[die] = outer;
}

// The node of a type DIE, or FOLLOW for those looked through.
static void read_type(builder* b, u32 die, u32 tag) {
    const dwarf_reader* r = &b->reader;
    die_values v;
    read_values(b, die, &v);
    u32 kind = TYPE_UNKNOWN, flags = 0;
    switch (tag) {
    case TAG_base_type:
        kind = base_type(&v, &flags);
        break;
    case TAG_structure_type:
    case TAG_class_type:
        kind = TYPE_RECORD;
        break;
    case TAG_union_type:
        kind = TYPE_UNION;
        break;
    case TAG_enumeration_type:
        kind = TYPE_INTEGER;
        flags = TYPE_ENUM;
        if (v.has_encoding) {
            flags |= v.encoding == ATE_signed || v.encoding == ATE_signed_char ? TYPE_SIGNED : 0;
        } else if (v.type == NONE && has_negative_value(r, die)) {
            flags |= TYPE_SIGNED;
        }
        break;
    case TAG_pointer_type:
    case TAG_reference_type:
    case TAG_rvalue_reference_type:
        kind = TYPE_POINTER;
        break;
    case TAG_subroutine_type:
        kind = TYPE_FUNCTION;
        break;
    case TAG_array_type:
        read_array(b, die, &v);
        return;
    default:  // pointers to members, unspecified types
        break;
    }
    if (is_record_tag(tag) && v.declaration && v.signature != NONE) {
        b->node_of[die] = FOLLOW;  // a type unit holds it
        return;
    }
    u32 index = add_node(b, kind);
    if (index == NONE) {
        return;
    }
    b->node_of[die] = index;
    node* n = &b->nodes[index];
    n->flags = flags;
    n->size = v.has_size ? v.size : 0;
    n->raw_target = v.type;
    if (kind == TYPE_POINTER && !v.has_size) {
        n->size = r->units[r->dies[die].unit].address_size;
    }
    if (kind != TYPE_POINTER && kind != TYPE_ARRAY && !(flags & TYPE_ENUM)) {
        n->raw_target = NONE;  // a function's result, a member pointer's class
    }
    u32 address_size = r->units[r->dies[die].unit].address_size;
    if (tag == TAG_ptr_to_member_type && !v.has_size) {
        // A member function's: its address and the adjustment of this.
        bool function = v.type != NONE && reader_tag(r, v.type) == TAG_subroutine_type;
        n->size = function ? 2 * address_size : address_size;
    }
    if (tag == TAG_unspecified_type && !v.has_size && v.name &&
        strcmp(v.name, "decltype(nullptr)") == 0) {
        n->size = address_size;
    }
    if (v.name) {
        n->name = tag == TAG_base_type ? intern_text(b, v.name) : qualified_name(b, die, 0);
    }
    if (is_record_tag(tag) && v.declaration) {
        n->declared_kind = kind;
        n->kind = TYPE_UNKNOWN;
        n->flags = 0;
        n->size = 0;
    } else if (kind == TYPE_RECORD || kind == TYPE_UNION) {
        n->first_member = b->member_count;
        read_members(b, die);
        n->member_count = b->member_count - n->first_member;
    }
}

static bool is_looked_through(u32 tag) {
    return tag == TAG_typedef || tag == TAG_const_type || tag == TAG_volatile_type ||
           tag == TAG_restrict_type || tag == TAG_atomic_type;
}

static bool is_type_tag(u32 tag) {
    switch (tag) {
    case TAG_base_type: case TAG_structure_type: case TAG_class_type: case TAG_union_type:
    case TAG_enumeration_type: case TAG_pointer_type: case TAG_reference_type:
    case TAG_rvalue_reference_type: case TAG_ptr_to_member_type: case TAG_array_type:
    case TAG_subroutine_type: case TAG_unspecified_type:
        return true;
    default:
        return false;
    }
}

static void note_variable(builder* b, u32 die) {
    u64 address;
    if (!reader_fixed_address(&b->reader, die, &address)) {
        return;
    }
    if (b->variable_count >= NONE - 1 ||
        !grow_table((void**)&b->variables, &b->variable_capacity, (u64)b->variable_count + 1,
              sizeof(type_global))) {
        b->failed = true;
        return;
    }
    b->variables[b->variable_count++] = {address, die, 0};
}

static void read_nodes(builder* b) {
    const dwarf_reader* r = &b->reader;
    for (u32 die = 0; die < r->die_count && !b->failed; ++die) {
        u32 tag = reader_tag(r, die);
        if (is_type_tag(tag)) {
            read_type(b, die, tag);
        } else if (tag == TAG_variable) {
            note_variable(b, die);
        } else if (is_looked_through(tag)) {
            b->node_of[die] = FOLLOW;
            if (tag == TAG_typedef &&
                (b->typedef_count >= NONE - 1 ||
                 !grow_table((void**)&b->typedefs, &b->typedef_capacity, (u64)b->typedef_count + 1,
                       sizeof(u32)))) {
                b->failed = true;
            } else if (tag == TAG_typedef) {
                b->typedefs[b->typedef_count++] = die;
            }
        }
    }
}

// An anonymous record takes the name of the first typedef that names it;
// a named one keeps its name and shows the first typedef beside it.
static void name_by_typedefs(builder* b) {
    const dwarf_reader* r = &b->reader;
    for (u32 i = 0; i < b->typedef_count && !b->failed; ++i) {
        u32 die = b->typedefs[i];
        u32 target = reader_type_of(r, die);
        u32 index = target == NONE ? NONE : b->node_of[target];
        if (index >= FOLLOW || !reader_name(r, die)) {
            continue;
        }
        node* n = &b->nodes[index];
        bool nameable = n->kind == TYPE_RECORD || n->kind == TYPE_UNION ||
                        (n->flags & TYPE_ENUM) || n->declared_kind != NONE;
        if (!nameable || n->shown != NONE) {
            continue;
        }
        if (n->name == EMPTY) {
            n->name = n->shown = qualified_name(b, die, 0);
        } else if (r->dies[die].parent == r->dies[target].parent) {
            // `typedef struct mobj_s {...} mobj_t;`, not a class's member
            // typedef (value_type) or a function's.
            n->shown = qualified_name(b, die, 0);
        }
    }
}

// The node a type DIE stands for through typedefs and qualifiers: NONE
// for none (void, or a reference to no type).
static u32 resolve(builder* b, u32 die) {
    const dwarf_reader* r = &b->reader;
    u32 at = die;
    u32 found = NONE;
    for (u32 hops = 0; hops < FOLLOW_HOPS; ++hops) {
        if (at == NONE) {
            break;
        }
        u32 value = b->node_of[at];
        if (value == FOLLOW) {
            dwarf_attribute a;
            bool signature = is_record_tag(reader_tag(r, at)) &&
                             reader_own_attribute(r, at, AT_signature, &a);
            at = signature ? reader_reference(r, &a) : reader_type_of(r, at);
            continue;
        }
        found = value == NO_TYPE ? NONE : value;
        break;
    }
    if (die != NONE && b->node_of[die] == FOLLOW) {
        b->node_of[die] = found == NONE ? NO_TYPE : found;
    }
    return found;
}

// Members' and targets' DIEs become nodes; what depends on them follows.
static void resolve_nodes(builder* b) {
    for (u32 i = 0; i < b->member_count; ++i) {
        b->members[i].type = resolve(b, b->members[i].type);
    }
    for (u32 i = 0; i < b->node_count; ++i) {
        node* n = &b->nodes[i];
        if (n->raw_target == NONE) {
            continue;
        }
        u32 target = resolve(b, n->raw_target);
        n->raw_target = NONE;
        if (n->kind == TYPE_POINTER || n->kind == TYPE_ARRAY) {
            n->target = target;
        } else if ((n->flags & TYPE_ENUM) && target != NONE) {
            n->flags |= b->nodes[target].flags & TYPE_SIGNED;
        }
    }
}

// ---------------------------------------------------------------------------
// Step 2: classes of equal types.

static u32 successor_count(const builder* b, u32 index) {
    const node* n = &b->nodes[index];
    if (n->kind == TYPE_POINTER || n->kind == TYPE_ARRAY) {
        return 1;
    }
    return n->kind == TYPE_RECORD || n->kind == TYPE_UNION ? n->member_count : 0;
}

static u32 successor(const builder* b, u32 index, u32 i) {
    const node* n = &b->nodes[index];
    u32 target = n->kind == TYPE_POINTER || n->kind == TYPE_ARRAY
                     ? n->target
                     : b->members[n->first_member + i].type;
    return target == NONE ? NONE : b->alias[target];
}

static u64 local_hash(const builder* b, u32 index) {
    const node* n = &b->nodes[index];
    u64 hash = mix(mix(mix(n->kind, n->flags), n->name), n->declared_kind);
    hash = mix(mix(hash, n->kind == TYPE_ARRAY ? n->count : n->size), n->member_count);
    for (u32 i = 0; i < n->member_count; ++i) {
        const type_member* m = &b->members[n->first_member + i];
        hash = mix(mix(mix(hash, m->name), m->offset), m->flags);
        hash = mix(mix(hash, m->bit_size), m->bit_offset);
    }
    return hash;
}

static bool locally_equal(const builder* b, u32 x, u32 y) {
    const node* n = &b->nodes[x];
    const node* o = &b->nodes[y];
    if (n->kind != o->kind || n->flags != o->flags || n->name != o->name ||
        n->declared_kind != o->declared_kind || n->count != o->count ||
        (n->kind != TYPE_ARRAY && n->size != o->size) || n->member_count != o->member_count) {
        return false;
    }
    for (u32 i = 0; i < n->member_count; ++i) {
        const type_member* m = &b->members[n->first_member + i];
        const type_member* p = &b->members[o->first_member + i];
        if (m->name != p->name || m->offset != p->offset || m->flags != p->flags ||
            m->bit_size != p->bit_size || m->bit_offset != p->bit_offset) {
            return false;
        }
    }
    return true;
}

static u32 class_or_none(const builder* b, u32 index) {
    return index == NONE ? NONE : b->class_of[index];
}

static u64 round_hash(const builder* b, u32 index) {
    u64 hash = mix(0, b->class_of[index]);
    u32 count = successor_count(b, index);
    for (u32 i = 0; i < count; ++i) {
        hash = mix(hash, class_or_none(b, successor(b, index, i)));
    }
    return hash;
}

static bool round_equal(const builder* b, u32 x, u32 y) {
    if (b->class_of[x] != b->class_of[y]) {
        return false;
    }
    u32 count = successor_count(b, x);
    for (u32 i = 0; i < count; ++i) {
        if (class_or_none(b, successor(b, x, i)) != class_or_none(b, successor(b, y, i))) {
            return false;
        }
    }
    return true;
}

typedef struct class_table {
    u32* first;   // by slot: the first node of a class, NONE for free
    u64* hashes;  // by slot
    u64 mask;
} class_table;

// Gives each node (but those standing for another) a class into classes:
// equal ones by `equal` share one, numbered in the order first met.
static u32 classify(builder* b, class_table* table, u64 (*hash)(const builder*, u32),
                    bool (*equal)(const builder*, u32, u32), u32* classes) {
    memset(table->first, 0xFF, (table->mask + 1) * sizeof(u32));
    u32 count = 0;
    for (u32 i = 0; i < b->node_count; ++i) {
        if (b->alias[i] != i) {
            classes[i] = NONE;
            continue;
        }
        u64 h = hash(b, i);
        u64 slot = h & table->mask;
        for (; table->first[slot] != NONE; slot = (slot + 1) & table->mask) {
            if (table->hashes[slot] == h && equal(b, table->first[slot], i)) {
                break;
            }
        }
        if (table->first[slot] == NONE) {
            table->first[slot] = i;
            table->hashes[slot] = h;
            classes[i] = count++;
        } else {
            classes[i] = classes[table->first[slot]];
        }
    }
    return count;
}

// The coarsest classes in which equal types refer to equal types.
static bool refine(builder* b, class_table* table, u32* next) {
    b->class_count = classify(b, table, local_hash, locally_equal, b->class_of);
    for (u32 round = 0; round < ROUNDS; ++round) {
        u32 count = classify(b, table, round_hash, round_equal, next);
        memcpy(b->class_of, next, b->node_count * sizeof(u32));
        // Refinement only splits: as many classes as before, the same ones.
        if (count == b->class_count) {
            return true;
        }
        b->class_count = count;
    }
    return false;
}

// ---------------------------------------------------------------------------
// Step 3: declarations.

typedef struct definition {
    u32 name;
    u32 kind;
    u32 node;     // of the first definition's class
    u32 classes;  // 1, or 2 for several
} definition;

// A declaration of a name stands for its definition when all definitions
// of that name and kind are one class. True when one more does so.
static bool resolve_declarations(builder* b, definition* table, u64 mask) {
    memset(table, 0xFF, (mask + 1) * sizeof(definition));
    for (u32 i = 0; i < b->node_count; ++i) {
        const node* n = &b->nodes[i];
        bool defined = n->kind == TYPE_RECORD || n->kind == TYPE_UNION || (n->flags & TYPE_ENUM);
        if (!defined || n->name == EMPTY || b->alias[i] != i) {
            continue;
        }
        u64 slot = mix(n->name, n->kind) & mask;
        while (table[slot].name != NONE && (table[slot].name != n->name ||
                                            table[slot].kind != n->kind)) {
            slot = (slot + 1) & mask;
        }
        if (table[slot].name == NONE) {
            table[slot] = {n->name, n->kind, i, 1};
        } else if (b->class_of[table[slot].node] != b->class_of[i]) {
            table[slot].classes = 2;
        }
    }
    bool resolved = false;
    for (u32 i = 0; i < b->node_count; ++i) {
        const node* n = &b->nodes[i];
        if (n->declared_kind == NONE || b->alias[i] != i || n->name == EMPTY) {
            continue;
        }
        u64 slot = mix(n->name, n->declared_kind) & mask;
        while (table[slot].name != NONE && (table[slot].name != n->name ||
                                            table[slot].kind != n->declared_kind)) {
            slot = (slot + 1) & mask;
        }
        if (table[slot].name != NONE && table[slot].classes == 1) {
            b->alias[i] = table[slot].node;
            resolved = true;
        }
    }
    return resolved;
}

static u64 table_mask(u64 count) {
    u64 size = 64;
    while (size < count * 2) {
        size *= 2;
    }
    return size - 1;
}

static bool settle_classes(builder* b) {
    u64 mask = table_mask(b->node_count);
    class_table table = {(u32*)malloc((mask + 1) * sizeof(u32)),
                         (u64*)malloc((mask + 1) * sizeof(u64)), mask};
    u32* next = (u32*)malloc(((u64)b->node_count + 1) * sizeof(u32));
    definition* definitions = (definition*)malloc((mask + 1) * sizeof(definition));
    b->class_of = (u32*)malloc(((u64)b->node_count + 1) * sizeof(u32));
    bool settled = table.first && table.hashes && next && definitions && b->class_of;
    // Each resolution is followed by a refinement with it.
    for (u32 round = 0; settled; ++round) {
        settled = refine(b, &table, next);
        if (!settled || round + 1 == DECLARATION_ROUNDS ||
            !resolve_declarations(b, definitions, mask)) {
            break;
        }
    }
    free(table.first);
    free(table.hashes);
    free(next);
    free(definitions);
    return settled;
}

// ---------------------------------------------------------------------------
// Step 4: the graph.

typedef struct class_entry {
    u32 name;
    u32 unknown;
    u32 first;  // node
    u32 shown;
} class_entry;

static const char* sort_names;  // qsort has no context

static int by_name(const void* a, const void* b) {
    const class_entry* x = (const class_entry*)a;
    const class_entry* y = (const class_entry*)b;
    if (x->name != y->name) {
        int order = strcmp(sort_names + x->name, sort_names + y->name);
        if (order != 0) {
            return order;
        }
    }
    if (x->unknown != y->unknown) {
        return x->unknown < y->unknown ? -1 : 1;
    }
    return x->first < y->first ? -1 : x->first > y->first;
}

static u64 array_size(type_graph* g, u32 index, u32 depth) {
    type_info* t = &g->types[index];
    if (t->kind != TYPE_ARRAY || t->size || depth > ARRAY_DEPTH || t->target == TYPE_NONE) {
        return t->size;
    }
    u64 element = array_size(g, t->target, depth + 1);
    if (element && t->count <= ~0ull / element) {
        t->size = element * t->count;
    }
    return t->size;
}

// Dynamic: a virtual table pointer of its own or through a base. marks: 0
// not worked out, 1 under way, 2 done.
static bool dynamic(type_graph* g, u8* marks, u32 index, u32 depth) {
    type_info* t = &g->types[index];
    if (marks[index] || depth > BASE_DEPTH) {
        return (t->flags & TYPE_DYNAMIC) != 0;
    }
    marks[index] = 1;
    for (u32 i = 0; i < t->member_count; ++i) {
        const type_member* m = &g->members[t->first_member + i];
        if ((m->flags & (MEMBER_VIRTUAL_POINTER | MEMBER_VIRTUAL_BASE)) ||
            ((m->flags & MEMBER_BASE) && m->type != TYPE_NONE &&
             dynamic(g, marks, m->type, depth + 1))) {
            t->flags |= TYPE_DYNAMIC;
        }
    }
    marks[index] = 2;
    return (t->flags & TYPE_DYNAMIC) != 0;
}

static u32 type_of_node(const builder* b, const u32* type_of_class, u32 index) {
    return index == NONE ? TYPE_NONE : type_of_class[b->class_of[b->alias[index]]];
}

static bool build_types(builder* b, type_graph* g, u32* type_of_class) {
    class_entry* entries = (class_entry*)malloc(((u64)b->class_count + 1) * sizeof(class_entry));
    if (!entries) {
        return false;
    }
    memset(entries, 0xFF, ((u64)b->class_count + 1) * sizeof(class_entry));
    for (u32 i = 0; i < b->node_count; ++i) {
        const node* n = &b->nodes[i];
        class_entry* e = &entries[b->class_of[b->alias[i]]];
        if (b->alias[i] == i && e->first == NONE) {
            e->first = i;
            e->name = n->name;
            e->unknown = n->kind == TYPE_UNKNOWN;
        }
        if (e->shown == NONE && n->shown != NONE) {
            e->shown = n->shown;
        }
    }
    sort_names = b->names;
    qsort(entries, b->class_count, sizeof(class_entry), by_name);
    for (u32 i = 0; i < b->class_count; ++i) {
        type_of_class[b->class_of[entries[i].first]] = i;
    }
    g->types = (type_info*)calloc((u64)b->class_count + 1, sizeof(type_info));
    u64 member_total = 0;
    for (u32 i = 0; i < b->class_count; ++i) {
        member_total += b->nodes[entries[i].first].member_count;
    }
    g->members = (type_member*)calloc(member_total + 1, sizeof(type_member));
    if (!g->types || !g->members) {
        free(entries);
        return false;
    }
    for (u32 i = 0; i < b->class_count; ++i) {
        const node* n = &b->nodes[entries[i].first];
        type_info* t = &g->types[i];
        t->kind = n->kind;
        t->flags = n->flags;
        t->size = n->size;
        t->name = n->name;
        t->shown = entries[i].shown != NONE ? entries[i].shown : n->name;
        t->target = n->kind == TYPE_POINTER || n->kind == TYPE_ARRAY
                        ? type_of_node(b, type_of_class, n->target)
                        : TYPE_NONE;
        t->count = n->count;
        t->first_member = g->member_count;
        t->member_count = n->member_count;
        for (u32 k = 0; k < n->member_count; ++k) {
            type_member m = b->members[n->first_member + k];
            m.type = type_of_node(b, type_of_class, m.type);
            g->members[g->member_count++] = m;
        }
    }
    g->type_count = b->class_count;
    free(entries);
    for (u32 i = 0; i < g->member_count; ++i) {
        type_member* m = &g->members[i];
        if ((m->flags & MEMBER_BASE) && m->type != TYPE_NONE) {
            m->name = g->types[m->type].name;
        }
    }
    u8* marks = (u8*)calloc((u64)g->type_count + 1, 1);
    if (!marks) {
        return false;
    }
    for (u32 i = 0; i < g->type_count; ++i) {
        array_size(g, i, 0);
        if (g->types[i].kind == TYPE_RECORD) {
            dynamic(g, marks, i, 0);
        }
    }
    free(marks);
    return true;
}

static int by_address(const void* a, const void* b) {
    const type_global* x = (const type_global*)a;
    const type_global* y = (const type_global*)b;
    if (x->address != y->address) {
        return x->address < y->address ? -1 : 1;
    }
    return x->type < y->type ? -1 : x->type > y->type;
}

// Every variable with a fixed address, once.
static bool read_globals(builder* b, type_graph* g, const u32* type_of_class) {
    g->globals = (type_global*)malloc(((u64)b->variable_count + 1) * sizeof(type_global));
    if (!g->globals) {
        return false;
    }
    for (u32 i = 0; i < b->variable_count; ++i) {
        u32 type = resolve(b, reader_type_of(&b->reader, b->variables[i].type));
        g->globals[g->global_count++] = {b->variables[i].address,
                                         type_of_node(b, type_of_class, type), 0};
    }
    if (g->global_count) {
        qsort(g->globals, g->global_count, sizeof(type_global), by_address);
    }
    u32 kept = 0;
    for (u32 i = 0; i < g->global_count; ++i) {
        if (kept == 0 || g->globals[kept - 1].address != g->globals[i].address ||
            g->globals[kept - 1].type != g->globals[i].type) {
            g->globals[kept++] = g->globals[i];
        }
    }
    g->global_count = kept;
    return true;
}

// ---------------------------------------------------------------------------

static bool is_c(u64 language) {
    return language == 0x01 || language == 0x02 || language == 0x0c || language == 0x1d ||
           language == 0x2c;
}

static bool prepare(builder* b, const dwarf_sections* sections) {
    if (!reader_open(&b->reader, sections)) {
        return false;
    }
    const dwarf_reader* r = &b->reader;
    u64 dies = (u64)r->die_count + 1;
    b->node_of = (u32*)malloc(dies * sizeof(u32));
    b->qualified = (u32*)malloc(dies * sizeof(u32));
    b->plain_names = (u8*)calloc((u64)r->unit_count + 1, 1);
    if (!b->node_of || !b->qualified || !b->plain_names || !rehash_names(b)) {
        return false;
    }
    memset(b->node_of, 0xFF, dies * sizeof(u32));
    memset(b->qualified, 0xFF, dies * sizeof(u32));
    for (u32 i = 0; i < r->unit_count; ++i) {
        u32 first = r->units[i].first_die;
        b->plain_names[i] = first != NONE && is_c(reader_number(r, first, AT_language));
    }
    // Names come from the sections' strings, joined with their scopes'.
    b->names_limit = 16 * (sections->str_size + sections->info_size) + (1u << 20);
    b->names_limit = b->names_limit < NONE ? b->names_limit : NONE;
    intern(b, "", 0);
    return !b->failed;
}

static bool build(builder* b, const dwarf_sections* sections, type_graph* g) {
    if (!prepare(b, sections)) {
        return false;
    }
    read_nodes(b);
    name_by_typedefs(b);
    resolve_nodes(b);
    if (b->failed || b->node_count == 0) {
        return false;
    }
    b->alias = (u32*)malloc((u64)b->node_count * sizeof(u32));
    if (!b->alias) {
        return false;
    }
    for (u32 i = 0; i < b->node_count; ++i) {
        b->alias[i] = i;
    }
    if (!settle_classes(b)) {
        return false;
    }
    u32* type_of_class = (u32*)malloc(((u64)b->class_count + 1) * sizeof(u32));
    bool built = type_of_class && build_types(b, g, type_of_class) &&
                 read_globals(b, g, type_of_class);
    free(type_of_class);
    return built && !b->failed;
}

bool32 types_read(const dwarf_sections* sections, type_graph* out) {
    memset(out, 0, sizeof(*out));
    builder b;
    memset(&b, 0, sizeof(b));
    bool read = build(&b, sections, out);
    reader_close(&b.reader);
    free(b.node_of);
    free(b.qualified);
    free(b.plain_names);
    free(b.nodes);
    free(b.members);
    free(b.typedefs);
    free(b.variables);
    free(b.interned);
    free(b.scratch);
    free(b.alias);
    free(b.class_of);
    out->names = b.names;
    out->names_size = b.names_size;
    if (!read) {
        types_free(out);
        return 0;
    }
    return 1;
}

u32 types_global_at(const type_graph* graph, u64 address) {
    u64 low = reader_first_not_below(graph->globals, graph->global_count, sizeof(type_global),
                                     offsetof(type_global, address), address);
    return low < graph->global_count && graph->globals[low].address == address
               ? graph->globals[low].type
               : TYPE_NONE;
}

static bool findable(const type_info* t) {
    return t->kind != TYPE_POINTER && t->kind != TYPE_ARRAY && t->kind != TYPE_FUNCTION;
}

u32 types_named(const type_graph* graph, const char* name, bool32* several) {
    u32 low = 0, high = graph->type_count;
    while (low < high) {
        u32 middle = low + (high - low) / 2;
        if (strcmp(graph->names + graph->types[middle].name, name) < 0) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    u32 found = TYPE_NONE, count = 0;
    for (u32 i = low; i < graph->type_count &&
                      strcmp(graph->names + graph->types[i].name, name) == 0;
         ++i) {
        if (findable(&graph->types[i])) {
            found = found == TYPE_NONE ? i : found;
            ++count;
        }
    }
    if (several) {
        *several = count > 1;
    }
    return found;
}

void types_free(type_graph* graph) {
    free(graph->types);
    free(graph->members);
    free(graph->globals);
    free(graph->names);
    memset(graph, 0, sizeof(*graph));
}
