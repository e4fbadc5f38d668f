#include "carry/state.h"

#include "carry/names.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "guard/undo.h"
#include "platform/clock.h"
#include "platform/heap.h"
#include "platform/memory.h"

// Fixed places past the heap's span, so state that points at them reads the
// same in every run: copies of old builds' read-only data, then the pages no
// access may touch that stand for what a reload removed.
#define COPIES_BASE (HEAP_BASE + HEAP_SPAN)
#define COPIES_SPAN (1ull << 32)
#define REMOVED_BASE (COPIES_BASE + COPIES_SPAN)
#define REMOVED_SPAN (1ull << 32)
#define REMOVED_STEP (1ull << 20)
#define CACHE_SLOTS (1u << 16)
// The names a title's note gives of each list; standard error gives all.
#define TITLE_NAMES 3
#define UNNAMED_DATA "unnamed data of the old build"

static u64 copies_used;
static u64 removed_used;
static u64 removed_mapped;

typedef struct removed_thing {
    u64 start;
    u64 end;
    u64 code_hash;   // of a function whose name counts: only that code takes it back
    bool32 function;
    bool32 unsure;   // not removed: the reload can't tell which of several it is
    bool32 middle;   // the middle of a function (a return address): no removal
    u32 kind;        // the image_kind it had
    char key[256];   // its key, so a later build that has it again takes it back
} removed_thing;

static removed_thing* removed;
static u32 removed_count;
static u32 removed_capacity;
static state_counts last_counts;

state_counts state_last_counts(void) { return last_counts; }

// ---------------------------------------------------------------------------
// Taking.

static u64 read_only_bytes(const image_layout* layout) {
    u64 bytes = 0;
    for (u32 i = 0; i < layout->read_only_count; ++i) {
        bytes += layout->read_only[i].end - layout->read_only[i].start;
    }
    return bytes;
}

// A layout's own copy of another's arrays.
static bool32 copy_layout(image_layout* to, const image_layout* from) {
    *to = *from;
    to->symbols = (image_symbol*)malloc((u64)from->symbol_count * sizeof(image_symbol) + 1);
    to->by_key = (u32*)malloc((u64)from->symbol_count * sizeof(u32) + 1);
    to->names = (char*)malloc(from->names_size + 1);
    to->families = (u32*)malloc((u64)from->family_count * sizeof(u32) + 1);
    if (!to->symbols || !to->by_key || !to->names || !to->families) {
        image_free(to);
        return 0;
    }
    memcpy(to->symbols, from->symbols, (u64)from->symbol_count * sizeof(image_symbol));
    memcpy(to->by_key, from->by_key, (u64)from->symbol_count * sizeof(u32));
    memcpy(to->names, from->names, from->names_size);
    if (from->family_count) {
        memcpy(to->families, from->families, (u64)from->family_count * sizeof(u32));
    }
    return 1;
}

void state_clear(state_taken* taken) {
    image_free(&taken->layout);
    free(taken->values);
    free(taken->words);
    memset(taken, 0, sizeof(*taken));
}

void state_take(state_taken* taken, const image_layout* layout) {
    state_clear(taken);
    u64 data = layout->data.end - layout->data.start;
    u64 read_only = read_only_bytes(layout);
    if (!copy_layout(&taken->layout, layout)) {
        return;
    }
    // The data first, then the read-only data, range after range.
    taken->values = (u8*)malloc(data + read_only + 1);
    if (!taken->values) {
        state_clear(taken);
        return;
    }
    taken->values_size = data;
    memcpy(taken->values, (const void*)layout->data.start, data);
    u8* at = taken->values + data;
    for (u32 i = 0; i < layout->read_only_count; ++i) {
        u64 length = layout->read_only[i].end - layout->read_only[i].start;
        memcpy(at, (const void*)layout->read_only[i].start, length);
        at += length;
    }
    taken->taken = 1;
}

