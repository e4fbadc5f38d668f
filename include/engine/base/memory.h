// Byte-level memory primitives. They work on memory the caller owns and has
// sized correctly; none of them checks a destination's capacity.
#ifndef ENGINE_BASE_MEMORY_H
#define ENGINE_BASE_MEMORY_H

#include "engine/base/types.h"

#ifdef __cplusplus
extern "C" {
#endif

// Copies `count` bytes from `src` to `dst`; the regions must not overlap.
// Returns `count` truncated to 32 bits (the whole count is copied).
u32 copy_bytes(void* dst, const void* src, u64 count);

// Overlap-safe copy: first to last when `dst` is below `src`, last to first
// when above, nothing when equal. Returns `count` truncated to 32 bits.
u32 move_bytes(void* dst, const void* src, u64 count);

// Sets `count` bytes at `dst` to `value`; returns `count`.
u32 fill_bytes(void* dst, u8 value, u32 count);

// Sets `count` consecutive 32-bit words at `dst` to `value`.
void fill_words(u32* dst, u32 value, u32 count);

// Sets `count` bytes at `dst` to the low byte of `value`: single bytes up to
// the first 16-byte boundary, aligned 16-byte stores in the middle, single
// bytes for the tail. Nothing outside [dst, dst + count) is written.
void fast_fill(void* dst, u32 value, u64 count);

// 1 when the first `count` bytes of `a` and `b` are equal, else 0.
bool32 bytes_equal(const void* a, const void* b, u32 count);

// 0 when the lengths differ, else bytes_equal over that length.
bool32 bytes_equal_counted(const void* a, const void* b, u32 length_a, u32 length_b);

// `p` moved by (new_base - old_base); a null `p` stays null.
void* rebase_pointer(void* p, const void* old_base, const void* new_base);

// 1 when low <= p <= high (both ends included), else 0.
bool32 in_range(const void* p, const void* low, const void* high);

#ifdef __cplusplus
}
#endif

#endif
