#include "carry/kept.h"

#include <stdio.h>
#include <string.h>

#include "platform/memory.h"

#define KEPT_MAX 4096

// The tables of the build that comes, and which old value each takes.
static engine_kept incoming[KEPT_MAX];

// Where the next entry starts at or after `at`: linkers put zeros between
// the parts of the table that objects bring (MSVC's pads and aligns them its
// own way), in whole 8-byte words, and no entry starts with a null key.
static u64 next_kept_entry(const u8* table, u64 size, u64 at) {
    while (at + 8 <= size) {
        u64 word;
        memcpy(&word, table + at, 8);
        if (word) {
            break;
        }
        at += 8;
    }
    return at;
}

u32 kept_table(const library_image* image, engine_kept* kept, u32 capacity) {
    if (!image->table) {
        return 0;
    }
    u32 count = 0;
    u64 at = 0;
    while (at + sizeof(engine_kept) <= image->table_size && count < capacity) {
        at = next_kept_entry(image->table, image->table_size, at);
        if (at + sizeof(engine_kept) > image->table_size) {
            break;
        }
        const engine_kept* entry = (const engine_kept*)(image->table + at);
        if (entry->address) {
            kept[count++] = *entry;
        }
        at += sizeof(engine_kept);
    }
    return count;
}

void kept_clear(kept_set* set) {
    pages_free(set->values, (u64)set->count * sizeof(kept_value));
    pages_free(set->store, set->store_size);
    memset(set, 0, sizeof(*set));
}

void kept_take(kept_set* set, const library_image* image) {
    kept_clear(set);
    u32 count = kept_table(image, incoming, KEPT_MAX);
    if (!count) {
        return;
    }
    u64 store_size = 0;
    for (u32 i = 0; i < count; ++i) {
        store_size += (incoming[i].size + 7) / 8 * 8;
    }
    set->values = (kept_value*)pages_allocate((u64)count * sizeof(kept_value));
    set->store = (u8*)pages_allocate(store_size);
    if (!set->values || (store_size && !set->store)) {
        kept_clear(set);
        return;
    }
    set->count = count;
    set->store_size = store_size;
    set->image_base = image->base;
    set->image_size = image->size;
    u64 offset = 0;
    for (u32 i = 0; i < count; ++i) {
        kept_value* value = &set->values[i];
        snprintf(value->key, sizeof(value->key), "%s", incoming[i].key);
        value->address = (u8*)incoming[i].address;
        value->size = incoming[i].size;
        value->offset = offset;
        memcpy(set->store + offset, value->address, value->size);
        offset += (value->size + 7) / 8 * 8;
    }
}

// ---------------------------------------------------------------------------
// Giving them to the next build.

typedef enum kept_fate {
    KEPT_CARRIED,   // key and size match: its value comes along
    KEPT_NEW,       // no value of that key
    KEPT_RESIZED,   // its size changed
    KEPT_TWICE,     // its key is not unique
    KEPT_POINTER,   // it holds a pointer into the old image that can't be moved
} kept_fate;

static kept_fate fates[KEPT_MAX];
static i32 sources[KEPT_MAX];  // the old value each new variable takes, or -1

static i32 find_key(const kept_set* set, const char* key) {
    i32 found = -1;
    for (u32 i = 0; i < set->count; ++i) {
        if (strcmp(set->values[i].key, key) == 0) {
            if (found >= 0) {
                return -2;
            }
            found = (i32)i;
        }
    }
    return found;
}

static bool32 unique_incoming(u32 count, u32 index) {
    for (u32 i = 0; i < count; ++i) {
        if (i != index && strcmp(incoming[i].key, incoming[index].key) == 0) {
            return 0;
        }
    }
    return 1;
}

// The new variable that takes the old value holding address, or -1.
static i32 carrier_of(const kept_set* set, u32 count, u64 address) {
    for (u32 i = 0; i < count; ++i) {
        if (sources[i] < 0) {
            continue;
        }
        const kept_value* old = &set->values[sources[i]];
        if (address >= (u64)old->address && address < (u64)old->address + old->size) {
            return (i32)i;
        }
    }
    return -1;
}

// Every aligned word of the old value that points into the old image: moved
// to where it now belongs, or, when it can't be, false (nothing is written).
static bool32 move_pointers(const kept_set* set, u32 count, u32 index, u8* bytes, bool32 write) {
    const kept_value* old = &set->values[sources[index]];
    u64 first = (8 - (u64)old->address % 8) % 8;
    for (u64 at = first; at + 8 <= old->size; at += 8) {
        u64 word;
        memcpy(&word, bytes + at, 8);
        if (word < (u64)set->image_base || word >= (u64)set->image_base + set->image_size) {
            continue;
        }
        i32 carrier = carrier_of(set, count, word);
        if (carrier < 0) {
            return 0;
        }
        if (write) {
            const kept_value* target = &set->values[sources[carrier]];
            word = (u64)incoming[carrier].address + (word - (u64)target->address);
            memcpy(bytes + at, &word, 8);
        }
    }
    return 1;
}

const char* kept_short_name(const char* key) {
    const char* name = strrchr(key, ':');
    return name ? name + 1 : key;
}

u32 note_append(char* note, u32 capacity, u32 at, const char* text) {
    int written = snprintf(note + at, capacity > at ? capacity - at : 0, "%s", text);
    u32 length = at + (written > 0 ? (u32)written : 0);
    return length < capacity ? length : (capacity ? capacity - 1 : 0);
}

static void say(char* note, u32 capacity, u32 count, u32 carried) {
    char line[64];
    snprintf(line, sizeof(line), "kept %u variable%s", carried, carried == 1 ? "" : "s");
    u32 at = note_append(note, capacity, 0, line);
    static const char* const words[] = {"", " is new", " changed size and starts afresh",
                                        " is kept twice under one name and starts afresh",
                                        " points into the old build and starts afresh"};
    for (u32 i = 0; i < count; ++i) {
        if (fates[i] != KEPT_CARRIED && fates[i] != KEPT_NEW) {
            at = note_append(note, capacity, at, "; ");
            at = note_append(note, capacity, at, kept_short_name(incoming[i].key));
            at = note_append(note, capacity, at, words[fates[i]]);
        }
    }
}

void kept_give(const kept_set* set, const library_image* image, char* note, u32 capacity) {
    note[0] = 0;
    u32 count = kept_table(image, incoming, KEPT_MAX);
    if (!count) {
        return;
    }
    for (u32 i = 0; i < count; ++i) {
        i32 old = find_key(set, incoming[i].key);
        sources[i] = -1;
        fates[i] = old == -1 ? KEPT_NEW : KEPT_CARRIED;
        if (old == -2 || !unique_incoming(count, i)) {
            fates[i] = KEPT_TWICE;
        } else if (old >= 0 && set->values[old].size != incoming[i].size) {
            fates[i] = KEPT_RESIZED;
        } else if (old >= 0) {
            sources[i] = old;
        }
    }
    for (u32 i = 0; i < count; ++i) {
        if (sources[i] >= 0 &&
            !move_pointers(set, count, i, set->store + set->values[sources[i]].offset, 0)) {
            fates[i] = KEPT_POINTER;
        }
    }
    u32 carried = 0;
    for (u32 i = 0; i < count; ++i) {
        if (sources[i] < 0 || fates[i] != KEPT_CARRIED) {
            continue;
        }
        const kept_value* old = &set->values[sources[i]];
        memcpy(incoming[i].address, set->store + old->offset, old->size);
        move_pointers(set, count, i, (u8*)incoming[i].address, 1);
        ++carried;
    }
    say(note, capacity, count, carried);
}