// Where an old address's read-only byte lies in the taken copy; null when it
// is not read-only data.
static const u8* taken_read_only(const state_taken* taken, u64 address, u64* left) {
    const u8* at = taken->values + taken->values_size;
    for (u32 i = 0; i < taken->layout.read_only_count; ++i) {
        const image_range* range = &taken->layout.read_only[i];
        if (address >= range->start && address < range->end) {
            *left = range->end - address;
            return at + (address - range->start);
        }
        at += range->end - range->start;
    }
    return NULL;
}

// ---------------------------------------------------------------------------
// Fixed places.

// The taken read-only data at its fixed place, made once per taken state.
static u64 materialize_read_only(state_taken* taken) {
    if (taken->read_only_copy) {
        return taken->read_only_copy;
    }
    u64 bytes = read_only_bytes(&taken->layout);
    u64 rounded = (bytes + 0xFFFF) & ~0xFFFFull;
    if (!bytes || copies_used + rounded > COPIES_SPAN) {
        return 0;
    }
    u8* pages = memory_map_pages((void*)(COPIES_BASE + copies_used), rounded, 0);
    if (!pages) {
        return 0;
    }
    memcpy(pages, taken->values + taken->values_size, bytes);
    copies_used += rounded;
    taken->read_only_copy = (u64)pages;
    return taken->read_only_copy;
}

// A stand-in no access may touch for something removed, its size long (at
// least 16 bytes); 0 when none can be had.
static u64 stand_in(const char* key, u32 kind, u64 size, bool32 middle, bool32 unsure,
                    u64 code_hash) {
    for (u32 i = 0; i < removed_count; ++i) {
        if (removed[i].kind == kind && removed[i].middle == middle &&
            removed[i].unsure == unsure && removed[i].code_hash == code_hash &&
            strcmp(removed[i].key, key) == 0 &&
            removed[i].end - removed[i].start >= size) {
            return removed[i].start;
        }
    }
    u64 bytes = ((size < 16 ? 16 : size) + 15) & ~15ull;
    while (removed_used + bytes > removed_mapped) {
        if (removed_mapped + REMOVED_STEP > REMOVED_SPAN) {
            return 0;
        }
        u8* pages = memory_map_pages((void*)(REMOVED_BASE + removed_mapped), REMOVED_STEP, 0);
        if (!pages || !memory_protect_no_access(pages, REMOVED_STEP)) {
            return 0;
        }
        removed_mapped += REMOVED_STEP;
    }
    if (removed_count == removed_capacity) {
        u32 grown = removed_capacity ? removed_capacity * 2 : 64;
        void* moved = realloc(removed, grown * sizeof(removed_thing));
        if (!moved) {
            return 0;
        }
        removed = (removed_thing*)moved;
        removed_capacity = grown;
    }
    removed_thing* thing = &removed[removed_count++];
    thing->start = REMOVED_BASE + removed_used;
    thing->end = thing->start + bytes;
    thing->function = kind == IMAGE_CODE;
    thing->middle = middle;
    thing->unsure = unsure;
    thing->code_hash = code_hash;
    thing->kind = kind;
    snprintf(thing->key, sizeof(thing->key), "%s", key);
    removed_used += bytes;
    return thing->start;
}

static const removed_thing* removed_at(u64 address) {
    for (u32 i = 0; i < removed_count; ++i) {
        if (address >= removed[i].start && address < removed[i].end) {
            return &removed[i];
        }
    }
    return NULL;
}

bool32 state_removed_words(u64 address, bool32 executed, char* out, u32 capacity) {
    const removed_thing* thing = removed_at(address);
    if (!thing) {
        return 0;
    }
    char name[256];
    name_readable(thing->key, 0, name, sizeof(name));
    if (thing->middle) {
        snprintf(out, capacity, "jump into the old build's code the reload replaced: the middle "
                 "of %s", name);
    } else if (thing->unsure && (executed || thing->function)) {
        snprintf(out, capacity, "call of a function the reload can't tell apart: %s", name);
    } else if (thing->unsure) {
        snprintf(out, capacity, "use of %s, which the reload can't tell apart", name);
    } else if (executed || thing->function) {
        snprintf(out, capacity, "call of a function the reload removed: %s", name);
    } else {
        snprintf(out, capacity, "use of %s, which the reload removed", name);
    }
    return 1;
}

