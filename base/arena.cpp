#include "engine/base/arena.h"

#include "engine/base/fatal.h"
#include "engine/base/memory.h"

void* arena_push(arena* a, u64 size, u32 align) {
    uintptr_t position = (uintptr_t)a->base + a->used;
    uintptr_t aligned = position;
    if (align != 0) {
        uintptr_t low_bits = ((uintptr_t)1 << highest_bit(align)) - 1;
        aligned = position & ~low_bits;
        if (aligned != position) aligned += align;
    }
    u64 gap = aligned - position;
    // Compared as free space so that no sum can wrap.
    u64 free_space = a->capacity - a->used;
    fatal_assert(gap <= free_space && size <= free_space - gap);
    a->used += gap + size;
    a->total_pushed += gap + size;
    return (void*)aligned;
}

arena arena_sub(arena* parent, u32 size) {
    arena sub = {};
    sub.base = (u8*)arena_push(parent, size, 0);
    sub.capacity = size;
    return sub;
}

u32 arena_remaining(const arena* a) {
    return (u32)(a->capacity - a->used);
}

// Checks that `position` lies in the part in use and returns the span
// released by popping to it.
static u64 released_span(const arena* a, const void* position) {
    uintptr_t p = (uintptr_t)position;
    uintptr_t base = (uintptr_t)a->base;
    fatal_assert(base <= p && p - base <= a->used);
    return a->used - (p - base);
}

void* arena_pop_to(arena* a, void* position) {
    a->used -= released_span(a, position);
    return position;
}

void* arena_pop_to_zero(arena* a, void* position) {
    u64 span = released_span(a, position);
    fast_fill(position, 0, span);
    a->used -= span;
    return position;
}

u32 bump_index(u32* index, u32 limit, u32 count) {
    u32 old = *index;
    u32 next = old + count;
    fatal_assert(old < limit && next >= old && next < limit);
    *index = next;
    return old;
}

u32 highest_bit(u32 value) {
    u32 bit = 0;
    while (value >>= 1) ++bit;
    return bit;
}
