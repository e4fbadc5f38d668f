#include "carry/image.h"

#include <cxxabi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

u64 image_hash_text(const char* text, u64 seed) {
    for (; *text; ++text) {
        seed = (seed ^ (u8)*text) * 0x100000001B3ull;
    }
    return seed;
}

u64 image_hash_number(u64 value, u64 seed) {
    for (u32 i = 0; i < 8; ++i) {
        seed = (seed ^ ((value >> (8 * i)) & 0xFF)) * 0x100000001B3ull;
    }
    return seed;
}

bool32 image_problem(image_layout* layout, const char* text) {
    snprintf(layout->problem, sizeof(layout->problem), "%s", text);
    return 0;
}

bool32 image_name_in(const char* name, const char* const* names, u32 count) {
    for (u32 i = 0; i < count; ++i) {
        if (strcmp(name, names[i]) == 0) {
            return 1;
        }
    }
    return 0;
}

void image_add_range(image_range* ranges, u32* count, u64 start, u64 end) {
    if (*count < IMAGE_RANGES && end > start) {
        ranges[*count].start = start;
        ranges[*count].end = end;
        *count += 1;
    }
}

static bool32 grow(void** memory, u64* capacity, u64 needed, u64 unit) {
    if (needed <= *capacity) {
        return 1;
    }
    u64 grown = *capacity ? *capacity * 2 : 256;
    while (grown < needed) {
        grown *= 2;
    }
    void* moved = realloc(*memory, grown * unit);
    if (!moved) {
        return 0;
    }
    *memory = moved;
    *capacity = grown;
    return 1;
}

// Room is tracked beside the layout's own fields: capacities are powers of
// two from 256 on, so they follow from the counts.
static u64 capacity_for(u64 count) {
    u64 capacity = 0;
    if (count) {
        capacity = 256;
        while (capacity < count) {
            capacity *= 2;
        }
    }
    return capacity;
}

const char* image_file_name(const char* path) {
    const char* name = path;
    for (const char* at = path; *at; ++at) {
        if (*at == '/' || *at == '\\') {
            name = at + 1;
        }
    }
    return name;
}

// ---------------------------------------------------------------------------
// Shapes: names with the compilers' counts taken out.

static bool is_digit(char c) { return c >= '0' && c <= '9'; }

static bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

static const char* skip_digits(const char* at) {
    while (is_digit(*at)) {
        ++at;
    }
    return at;
}

// The start of the scope before a name at `at` in demangled text: back over
// "::"-joined parts ("Game::update(float) const::"), each with its
// brackets, to the space, comma or bracket that opens the scope.
static const char* scope_start(const char* text, const char* at) {
    while (at - text >= 2 && at[-1] == ':' && at[-2] == ':') {
        const char* part_end = at - 2;
        const char* p = part_end;
        int depth = 0;
        while (p > text) {
            char c = p[-1];
            if (depth == 0 && c == ':' && p - text >= 2 && p[-2] == ':') {
                break;
            }
            if (c == ')' || c == '>' || c == ']' || c == '}') {
                depth += 1;
            } else if (c == '(' || c == '<' || c == '[' || c == '{') {
                if (depth == 0) {
                    break;
                }
                depth -= 1;
            } else if (depth == 0 && (c == ' ' || c == ',')) {
                // A qualifier after a part's parameters ("(int) const") is the part's.
                const char* word = p;
                bool qualifier = c == ' ' && (strncmp(word, "const", 5) == 0 ||
                                              strncmp(word, "volatile", 8) == 0 || word[0] == '&');
                if (!qualifier || p - 1 == text || p[-2] != ')') {
                    break;
                }
            }
            --p;
        }
        at = p;
    }
    return at;
}