// ---------------------------------------------------------------------------
// Moving pointers.

typedef struct string_index {
    u64* hashes;  // of each string of the new build, by hash; 0 for free
    u64* places;
    u64 slots;
} string_index;

typedef struct mover {
    state_taken* taken;
    const image_layout* from;
    const image_layout* to;
    u64* cache_old;  // old word + 1, 0 for free
    u64* cache_new;
    string_index strings;
    name_list removed;  // what the reload removed that the state points at
    name_list unsure;   // what it can't tell apart from another
    bool32 unnamed_data;  // and something of no name
    // Globals of a build at the old one's place that the state points at and
    // that moved all the same: a table keyed by their addresses misses them.
    name_list moved;
    u64 removed_words;
    u64 moved_words;
} mover;

static u64 hash_bytes_to_zero(const u8* text, u64 length) {
    u64 hash = IMAGE_HASH_SEED;
    for (u64 i = 0; i < length; ++i) {
        hash = (hash ^ text[i]) * 0x100000001B3ull;
    }
    return hash | 1;
}

// Every string that starts a string of the new build's string sections.
static void index_strings(mover* m) {
    string_index* index = &m->strings;
    u64 bytes = 0;
    for (u32 i = 0; i < m->to->string_count; ++i) {
        bytes += m->to->strings[i].end - m->to->strings[i].start;
    }
    index->slots = 1024;
    while (index->slots < bytes / 4) {
        index->slots *= 2;
    }
    index->hashes = (u64*)calloc(index->slots, sizeof(u64));
    index->places = (u64*)calloc(index->slots, sizeof(u64));
    if (!index->hashes || !index->places) {
        index->slots = 0;
        return;
    }
    for (u32 i = 0; i < m->to->string_count; ++i) {
        const u8* at = (const u8*)m->to->strings[i].start;
        const u8* end = (const u8*)m->to->strings[i].end;
        while (at < end) {
            const u8* stop = (const u8*)memchr(at, 0, (u64)(end - at));
            if (!stop) {
                break;
            }
            u64 hash = hash_bytes_to_zero(at, (u64)(stop - at) + 1);
            u64 slot = hash & (index->slots - 1);
            while (index->hashes[slot] && index->hashes[slot] != hash) {
                slot = (slot + 1) & (index->slots - 1);
            }
            if (!index->hashes[slot]) {
                index->hashes[slot] = hash;
                index->places[slot] = (u64)at;
            }
            at = stop + 1;
        }
    }
}

// The new build's copy of an old string, or 0.
static u64 same_string(mover* m, u64 word) {
    u64 left = 0;
    const u8* text = taken_read_only(m->taken, word, &left);
    bool in_strings = false;
    for (u32 i = 0; i < m->from->string_count; ++i) {
        in_strings |= word >= m->from->strings[i].start && word < m->from->strings[i].end;
    }
    const u8* stop = text && in_strings ? (const u8*)memchr(text, 0, left) : NULL;
    if (!stop) {
        return 0;
    }
    if (!m->strings.hashes && m->to->string_count) {
        index_strings(m);
    }
    if (!m->strings.slots) {
        return 0;
    }
    u64 length = (u64)(stop - text) + 1;
    u64 hash = hash_bytes_to_zero(text, length);
    for (u64 slot = hash & (m->strings.slots - 1); m->strings.hashes[slot];
         slot = (slot + 1) & (m->strings.slots - 1)) {
        const u8* place = (const u8*)m->strings.places[slot];
        if (m->strings.hashes[slot] == hash && memcmp(place, text, length) == 0) {
            return (u64)place;
        }
    }
    return 0;
}

