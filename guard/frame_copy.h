// What some bytes of module memory held at one frame, page by page: for
// each page the bytes it holds (any run, down to one byte) and their copy.
// The history keeps one at a kept frame's start for every byte the frames
// since changed, so a jump reads it and the frames from the nearer end
// instead of every frame between.
//
// Its pages and their copies lie in an area taken once (part of the
// history's cap); a second copy of the same bytes may be read into any
// area as large as the bytes it holds (frame_copy_bytes).
#ifndef GUARD_FRAME_COPY_H
#define GUARD_FRAME_COPY_H

#include "platform/memory.h"

#define FRAME_COPY_PAGE 4096u

typedef struct frame_copy_page {
    u64 address;                    // a multiple of FRAME_COPY_PAGE
    u64 held[FRAME_COPY_PAGE / 64];  // a bit per byte
} frame_copy_page;

typedef struct frame_copy {
    frame_copy_page* pages;
    u8* copies;      // FRAME_COPY_PAGE bytes a page, in the pages' order
    u32* index;      // by address: a page's number + 1; 0 for none
    u32 index_mask;  // the index's size - 1
    u32 count;
    u32 capacity;
    u64 area;        // bytes taken for all of it
} frame_copy;

// Room for as many pages as `bytes` holds with their records; false when
// not even one fits, or the memory can't be had.
bool32 frame_copy_make(frame_copy* copy, u64 bytes);
void frame_copy_free(frame_copy* copy);
void frame_copy_clear(frame_copy* copy);

// The bytes at [address, address + size) it does not hold yet, taken from
// `bytes`; false when a page more is needed and there is no room (what
// fitted is taken).
bool32 frame_copy_take(frame_copy* copy, u64 address, const u8* bytes, u64 size);

// out = a ^ b, byte by byte, a word at a time (out may be a or b).
void xor_bytes(u8* out, const u8* a, const u8* b, u64 size);

// Its copy of [address, address + size) exclusive-ored with `bytes`; false
// when it does not hold them all (nothing then changes).
bool32 frame_copy_xor(frame_copy* copy, u64 address, const u8* bytes, u64 size);

// The bytes its copies take: what a full read or write of it touches.
u64 frame_copy_bytes(const frame_copy* copy);

// Every byte it holds written to memory, from its copies or from `copies`
// (another area read with frame_copy_read); memory's bytes read into `copies`.
void frame_copy_write(const frame_copy* copy, const u8* copies);
void frame_copy_read(const frame_copy* copy, u8* copies);

#endif
