#include "engine/base/memory.h"

#include <string.h>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

// Fixed-size memcpy is the portable way to move a block at once without
// aliasing or alignment trouble; compilers turn it into vector moves. Four
// 16-byte moves per step keep the loop's own work out of the way.
static const u64 block = 16;
static const u64 step = 4 * block;

u32 copy_bytes(void* dst, const void* src, u64 count) {
    u8* d = (u8*)dst;
    const u8* s = (const u8*)src;
    u64 i = 0;
    for (; count - i >= step; i += step) memcpy(d + i, s + i, step);
    for (; count - i >= block; i += block) memcpy(d + i, s + i, block);
    for (; i < count; ++i) d[i] = s[i];
    return (u32)count;
}

// Each step reads its whole chunk before writing any of it, so a chunk
// whose source and destination overlap is still copied intact.
static void move_up_to_down(u8* d, const u8* s, u64 count) {
    u64 i = 0;
    for (; count - i >= step; i += step) {
        u8 chunk[step];
        memcpy(chunk, s + i, step);
        memcpy(d + i, chunk, step);
    }
    for (; i < count; ++i) d[i] = s[i];
}

static void move_down_to_up(u8* d, const u8* s, u64 count) {
    u64 i = count;
    for (; i >= step; i -= step) {
        u8 chunk[step];
        memcpy(chunk, s + i - step, step);
        memcpy(d + i - step, chunk, step);
    }
    while (i > 0) {
        --i;
        d[i] = s[i];
    }
}

u32 move_bytes(void* dst, const void* src, u64 count) {
    u8* d = (u8*)dst;
    const u8* s = (const u8*)src;
    if ((uintptr_t)d < (uintptr_t)s) {
        move_up_to_down(d, s, count);  // first to last
    } else if ((uintptr_t)d > (uintptr_t)s) {
        move_down_to_up(d, s, count);  // last to first
    }
    return (u32)count;
}

u32 fill_bytes(void* dst, u8 value, u32 count) {
    u8* d = (u8*)dst;
    for (u32 i = 0; i < count; ++i) d[i] = value;
    return count;
}

void fill_words(u32* dst, u32 value, u32 count) {
    for (u32 i = 0; i < count; ++i) dst[i] = value;
}

// The middle is written with 16-byte stores to 16-byte-aligned addresses;
// base/CMakeLists.txt keeps compilers from turning the loop into a memset
// call, which would give up that guarantee.
void fast_fill(void* dst, u32 value, u64 count) {
    u8 byte = (u8)value;
    u8* p = (u8*)dst;
    u8* end = p + count;
    while (p < end && ((uintptr_t)p & (block - 1)) != 0) *p++ = byte;

#if defined(__SSE2__) || defined(_M_X64)
    __m128i pattern = _mm_set1_epi8((char)byte);
    for (; (u64)(end - p) >= step; p += step) {
        _mm_store_si128((__m128i*)p, pattern);
        _mm_store_si128((__m128i*)(p + 16), pattern);
        _mm_store_si128((__m128i*)(p + 32), pattern);
        _mm_store_si128((__m128i*)(p + 48), pattern);
    }
    for (; (u64)(end - p) >= block; p += block) _mm_store_si128((__m128i*)p, pattern);
#else
    u8 pattern[block];
    for (u64 i = 0; i < block; ++i) pattern[i] = byte;
    for (; (u64)(end - p) >= block; p += block) memcpy(p, pattern, block);
#endif

    while (p < end) *p++ = byte;
}

bool32 bytes_equal(const void* a, const void* b, u32 count) {
    const u8* x = (const u8*)a;
    const u8* y = (const u8*)b;
    for (u32 i = 0; i < count; ++i) {
        if (x[i] != y[i]) return 0;
    }
    return 1;
}

bool32 bytes_equal_counted(const void* a, const void* b, u32 length_a, u32 length_b) {
    if (length_a != length_b) return 0;
    return bytes_equal(a, b, length_a);
}

void* rebase_pointer(void* p, const void* old_base, const void* new_base) {
    if (!p) return p;
    uintptr_t moved = (uintptr_t)p + ((uintptr_t)new_base - (uintptr_t)old_base);
    return (void*)moved;
}

bool32 in_range(const void* p, const void* low, const void* high) {
    uintptr_t x = (uintptr_t)p;
    return (uintptr_t)low <= x && x <= (uintptr_t)high;
}