// What stands for a removed thing; named once. A word into the middle of a
// function (most often a return address left in memory no one reads) is
// no sign of a removal: a stand-in, but no name.
static u64 removed_word(mover* m, const char* key, u32 kind, u64 size, u64 offset,
                        bool32 middle, bool32 unsure, u64 code_hash) {
    bool32 unnamed = strcmp(key, UNNAMED_DATA) == 0;
    m->unnamed_data |= unnamed;
    name_list* names = unsure ? &m->unsure : &m->removed;
    if (!middle && !unnamed && !name_list_has(names, key)) {
        name_list_add(names, key, "");
    }
    m->removed_words += !middle;
    u64 place = stand_in(key, kind, size, middle, unsure, code_hash);
    return place ? place + offset : 0;
}

// The symbol holding an old word: the one it lies in, else the one it lies
// just past (an end pointer).
static const image_symbol* holder(const image_layout* layout, u64 word, u64* offset) {
    const image_symbol* inside = image_symbol_at(layout, word);
    if (inside) {
        *offset = word - inside->address;
        return inside;
    }
    const image_symbol* before = word ? image_symbol_at(layout, word - 1) : NULL;
    if (before && before->kind != IMAGE_CODE && before->address + before->size == word) {
        *offset = before->size;
        return before;
    }
    return NULL;
}

// The types of a global in the build that left the state and in the next.
static bool32 global_types(const mover* m, const image_symbol* old, const image_symbol* now,
                           u32* old_type, u32* new_type) {
    layout_plan* plan = m->taken->plan;
    if (!plan || (old->size == now->size && old->type_hash == now->type_hash)) {
        return 0;
    }
    *old_type = types_global_at(plan->from, old->address - m->from->bias);
    *new_type = types_global_at(plan->to, now->address - m->to->bias);
    return *old_type != TYPE_NONE && *new_type != TYPE_NONE;
}

// Where offset into a global whose type changed lies in the next build's.
static bool32 converted_offset(const mover* m, const image_symbol* old, const image_symbol* now,
                               u64 offset, u64* mapped) {
    u32 old_type, new_type;
    return global_types(m, old, now, &old_type, &new_type) &&
           layout_map_offset(m->taken->plan, old_type, new_type, offset, mapped);
}

// Where an old word goes in the new build.
static u64 translate(mover* m, u64 word) {
    u64 offset = 0;
    const image_symbol* old = holder(m->from, word, &offset);
    if (old) {
        bool32 twice = 0;
        const image_symbol* now = image_find(m->to, old, m->from, &twice);
        const char* key = image_key(m->from, old);
        if (old->kind == IMAGE_CODE) {
            if (offset) {
                return removed_word(m, key, IMAGE_CODE, 16, 0, 1, 0, 0);
            }
            return now && !twice ? now->address
                                 : removed_word(m, key, IMAGE_CODE, 16, 0, 0, twice, old->code_hash);
        }
        u64 mapped = 0;
        if (now && !twice && old->kind == IMAGE_KEPT && converted_offset(m, old, now, offset, &mapped)) {
            return now->address + mapped;
        }
        if (now && !twice && offset <= now->size && (offset < now->size || offset == old->size)) {
            if (old->kind == IMAGE_KEPT && m->from->base == m->to->base &&
                now->address != old->address && !name_list_has(&m->moved, key)) {
                name_list_add(&m->moved, key, "");
            }
            return now->address + offset;
        }
        if (old->kind != IMAGE_READ_ONLY) {
            return removed_word(m, key, old->kind, old->size, offset, 0, twice, 0);
        }
    }
    u64 left = 0;
    if (taken_read_only(m->taken, word, &left)) {
        u64 string = same_string(m, word);
        if (string) {
            return string;
        }
        u64 copy = materialize_read_only(m->taken);
        // The copy keeps the ranges' order, back to back.
        u64 at = 0;
        for (u32 i = 0; copy && i < m->from->read_only_count; ++i) {
            const image_range* range = &m->from->read_only[i];
            if (word >= range->start && word < range->end) {
                return copy + at + (word - range->start);
            }
            at += range->end - range->start;
        }
    }
    return removed_word(m, UNNAMED_DATA, IMAGE_DATA, 16, 0, 0, 0, 0);
}