// Copies text to out without its counts: clang's lambdas "$_0" (in a
// mangled name with the length before it, "3$_0"), the Itanium ABI's
// "{lambda(int)#2}" and "{unnamed type#1}" as demangled, blocks'
// "_block_invoke_2", and clones' ".part.0", ".isra.0", ".constprop.0",
// "__cxx_global_var_init.1". True when one was taken out; [*closure,
// *closure_end) is then the last closure type counted, with its scope,
// when there is one ("set_up()::{lambda(int)#2}").
static bool uncount(const char* text, bool mangled, char* out, u32 capacity,
                    const char** closure, const char** closure_end) {
    u32 at = 0;
    bool changed = false;
    *closure = *closure_end = NULL;
    for (const char* in = text; *in && at + 1 < capacity;) {
        const char* next = in;
        if (in[0] == '$' && in[1] == '_' && is_digit(in[2])) {
            const char* token = in;
            if (mangled) {
                while (at > 0 && is_digit(out[at - 1])) {
                    --at;  // its length: "3$_0" and "4$_10" alike
                    --token;
                }
            }
            out[at++] = '$';
            if (at + 1 < capacity) {
                out[at++] = '_';
            }
            next = skip_digits(in + 2);
            *closure = mangled ? token : scope_start(text, token);
            *closure_end = next;
        } else if (in[0] == '#' && is_digit(in[1]) && *skip_digits(in + 1) == '}') {
            next = skip_digits(in + 1);
            const char* open = in;
            while (open > text && *open != '{') {
                --open;
            }
            *closure = scope_start(text, open);
            *closure_end = next + 1;
        } else if (in[0] == '.' && in > text && is_letter(in[-1]) && is_digit(in[1]) &&
                   !is_letter(*skip_digits(in + 1)) && !is_digit(*skip_digits(in + 1))) {
            out[at++] = '.';
            next = skip_digits(in + 1);
        } else if (in[0] == '_' && in[1] == 'b' && strncmp(in, "_block_invoke_", 14) == 0 &&
                   is_digit(in[14])) {
            for (u32 i = 0; i < 13 && at + 1 < capacity; ++i) {
                out[at++] = in[i];
            }
            next = skip_digits(in + 14);
        }
        if (next != in) {
            changed = true;
            in = next;
            continue;
        }
        out[at++] = *in++;
    }
    out[at] = 0;
    return changed;
}

// Whether a name may hold a count at all (most don't: no more work).
static bool may_count(const char* name) {
    return strstr(name, "$_") || strstr(name, "Ul") || strstr(name, "Ut") || strchr(name, '.') ||
           strstr(name, "_block_invoke_");
}

// One name of a key: a mangled C++ name that may hold a count is
// demangled first (the ABI's lambda numbers can't be found in the mangled
// form without parsing the types before them). *family: the hash of its
// closure type's text (seeded with seed), 0 for none.
static bool uncount_name(const char* name, char* out, u32 capacity, u64 seed, u64* family) {
    *family = 0;
    if (!may_count(name)) {
        return false;
    }
    const char* closure;
    const char* closure_end;
    bool mangled = name[0] == '_' && name[1] == 'Z';
    char* demangled = NULL;
    int status = -1;
    if (mangled) {
        demangled = abi::__cxa_demangle(name, NULL, NULL, &status);
    }
    const char* text = demangled && status == 0 ? demangled : name;
    bool changed = uncount(text, text == name && mangled, out, capacity, &closure, &closure_end);
    for (const char* c = closure; changed && c && c < closure_end; ++c) {
        seed = (seed ^ (u8)*c) * 0x100000001B3ull;
        *family = seed | 1;
    }
    free(demangled);
    return changed;
}

// The shape of a key, and the hash of the closure type its names count
// in (0 for none) when family is given.
static bool32 shape_of_key(const char* key, char* out, u32 capacity, u64* family) {
    // Keys join names with ':' ("file:function:name"); mangled names hold none.
    u32 at = 0;
    bool changed = false;
    u64 seed = IMAGE_HASH_SEED;
    out[0] = 0;
    if (family) {
        *family = 0;
    }
    if (!may_count(key)) {
        snprintf(out, capacity, "%s", key);
        return 0;
    }
    for (const char* part = key;;) {
        const char* end = strchr(part, ':');
        u64 length = end ? (u64)(end - part) : strlen(part);
        char name[4096];
        char shaped[4096];
        if (length >= sizeof(name)) {
            changed = false;  // too long to be read whole: taken as it is
            break;
        }
        memcpy(name, part, length);
        name[length] = 0;
        u64 closure = 0;
        bool counted = uncount_name(name, shaped, sizeof(shaped), seed, &closure);
        changed |= counted;
        if (closure && family) {
            *family = closure;
        }
        if (part == key && end) {
            seed = image_hash_text(name, seed);  // the file: closures are each file's own
        }
        const char* text = counted ? shaped : name;
        u64 text_length = strlen(text);
        if (at + text_length + 2 > capacity) {
            changed = false;
            break;
        }
        memcpy(out + at, text, text_length);
        at += (u32)text_length;
        if (!end) {
            break;
        }
        out[at++] = ':';
        part = end + 1;
    }
    out[at] = 0;
    if (!changed) {
        snprintf(out, capacity, "%s", key);
        if (family) {
            *family = 0;
        }
        return 0;
    }
    return 1;
}

