#include "carry/image.h"

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

bool32 image_add(image_layout* layout, u64 address, u64 size, image_kind kind, const char* key,
                 u64 type_hash) {
    u64 symbols = capacity_for(layout->symbol_count);
    u64 names = capacity_for(layout->names_size);
    u64 length = strlen(key) + 1;
    if (!grow((void**)&layout->symbols, &symbols, (u64)layout->symbol_count + 1,
              sizeof(image_symbol)) ||
        !grow((void**)&layout->names, &names, layout->names_size + length, 1)) {
        return 0;
    }
    image_symbol* symbol = &layout->symbols[layout->symbol_count++];
    symbol->address = address;
    symbol->size = size;
    symbol->kind = kind;
    symbol->type_hash = type_hash;
    symbol->key = (u32)layout->names_size;
    symbol->key_hash = image_hash_text(key, IMAGE_HASH_SEED);
    memcpy(layout->names + layout->names_size, key, length);
    layout->names_size += length;
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

bool32 image_finish(image_layout* layout) {
    if (!layout->symbol_count) {
        return 1;
    }
    qsort(layout->symbols, layout->symbol_count, sizeof(image_symbol), by_address);
    free(layout->by_key);
    layout->by_key = (u32*)malloc((u64)layout->symbol_count * sizeof(u32));
    if (!layout->by_key) {
        return 0;
    }
    for (u32 i = 0; i < layout->symbol_count; ++i) {
        layout->by_key[i] = i;
    }
    sorting = layout;
    qsort(layout->by_key, layout->symbol_count, sizeof(u32), by_key);
    return 1;
}

void image_free(image_layout* layout) {
    free(layout->symbols);
    free(layout->names);
    free(layout->by_key);
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

const image_symbol* image_find(const image_layout* layout, const image_symbol* like,
                               const image_layout* from, bool32* twice) {
    *twice = 0;
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
    const image_symbol* found = NULL;
    for (u32 i = low; i < layout->symbol_count; ++i) {
        const image_symbol* at = &layout->symbols[layout->by_key[i]];
        if (at->key_hash != like->key_hash || at->kind != like->kind) {
            break;
        }
        if (strcmp(image_key(layout, at), image_key(from, like)) == 0) {
            if (found) {
                *twice = 1;
            }
            found = at;
        }
    }
    return found;
}