// A stand-in for something a later build has again: back to it.
static u64 restore_removed(mover* m, u64 word) {
    const removed_thing* thing = removed_at(word);
    if (!thing || thing->middle) {
        return word;
    }
    // image_find looks from a layout: one of the one symbol it was, its
    // names the key, then the shape (the path is the key's end: none).
    char names[2 * sizeof(thing->key) + 2];
    u32 shape_at = (u32)strlen(thing->key) + 1;
    memcpy(names, thing->key, shape_at);
    image_symbol like;
    memset(&like, 0, sizeof(like));
    like.kind = thing->kind;
    like.code_hash = thing->code_hash;
    like.flags = image_shape(thing->key, names + shape_at, sizeof(names) - shape_at) ? IMAGE_COUNTED
                                                                                    : 0;
    like.key_hash = image_hash_text(names + shape_at, IMAGE_HASH_SEED);
    like.shape = shape_at;
    like.path = shape_at - 1;
    u32 only = 0;
    image_layout named;
    memset(&named, 0, sizeof(named));
    named.names = names;
    named.symbols = &like;
    named.symbol_count = 1;
    named.by_key = &only;
    bool32 twice = 0;
    const image_symbol* now = image_find(m->to, &like, &named, &twice);
    u64 offset = word - thing->start;
    bool32 same_code = !(like.flags & IMAGE_COUNTED) || (now && now->code_hash == like.code_hash);
    return now && !twice && same_code &&
                   (offset < now->size || (!offset && now->kind == IMAGE_CODE))
               ? now->address + offset
               : word;
}

static u64 move_word(mover* m, u64 word) {
    u64 slot = ((word * 0x9E3779B97F4A7C15ull) >> 48) & (CACHE_SLOTS - 1);
    while (m->cache_old[slot]) {
        if (m->cache_old[slot] == word + 1) {
            return m->cache_new[slot];
        }
        slot = (slot + 1) & (CACHE_SLOTS - 1);
    }
    u64 moved = translate(m, word);
    m->cache_old[slot] = word + 1;
    m->cache_new[slot] = moved;
    return moved;
}

// Every aligned word in [start, start + length) that points into the old
// image.
static void scan(mover* m, u8* start, u64 length) {
    u64 low = m->from->base;
    u64 size = m->from->size;
    u64* word = (u64*)(((u64)start + 7) & ~7ull);
    u64* end = (u64*)(((u64)start + length) & ~7ull);
    u64 removed_end = removed_used;
    for (; word < end; ++word) {
        if (*word - low < size) {
            *word = move_word(m, *word);
            m->moved_words += 1;
        } else if (*word - REMOVED_BASE < removed_end) {
            *word = restore_removed(m, *word);
        }
    }
}

// What a found word becomes.
static u64 moved_value(mover* m, u64 word) {
    if (word - m->from->base < m->from->size) {
        m->moved_words += 1;
        return move_word(m, word);
    }
    return word - REMOVED_BASE < removed_used ? restore_removed(m, word) : word;
}

// What a scan for the words into a build's image looks for: the image,
// and the stand-ins.
static scan_ranges ranges_of(const image_layout* layout) {
    scan_ranges ranges = {layout->base, layout->size, REMOVED_BASE, removed_used};
    return ranges;
}

