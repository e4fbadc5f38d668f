// Bump allocation in memory that someone else obtained, and a bounded bump
// index into a fixed-size table. Nothing here allocates from the operating
// system or frees anything. A push that does not fit, a pop outside the part
// in use and a bump index at or past its limit are failed invariants: the
// process stops before any state changes.
#ifndef ENGINE_BASE_ARENA_H
#define ENGINE_BASE_ARENA_H

#include "engine/base/types.h"

#ifdef __cplusplus
extern "C" {
#endif

// A fixed block handed out front to back. A top-level arena is a record whose
// base and capacity describe a block obtained elsewhere, the rest zero.
// Invariant: used <= capacity.
typedef struct arena {
    u8* base;          // first byte of the arena's memory
    u64 capacity;      // size of the memory in bytes
    u64 used;          // the next push starts at base + used (before alignment)
    u64 reserved;      // zeroed by arena_sub; otherwise the module's to use
    u64 total_pushed;  // every byte any push consumed, gaps included; pops keep it
} arena;

LAYOUT_PIN(arena_64_bit, sizeof(void*) == 8);
LAYOUT_PIN(arena_size, sizeof(arena) == 40);
LAYOUT_PIN(arena_base, offsetof(arena, base) == 0);
LAYOUT_PIN(arena_capacity, offsetof(arena, capacity) == 8);
LAYOUT_PIN(arena_used, offsetof(arena, used) == 16);
LAYOUT_PIN(arena_reserved, offsetof(arena, reserved) == 24);
LAYOUT_PIN(arena_total_pushed, offsetof(arena, total_pushed) == 32);

// Returns a block of `size` bytes at base + used, its absolute address
// aligned when `align` is not 0: with k = highest_bit(align), the address is
// rounded down to a multiple of 2^k and, if that moved it, `align` is added.
// For a power of two this is the usual round-up; other values (12, say) give
// the same two steps. used and total_pushed grow by gap + size.
void* arena_push(arena* a, u64 size, u32 align);

// Carves `size` bytes out of `parent` (no alignment) as a new empty arena.
arena arena_sub(arena* parent, u32 size);

// capacity - used, truncated to 32 bits.
u32 arena_remaining(const arena* a);

// Rolls `used` back to `position`, which must lie in [base, base + used].
// The released bytes keep their contents; total_pushed is unchanged.
// Returns `position`.
void* arena_pop_to(arena* a, void* position);

// As arena_pop_to, but the whole released span is first set to zero.
void* arena_pop_to_zero(arena* a, void* position);

// Advances *index by `count` and returns its value before. Both the old and
// the new value must be below `limit`, and the sum must not wrap past 2^32;
// so a table of `limit` slots hands out at most limit - 1 through this.
u32 bump_index(u32* index, u32 limit, u32 count);

// Bit number (0 to 31) of the highest set bit; 0 for 0.
u32 highest_bit(u32 value);

#ifdef __cplusplus
}
#endif

#endif
