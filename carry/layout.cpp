#include "carry/layout.h"
#include "carry/grow.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "carry/state.h"
#include "platform/heap.h"
#include "platform/memory.h"

#define UNMATCHED 0xFFFFFFFEu
#define DEPTH 64

enum verdict { UNSEEN, SAME, CHANGED, BUSY };

static const type_info* old_info(const layout_plan* p, u32 t) { return &p->from->types[t]; }
static const type_info* new_info(const layout_plan* p, u32 t) { return &p->to->types[t]; }
static const char* old_name(const layout_plan* p, u32 t) {
    return types_name(p->from, old_info(p, t)->name);
}

static bool32 is_record(const type_info* t) {
    return t->kind == TYPE_RECORD || t->kind == TYPE_UNION;
}

// A named record's counterpart in the next build, by name.
static u32 counterpart(layout_plan* p, u32 t) {
    if (p->match[t] != UNMATCHED) {
        return p->match[t];
    }
    const type_info* info = old_info(p, t);
    u32 found = TYPE_NONE;
    if (info->name && types_name(p->from, info->name)[0]) {
        found = types_named(p->to, types_name(p->from, info->name), NULL);
        if (found != TYPE_NONE && new_info(p, found)->kind != info->kind) {
            found = TYPE_NONE;
        }
    }
    p->match[t] = found;
    return found;
}

// The n-th template argument of a name ("std::_Rb_tree<int, std::pair<const
// int, node>, ...>", 1: "std::pair<const int, node>"); false when it has none.
static bool32 template_argument(const char* name, u32 index, char* out, u32 capacity) {
    const char* open = strchr(name, '<');
    if (!open) {
        return 0;
    }
    u32 depth = 0, at = 0;
    const char* start = open + 1;
    for (const char* c = open + 1; *c; ++c) {
        bool32 close = (*c == '>' || *c == ')') && depth == 0;
        if (close || (*c == ',' && depth == 0)) {
            if (at++ == index) {
                while (start < c && *start == ' ') {
                    ++start;
                }
                const char* end = c;
                while (end > start && end[-1] == ' ') {
                    --end;
                }
                if ((u64)(end - start) + 1 > capacity) {
                    return 0;
                }
                memcpy(out, start, (size_t)(end - start));
                out[end - start] = 0;
                return 1;
            }
            start = c + 1;
            if (close) {
                return 0;
            }
        } else if (*c == '<' || *c == '(') {
            ++depth;
        } else if (*c == '>' || *c == ')') {
            --depth;
        }
    }
    return 0;
}

// The type called prefix + argument + ">" (as the DWARF writes a template's
// name: "std::_List_node<node>", "std::_Rb_tree_node<std::pair<const int, node> >").
static u32 template_named(const type_graph* g, const char* prefix, const char* argument,
                          const char* rest) {
    char name[1024];
    u64 length = strlen(argument);
    bool32 nested = length && argument[length - 1] == '>';
    if ((u32)snprintf(name, sizeof(name), "%s%s%s%s>", prefix, argument, rest,
                      nested && !rest[0] ? " " : "") >= sizeof(name)) {
        return TYPE_NONE;
    }
    return types_named(g, name, NULL);
}