// Every block's words, and the slot.
static bool32 find_words(found_words* list, const image_layout* layout, void** slot) {
    scan_ranges ranges = ranges_of(layout);
    if (!scan_blocks(list, ranges, &last_counts.scanned_bytes)) {
        return 0;
    }
    u64 word = *(u64*)slot;
    if (word - ranges.low >= ranges.size && word - ranges.other >= ranges.other_size) {
        return 1;
    }
    if (list->count == list->capacity) {
        u64 grown = list->capacity ? list->capacity * 2 : 64;
        void* moved = realloc(list->words, grown * sizeof(found_word));
        if (!moved) {
            return 0;
        }
        list->words = (found_word*)moved;
        list->capacity = grown;
    }
    list->words[list->count].at = (u64*)slot;
    list->words[list->count].value = word;
    list->count += 1;
    return 1;
}

void state_scan_ahead(const image_layout* layout, f64 milliseconds) {
    scan_ahead(ranges_of(layout), milliseconds);
}


// Moves the found words that still hold what was found there: the next
// build's start-up wrote only memory no earlier object used (heap.h). A
// word on a page that did not change since it was read is not read again:
// touching a page costs more than reading it when it has not been used for
// a while. Only words whose value changes are written, through the undo,
// so the pages it need not take in stay so.
static void move_found(mover* m, const found_words* list) {
    undo_word* changed = (undo_word*)malloc(list->count * sizeof(undo_word) + 1);
    u8* maybe = (u8*)malloc(list->count / 8 + 1);
    if (maybe) {
        scan_words_changed(list, maybe);
    }
    phase_mark("pages changed");
    u64 count = 0;
    for (u64 i = 0; i < list->count; ++i) {
        u64* at = list->words[i].at;
        u64 value = list->words[i].value;
        bool32 read = !maybe || ((maybe[i / 8] >> (i % 8)) & 1);
        if (read && *at != value) {
            continue;
        }
        u64 moved = moved_value(m, value);
        if (moved == value) {
            continue;
        }
        if (changed) {
            changed[count].at = at;
            changed[count].value = moved;
            ++count;
        } else {
            *at = moved;
        }
    }
    phase_mark("translate");
    undo_write_words(changed, count);
    phase_mark("write words");
    free(changed);
    free(maybe);
}

void state_find_pointers(state_taken* taken, void** slot) {
    found_words list = {taken->words, 0, taken->word_capacity};
    taken->words_found = find_words(&list, &taken->layout, slot);
    phase_mark("find pointers");
    taken->words = list.words;
    taken->word_count = list.count;
    taken->word_capacity = list.capacity;
    // What was read ahead held for the build these words point into.
    scan_forget();
}

// ---------------------------------------------------------------------------
// Giving.

typedef enum fate {
    FATE_CARRIED,
    FATE_NEW,
    FATE_RESIZED,
    FATE_RETYPED,
    FATE_TWICE,
} fate;

static fate fate_of(const image_symbol* now, const image_symbol* old, bool32 twice) {
    if (twice) {
        return FATE_TWICE;
    }
    if (!old) {
        return FATE_NEW;
    }
    if (old->size != now->size) {
        return FATE_RESIZED;
    }
    if (old->type_hash && now->type_hash && old->type_hash != now->type_hash) {
        return FATE_RETYPED;
    }
    return FATE_CARRIED;
}