bool32 image_shape(const char* key, char* out, u32 capacity) {
    return shape_of_key(key, out, capacity, NULL);
}

// Appends text to the layout's names: its offset, or ~0u without memory.
static u32 add_name(image_layout* layout, const char* text) {
    u64 names = capacity_for(layout->names_size);
    u64 length = strlen(text) + 1;
    if (layout->names_size + length > 0xFFFFFFFFull ||
        !grow((void**)&layout->names, &names, layout->names_size + length, 1)) {
        return ~0u;
    }
    memcpy(layout->names + layout->names_size, text, length);
    layout->names_size += length;
    return (u32)(layout->names_size - length);
}

bool32 image_add(image_layout* layout, u64 address, u64 size, image_kind kind, const char* key,
                 const char* path, u64 type_hash) {
    u64 symbols = capacity_for(layout->symbol_count);
    if (!grow((void**)&layout->symbols, &symbols, (u64)layout->symbol_count + 1,
              sizeof(image_symbol))) {
        return 0;
    }
    image_symbol symbol;
    memset(&symbol, 0, sizeof(symbol));
    symbol.address = address;
    symbol.size = size;
    symbol.kind = kind;
    symbol.type_hash = type_hash;
    char shape[4096];
    symbol.flags = shape_of_key(key, shape, sizeof(shape), &symbol.family_hash) ? IMAGE_COUNTED : 0;
    symbol.key_hash = image_hash_text(shape, IMAGE_HASH_SEED);
    symbol.key = add_name(layout, key);
    symbol.shape = symbol.flags ? add_name(layout, shape) : symbol.key;
    // Most symbols follow the one before in its file: its path once.
    path = path ? path : "";
    const image_symbol* last =
        layout->symbol_count ? &layout->symbols[layout->symbol_count - 1] : NULL;
    symbol.path = last && strcmp(layout->names + last->path, path) == 0 ? last->path
                                                                          : add_name(layout, path);
    if (symbol.key == ~0u || symbol.shape == ~0u || symbol.path == ~0u) {
        return 0;
    }
    layout->symbols[layout->symbol_count++] = symbol;
    layout->kept_count += kind == IMAGE_KEPT;
    return 1;
}

static int by_address(const void* a, const void* b) {
    const image_symbol* x = (const image_symbol*)a;
    const image_symbol* y = (const image_symbol*)b;
    return x->address < y->address ? -1 : x->address > y->address ? 1 : 0;
}

static const image_layout* sorting;

static int by_key(const void* a, const void* b) {
    const image_symbol* x = &sorting->symbols[*(const u32*)a];
    const image_symbol* y = &sorting->symbols[*(const u32*)b];
    if (x->key_hash != y->key_hash) {
        return x->key_hash < y->key_hash ? -1 : 1;
    }
    return x->kind < y->kind ? -1 : x->kind > y->kind ? 1 : 0;
}

static int by_family(const void* a, const void* b) {
    u64 x = sorting->symbols[*(const u32*)a].family_hash;
    u64 y = sorting->symbols[*(const u32*)b].family_hash;
    return x < y ? -1 : x > y ? 1 : 0;
}