static bool32 starts_with(const char* text, const char* prefix) {
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

// The element an aligned storage holds (libstdc++ keeps a node's value in
// one: bytes to the debug information); TYPE_NONE for any other type.
static u32 storage_element(const type_graph* g, u32 t, u32* cache) {
    if (t == TYPE_NONE) {
        return TYPE_NONE;
    }
    if (cache && cache[t] != UNMATCHED) {
        return cache[t];
    }
    const char* name = types_name(g, g->types[t].name);
    u32 found = TYPE_NONE;
    char element[512];
    if ((starts_with(name, "__gnu_cxx::__aligned_membuf<") ||
         starts_with(name, "__gnu_cxx::__aligned_buffer<")) &&
        template_argument(name, 0, element, sizeof(element))) {
        found = types_named(g, element, NULL);
        if (found != TYPE_NONE && g->types[found].size > g->types[t].size) {
            found = TYPE_NONE;
        }
    }
    if (cache) {
        cache[t] = found;
    }
    return found;
}

static u32 old_storage(layout_plan* p, u32 t) { return storage_element(p->from, t, p->storage_from); }
static u32 new_storage(layout_plan* p, u32 t) { return storage_element(p->to, t, p->storage_to); }

static bool32 same(layout_plan* p, u32 a, u32 b, u32 depth);

// Pointers are alike when they point at records of one name (what those
// records hold is theirs to compare), or at alike types.
static bool32 same_target(layout_plan* p, u32 a, u32 b, u32 depth) {
    if (a == TYPE_NONE || b == TYPE_NONE) {
        return a == b;
    }
    const type_info* x = old_info(p, a);
    const type_info* y = new_info(p, b);
    if (is_record(x) && is_record(y) && types_name(p->from, x->name)[0]) {
        return x->kind == y->kind &&
               strcmp(types_name(p->from, x->name), types_name(p->to, y->name)) == 0;
    }
    return same(p, a, b, depth + 1);
}

static bool32 same_members(layout_plan* p, const type_info* x, const type_info* y, u32 depth) {
    if (x->member_count != y->member_count) {
        return 0;
    }
    for (u32 i = 0; i < x->member_count; ++i) {
        const type_member* m = &p->from->members[x->first_member + i];
        const type_member* n = &p->to->members[y->first_member + i];
        if (m->offset != n->offset || m->flags != n->flags || m->bit_size != n->bit_size ||
            m->bit_offset != n->bit_offset ||
            strcmp(types_name(p->from, m->name), types_name(p->to, n->name)) != 0 ||
            !same(p, m->type, n->type, depth + 1)) {
            return 0;
        }
    }
    return 1;
}

static bool32 same(layout_plan* p, u32 a, u32 b, u32 depth) {
    if (a == TYPE_NONE || b == TYPE_NONE) {
        return a == b;
    }
    const type_info* x = old_info(p, a);
    const type_info* y = new_info(p, b);
    if (x->kind != y->kind || x->size != y->size || depth > DEPTH) {
        return 0;
    }
    switch (x->kind) {
    case TYPE_INTEGER:
        return (x->flags & (TYPE_SIGNED | TYPE_BOOL)) == (y->flags & (TYPE_SIGNED | TYPE_BOOL));
    case TYPE_FLOAT:
    case TYPE_FUNCTION:
        return 1;
    case TYPE_POINTER:
        return same_target(p, x->target, y->target, depth);
    case TYPE_ARRAY:
        return x->count == y->count && same(p, x->target, y->target, depth + 1);
    case TYPE_RECORD:
    case TYPE_UNION: {
        if (strcmp(types_name(p->from, x->name), types_name(p->to, y->name)) != 0) {
            return 0;
        }
        bool32 memo = types_name(p->from, x->name)[0] && counterpart(p, a) == b;
        if (memo && p->verdict[a] != UNSEEN) {
            return p->verdict[a] != CHANGED;  // one in the comparing counts as alike
        }
        if (memo) {
            p->verdict[a] = BUSY;
        }
        bool32 alike = same_members(p, x, y, depth);
        if (memo) {
            p->verdict[a] = alike ? SAME : CHANGED;
        }
        return alike;
    }
    default:
        return strcmp(types_name(p->from, x->name), types_name(p->to, y->name)) == 0;
    }
}

bool32 layout_compare(layout_plan* plan, const type_graph* from, const type_graph* to) {
    memset(plan, 0, sizeof(*plan));
    plan->from = from;
    plan->to = to;
    u64 count = from->type_count ? from->type_count : 1;
    plan->verdict = (u8*)calloc(count, 1);
    plan->match = (u32*)malloc(count * sizeof(u32));
    plan->converted = (u64*)calloc(count, sizeof(u64));
    plan->storage_from = (u32*)malloc(count * sizeof(u32));
    plan->storage_to = (u32*)malloc((to->type_count ? to->type_count : 1) * sizeof(u32));
    plan->changed = (u32*)malloc(count * sizeof(u32));
    plan->library = (u8*)calloc(count, 1);
    if (!plan->verdict || !plan->match || !plan->converted || !plan->storage_from ||
        !plan->storage_to || !plan->changed || !plan->library) {
        return 0;
    }
    for (u32 t = 0; t < from->type_count; ++t) {
        plan->match[t] = UNMATCHED;
        plan->storage_from[t] = UNMATCHED;
    }
    for (u32 t = 0; t < to->type_count; ++t) {
        plan->storage_to[t] = UNMATCHED;
    }
    for (u32 t = 0; t < from->type_count; ++t) {
        const type_info* info = old_info(plan, t);
        if (!is_record(info) || !old_name(plan, t)[0]) {
            continue;
        }
        u32 now = counterpart(plan, t);
        if (now != TYPE_NONE && !same(plan, t, now, 0)) {
            plan->verdict[t] = CHANGED;
            plan->changed[plan->changed_types++] = t;
        }
    }
    return plan->changed_types != 0;
}

// Whether objects of an old type need converting: a named record that
// changed, or an array of such.
static bool32 needs(layout_plan* p, u32 t) {
    for (u32 depth = 0; t != TYPE_NONE && depth < DEPTH; ++depth) {
        const type_info* info = old_info(p, t);
        if (info->kind == TYPE_ARRAY) {
            t = info->target;
            continue;
        }
        return is_record(info) && p->verdict[t] == CHANGED;
    }
    return 0;
}

// Whether a type holds one that changed, by value.
static bool32 holds_changed(layout_plan* p, u32 t, u32 depth) {
    if (t == TYPE_NONE || depth > DEPTH) {
        return 0;
    }
    const type_info* info = old_info(p, t);
    if (info->kind == TYPE_ARRAY) {
        return holds_changed(p, info->target, depth + 1);
    }
    if (!is_record(info)) {
        return 0;
    }
    if (needs(p, t)) {
        return 1;
    }
    for (u32 i = 0; i < info->member_count; ++i) {
        if (holds_changed(p, p->from->members[info->first_member + i].type, depth + 1)) {
            return 1;
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Converting one object's bytes.

static bool32 read_integer(const type_info* t, const u8* at, i64* value, bool32* negative) {
    u64 bits = 0;
    if (t->size == 0 || t->size > 8) {
        return 0;
    }
    memcpy(&bits, at, t->size);
    u32 width = (u32)t->size * 8;
    *negative = 0;
    if ((t->flags & TYPE_SIGNED) && width < 64 && (bits >> (width - 1)) & 1) {
        bits |= ~0ull << width;
    }
    *negative = (t->flags & TYPE_SIGNED) && (i64)bits < 0;
    *value = (i64)bits;
    return 1;
}

static bool32 integer_fits(const type_info* t, i64 value, bool32 negative) {
    u32 width = (u32)t->size * 8;
    if (t->flags & TYPE_BOOL) {
        return !negative && (u64)value <= 1;
    }
    if (t->flags & TYPE_SIGNED) {
        if (width >= 64) {
            return negative || (u64)value <= 0x7FFFFFFFFFFFFFFFull;
        }
        i64 low = -((i64)1 << (width - 1)), high = ((i64)1 << (width - 1)) - 1;
        return negative ? value >= low : (u64)value <= (u64)high;
    }
    return !negative && (width >= 64 || (u64)value < (1ull << width));
}

// A scalar of one type into another where the value holds; false leaves
// zeros.
static bool32 convert_scalar(const type_info* x, const type_info* y, const u8* from, u8* to) {
    if (x->kind == TYPE_INTEGER && y->kind == TYPE_INTEGER) {
        i64 value;
        bool32 negative;
        if (!read_integer(x, from, &value, &negative) || y->size > 8 ||
            !integer_fits(y, value, negative)) {
            return 0;
        }
        memcpy(to, &value, y->size);
        return 1;
    }
    if (x->kind == TYPE_FLOAT && y->kind == TYPE_FLOAT) {
        if (x->size == 4 && y->size == 8) {
            float f;
            memcpy(&f, from, 4);
            double d = f;
            memcpy(to, &d, 8);
            return 1;
        }
        if (x->size == 8 && y->size == 4) {
            double d;
            memcpy(&d, from, 8);
            float f = (float)d;
            memcpy(to, &f, 4);
            return 1;
        }
    }
    return 0;
}

static bool32 convert(layout_plan* p, u32 a, u32 b, const u8* from, u8* to, u32 depth);

static u64 read_bits(const u8* base, u64 bit_offset, u32 bits) {
    u64 value = 0;
    for (u32 i = 0; i < bits && i < 64; ++i) {
        u64 at = bit_offset + i;
        value |= (u64)((base[at / 8] >> (at % 8)) & 1) << i;
    }
    return value;
}

static void write_bits(u8* base, u64 bit_offset, u32 bits, u64 value) {
    for (u32 i = 0; i < bits && i < 64; ++i) {
        u64 at = bit_offset + i;
        u8 mask = (u8)(1u << (at % 8));
        base[at / 8] = (u8)((base[at / 8] & ~mask) | (((value >> i) & 1) ? mask : 0));
    }
}

// The member of record x that n (a member of the next build's record)
// continues: the one of the same name; an anonymous one by its place among
// the anonymous.
static const type_member* member_like(const layout_plan* p, const type_info* x, const type_info* y,
                                      u32 index) {
    const type_member* n = &p->to->members[y->first_member + index];
    const char* name = types_name(p->to, n->name);
    u32 nameless = 0;
    for (u32 i = 0; i < index; ++i) {
        nameless += types_name(p->to, p->to->members[y->first_member + i].name)[0] == 0;
    }
    for (u32 i = 0; i < x->member_count; ++i) {
        const type_member* m = &p->from->members[x->first_member + i];
        const char* old = types_name(p->from, m->name);
        if (name[0] ? strcmp(old, name) == 0 : (!old[0] && nameless-- == 0)) {
            return (m->flags & MEMBER_VIRTUAL_POINTER) == (n->flags & MEMBER_VIRTUAL_POINTER) ? m
                                                                                              : NULL;
        }
    }
    return NULL;
}

// member_like through a table made once for each changed record.
static const type_member* member_of(layout_plan* p, u32 a, u32 b, u32 index) {
    const type_info* x = old_info(p, a);
    const type_info* y = new_info(p, b);
    if (p->verdict[a] != CHANGED || p->match[a] != b) {
        return member_like(p, x, y, index);
    }
    if (!p->member_maps) {
        p->member_maps = (u32**)calloc(p->from->type_count, sizeof(u32*));
    }
    if (p->member_maps && !p->member_maps[a]) {
        u32* map = (u32*)malloc(((u64)y->member_count + 1) * sizeof(u32));
        for (u32 i = 0; map && i < y->member_count; ++i) {
            const type_member* m = member_like(p, x, y, i);
            map[i] = m ? (u32)(m - &p->from->members[x->first_member]) : TYPE_NONE;
        }
        p->member_maps[a] = map;
    }
    if (!p->member_maps || !p->member_maps[a]) {
        return member_like(p, x, y, index);
    }
    u32 at = p->member_maps[a][index];
    return at == TYPE_NONE ? NULL : &p->from->members[x->first_member + at];
}

// The bytes a member takes: its type's size or, for a type the debug
// information only declares (clang leaves the standard library's own
// that way), up to the next member or the record's end.
static u64 member_extent(const type_graph* g, const type_info* record, const type_member* m) {
    const type_info* type = m->type != TYPE_NONE ? &g->types[m->type] : NULL;
    if (type && type->size && type->kind != TYPE_UNKNOWN) {
        return type->size;
    }
    u64 end = record->size;
    for (u32 i = 0; i < record->member_count; ++i) {
        const type_member* other = &g->members[record->first_member + i];
        if (!(other->flags & MEMBER_BITS) && other->offset > m->offset && other->offset < end) {
            end = other->offset;
        }
    }
    return end > m->offset ? end - m->offset : 0;
}

static bool32 opaque(const type_graph* g, u32 type) {
    return type == TYPE_NONE || g->types[type].kind == TYPE_UNKNOWN || !g->types[type].size;
}

// A member the next build keeps in another form that could not hold its
// value: named once, "node.value".
static void name_zeroed(layout_plan* p, const type_info* y, const type_member* n) {
    char name[192];
    snprintf(name, sizeof(name), "%s.%s", types_name(p->to, y->shown ? y->shown : y->name),
             types_name(p->to, n->name));
    if (!name_list_has(&p->zeroed, name)) {
        name_list_add(&p->zeroed, name, "");
    }
}

static void convert_member(layout_plan* p, const type_info* x, const type_info* y,
                           const type_member* m, const type_member* n, const u8* from, u8* to,
                           u32 depth) {
    if ((m->flags | n->flags) & MEMBER_BITS) {
        u32 bits = m->flags & MEMBER_BITS ? m->bit_size : (u32)old_info(p, m->type)->size * 8;
        u64 at = m->flags & MEMBER_BITS ? m->bit_offset : m->offset * 8;
        u64 value = read_bits(from, at, bits);
        u32 room = n->flags & MEMBER_BITS ? n->bit_size : (u32)new_info(p, n->type)->size * 8;
        bool32 fits = room >= 64 || (value >> room) == 0;
        if (fits) {
            write_bits(to, n->flags & MEMBER_BITS ? n->bit_offset : n->offset * 8, room, value);
        } else {
            name_zeroed(p, y, n);
        }
        return;
    }
    if (opaque(p->from, m->type) || opaque(p->to, n->type)) {
        // Undescribed: its bytes as they are, when it takes as many.
        u64 extent = member_extent(p->from, x, m);
        if (extent == member_extent(p->to, y, n) && same(p, m->type, n->type, 0)) {
            memcpy(to + n->offset, from + m->offset, extent);
        } else {
            name_zeroed(p, y, n);
        }
        return;
    }
    if (!convert(p, m->type, n->type, from + m->offset, to + n->offset, depth + 1)) {
        name_zeroed(p, y, n);
    }
}

// How a changed record's objects are converted, worked out once: runs of
// bytes copied as they are, and the members converted one by one.
typedef struct convert_step {
    u64 from;     // old offset (a copy's), or the old member's index
    u64 to;       // new offset (a copy's), or the new member's index
    u64 size;     // bytes copied; 0: the member is converted
} convert_step;

typedef struct convert_steps {
    convert_step* steps;
    u32 count;
} convert_steps;

static convert_steps* steps_for(layout_plan* p, u32 a, u32 b) {
    if (p->verdict[a] != CHANGED || p->match[a] != b) {
        return NULL;
    }
    if (!p->programs) {
        p->programs = (void**)calloc(p->from->type_count, sizeof(void*));
        if (!p->programs) {
            return NULL;
        }
    }
    if (p->programs[a]) {
        return (convert_steps*)p->programs[a];
    }
    const type_info* x = old_info(p, a);
    const type_info* y = new_info(p, b);
    convert_steps* made = (convert_steps*)calloc(1, sizeof(convert_steps));
    convert_step* steps = (convert_step*)calloc((u64)y->member_count + 1, sizeof(convert_step));
    if (!made || !steps) {
        free(made);
        free(steps);
        return NULL;
    }
    for (u32 i = 0; i < y->member_count; ++i) {
        const type_member* m = member_of(p, a, b, i);
        const type_member* n = &p->to->members[y->first_member + i];
        if (!m) {
            continue;
        }
        u64 extent = member_extent(p->from, x, m);
        bool32 plain = !((m->flags | n->flags) & MEMBER_BITS) && !opaque(p->from, m->type) &&
                       !opaque(p->to, n->type) && !needs(p, m->type) &&
                       same(p, m->type, n->type, 0) && old_storage(p, m->type) == TYPE_NONE;
        convert_step* last = made->count ? &steps[made->count - 1] : NULL;
        if (plain && last && last->size && last->from + last->size == m->offset &&
            last->to + last->size == n->offset) {
            last->size += extent;  // one run with the copy before it
        } else if (plain) {
            steps[made->count++] = {m->offset, n->offset, extent};
        } else {
            steps[made->count++] = {(u64)(m - &p->from->members[x->first_member]), i, 0};
        }
    }
    made->steps = steps;
    p->programs[a] = made;
    return made;
}

static void convert_record(layout_plan* p, u32 a, u32 b, const u8* from, u8* to, u32 depth) {
    const type_info* x = old_info(p, a);
    const type_info* y = new_info(p, b);
    const convert_steps* program = steps_for(p, a, b);
    if (program) {
        for (u32 i = 0; i < program->count; ++i) {
            const convert_step* step = &program->steps[i];
            if (step->size) {
                memcpy(to + step->to, from + step->from, step->size);
            } else {
                convert_member(p, x, y, &p->from->members[x->first_member + step->from],
                               &p->to->members[y->first_member + step->to], from, to, depth);
            }
        }
        return;
    }
    for (u32 i = 0; i < y->member_count; ++i) {
        const type_member* m = member_of(p, a, b, i);
        if (m) {
            convert_member(p, x, y, m, &p->to->members[y->first_member + i], from, to, depth);
        }
    }
}

// Old bytes of type a into zeroed new bytes of type b; false when a
// scalar's value did not fit and was left at zero.
static bool32 convert(layout_plan* p, u32 a, u32 b, const u8* from, u8* to, u32 depth) {
    if (a == TYPE_NONE || b == TYPE_NONE || depth > DEPTH) {
        return 1;
    }
    const type_info* x = old_info(p, a);
    const type_info* y = new_info(p, b);
    if (needs(p, a) && is_record(x)) {
        p->converted[a] += 1;
    } else if (same(p, a, b, 0)) {
        memcpy(to, from, y->size);
        return 1;
    }
    if (x->kind != y->kind) {
        return convert_scalar(x, y, from, to);
    }
    switch (x->kind) {
    case TYPE_RECORD:
        if (old_storage(p, a) != TYPE_NONE && new_storage(p, b) != TYPE_NONE) {
            return convert(p, old_storage(p, a), new_storage(p, b), from, to, depth + 1);
        }
        convert_record(p, a, b, from, to, depth);
        return 1;
    case TYPE_ARRAY: {
        u64 count = x->count < y->count ? x->count : y->count;
        u64 step_x = x->target != TYPE_NONE ? old_info(p, x->target)->size : 0;
        u64 step_y = y->target != TYPE_NONE ? new_info(p, y->target)->size : 0;
        bool32 exact = 1;
        for (u64 i = 0; step_x && step_y && i < count; ++i) {
            exact = convert(p, x->target, y->target, from + i * step_x, to + i * step_y,
                            depth + 1) && exact;
        }
        return exact;
    }
    case TYPE_POINTER:
        memcpy(to, from, 8);
        return 1;
    case TYPE_UNION:
        // Which member is live can't be known: the bytes as they were, where they fit.
        memcpy(to, from, x->size < y->size ? x->size : y->size);
        return 1;
    default:
        return convert_scalar(x, y, from, to);
    }
}

bool32 layout_convert_value(layout_plan* plan, u32 old_type, u32 new_type, const u8* old_bytes,
                            u8* new_bytes, u64 new_size) {
    if (old_type == TYPE_NONE || new_type == TYPE_NONE ||
        new_info(plan, new_type)->size != new_size) {
        return 0;
    }
    const type_info* x = old_info(plan, old_type);
    const type_info* y = new_info(plan, new_type);
    bool32 comparable = x->kind == y->kind &&
                        (!is_record(x) || strcmp(types_name(plan->from, x->name),
                                                 types_name(plan->to, y->name)) == 0);
    if (!comparable) {
        return 0;
    }
    memset(new_bytes, 0, new_size);
    convert(plan, old_type, new_type, old_bytes, new_bytes, 0);
    return 1;
}

static bool32 map_offset(layout_plan* p, u32 a, u32 b, u64 offset, u64* mapped, u32 depth) {
    if (a == TYPE_NONE || b == TYPE_NONE || depth > DEPTH) {
        return 0;
    }
    const type_info* x = old_info(p, a);
    const type_info* y = new_info(p, b);
    // A pointer to an object's start points to the object more often than
    // to its first member: it stays at the start.
    if (offset == 0 || offset == x->size) {
        *mapped = offset ? y->size : 0;  // one past its end
        return 1;
    }
    if (x->kind != y->kind) {
        return offset == 0 ? (*mapped = 0, 1) : 0;
    }
    if (x->kind == TYPE_ARRAY) {
        u64 step_x = x->target != TYPE_NONE ? old_info(p, x->target)->size : 0;
        u64 step_y = y->target != TYPE_NONE ? new_info(p, y->target)->size : 0;
        if (!step_x || !step_y || offset / step_x >= y->count) {
            return 0;
        }
        u64 inner = 0;
        if (!map_offset(p, x->target, y->target, offset % step_x, &inner, depth + 1)) {
            return 0;
        }
        *mapped = offset / step_x * step_y + inner;
        return 1;
    }
    if (x->kind != TYPE_RECORD) {
        return offset < y->size ? (*mapped = offset, 1) : 0;
    }
    if (old_storage(p, a) != TYPE_NONE && new_storage(p, b) != TYPE_NONE) {
        return map_offset(p, old_storage(p, a), new_storage(p, b), offset, mapped, depth + 1);
    }
    for (u32 i = 0; i < y->member_count; ++i) {
        const type_member* m = member_of(p, a, b, i);
        const type_member* n = &p->to->members[y->first_member + i];
        if (!m || (m->flags & MEMBER_BITS)) {
            continue;
        }
        u64 size = member_extent(p->from, x, m);
        if (offset >= m->offset && offset - m->offset < (size ? size : 1)) {
            if (opaque(p->from, m->type) || opaque(p->to, n->type)) {
                bool32 kept = offset - m->offset < member_extent(p->to, y, n);
                *mapped = n->offset + (offset - m->offset);
                return kept;
            }
            u64 inner = 0;
            if (!map_offset(p, m->type, n->type, offset - m->offset, &inner, depth + 1)) {
                return 0;
            }
            *mapped = n->offset + inner;
            return 1;
        }
    }
    return 0;
}

bool32 layout_map_offset(layout_plan* plan, u32 old_type, u32 new_type, u64 offset,
                         u64* mapped) {
    return map_offset(plan, old_type, new_type, offset, mapped, 0);
}

// The objects' table of the last conversion, kept for the next (layout_prepare).
static layout_object* kept_objects;
static u64 kept_object_capacity;

static void keep_objects(layout_plan* plan) {
    if (plan->object_capacity > kept_object_capacity) {
        free(kept_objects);
        kept_objects = plan->objects;
        kept_object_capacity = plan->object_capacity;
    } else {
        free(plan->objects);
    }
    plan->objects = NULL;
    plan->object_capacity = 0;
}

void layout_free(layout_plan* plan) {
    for (u32 t = 0; plan->member_maps && t < plan->from->type_count; ++t) {
        free(plan->member_maps[t]);
    }
    for (u32 t = 0; plan->programs && t < plan->from->type_count; ++t) {
        if (plan->programs[t]) {
            free(((convert_steps*)plan->programs[t])->steps);
            free(plan->programs[t]);
        }
    }
    free(plan->programs);
    free(plan->member_maps);
    free(plan->granule_keys);
    free(plan->granule_first);
    for (u64 i = 0; plan->slab_objects && i < plan->slab_capacity; ++i) {
        free(plan->slab_objects[i]);
    }
    free(plan->slab_keys);
    free(plan->slab_objects);
    free(plan->slab_sizes);
    free(plan->vectors);
    free(plan->storage_from);
    free(plan->storage_to);
    free(plan->changed);
    free(plan->library);
    free(plan->verdict);
    free(plan->match);
    free(plan->converted);
    keep_objects(plan);
    long_text_free(&plan->note);
    name_list_free(&plan->lost);
    name_list_free(&plan->zeroed);
    memset(plan, 0, sizeof(*plan));
}

// ---------------------------------------------------------------------------
// Finding the live objects.

enum region_kind {
    REGION_ARRAY,    // a heap allocation from its start, as many elements as fit
    REGION_VECTOR,   // a vector's buffer: its elements up to its end
    REGION_HEADER,   // the first element of an allocation the program carves up after it
    REGION_PROGRAM,  // an object inside memory the program manages itself
};

// A typed piece of the module's memory.
typedef struct region {
    u64 start;
    u64 size;   // the allocation's (an object in program memory: its type's)
    u32 live;   // elements traced
    u32 type;   // of its elements
    u32 other;  // a second type it was reached as, that does not nest with type
    u8 kind;
    u8 conflict;
    u8 unused[2];
} region;

typedef struct interior {
    u64 address;
    u32 type;
} interior;

typedef struct tracer {
    layout_plan* plan;
    const image_layout* image;
    region* regions;
    u64 region_count, region_capacity;
    u64* table;  // open addressing: pairs of a region's start and its index + 1 (what is
                 // no small object's start)
    // Small objects' regions, slab by slab: a slab's address and its
    // objects' region index + 1 by place (open addressing by slab).
    u64* slab_keys;
    u32** slab_regions;
    u64 slab_size;
    u64 slab_count;
    u64 hashed;  // regions in table
    u64 table_size;
    u64* work;
    u64 work_count, work_capacity;
    interior* inner;
    u64 inner_count, inner_capacity;
    u64* headers;  // allocations found carved up, kept across passes
    u64 header_count, header_capacity;
    u64 vtable_key[256];  // vtable address + 1 -> dynamic type
    u32 vtable_type[256];
    u32 union_type;   // a union holding a changed type that was reached (TYPE_NONE: none)
    u32 hidden_type;  // a container the reload can't walk, of a changed type (TYPE_NONE: none)
    u64* stack;       // a tree's nodes to walk
    u64 stack_count, stack_capacity;
    bool32 failed;    // no memory
    bool32 carved;    // a pass found an allocation carved up: traced again
} tracer;

static u64 slot_of(u64 start, u64 size) { return (start * 0x9E3779B97F4A7C15ull >> 20) & (size - 1); }

static void table_put(u64* table, u64 size, u64 start, u64 index) {
    u64 at = slot_of(start, size);
    while (table[2 * at + 1]) {
        at = (at + 1) & (size - 1);
    }
    table[2 * at] = start;
    table[2 * at + 1] = index + 1;
}

static bool32 table_grow(tracer* t, u64 at_least) {
    u64 size = t->table_size ? t->table_size * 2 : 4096;
    while (size < at_least * 2) {
        size *= 2;
    }
    u64* table = (u64*)calloc(size * 2, sizeof(u64));
    if (!table) {
        return 0;
    }
    for (u64 i = 0; i < t->region_count; ++i) {
        u64 slab = 0;
        u32 slot = 0, slots = 0;
        if (!heap_slot_at(t->regions[i].start, &slab, &slot, &slots)) {
            table_put(table, size, t->regions[i].start, i);  // else kept slab by slab
        }
    }
    free(t->table);
    t->table = table;
    t->table_size = size;
    return 1;
}

static u64 slab_slot(u64 slab, u64 size) { return (slab >> 16) * 0x9E3779B97F4A7C15ull >> 40 & (size - 1); }

static bool32 slabs_grow(tracer* t) {
    u64 size = t->slab_size ? t->slab_size * 2 : 1024;
    u64* keys = (u64*)calloc(size, sizeof(u64));
    u32** regions = (u32**)calloc(size, sizeof(u32*));
    if (!keys || !regions) {
        free(keys);
        free(regions);
        return 0;
    }
    for (u64 i = 0; i < t->slab_size; ++i) {
        if (t->slab_keys[i]) {
            u64 at = slab_slot(t->slab_keys[i], size);
            while (keys[at]) {
                at = (at + 1) & (size - 1);
            }
            keys[at] = t->slab_keys[i];
            regions[at] = t->slab_regions[i];
        }
    }
    free(t->slab_keys);
    free(t->slab_regions);
    t->slab_keys = keys;
    t->slab_regions = regions;
    t->slab_size = size;
    return 1;
}

// The place of a small object's region index, made when asked to; null for
// what is no small object's start (or no memory).
static u32* slab_entry(tracer* t, u64 start, u64 size, bool32 make, bool32* small) {
    u64 slab = 0;
    u32 slot = 0, slots = 0;
    // An allocation's start with its size known (a small object's from the
    // small half) needs no look at the heap.
    if (size && size <= HEAP_SMALL_MAX && heap_small_half(start)) {
        slab = start & ~(u64)(HEAP_SLAB_BYTES - 1);
        slot = (u32)((start - slab - HEAP_SLAB_HEADER) / size);
        slots = (u32)((HEAP_SLAB_BYTES - HEAP_SLAB_HEADER) / size);
        *small = 1;
    } else {
        *small = heap_slot_at(start, &slab, &slot, &slots);
    }
    if (!*small) {
        return NULL;
    }
    if (make && (t->slab_count + 1) * 2 > t->slab_size && !slabs_grow(t)) {
        t->failed = 1;
        return NULL;
    }
    if (!t->slab_size) {
        return NULL;
    }
    u64 at = slab_slot(slab, t->slab_size);
    while (t->slab_keys[at] && t->slab_keys[at] != slab) {
        at = (at + 1) & (t->slab_size - 1);
    }
    if (!t->slab_keys[at]) {
        if (!make) {
            return NULL;
        }
        t->slab_regions[at] = (u32*)calloc(slots, sizeof(u32));
        if (!t->slab_regions[at]) {
            t->failed = 1;
            return NULL;
        }
        t->slab_keys[at] = slab;
        t->slab_count += 1;
    }
    return &t->slab_regions[at][slot];
}

static void slabs_clear(tracer* t) {
    for (u64 i = 0; i < t->slab_size; ++i) {
        free(t->slab_regions[i]);
    }
    free(t->slab_keys);
    free(t->slab_regions);
    t->slab_keys = NULL;
    t->slab_regions = NULL;
    t->slab_size = t->slab_count = 0;
}

static region* hashed_region(const tracer* t, u64 start) {
    if (!t->table_size) {
        return NULL;
    }
    const u64* table = t->table;
    for (u64 at = slot_of(start, t->table_size); table[2 * at + 1];
         at = (at + 1) & (t->table_size - 1)) {
        if (table[2 * at] == start) {
            return &t->regions[table[2 * at + 1] - 1];
        }
    }
    return NULL;
}

static region* region_at(tracer* t, u64 start) {
    bool32 small = 0;
    u32* entry = slab_entry(t, start, 0, 0, &small);
    if (small) {
        return entry && *entry ? &t->regions[*entry - 1] : NULL;
    }
    return hashed_region(t, start);
}

static void push_work(tracer* t, u64 index) {
    if (!grow_table((void**)&t->work, &t->work_capacity, t->work_count + 1, sizeof(u64))) {
        t->failed = 1;
        return;
    }
    t->work[t->work_count++] = index;
}

static u64 element_size(const tracer* t, u32 type) {
    return type == TYPE_NONE ? 0 : old_info(t->plan, type)->size;
}

static bool32 is_header(const tracer* t, u64 start) {
    for (u64 i = 0; i < t->header_count; ++i) {
        if (t->headers[i] == start) {
            return 1;
        }
    }
    return 0;
}

static u64 live_of(const tracer* t, const region* r) {
    u64 size = element_size(t, r->type);
    if (r->kind == REGION_PROGRAM || r->kind == REGION_HEADER || !size) {
        return 1;
    }
    return r->size / size;
}

// Whether small lies at the start of big (a C struct's first member, a base
// class): a pointer to either may point at one object.
static bool32 nests(const layout_plan* p, u32 big, u32 small) {
    for (u32 depth = 0; big != TYPE_NONE && depth < DEPTH; ++depth) {
        if (big == small) {
            return 1;
        }
        const type_info* info = old_info(p, big);
        if (!is_record(info) || !info->member_count) {
            return 0;
        }
        const type_member* first = &p->from->members[info->first_member];
        if (first->offset != 0 || (first->flags & (MEMBER_BITS | MEMBER_VIRTUAL_POINTER))) {
            // A dynamic class's first base lies past its table pointer's member.
            if (info->member_count < 2 ||
                p->from->members[info->first_member + 1].offset != 0) {
                return 0;
            }
            first = &p->from->members[info->first_member + 1];
        }
        big = first->type;
    }
    return 0;
}

static void add_region(tracer* t, u64 start, u64 size, u32 type, u8 kind) {
    bool32 small = 0;
    u32* entry = slab_entry(t, start, kind == REGION_PROGRAM ? 0 : size, 1, &small);
    if (small && !entry) {
        t->failed = 1;
        return;
    }
    region* r = small ? (*entry ? &t->regions[*entry - 1] : NULL) : hashed_region(t, start);
    if (r) {
        if (r->type == type || nests(t->plan, r->type, type)) {
            return;
        }
        if (nests(t->plan, type, r->type) && element_size(t, type) <= r->size) {
            r->type = type;
            r->live = live_of(t, r);
            push_work(t, (u64)(r - t->regions));
        } else if (!r->conflict) {
            r->conflict = 1;
            r->other = type;
        }
        return;
    }
    if (!entry && (t->hashed + 1) * 2 > t->table_size && !table_grow(t, t->hashed + 1)) {
        t->failed = 1;
        return;
    }
    if (t->failed) {
        return;
    }
    if (!grow_table((void**)&t->regions, &t->region_capacity, t->region_count + 1, sizeof(region))) {
        t->failed = 1;
        return;
    }
    r = &t->regions[t->region_count];
    memset(r, 0, sizeof(*r));
    r->start = start;
    r->size = size;
    r->type = type;
    r->kind = kind == REGION_ARRAY && is_header(t, start) ? (u32)REGION_HEADER : kind;
    r->other = TYPE_NONE;
    r->live = live_of(t, r);
    if (entry) {
        *entry = (u32)++t->region_count;
    } else {
        table_put(t->table, t->table_size, start, t->region_count++);
        t->hashed += 1;
    }
    push_work(t, t->region_count - 1);
}

// A C++ object's own type, from its virtual table: the object it is part
// of may start before the pointer (a second base's).
static void dynamic_type(tracer* t, u64* address, u32* type) {
    u64 table = *(const u64*)*address;
    if (table - t->image->base >= t->image->size || table < t->image->base + 16) {
        return;
    }
    u32 slot = (u32)((table >> 3) & 255);
    if (t->vtable_key[slot] != table + 1) {
        const image_symbol* symbol = image_symbol_at(t->image, table);
        char readable[512];
        u32 found = TYPE_NONE;
        if (symbol) {
            name_readable(image_key(t->image, symbol), 0, readable, sizeof(readable));
            const char* prefix = "vtable for ";
            if (strncmp(readable, prefix, strlen(prefix)) == 0) {
                found = types_named(t->plan->from, readable + strlen(prefix), NULL);
            }
        }
        t->vtable_key[slot] = table + 1;
        t->vtable_type[slot] = found;
    }
    u32 found = t->vtable_type[slot];
    if (found == TYPE_NONE || old_info(t->plan, found)->kind != TYPE_RECORD) {
        return;
    }
    i64 to_top = *(const i64*)(table - 16);
    if (to_top > 0 || to_top < -(i64)(1 << 20)) {
        return;
    }
    *address += (u64)to_top;
    *type = found;
}

static void follow(tracer* t, u64 address, u32 type) {
    if (!address || type == TYPE_NONE || (address & 7)) {
        return;
    }
    const type_info* info = old_info(t->plan, type);
    if (info->kind != TYPE_RECORD && info->kind != TYPE_POINTER && info->kind != TYPE_ARRAY) {
        return;
    }
    if (!info->size) {
        return;
    }
    u64 start = 0, size = 0;
    if (!heap_object_at(address, &start, &size)) {
        return;  // a global (a root already), or memory that is not the module's
    }
    if (info->kind == TYPE_RECORD && (info->flags & TYPE_DYNAMIC)) {
        dynamic_type(t, &address, &type);
        info = old_info(t->plan, type);
    }
    if (address == start && info->size <= size) {
        add_region(t, start, size, type, REGION_ARRAY);
        return;
    }
    if (!grow_table((void**)&t->inner, &t->inner_capacity, t->inner_count + 1, sizeof(interior))) {
        t->failed = 1;
        return;
    }
    t->inner[t->inner_count].address = address;
    t->inner[t->inner_count].type = type;
    t->inner_count += 1;
}

// A pointer member of a record by name, looked for through its members
// and bases (a vector keeps its ends two levels down).
static const type_member* find_pointer(const layout_plan* p, u32 type, const char* name, u64* offset,
                                       u32 depth) {
    const type_info* info = old_info(p, type);
    for (u32 i = 0; is_record(info) && depth < 8 && i < info->member_count; ++i) {
        const type_member* m = &p->from->members[info->first_member + i];
        if (m->type == TYPE_NONE) {
            continue;
        }
        if (strcmp(types_name(p->from, m->name), name) == 0 &&
            old_info(p, m->type)->kind == TYPE_POINTER) {
            *offset += m->offset;
            return m;
        }
        u64 inner = *offset + m->offset;
        const type_member* found = find_pointer(p, m->type, name, &inner, depth + 1);
        if (found) {
            *offset = inner;
            return found;
        }
    }
    return NULL;
}

static void note_vector(tracer* t, u64 finish_at, u64 storage_at, u64 begin) {
    layout_plan* p = t->plan;
    if (!grow_table((void**)&p->vectors, &p->vector_capacity, p->vector_count + 1,
                    sizeof(layout_vector))) {
        t->failed = 1;
        return;
    }
    layout_vector* v = &p->vectors[p->vector_count++];
    v->finish_at = finish_at;
    v->storage_at = storage_at;
    v->begin = begin;
    v->finish = *(const u64*)finish_at;
    v->storage = storage_at ? *(const u64*)storage_at : 0;
}

// A vector's elements: from its start to its end (libstdc++'s and libc++'s
// names); false when the record is no vector this knows.
static bool32 visit_vector(tracer* t, u64 address, u32 type) {
    const char* name = old_name(t->plan, type);
    if (!starts_with(name, "std::vector<") && !starts_with(name, "std::__1::vector<")) {
        return 0;
    }
    u64 first_at = 0, last_at = 0;
    const type_member* first = find_pointer(t->plan, type, "_M_start", &first_at, 0);
    const type_member* last = find_pointer(t->plan, type, "_M_finish", &last_at, 0);
    if (!first) {
        first_at = last_at = 0;
        first = find_pointer(t->plan, type, "__begin_", &first_at, 0);
        last = find_pointer(t->plan, type, "__end_", &last_at, 0);
    }
    if (!first || !last) {
        return 0;
    }
    u32 element = old_info(t->plan, first->type)->target;
    u64 step = element_size(t, element);
    u64 begin = *(const u64*)(address + first_at);
    u64 end = *(const u64*)(address + last_at);
    u64 start = 0, size = 0;
    if (!begin || !step || end < begin || !heap_object_at(begin, &start, &size) || start != begin ||
        end - begin > size) {
        return 1;
    }
    const type_info* info = old_info(t->plan, element);
    if (info->kind == TYPE_RECORD || info->kind == TYPE_POINTER || info->kind == TYPE_ARRAY) {
        add_region(t, start, size, element, REGION_VECTOR);
        region* r = region_at(t, start);
        if (r && r->kind == REGION_VECTOR && r->type == element) {
            r->live = (end - begin) / step;
        }
        if (needs(t->plan, element)) {
            u64 storage_at = 0;
            const type_member* storage = find_pointer(t->plan, type, "_M_end_of_storage", &storage_at, 0);
            note_vector(t, address + last_at, storage ? address + storage_at : 0, begin);
        }
    }
    return 1;
}

static void visit(tracer* t, u64 address, u32 type, u32 depth);

static bool32 points_at_bytes(const tracer* t, u32 target) {
    return target != TYPE_NONE && old_info(t->plan, target)->kind == TYPE_INTEGER &&
           (old_info(t->plan, target)->flags & TYPE_CHAR);
}

// An allocation a byte pointer points into is the program's to carve: what
// lies in it past its first object is its own (a pool, a zone, an arena),
// never an array to convert as one.
// A pointer into its own allocation (a string's into its own buffer) is
// no sign of carving.
static void note_bytes(tracer* t, u64 address, u64 pointer_at) {
    u64 start = 0, size = 0, own = 0, own_size = 0;
    if (!address || !heap_object_at(address, &start, &size) || is_header(t, start) ||
        (heap_object_at(pointer_at, &own, &own_size) && own == start)) {
        return;
    }
    if (!grow_table((void**)&t->headers, &t->header_capacity, t->header_count + 1, sizeof(u64))) {
        t->failed = 1;
        return;
    }
    t->headers[t->header_count++] = start;
    region* r = region_at(t, start);
    if (r && r->kind == REGION_ARRAY) {
        t->carved = 1;  // typed as an array in this pass: traced again
    }
}

// A word of a heap object's, read only where the heap has one.
static bool32 heap_word(u64 address, u64* value) {
    u64 start = 0, size = 0;
    if (!heap_object_at(address, &start, &size) || address + 8 > start + size) {
        return 0;
    }
    *value = *(const u64*)address;
    return 1;
}

#define NODES_MOST (1ull << 28)

// Nodes linked by a pointer first in each, from first to null or to end
// (a header the list comes round to).
static void walk_linked(tracer* t, u64 first, u64 end, u32 node) {
    u64 next = first;
    for (u64 walked = 0; next && next != end && walked < NODES_MOST; ++walked) {
        follow(t, next, node);
        if (!heap_word(next, &next)) {
            break;
        }
    }
}

// Containers whose nodes are linked one after another from a pointer of
// their own (`first`), each node's next pointer first in it: a list's from
// its header round to it again, a hash table's (std::unordered_map,
// std::unordered_set) from before its first to null. Its node type is
// `node` + the element (template argument `argument`) + a suffix.
typedef struct linked_kind {
    u32 argument;
    const char* first;
    const char* node;
    const char* suffixes[2];
    bool32 round;
} linked_kind;

static const linked_kind LIST_NODES = {0, "_M_next", "std::_List_node<", {"", NULL}, 1};
static const linked_kind HASH_NODES = {
    1, "_M_nxt", "std::__detail::_Hash_node<", {", true", ", false"}, 0};

static bool32 walk_nodes(tracer* t, u64 address, u32 type, const linked_kind* kind) {
    char element[512];
    u64 at = 0;
    if (!template_argument(old_name(t->plan, type), kind->argument, element, sizeof(element)) ||
        !find_pointer(t->plan, type, kind->first, &at, 0)) {
        return 0;
    }
    u32 node = TYPE_NONE;
    for (u32 i = 0; i < 2 && kind->suffixes[i] && node == TYPE_NONE; ++i) {
        node = template_named(t->plan->from, kind->node, element, kind->suffixes[i]);
    }
    if (node == TYPE_NONE) {
        return 0;
    }
    walk_linked(t, *(const u64*)(address + at), kind->round ? address + at : 0, node);
    return 1;
}

// A red-black tree's nodes (std::map, std::set), from its root down.
static bool32 walk_tree(tracer* t, u64 address, u32 type) {
    char element[512];
    u64 root_at = 0, left = 0, right = 0;
    u32 base = types_named(t->plan->from, "std::_Rb_tree_node_base", NULL);
    if (!template_argument(old_name(t->plan, type), 1, element, sizeof(element)) ||
        !find_pointer(t->plan, type, "_M_parent", &root_at, 0) || base == TYPE_NONE ||
        !find_pointer(t->plan, base, "_M_left", &left, 0) ||
        !find_pointer(t->plan, base, "_M_right", &right, 0)) {
        return 0;
    }
    u32 node = template_named(t->plan->from, "std::_Rb_tree_node<", element, "");
    if (node == TYPE_NONE) {
        return 0;
    }
    t->stack_count = 0;
    u64 root = *(const u64*)(address + root_at);
    for (u64 walked = 0; root && walked < NODES_MOST && !t->failed; ++walked) {
        follow(t, root, node);
        u64 children[2] = {0, 0};
        heap_word(root + left, &children[0]);
        heap_word(root + right, &children[1]);
        for (u32 i = 0; i < 2; ++i) {
            if (children[i] && grow_table((void**)&t->stack, &t->stack_capacity,
                                          t->stack_count + 1, sizeof(u64))) {
                t->stack[t->stack_count++] = children[i];
            }
        }
        root = t->stack_count ? t->stack[--t->stack_count] : 0;
    }
    return 1;
}

// Whether a name holds a changed type's as a word of its own ("std::deque<node,
// std::allocator<node> >" holds node).
static bool32 mentions_changed(const layout_plan* p, const char* name) {
    for (u32 i = 0; i < p->changed_types; ++i) {
        const char* changed = old_name(p, p->changed[i]);
        u64 length = strlen(changed);
        for (const char* at = strstr(name, changed); at; at = strstr(at + 1, changed)) {
            char before = at > name ? at[-1] : ' ';
            char after = at[length];
            bool32 word = !(before == '_' || before == ':' || (before >= '0' && before <= '9') ||
                            (before >= 'A' && before <= 'Z') || (before >= 'a' && before <= 'z'));
            bool32 ends = !(after == '_' || (after >= '0' && after <= '9') ||
                            (after >= 'A' && after <= 'Z') || (after >= 'a' && after <= 'z'));
            if (word && ends) {
                return 1;
            }
        }
    }
    return 0;
}

// The standard library's records whose members' types lead to all they
// hold, or that are walked here.
static bool32 followed_by_types(const char* name) {
    static const char* const known[] = {
        "std::vector<", "std::_Vector_base<", "std::unique_ptr<", "std::__uniq_ptr", "std::tuple<",
        "std::_Tuple_impl<", "std::_Head_base<", "std::pair<", "std::array<", "std::allocator<",
        "std::default_delete<", "std::shared_ptr<", "std::__shared_ptr<", "std::__shared_count<",
        "std::_Sp_", "std::weak_ptr<", "std::__weak_ptr<", "std::__weak_count<", "std::list<",
        "std::__cxx11::list<", "std::_List_base<", "std::__cxx11::_List_base<", "std::_List_node<",
        "std::map<", "std::set<", "std::multimap<", "std::multiset<", "std::_Rb_tree",
        "std::unordered_map<", "std::unordered_set<", "std::unordered_multimap<",
        "std::unordered_multiset<", "std::_Hashtable<", "std::__detail::", "std::less<",
        "std::greater<", "std::hash<", "std::equal_to<", "std::_Select1st<", "std::_Identity<",
        "std::__cxx11::basic_string<", "std::basic_string<", "std::char_traits<",
        "std::_Optional_", "std::optional<", "std::_Enable_", "std::reference_wrapper<",
        "std::__new_allocator<", "__gnu_cxx::"};
    for (u32 i = 0; i < sizeof(known) / sizeof(known[0]); ++i) {
        if (starts_with(name, known[i])) {
            return 1;
        }
    }
    return 0;
}

// Whether a record keeps bytes its types don't describe: a union, or an
// array of characters, in it or in what it holds by value.
static bool32 keeps_bytes(const layout_plan* p, u32 type, u32 depth) {
    if (type == TYPE_NONE || depth > 8) {
        return 0;
    }
    const type_info* info = old_info(p, type);
    if (info->kind == TYPE_UNION) {
        return 1;
    }
    if (info->kind == TYPE_ARRAY) {
        const type_info* element = info->target != TYPE_NONE ? old_info(p, info->target) : NULL;
        return !element || (element->kind == TYPE_INTEGER && (element->flags & TYPE_CHAR)) ||
               keeps_bytes(p, info->target, depth + 1);
    }
    for (u32 i = 0; info->kind == TYPE_RECORD && i < info->member_count; ++i) {
        if (keeps_bytes(p, p->from->members[info->first_member + i].type, depth + 1)) {
            return 1;
        }
    }
    return 0;
}

// The standard library's containers: walked where their nodes are known,
// else marked when they may hold a changed type the reload can't reach.
static bool32 visit_library(tracer* t, u64 address, u32 type) {
    const char* name = old_name(t->plan, type);
    if (!starts_with(name, "std::") || !strchr(name, '<')) {
        return 0;
    }
    if ((starts_with(name, "std::__cxx11::list<") || starts_with(name, "std::list<")) &&
        walk_nodes(t, address, type, &LIST_NODES)) {
        return 1;
    }
    if (starts_with(name, "std::_Rb_tree<") && walk_tree(t, address, type)) {
        return 1;
    }
    if (starts_with(name, "std::_Hashtable<") && walk_nodes(t, address, type, &HASH_NODES)) {
        return 1;
    }
    // A deque's and a forward list's elements lie where their types don't
    // lead (a buffer's end is the next allocation's start; nodes of a base
    // type); other records of the library's that keep bytes (a union, an
    // aligned buffer) may hold anything their names say.
    bool32 unwalked = starts_with(name, "std::deque<") || starts_with(name, "std::_Deque_base<") ||
                      starts_with(name, "std::forward_list<") || starts_with(name, "std::_Fwd_list");
    if (t->hidden_type == TYPE_NONE &&
        (unwalked || (!followed_by_types(name) && keeps_bytes(t->plan, type, 0))) &&
        mentions_changed(t->plan, name)) {
        t->hidden_type = type;
    }
    return 0;
}

// Whether a record is the standard library's (looked at by name), once
// for each type: 1 no, 2 yes.
static bool32 library_record(tracer* t, u32 type) {
    layout_plan* p = t->plan;
    if (!p->library[type]) {
        const char* name = old_name(p, type);
        p->library[type] = starts_with(name, "std::") || starts_with(name, "__gnu_cxx::") ? 2 : 1;
    }
    return p->library[type] == 2;
}

static void visit_record(tracer* t, u64 address, u32 type, u32 depth) {
    const type_info* info = old_info(t->plan, type);
    if (library_record(t, type)) {
        if (old_storage(t->plan, type) != TYPE_NONE) {
            visit(t, address, old_storage(t->plan, type), depth + 1);
            return;
        }
        if (visit_vector(t, address, type) || visit_library(t, address, type)) {
            return;
        }
    }
    for (u32 i = 0; i < info->member_count; ++i) {
        const type_member* m = &t->plan->from->members[info->first_member + i];
        if (!(m->flags & (MEMBER_BITS | MEMBER_VIRTUAL_POINTER))) {
            visit(t, address + m->offset, m->type, depth + 1);
        }
    }
}

static void visit(tracer* t, u64 address, u32 type, u32 depth) {
    if (type == TYPE_NONE || depth > DEPTH) {
        return;
    }
    const type_info* info = old_info(t->plan, type);
    switch (info->kind) {
    case TYPE_POINTER:
        if (!(address & 7)) {
            if (points_at_bytes(t, info->target)) {
                note_bytes(t, *(const u64*)address, address);
            } else {
                follow(t, *(const u64*)address, info->target);
            }
        }
        return;
    case TYPE_ARRAY: {
        u64 step = element_size(t, info->target);
        u32 kind = info->target != TYPE_NONE ? old_info(t->plan, info->target)->kind
                                              : (u32)TYPE_UNKNOWN;
        if (!step || (kind != TYPE_RECORD && kind != TYPE_POINTER && kind != TYPE_ARRAY &&
                      kind != TYPE_UNION)) {
            return;
        }
        for (u64 i = 0; i < info->count; ++i) {
            visit(t, address + i * step, info->target, depth + 1);
        }
        return;
    }
    case TYPE_RECORD:
        visit_record(t, address, type, depth);
        return;
    case TYPE_UNION:
        if (t->union_type == TYPE_NONE && holds_changed(t->plan, type, 0)) {
            t->union_type = type;
        }
        return;
    default:
        return;
    }
}

static void trace_region(tracer* t, u64 index) {
    region r = t->regions[index];
    u64 step = element_size(t, r.type);
    for (u64 i = 0; step && i < r.live && (i + 1) * step <= r.size; ++i) {
        visit(t, r.start + i * step, r.type, 0);
    }
}

// Whether an object of type inner lies at offset in one of type outer.
static bool32 lies_at(const layout_plan* p, u32 outer, u64 offset, u32 inner, u32 depth) {
    if (outer == TYPE_NONE || depth > DEPTH) {
        return 0;
    }
    if (offset == 0 && (outer == inner || nests(p, outer, inner))) {
        return 1;
    }
    const type_info* info = old_info(p, outer);
    if (info->kind == TYPE_ARRAY) {
        u64 step = info->target != TYPE_NONE ? old_info(p, info->target)->size : 0;
        return step && offset / step < info->count &&
               lies_at(p, info->target, offset % step, inner, depth + 1);
    }
    for (u32 i = 0; info->kind == TYPE_RECORD && i < info->member_count; ++i) {
        const type_member* m = &p->from->members[info->first_member + i];
        u64 size = m->type != TYPE_NONE ? old_info(p, m->type)->size : 0;
        if (!(m->flags & MEMBER_BITS) && offset >= m->offset && offset - m->offset < size) {
            return lies_at(p, m->type, offset - m->offset, inner, depth + 1);
        }
    }
    return 0;
}

// A pointer into an allocation past its start: a member or element of
// what the allocation holds, or an object of the program's own carving.
static void place_interior(tracer* t, const interior* in) {
    u64 start = 0, size = 0;
    if (!heap_object_at(in->address, &start, &size)) {
        return;
    }
    region* r = region_at(t, start);
    u64 inner_size = element_size(t, in->type);
    if (r && r->kind != REGION_PROGRAM) {
        u64 step = element_size(t, r->type);
        u64 offset = in->address - start;
        bool32 typed = step && offset / step < (r->kind == REGION_HEADER ? 1 : r->live);
        if (typed && lies_at(t->plan, r->type, offset % step, in->type, 0)) {
            return;
        }
        if (r->kind == REGION_ARRAY && live_of(t, r) > 1) {
            // Not an array after all: a header the program carves up behind.
            if (is_header(t, start)) {
                return;
            }
            if (grow_table((void**)&t->headers, &t->header_capacity, t->header_count + 1,
                           sizeof(u64))) {
                t->headers[t->header_count++] = start;
                t->carved = 1;
            } else {
                t->failed = 1;
            }
            return;
        }
        if (typed) {
            return;  // a pointer to a part of a known object as something else: left alone
        }
    }
    if (in->address + inner_size <= start + size) {
        add_region(t, in->address, inner_size, in->type, REGION_PROGRAM);
    }
}

static void drain(tracer* t) {
    while (t->work_count && !t->failed) {
        trace_region(t, t->work[--t->work_count]);
    }
}

// One pass from the roots; false when an allocation was found carved up
// (the pass is made again, knowing it) or there was no memory.
static bool32 trace_pass(tracer* t, void** slot) {
    t->region_count = 0;
    t->inner_count = 0;
    t->work_count = 0;
    t->carved = 0;
    t->union_type = TYPE_NONE;
    t->hidden_type = TYPE_NONE;
    t->plan->vector_count = 0;
    if (t->table) {
        memset(t->table, 0, t->table_size * 2 * sizeof(u64));
    }
    t->hashed = 0;
    slabs_clear(t);
    const type_graph* graph = t->plan->from;
    for (u32 i = 0; i < graph->global_count && !t->failed; ++i) {
        u64 address = graph->globals[i].address + t->image->bias;
        const image_symbol* symbol = image_symbol_at(t->image, address);
        if (symbol && symbol->kind == IMAGE_KEPT && symbol->address == address) {
            visit(t, address, graph->globals[i].type, 0);
            drain(t);
        }
    }
    (void)slot;
    // Every allocation found carved up in this pass is noted before the next.
    for (u64 done = 0; !t->failed && done < t->inner_count; ++done) {
        interior in = t->inner[done];
        place_interior(t, &in);
        drain(t);
    }
    return !t->failed && !t->carved;
}

// ---------------------------------------------------------------------------
// Deciding, converting, moving the pointers.

static const char* shown_name(const layout_plan* p, u32 type) {
    const type_info* info = old_info(p, type);
    const char* shown = types_name(p->from, info->shown);
    return shown[0] ? shown : types_name(p->from, info->name);
}

// Whether a region in memory the program manages lies in an allocation
// typed from its start, as part of what that holds: the same object, found
// before its allocation was.
static bool32 covered(tracer* t, const region* r) {
    u64 start = 0, size = 0;
    if (r->kind != REGION_PROGRAM || !heap_object_at(r->start, &start, &size)) {
        return 0;
    }
    const region* whole = region_at(t, start);
    if (!whole || whole == r || (whole->kind != REGION_ARRAY && whole->kind != REGION_VECTOR)) {
        return 0;
    }
    u64 step = element_size(t, whole->type);
    u64 offset = r->start - start;
    return step && offset / step < whole->live &&
           lies_at(t->plan, whole->type, offset % step, r->type, 0);
}

// Whether a record holds a virtual base, whose place in it the debug
// information doesn't give.
static bool32 virtual_base(const layout_plan* p, u32 t, u32 depth) {
    const type_info* info = t != TYPE_NONE ? old_info(p, t) : NULL;
    for (u32 i = 0; info && is_record(info) && depth < 16 && i < info->member_count; ++i) {
        const type_member* m = &p->from->members[info->first_member + i];
        if ((m->flags & MEMBER_VIRTUAL_BASE) || virtual_base(p, m->type, depth + 1)) {
            return 1;
        }
    }
    return 0;
}

// A changed record that an object found only as type may really be: one
// that starts with it (a C "base" struct first in its "derived" ones, a
// base class without virtual functions) and fits where the object lies;
// TYPE_NONE when there is none.
//
// Only a type that links to its own kind is taken for such a header (a
// thinker's, a list's links): a plain value first in records (a vector of
// two floats) is no sign the object is more.
static bool32 links_to_itself(const layout_plan* p, u32 type) {
    const type_info* info = old_info(p, type);
    for (u32 i = 0; i < info->member_count; ++i) {
        u32 member = p->from->members[info->first_member + i].type;
        if (member != TYPE_NONE && old_info(p, member)->kind == TYPE_POINTER &&
            old_info(p, member)->target == type) {
            return 1;
        }
    }
    return 0;
}

static u32 maybe_larger(tracer* t, const region* r) {
    const layout_plan* p = t->plan;
    const type_info* info = old_info(p, r->type);
    if (!is_record(info) || (info->flags & TYPE_DYNAMIC) || !links_to_itself(p, r->type)) {
        return TYPE_NONE;  // a dynamic type is known by its table
    }
    u64 room = r->kind == REGION_PROGRAM ? ~0ull : r->size;
    for (u32 i = 0; i < p->changed_types; ++i) {
        u32 changed = p->changed[i];
        if (changed != r->type && old_info(p, changed)->size <= room &&
            nests(p, changed, r->type)) {
            return changed;
        }
    }
    return TYPE_NONE;
}

// Why the objects found can't all be converted exactly; "" when they can.
static void refusal(tracer* t, char* why, u32 capacity) {
    layout_plan* p = t->plan;
    why[0] = 0;
    if (t->hidden_type != TYPE_NONE) {
        snprintf(why, capacity, "objects of a type whose layout changed may lie in a %s, whose "
                                "elements the reload can't find", shown_name(p, t->hidden_type));
        return;
    }
    if (t->union_type != TYPE_NONE) {
        snprintf(why, capacity, "%s holds a type whose layout changed in a union, whose live member can't be known",
                 shown_name(p, t->union_type));
        return;
    }
    u64* carved = (u64*)calloc(p->from->type_count ? p->from->type_count : 1, sizeof(u64));
    u8* looked = (u8*)calloc(p->from->type_count ? p->from->type_count : 1, 1);
    if (!carved || !looked) {
        free(carved);
        free(looked);
        snprintf(why, capacity, "there is no memory to convert its objects");
        return;
    }
    u32 worst = TYPE_NONE;
    for (u64 i = 0; i < t->region_count; ++i) {
        const region* r = &t->regions[i];
        if (r->conflict && (holds_changed(p, r->type, 0) || holds_changed(p, r->other, 0))) {
            snprintf(why, capacity, "an object is reached both as %s and as %s, and which it is can't be told",
                     shown_name(p, r->type), shown_name(p, r->other));
            free(carved);
            free(looked);
            return;
        }
        u32 larger = r->kind == REGION_VECTOR ? TYPE_NONE : maybe_larger(t, r);
        if (larger != TYPE_NONE) {
            snprintf(why, capacity, "objects reached as %s may be %s, whose layout changed, and "
                                    "which they are can't be told",
                     shown_name(p, r->type), shown_name(p, larger));
            free(carved);
            free(looked);
            return;
        }
        if (!needs(p, r->type) || covered(t, r)) {
            continue;
        }
        if (!looked[r->type]) {
            looked[r->type] = virtual_base(p, r->type, 0) ? 2 : 1;
        }
        if (looked[r->type] == 2) {
            snprintf(why, capacity, "%s changed its layout and has a virtual base, whose place in "
                                    "it the debug information doesn't give", shown_name(p, r->type));
            free(carved);
            free(looked);
            return;
        }
        u32 now = counterpart(p, r->type);
        bool32 grows = now != TYPE_NONE && new_info(p, now)->size > old_info(p, r->type)->size;
        if (grows && (r->kind == REGION_PROGRAM || r->kind == REGION_HEADER)) {
            carved[r->type] += 1;
            worst = worst == TYPE_NONE || carved[r->type] > carved[worst] ? r->type : worst;
        }
    }
    if (worst != TYPE_NONE) {
        char count[32];
        name_count(count, carved[worst]);
        u64 growth = new_info(p, counterpart(p, worst))->size - old_info(p, worst)->size;
        snprintf(why, capacity, "%s grew by %llu byte%s and %s of its objects live%s in memory the program manages itself",
                 shown_name(p, worst), (unsigned long long)growth, growth == 1 ? "" : "s", count,
                 carved[worst] == 1 ? "s" : "");
    }
    free(carved);
    free(looked);
}

static bool32 add_object(layout_plan* p, const layout_object* object) {
    if (!grow_table((void**)&p->objects, &p->object_capacity, p->object_count + 1,
                    sizeof(layout_object))) {
        return 0;
    }
    p->objects[p->object_count++] = *object;
    return 1;
}

static bool32 all_zero(const u8* bytes, u64 size) {
    for (u64 i = 0; i < size; ++i) {
        if (bytes[i]) {
            return 0;
        }
    }
    return 1;
}

// The new allocations, before anything is written: false (none kept) when
// there is no memory for them.
static bool32 allocate_objects(layout_plan* p, tracer* t) {
    if (!grow_table((void**)&p->objects, &p->object_capacity, t->region_count + 1,
                    sizeof(layout_object))) {
        return 0;
    }
    for (u64 i = 0; i < t->region_count; ++i) {
        const region* r = &t->regions[i];
        u32 now = counterpart(p, r->type);
        if (!needs(p, r->type) || now == TYPE_NONE || covered(t, r)) {
            continue;
        }
        layout_object o;
        memset(&o, 0, sizeof(o));
        o.old_type = r->type;
        o.new_type = now;
        u64 old_step = old_info(p, r->type)->size, new_step = new_info(p, now)->size;
        o.old_start = r->start;
        bool32 moves = r->kind == REGION_ARRAY || r->kind == REGION_VECTOR;
        o.count = moves ? r->size / old_step : 1;
        o.old_size = o.count * old_step;
        o.new_size = o.count * new_step;
        o.new_start = moves ? (u64)heap_alloc(o.new_size ? o.new_size : 1) : r->start;
        if (!o.new_start || !add_object(p, &o)) {
            if (moves && o.new_start) {
                heap_free((void*)o.new_start);
            }
            for (u64 k = 0; k < p->object_count; ++k) {
                if (p->objects[k].new_start != p->objects[k].old_start) {
                    heap_free((void*)p->objects[k].new_start);
                }
            }
            p->object_count = 0;
            return 0;
        }
    }
    return 1;
}

static void convert_object(layout_plan* p, const layout_object* o, u8* scratch) {
    u64 old_step = old_info(p, o->old_type)->size, new_step = new_info(p, o->new_type)->size;
    const u8* from = (const u8*)o->old_start;
    if (o->new_start == o->old_start) {
        memcpy(scratch, from, o->old_size);
        memset((void*)o->old_start, 0, o->old_size);
        from = scratch;
    }
    u8* to = (u8*)o->new_start;
    memset(to, 0, o->new_size);
    // Elements past the last that holds anything are the allocation's slack.
    u64 used = o->count;
    while (used > 1 && all_zero(from + (used - 1) * old_step, old_step)) {
        --used;
    }
    u64 counted = p->converted[o->old_type];
    for (u64 i = 0; i < o->count; ++i) {
        convert(p, o->old_type, o->new_type, from + i * old_step, to + i * new_step, 0);
    }
    p->converted[o->old_type] = counted + used;
}

// Where a word that pointed into a converted object points now; false
// when it points at no converted object.
#define GRANULE_SHIFT 8
#define GRANULES_MOST (1ull << 24)

static u64 granule_slot(u64 key, u64 slots) { return (key * 0x9E3779B97F4A7C15ull >> 17) & (slots - 1); }

// The granule index of the sorted objects; none (searches instead) when
// they span too many granules or there is no memory.
static u64 slab_at(const layout_plan* p, u64 value);

static bool32 slab_covered(const layout_plan* p, const layout_object* o) {
    return slab_at(p, o->old_start) != ~0ull;
}

static void index_granules(layout_plan* p) {
    u64 granules = 0;
    for (u64 i = 0; i < p->object_count; ++i) {
        const layout_object* o = &p->objects[i];
        if (slab_covered(p, o)) {
            continue;
        }
        granules += ((o->old_start + o->old_size) >> GRANULE_SHIFT) - (o->old_start >> GRANULE_SHIFT) + 1;
    }
    if (granules > GRANULES_MOST) {
        return;
    }
    u64 slots = 1024;
    while (slots < granules * 2) {
        slots *= 2;
    }
    p->granule_keys = (u64*)calloc(slots, sizeof(u64));
    p->granule_first = (u64*)malloc(slots * sizeof(u64));
    if (!p->granule_keys || !p->granule_first) {
        free(p->granule_keys);
        free(p->granule_first);
        p->granule_keys = NULL;
        p->granule_first = NULL;
        return;
    }
    p->granule_slots = slots;
    for (u64 i = 0; i < p->object_count; ++i) {
        const layout_object* o = &p->objects[i];
        if (slab_covered(p, o)) {
            continue;
        }
        u64 last = (o->old_start + o->old_size) >> GRANULE_SHIFT;
        for (u64 g = o->old_start >> GRANULE_SHIFT; g <= last; ++g) {
            u64 at = granule_slot(g + 1, slots);
            while (p->granule_keys[at] && p->granule_keys[at] != g + 1) {
                at = (at + 1) & (slots - 1);
            }
            if (!p->granule_keys[at]) {
                p->granule_keys[at] = g + 1;
                p->granule_first[at] = i;  // objects are sorted: the first to touch it
            }
        }
    }
}

// How many objects start at or below value: the index past the one that
// may hold it.
static u64 object_slab_slot(u64 slab, u64 size) {
    return (slab >> 16) * 0x9E3779B97F4A7C15ull >> 40 & (size - 1);
}

// Small objects converted from their allocations' starts, slab by slab:
// most pointers are to one, and finding it so reads two small tables. A
// slab that also holds objects of the program's own carving is left out.
static void index_slabs(layout_plan* p) {
    u64 slots = 64;
    while (slots < p->object_count / 16 + 64) {
        slots *= 2;
    }
    p->slab_keys = (u64*)calloc(slots, sizeof(u64));
    p->slab_objects = (u32**)calloc(slots, sizeof(u32*));
    p->slab_sizes = (u32*)calloc(slots, sizeof(u32));
    if (!p->slab_keys || !p->slab_objects || !p->slab_sizes) {
        return;
    }
    p->slab_slots = slots;
    p->slab_capacity = slots;
    u64 used = 0;
    for (u64 i = 0; i < p->object_count; ++i) {
        u64 start = p->objects[i].old_start, block = 0, size = 0;
        bool32 whole = p->objects[i].new_start != start && heap_small_half(start) &&
                       heap_object_at(start, &block, &size) && block == start;
        u64 slab = start & ~(u64)(HEAP_SLAB_BYTES - 1);
        u64 at = object_slab_slot(slab, slots);
        while (p->slab_keys[at] && p->slab_keys[at] != slab) {
            at = (at + 1) & (slots - 1);
        }
        if (!p->slab_keys[at]) {
            if ((used + 1) * 2 > slots) {
                p->slab_slots = 0;  // more slabs than thought: searched instead
                return;
            }
            p->slab_keys[at] = slab;
            used += 1;
            p->slab_objects[at] =
                whole ? (u32*)calloc((HEAP_SLAB_BYTES - HEAP_SLAB_HEADER) / size, sizeof(u32)) : NULL;
            p->slab_sizes[at] = p->slab_objects[at] ? (u32)size : 0;
        }
        if (!whole || size != p->slab_sizes[at]) {
            p->slab_sizes[at] = 0;  // mixed: searched instead
            continue;
        }
        p->slab_objects[at][(start - slab - HEAP_SLAB_HEADER) / size] = (u32)(i + 1);
    }
}

// The slab entry of an address in the small half, or null.
static u64 slab_at(const layout_plan* p, u64 value) {
    if (!p->slab_slots || !heap_small_half(value)) {
        return ~0ull;
    }
    u64 slab = value & ~(u64)(HEAP_SLAB_BYTES - 1);
    u64 at = object_slab_slot(slab, p->slab_slots);
    while (p->slab_keys[at] && p->slab_keys[at] != slab) {
        at = (at + 1) & (p->slab_slots - 1);
    }
    return p->slab_keys[at] && p->slab_sizes[at] ? at : ~0ull;
}

static u64 objects_up_to(const layout_plan* p, u64 value) {
    // In a slab of converted allocations only (of one size): what lies at
    // its place is all there is.
    u64 at = slab_at(p, value);
    if (at != ~0ull) {
        u64 slab = p->slab_keys[at], size = p->slab_sizes[at];
        u64 slot = value - slab >= HEAP_SLAB_HEADER ? (value - slab - HEAP_SLAB_HEADER) / size : ~0ull;
        return slot < (HEAP_SLAB_BYTES - HEAP_SLAB_HEADER) / size ? p->slab_objects[at][slot] : 0;
    }
    if (p->granule_keys) {
        u64 key = (value >> GRANULE_SHIFT) + 1;
        u64 at = granule_slot(key, p->granule_slots);
        while (p->granule_keys[at] && p->granule_keys[at] != key) {
            at = (at + 1) & (p->granule_slots - 1);
        }
        if (!p->granule_keys[at]) {
            return 0;  // no object touches its granule
        }
        u64 i = p->granule_first[at];
        while (i < p->object_count && p->objects[i].old_start <= value) {
            ++i;
        }
        return i;
    }
    u64 low = 0, high = p->object_count;
    while (low < high) {
        u64 middle = (low + high) / 2;
        if (p->objects[middle].old_start <= value) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return low;
}

static bool32 moved_word(layout_plan* p, u64 value, u64* moved) {
    u64 low = objects_up_to(p, value);
    if (!low) {
        return 0;
    }
    const layout_object* o = &p->objects[low - 1];
    u64 offset = value - o->old_start;
    if (offset > o->old_size) {
        return 0;
    }
    if (offset == o->old_size) {
        // Just past an allocation lies the next one: a pointer there (a free
        // list's, the program's) is to that one.
        u64 start = 0, size = 0;
        if (heap_object_at(value, &start, &size) && start == value) {
            return 0;
        }
        *moved = o->new_start + o->new_size;
        return 1;
    }
    u64 step = old_info(p, o->old_type)->size;
    u64 inner = 0;
    if (!map_offset(p, o->old_type, o->new_type, offset % step, &inner, 0)) {
        char name[160];
        snprintf(name, sizeof(name), "%s", shown_name(p, o->old_type));
        if (!name_list_has(&p->lost, name)) {
            name_list_add(&p->lost, name, "");
        }
        *moved = 0;
        return 1;
    }
    *moved = o->new_start + offset / step * new_info(p, o->new_type)->size + inner;
    return 1;
}

static void move_range(layout_plan* p, u64* word, u64* end, u64 low, u64 high) {
    for (; word < end; ++word) {
        u64 moved;
        if (*word - low < high - low && moved_word(p, *word, &moved)) {
            *word = moved;
        }
    }
}

static u64 move_one(void* context, u64 word) {
    u64 moved;
    return moved_word((layout_plan*)context, word, &moved) ? moved : word;
}

// Most first; among equals, in the order of the types.
static int by_count(const void* a, const void* b) {
    const u64* x = (const u64*)a;
    const u64* y = (const u64*)b;
    if (x[0] != y[0]) {
        return x[0] > y[0] ? -1 : 1;
    }
    return x[1] < y[1] ? -1 : x[1] > y[1];
}

const char* layout_changed_name(const layout_plan* plan) {
    return plan->changed_types ? shown_name(plan, plan->changed[0]) : "";
}

void layout_write_note(layout_plan* p) {
    long_text_empty(&p->note);
    bool32 first = 1;
    u64 listed = 0;
    u64* order = (u64*)malloc(((u64)p->from->type_count + 1) * 2 * sizeof(u64));
    for (u32 t = 0; order && t < p->from->type_count; ++t) {
        const char* name = types_name(p->from, old_info(p, t)->name);
        bool32 library = starts_with(name, "std::") || starts_with(name, "__gnu_cxx::");
        if (p->converted[t] && is_record(old_info(p, t)) && p->verdict[t] == CHANGED && !library) {
            order[listed * 2] = p->converted[t];
            order[listed * 2 + 1] = t;
            ++listed;
        }
    }
    if (order) {
        qsort(order, listed, 2 * sizeof(u64), by_count);
    }
    for (u64 k = 0; k < listed; ++k) {
        u32 t = (u32)order[k * 2 + 1];
        char count[32];
        name_count(count, p->converted[t]);
        long_text_append(&p->note, first ? "converted " : ", ");
        first = 0;
        long_text_append(&p->note, count);
        long_text_append(&p->note, " ");
        long_text_append(&p->note, shown_name(p, t));
        const type_info* x = old_info(p, t);
        const type_info* y = new_info(p, counterpart(p, t));
        long_text added, removed;
        memset(&added, 0, sizeof(added));
        memset(&removed, 0, sizeof(removed));
        for (u32 i = 0; i < y->member_count; ++i) {
            const char* name = types_name(p->to, p->to->members[y->first_member + i].name);
            if (name[0] && !member_like(p, x, y, i)) {
                long_text_append(&added, added.length ? ", " : "");
                long_text_append(&added, name);
            }
        }
        for (u32 i = 0; i < x->member_count; ++i) {
            const char* name = types_name(p->from, p->from->members[x->first_member + i].name);
            bool32 kept = 0;
            for (u32 j = 0; j < y->member_count && !kept; ++j) {
                kept = strcmp(types_name(p->to, p->to->members[y->first_member + j].name), name) == 0;
            }
            if (name[0] && !kept) {
                long_text_append(&removed, removed.length ? ", " : "");
                long_text_append(&removed, name);
            }
        }
        if (added.length || removed.length) {
            long_text_append(&p->note, " (");
            if (added.length) {
                long_text_append(&p->note, "added: ");
                long_text_append(&p->note, long_text_view(&added));
            }
            if (removed.length) {
                long_text_append(&p->note, added.length ? "; removed: " : "removed: ");
                long_text_append(&p->note, long_text_view(&removed));
            }
            long_text_append(&p->note, ")");
        }
        long_text_free(&added);
        long_text_free(&removed);
    }
    free(order);
}

// The tables of a conversion are kept for the next, with their pages:
// made afresh each time, a conversion of 100,000 objects spent a sixth of
// its time having the system hand out and clear memory.
static tracer kept_tracer;

static void take_room(tracer* t, layout_plan* plan) {
    memset(t, 0, sizeof(*t));
    t->regions = kept_tracer.regions;
    t->region_capacity = kept_tracer.region_capacity;
    t->table = kept_tracer.table;
    t->table_size = kept_tracer.table_size;
    if (t->table) {
        memset(t->table, 0, t->table_size * 2 * sizeof(u64));
    }
    t->work = kept_tracer.work;
    t->work_capacity = kept_tracer.work_capacity;
    t->inner = kept_tracer.inner;
    t->inner_capacity = kept_tracer.inner_capacity;
    t->stack = kept_tracer.stack;
    t->stack_capacity = kept_tracer.stack_capacity;
    memset(&kept_tracer, 0, sizeof(kept_tracer));
    if (!plan->objects) {
        plan->objects = kept_objects;
        plan->object_capacity = kept_object_capacity;
        kept_objects = NULL;
        kept_object_capacity = 0;
    }
}

static void keep_room(tracer* t) {
    free(t->headers);
    kept_tracer.regions = t->regions;
    kept_tracer.region_capacity = t->region_capacity;
    kept_tracer.table = t->table;
    kept_tracer.table_size = t->table_size;
    kept_tracer.work = t->work;
    kept_tracer.work_capacity = t->work_capacity;
    kept_tracer.inner = t->inner;
    kept_tracer.inner_capacity = t->inner_capacity;
    kept_tracer.stack = t->stack;
    kept_tracer.stack_capacity = t->stack_capacity;
}

bool32 layout_prepare(layout_plan* plan, const image_layout* running, void** slot, char* why,
                      u32 capacity) {
    why[0] = 0;
    tracer t;
    take_room(&t, plan);
    t.plan = plan;
    t.image = running;
    // Room for about every object the heap holds, made once; the hashed
    // table holds only what is no small object's start, and grows as needed.
    u64 objects = heap_state().objects + heap_state().large_blocks + 1024;
    if ((!t.table_size && !table_grow(&t, 1024)) ||
        !grow_table((void**)&t.regions, &t.region_capacity, objects, sizeof(region))) {
        t.failed = 1;
    }
    bool32 traced = 0;
    for (u32 pass = 0; pass < 64 && !t.failed && !traced; ++pass) {
        traced = trace_pass(&t, slot);
    }
    if (!traced) {
        snprintf(why, capacity, t.failed ? "there is no memory to find the objects of %s"
                                         : "the objects of %s can't all be found",
                 layout_changed_name(plan));
    } else {
        refusal(&t, why, capacity);
    }
    if (!why[0] && !allocate_objects(plan, &t)) {
        snprintf(why, capacity, "there is no memory to convert its objects");
    }
    u64 largest = 0;
    for (u64 i = 0; i < plan->object_count; ++i) {
        largest = plan->objects[i].old_size > largest ? plan->objects[i].old_size : largest;
    }
    plan->scratch = why[0] ? NULL : (u8*)malloc(largest + 1);
    if (!why[0] && !plan->scratch) {
        snprintf(why, capacity, "there is no memory to convert its objects");
    }
    if (why[0]) {
        layout_cancel(plan);
    }
    slabs_clear(&t);
    keep_room(&t);
    return !why[0];
}

void layout_move_values(layout_plan* plan, u8* values, u64 values_size) {
    if (!plan->object_count || !values) {
        return;
    }
    u64 low = plan->objects[0].old_start, high = low;
    for (u64 i = 0; i < plan->object_count; ++i) {
        u64 end = plan->objects[i].old_start + plan->objects[i].old_size + 1;
        high = end > high ? end : high;
    }
    move_range(plan, (u64*)values, (u64*)(values + (values_size & ~7ull)), low, high);
}

void layout_cancel(layout_plan* plan) {
    for (u64 i = 0; i < plan->object_count; ++i) {
        if (plan->objects[i].new_start != plan->objects[i].old_start) {
            heap_free((void*)plan->objects[i].new_start);
        }
    }
    plan->object_count = 0;
    free(plan->scratch);
    plan->scratch = NULL;
}

// Where a word of the running build's memory lies now: in a converted
// object's new place, or in the globals' copy.
static u64* word_now(layout_plan* p, u64 at, u8* values, u64 values_base, u64 values_size) {
    u64 moved;
    if (at - values_base < values_size) {
        return (u64*)(values + (at - values_base));
    }
    return moved_word(p, at, &moved) && moved ? (u64*)moved : (u64*)at;
}

// A pointer into (or just past) a converted buffer, by its element's place.
static u64 in_new_buffer(layout_plan* p, u64 begin, u64 value) {
    u64 count = objects_up_to(p, begin);
    const layout_object* o = count ? &p->objects[count - 1] : NULL;
    if (!o || o->old_start != begin || value < begin) {
        return value;
    }
    u64 old_step = old_info(p, o->old_type)->size, new_step = new_info(p, o->new_type)->size;
    return o->new_start + (value - begin) / old_step * new_step;
}

static void fix_vectors(layout_plan* p, u8* values, u64 values_base, u64 values_size) {
    for (u64 i = 0; i < p->vector_count; ++i) {
        const layout_vector* v = &p->vectors[i];
        *word_now(p, v->finish_at, values, values_base, values_size) =
            in_new_buffer(p, v->begin, v->finish);
        if (v->storage_at) {
            *word_now(p, v->storage_at, values, values_base, values_size) =
                in_new_buffer(p, v->begin, v->storage);
        }
    }
}

// By where they lay. A list found from its head is often in allocation
// order, or its reverse: those take one pass.
static void sort_objects(layout_plan* p) {
    layout_object* first = p->objects;
    layout_object* last = p->objects + p->object_count;
    bool32 rising = 1, falling = 1;
    for (u64 i = 1; i < p->object_count && (rising || falling); ++i) {
        rising = rising && first[i - 1].old_start < first[i].old_start;
        falling = falling && first[i - 1].old_start > first[i].old_start;
    }
    if (falling && !rising) {
        std::reverse(first, last);
    } else if (!rising) {
        std::sort(first, last, [](const layout_object& x, const layout_object& y) {
            return x.old_start < y.old_start;
        });
    }
}

void layout_execute(layout_plan* plan, u8* values, u64 values_base, u64 values_size, void** slot,
                    found_word* words, u64 word_count) {
    if (!plan->object_count) {
        return;
    }
    for (u64 i = 0; i < plan->object_count; ++i) {
        convert_object(plan, &plan->objects[i], plan->scratch);
    }
    free(plan->scratch);
    plan->scratch = NULL;
    sort_objects(plan);
    index_slabs(plan);
    index_granules(plan);
    // What moved is let go of once its pointers are: nothing in it is
    // looked at again.
    for (u64 i = 0; i < plan->object_count; ++i) {
        if (plan->objects[i].new_start != plan->objects[i].old_start) {
            memset((void*)plan->objects[i].old_start, 0, plan->objects[i].old_size);
        }
    }
    u64 low = plan->objects[0].old_start, high = low;
    for (u64 i = 0; i < plan->object_count; ++i) {
        u64 end = plan->objects[i].old_start + plan->objects[i].old_size + 1;
        high = end > high ? end : high;
    }
    scan_move_words(low, high - low, slot, move_one, plan);
    layout_move_values(plan, values, values_size);
    fix_vectors(plan, values, values_base, values_size);
    // Words found in an object that moved lie in its new place now; one in
    // a member the next build lacks goes nowhere that is read.
    static u64 nowhere;
    for (u64 i = 0; i < word_count; ++i) {
        u64 at = (u64)words[i].at, moved;
        if (at - low < high - low && moved_word(plan, at, &moved)) {
            words[i].at = moved ? (u64*)moved : &nowhere;
        }
    }
    for (u64 i = 0; i < plan->object_count; ++i) {
        if (plan->objects[i].new_start != plan->objects[i].old_start) {
            heap_free((void*)plan->objects[i].old_start);
        }
    }
}