// One note, with limit 0 naming everything (standard error's line), else
// the first few of each list within about limit characters (the title's):
// "kept 2,143 variables; pointers to what the reload removed: step; 2 start
// afresh: player (its type changed), cache (changed size)". What the state
// points at that is gone comes first: using it faults.
static void say(long_text* out, u32 limit, u64 carried, const name_list* afresh,
                const name_list* removed, const name_list* unsure, const name_list* moved,
                const layout_plan* plan) {
    char text[64];
    name_count(text, carried);
    long_text_append(out, "kept ");
    long_text_append(out, text);
    long_text_append(out, carried == 1 ? " variable" : " variables");
    if (plan && plan->note.length) {
        long_text_append(out, "; ");
        long_text_append(out, long_text_view(&plan->note));
    }
    if (plan && plan->zeroed.count) {
        long_text_append(out, "; started at zero, their values don't fit: ");
        name_list_write(&plan->zeroed, limit ? TITLE_NAMES : 0, 0, out);
    }
    if (plan && plan->lost.count) {
        long_text_append(out, "; pointers into members the build removed, now null: ");
        name_list_write(&plan->lost, limit ? TITLE_NAMES : 0, 0, out);
    }
    u32 most = limit ? TITLE_NAMES : 0;
    if (removed->count) {
        long_text_append(out, "; pointers to what the reload removed: ");
        // Half of what is left when the other list follows.
        u64 left = limit > out->length ? limit - out->length : 1;
        name_list_write(removed, most, limit ? (u32)(afresh->count ? left / 2 : left) : 0, out);
    }
    if (unsure->count) {
        long_text_append(out, "; pointers to what the reload can't tell apart: ");
        u64 left = limit > out->length ? limit - out->length : 1;
        name_list_write(unsure, most, limit ? (u32)(afresh->count ? left / 2 : left) : 0, out);
    }
    if (moved->count) {
        long_text_append(out, "; moved, though the build kept its place: ");
        u64 left = limit > out->length ? limit - out->length : 1;
        name_list_write(moved, most, limit ? (u32)(afresh->count ? left / 2 : left) : 0, out);
    }
    if (afresh->count) {
        name_count(text, afresh->count);
        long_text_append(out, "; ");
        long_text_append(out, text);
        long_text_append(out, afresh->count == 1 ? " starts afresh: " : " start afresh: ");
        u64 left = limit > out->length ? limit - out->length : 1;
        name_list_write(afresh, most, limit ? (u32)left : 0, out);
    }
}

static const char* fate_words(fate what) {
    switch (what) {
    case FATE_RESIZED: return " (changed size)";
    case FATE_RETYPED: return " (its type changed)";
    default: return " (kept twice under one name)";
    }
}

// The state an object of the new build takes: one the same size and type
// from taken, null when it has none (fate says why).
static const image_symbol* carried_from(const state_taken* taken, const image_layout* layout,
                                        const image_symbol* now, fate* what) {
    bool32 twice = 0;
    const image_symbol* old = image_find(&taken->layout, now, layout, &twice);
    bool32 twice_here = 0;
    image_find(layout, now, layout, &twice_here);
    *what = fate_of(now, old, twice || twice_here);
    return *what == FATE_CARRIED ? old : NULL;
}

static void carry_one(mover* m, const image_symbol* now, const image_symbol* old) {
    memcpy((void*)now->address, m->taken->values + (old->address - m->taken->layout.data.start),
           now->size);
    scan(m, (u8*)now->address, now->size);
}

// A global whose type's layout changed, converted member by member.
static bool32 convert_one(mover* m, const image_symbol* now) {
    bool32 twice = 0;
    const image_symbol* old = image_find(&m->taken->layout, now, m->to, &twice);
    u32 old_type, new_type;
    if (!old || twice || !global_types(m, old, now, &old_type, &new_type)) {
        return 0;
    }
    const u8* bytes = m->taken->values + (old->address - m->taken->layout.data.start);
    if (!layout_convert_value(m->taken->plan, old_type, new_type, bytes, (u8*)now->address,
                              now->size)) {
        return 0;
    }
    scan(m, (u8*)now->address, now->size);
    return 1;
}