bool32 image_finish(image_layout* layout) {
    if (!layout->symbol_count) {
        return 1;
    }
    qsort(layout->symbols, layout->symbol_count, sizeof(image_symbol), by_address);
    // Aliases of a function whose name counts (a constructor's complete and
    // base forms, one function) are one: their shapes are the same.
    u32 kept = 0;
    for (u32 i = 0; i < layout->symbol_count; ++i) {
        const image_symbol* symbol = &layout->symbols[i];
        const image_symbol* before = kept ? &layout->symbols[kept - 1] : NULL;
        if (before && symbol->kind == IMAGE_CODE && (symbol->flags & IMAGE_COUNTED) &&
            before->kind == IMAGE_CODE && before->address == symbol->address &&
            strcmp(layout->names + before->shape, layout->names + symbol->shape) == 0) {
            continue;
        }
        layout->symbols[kept++] = *symbol;
    }
    layout->symbol_count = kept;
    free(layout->by_key);
    free(layout->families);
    layout->families = NULL;
    layout->by_key = (u32*)malloc((u64)layout->symbol_count * sizeof(u32));
    if (!layout->by_key) {
        return 0;
    }
    layout->family_count = 0;
    for (u32 i = 0; i < layout->symbol_count; ++i) {
        layout->by_key[i] = i;
        layout->family_count += layout->symbols[i].family_hash != 0;
    }
    sorting = layout;
    qsort(layout->by_key, layout->symbol_count, sizeof(u32), by_key);
    if (layout->family_count) {
        layout->families = (u32*)malloc((u64)layout->family_count * sizeof(u32));
        if (!layout->families) {
            return 0;
        }
        for (u32 i = 0, at = 0; i < layout->symbol_count; ++i) {
            if (layout->symbols[i].family_hash) {
                layout->families[at++] = i;
            }
        }
        qsort(layout->families, layout->family_count, sizeof(u32), by_family);
    }
    return 1;
}

void image_free(image_layout* layout) {
    free(layout->symbols);
    free(layout->names);
    free(layout->by_key);
    free(layout->families);
    memset(layout, 0, sizeof(*layout));
}

