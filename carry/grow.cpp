#include "carry/grow.h"

#include <stdlib.h>

bool32 grow_table(void** items, u64* capacity, u64 needed, u64 size) {
    if (needed <= *capacity) {
        return 1;
    }
    u64 grown = *capacity ? *capacity * 2 : 64;
    while (grown < needed) {
        grown *= 2;
    }
    if (!size || grown > ~0ull / size) {
        return 0;
    }
    void* moved = realloc(*items, grown * size);
    if (!moved) {
        return 0;
    }
    *items = moved;
    *capacity = grown;
    return 1;
}