// Step 1: the objects, with those that start afresh named in afresh. An
// object that m's state can't give takes its value from earlier's, when
// there is one the same (a build that comes back after a fault: what the
// faulted build started afresh or lacked had these values before it came).
static u64 carry_objects(const image_layout* layout, mover* m, mover* earlier,
                         name_list* afresh) {
    u64 carried = 0;
    for (u32 i = 0; i < layout->symbol_count; ++i) {
        const image_symbol* now = &layout->symbols[i];
        if (now->kind != IMAGE_KEPT) {
            continue;
        }
        fate what = FATE_NEW;
        const image_symbol* old = carried_from(m->taken, layout, now, &what);
        mover* from = m;
        fate before = FATE_NEW;
        // Converted from the state as it is before what it was given earlier.
        if (!old && what != FATE_NEW && convert_one(m, now)) {
            carried += 1;
            continue;
        }
        if (!old && earlier && (old = carried_from(earlier->taken, layout, now, &before))) {
            from = earlier;
        }
        if (old) {
            carry_one(from, now, old);
            carried += 1;
        } else if (what != FATE_NEW) {
            name_list_add(afresh, image_key(layout, now), fate_words(what));
        }
    }
    return carried;
}

// A mover from taken's build to layout; false when there is no memory.
static bool32 mover_open(mover* m, state_taken* taken, const image_layout* layout) {
    memset(m, 0, sizeof(*m));
    m->taken = taken;
    m->from = &taken->layout;
    m->to = layout;
    m->cache_old = (u64*)calloc(CACHE_SLOTS, sizeof(u64));
    m->cache_new = (u64*)calloc(CACHE_SLOTS, sizeof(u64));
    return m->cache_old && m->cache_new;
}

static void mover_close(mover* m) {
    name_list_free(&m->removed);
    name_list_free(&m->unsure);
    name_list_free(&m->moved);
    free(m->cache_old);
    free(m->cache_new);
    free(m->strings.hashes);
    free(m->strings.places);
}

void state_give(state_taken* taken, state_taken* earlier, const image_layout* layout,
                void** slot, char* note, u32 capacity, long_text* line) {
    note[0] = 0;
    if (line) {
        long_text_empty(line);
    }
    memset(&last_counts, 0, sizeof(last_counts));
    if (!taken->taken || !layout->keeps_all || layout->problem[0]) {
        return;
    }
    bool32 use_earlier = earlier && earlier->taken;
    mover m, before;
    bool32 opened = mover_open(&m, taken, layout);
    opened = (use_earlier ? mover_open(&before, earlier, layout) : 1) && opened;
    if (!opened) {
        mover_close(&m);
        if (use_earlier) {
            mover_close(&before);
        }
        snprintf(note, capacity, "no memory to keep the whole state: it starts afresh");
        if (line) {
            long_text_append(line, note);
        }
        return;
    }
    name_list afresh;
    memset(&afresh, 0, sizeof(afresh));
    u64 carried = carry_objects(layout, &m, use_earlier ? &before : NULL, &afresh);
    if (taken->plan) {
        layout_write_note(taken->plan);
    }
    phase_mark("carry objects");
    if (!taken->words_found) {
        state_find_pointers(taken, slot);
    }
    found_words found = {taken->words, taken->word_count, taken->word_capacity};
    move_found(&m, &found);
    phase_mark("move pointers");
    // What has a name first.
    if (m.unnamed_data) {
        name_list_add(&m.removed, UNNAMED_DATA, "");
    }
    long_text title;
    memset(&title, 0, sizeof(title));
    say(&title, capacity - 1 < STATE_NOTE_TITLE_ROOM ? capacity - 1 : STATE_NOTE_TITLE_ROOM,
        carried, &afresh, &m.removed, &m.unsure, &m.moved, taken->plan);
    snprintf(note, capacity, "%s", long_text_view(&title));
    long_text_free(&title);
    if (line) {
        say(line, 0, carried, &afresh, &m.removed, &m.unsure, &m.moved, taken->plan);
    }
    last_counts.carried = carried;
    last_counts.afresh = afresh.count;
    last_counts.words_moved = m.moved_words + (use_earlier ? before.moved_words : 0);
    last_counts.words_removed = m.removed_words + (use_earlier ? before.removed_words : 0);
    name_list_free(&afresh);
    mover_close(&m);
    if (use_earlier) {
        mover_close(&before);
    }
}