const image_symbol* image_symbol_at(const image_layout* layout, u64 address) {
    u32 low = 0;
    u32 high = layout->symbol_count;
    // The last symbol that starts at or before address.
    while (low < high) {
        u32 middle = low + (high - low) / 2;
        if (layout->symbols[middle].address <= address) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    // Symbols may nest (an alias inside an object): the nearest that holds it.
    for (u32 i = low; i-- > 0 && low - i <= 4;) {
        const image_symbol* symbol = &layout->symbols[i];
        if (address - symbol->address < symbol->size ||
            (address == symbol->address && symbol->kind == IMAGE_CODE)) {
            return symbol;
        }
    }
    return NULL;
}

// ---------------------------------------------------------------------------
// Finding the same symbol in another build.

static const char* shape_of(const image_layout* layout, const image_symbol* symbol) {
    return layout->names + symbol->shape;
}

static const char* path_of(const image_layout* layout, const image_symbol* symbol) {
    return layout->names + symbol->path;
}

// The symbols of layout with like's shape and kind (like spelled in from),
// as indices into by_key: [*first, end) holds them and others whose shape
// only hashes alike, which candidate() tells apart.
static u32 shape_run(const image_layout* layout, const image_symbol* like, u32* first) {
    u32 low = 0;
    u32 high = layout->symbol_count;
    while (low < high) {
        u32 middle = low + (high - low) / 2;
        const image_symbol* at = &layout->symbols[layout->by_key[middle]];
        if (at->key_hash < like->key_hash ||
            (at->key_hash == like->key_hash && at->kind < like->kind)) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    *first = low;
    while (high < layout->symbol_count) {
        const image_symbol* at = &layout->symbols[layout->by_key[high]];
        if (at->key_hash != like->key_hash || at->kind != like->kind) {
            break;
        }
        ++high;
    }
    return high;
}

typedef struct candidates {
    const image_layout* layout;
    u32 first, end;
    const char* shape;
} candidates;

static candidates shaped_like(const image_layout* layout, const image_symbol* like,
                              const image_layout* from) {
    candidates c;
    c.layout = layout;
    c.shape = shape_of(from, like);
    c.end = shape_run(layout, like, &c.first);
    return c;
}

// The i-th entry of a run, or null when its shape only hashes alike.
static const image_symbol* candidate(const candidates* c, u32 i) {
    const image_symbol* at = &c->layout->symbols[c->layout->by_key[i]];
    return strcmp(shape_of(c->layout, at), c->shape) == 0 ? at : NULL;
}

// How many whole parts two paths share at their ends ("a/util.c" and
// "b/a/util.c": 2); either separator.
static u32 common_tail(const char* a, const char* b) {
    u64 i = strlen(a), j = strlen(b);
    u32 parts = 0;
    for (;;) {
        bool a_end = i == 0 || a[i - 1] == '/' || a[i - 1] == '\\';
        bool b_end = j == 0 || b[j - 1] == '/' || b[j - 1] == '\\';
        if (a_end && b_end) {
            parts += 1;
            if (i == 0 || j == 0) {
                return parts;
            }
            --i, --j;
        } else if (a_end || b_end || a[i - 1] != b[j - 1]) {
            return parts;
        } else {
            --i, --j;
        }
    }
}

// The one of c whose path ends most like path, or null (tied with twice set).
static const image_symbol* closest_path(const candidates* c, const char* path, bool32* twice) {
    const image_symbol* best = NULL;
    u32 best_parts = 0;
    *twice = 0;
    for (u32 i = c->first; i < c->end; ++i) {
        const image_symbol* at = candidate(c, i);
        if (!at) {
            continue;
        }
        u32 parts = common_tail(path_of(c->layout, at), path);
        if (!best || parts > best_parts) {
            best = at;
            best_parts = parts;
            *twice = 0;
        } else if (parts == best_parts) {
            *twice = 1;
        }
    }
    return *twice ? NULL : best;
}

// Of one shape: the one whose path ends most like like's, when like's is
// also the closest to its (two files of one name in folders of their own).
static const image_symbol* by_path(const candidates* there, const image_layout* from,
                                   const image_symbol* like, bool32* twice) {
    const image_symbol* found = closest_path(there, path_of(from, like), twice);
    if (!found) {
        return NULL;
    }
    candidates here = shaped_like(from, like, from);
    const image_symbol* back = closest_path(&here, path_of(there->layout, found), twice);
    if (back != like) {
        return NULL;  // another has the closer claim (or none has: twice)
    }
    return found;
}

// At most this many of one shape are paired by elimination; more than
// SHAPE_MOST of one shape, or FAMILY_MOST symbols of one closure type, are
// more than a real program has: none of them is taken for another (a
// hostile module's table of thousands can't make every lookup slow).
#define LEFT_OVER_MOST 64
#define SHAPE_MOST 1024
#define FAMILY_MOST 256

// How many of c have code (those before stop, when given); the last in *last.
static u32 with_code(const candidates* c, u64 code, const image_symbol* stop,
                     const image_symbol** last) {
    u32 count = 0;
    for (u32 i = c->first; i < c->end; ++i) {
        const image_symbol* at = candidate(c, i);
        if (at == stop && stop) {
            return count;
        }
        if (at && at->code_hash == code) {
            count += 1;
            *last = at;
        }
    }
    return count;
}

// The members of c whose code none of other has; the last of them in *last.
static u32 left_over(const candidates* c, const candidates* other, const image_symbol** last) {
    u32 count = 0;
    for (u32 i = c->first; i < c->end; ++i) {
        const image_symbol* at = candidate(c, i);
        const image_symbol* unused = NULL;
        if (at && !with_code(other, at->code_hash, NULL, &unused)) {
            count += 1;
            *last = at;
        }
    }
    return count;
}

// A function whose name counts: the one of its shape with its code, else
// the one left when every other of its shape on both sides found its own.
// Null with twice set when that can't tell; *alike: how many of its shape
// have its code then.
static const image_symbol* by_code(const candidates* there, const image_layout* from,
                                   const image_symbol* like, bool32* twice, u32* alike) {
    candidates here = shaped_like(from, like, from);
    const image_symbol* found = NULL;
    const image_symbol* mine = NULL;
    u32 there_count = with_code(there, like->code_hash, NULL, &found);
    u32 here_count = with_code(&here, like->code_hash, NULL, &mine);
    *alike = 0;
    if (there_count == 1 && here_count == 1) {
        return found;
    }
    if (there_count) {
        *alike = there_count;
        *twice = 1;
        return NULL;
    }
    if (there->end - there->first > LEFT_OVER_MOST || here.end - here.first > LEFT_OVER_MOST) {
        *twice = 1;
        return NULL;
    }
    const image_symbol* left_there = NULL;
    const image_symbol* left_here = NULL;
    u32 there_left = left_over(there, &here, &left_there);
    u32 here_left = left_over(&here, there, &left_here);
    if (!there_left) {
        return NULL;  // it went
    }
    if (there_left == 1 && here_left == 1) {
        return left_there;  // its code changed
    }
    *twice = 1;
    return NULL;
}

// Of functions that all do the same: the one at like's place among them.
static const image_symbol* alike_one(const candidates* there, const image_layout* from,
                                     const image_symbol* like, u32 there_count) {
    candidates here = shaped_like(from, like, from);
    const image_symbol* mine = NULL;
    u32 rank = with_code(&here, like->code_hash, like, &mine);
    rank = rank < there_count ? rank : there_count - 1;
    for (u32 i = there->first; i < there->end; ++i) {
        const image_symbol* at = candidate(there, i);
        if (at && at->code_hash == like->code_hash && rank-- == 0) {
            return at;
        }
    }
    return NULL;
}

// The symbols of a closure type: [*first, end) of layout->families.
static u32 family_run(const image_layout* layout, u64 family, u32* first) {
    u32 low = 0, high = layout->family_count;
    while (low < high) {
        u32 middle = low + (high - low) / 2;
        if (layout->symbols[layout->families[middle]].family_hash < family) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    *first = low;
    while (high < layout->family_count &&
           layout->symbols[layout->families[high]].family_hash == family) {
        ++high;
    }
    return high;
}

// The closure type of to that the functions of from's closure type `family`
// found by their code (and whose own found it back), or 0.
static u64 family_partner(const image_layout* to, const image_layout* from, u64 family,
                          u64 partner) {
    u32 first;
    u32 end = family_run(from, family, &first);
    if (end - first > FAMILY_MOST) {
        return 0;
    }
    for (u32 i = first; i < end; ++i) {
        const image_symbol* member = &from->symbols[from->families[i]];
        if (member->kind != IMAGE_CODE) {
            continue;
        }
        candidates there = shaped_like(to, member, from);
        if (there.end - there.first > SHAPE_MOST) {
            continue;
        }
        bool32 unsure = 0;
        u32 alike = 0;
        const image_symbol* found = by_code(&there, from, member, &unsure, &alike);
        if (found && found->family_hash) {
            if (partner && partner != found->family_hash) {
                return 0;
            }
            partner = found->family_hash;
        }
    }
    return partner;
}

// What belongs to like's closure type in layout: the one of its shape in
// the closure type its functions found; null when none is sure.
static const image_symbol* in_family(const image_layout* layout, const image_symbol* like,
                                     const image_layout* from) {
    u64 partner = family_partner(layout, from, like->family_hash, 0);
    if (!partner || family_partner(from, layout, partner, like->family_hash) != like->family_hash) {
        return NULL;
    }
    const image_symbol* found = NULL;
    const char* shape = shape_of(from, like);
    u32 first;
    u32 end = family_run(layout, partner, &first);
    for (u32 i = first; i < end && end - first <= FAMILY_MOST; ++i) {
        const image_symbol* at = &layout->symbols[layout->families[i]];
        if (at->kind == like->kind && strcmp(shape_of(layout, at), shape) == 0) {
            if (found) {
                return NULL;
            }
            found = at;
        }
    }
    return found;
}

const image_symbol* image_find(const image_layout* layout, const image_symbol* like,
                               const image_layout* from, bool32* twice) {
    *twice = 0;
    candidates there = shaped_like(layout, like, from);
    candidates here = shaped_like(from, like, from);
    if (there.end - there.first > SHAPE_MOST || here.end - here.first > SHAPE_MOST) {
        *twice = 1;
        return NULL;
    }
    const image_symbol* only = NULL;
    u32 count = 0;
    for (u32 i = there.first; i < there.end; ++i) {
        const image_symbol* at = candidate(&there, i);
        if (at) {
            only = at;
            count += 1;
        }
    }
    if (!count) {
        return NULL;
    }
    if (like->flags & IMAGE_COUNTED) {
        u32 alike = 0;
        const image_symbol* found = NULL;
        if (like->kind == IMAGE_CODE) {
            found = by_code(&there, from, like, twice, &alike);
            if (found || !*twice) {
                return found;
            }
        }
        found = like->family_hash ? in_family(layout, like, from) : NULL;
        if (found) {
            *twice = 0;
            return found;
        }
        if (like->kind == IMAGE_CODE) {
            if (alike && (like->flags & IMAGE_WHOLE_CODE)) {
                *twice = 0;
                return alike_one(&there, from, like, alike);
            }
            return NULL;
        }
    }
    if (count == 1) {
        u32 mine = 0;
        for (u32 i = here.first; i < here.end; ++i) {
            mine += candidate(&here, i) != NULL;
        }
        if (mine <= 1) {
            return only;  // the one of its name on both sides, wherever its file lies
        }
    }
    return by_path(&there, from, like, twice);
}
