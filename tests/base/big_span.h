// More than 4 GiB of address space for little memory: one small file mapped
// over and over, then one page of a second file at the very end. A copy or
// fill that counts in 32 bits stops 4 GiB short and never reaches the tail.
#ifndef TESTS_BASE_BIG_SPAN_H
#define TESTS_BASE_BIG_SPAN_H

#if defined(__linux__)
#define HAVE_BIG_SPAN 1

#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "engine/base/types.h"

struct big_span {
    u8* start;
    u64 size;  // 4 GiB plus one tail page
    u8* tail;  // start + 4 GiB, backed by its own page
    u8* chunk; // one view of the repeated file's contents
};

enum : u64 { BIG_SPAN_CHUNK = 1u << 20, BIG_SPAN_TAIL = 4096, BIG_SPAN_BODY = 1ull << 32 };

// Both files are filled with `body` and `tail` bytes. Returns false (and
// maps nothing usable) when the system refuses.
inline bool big_span_map(big_span* span, u8 body, u8 tail) {
    int body_file = memfd_create("big_span_body", 0);
    int tail_file = memfd_create("big_span_tail", 0);
    if (body_file < 0 || tail_file < 0) return false;
    if (ftruncate(body_file, BIG_SPAN_CHUNK) != 0) return false;
    if (ftruncate(tail_file, BIG_SPAN_TAIL) != 0) return false;
    u64 size = BIG_SPAN_BODY + BIG_SPAN_TAIL;
    void* reserved = mmap(nullptr, size, PROT_NONE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (reserved == MAP_FAILED) return false;
    u8* start = (u8*)reserved;
    for (u64 at = 0; at < BIG_SPAN_BODY; at += BIG_SPAN_CHUNK) {
        void* view = mmap(start + at, BIG_SPAN_CHUNK, PROT_READ | PROT_WRITE,
                          MAP_SHARED | MAP_FIXED, body_file, 0);
        if (view == MAP_FAILED) return false;
    }
    void* view = mmap(start + BIG_SPAN_BODY, BIG_SPAN_TAIL, PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_FIXED, tail_file, 0);
    if (view == MAP_FAILED) return false;
    close(body_file);
    close(tail_file);
    // Every page read once: a read fault maps the 16 pages around it at once,
    // and writable (the views are shared), where the first write to each page
    // would take a fault of its own. On these machines a fault costs 10-25 us,
    // so a million of them cost more than the copy itself.
    volatile u8 sink = 0;
    for (u64 at = 0; at < size; at += 4096) sink = sink + start[at];
    span->start = start;
    span->size = size;
    span->tail = start + BIG_SPAN_BODY;
    span->chunk = start;
    memset(span->chunk, body, BIG_SPAN_CHUNK);
    memset(span->tail, tail, BIG_SPAN_TAIL);
    return true;
}

inline void big_span_unmap(big_span* span) { munmap(span->start, span->size); }

inline bool all_bytes(const u8* p, u64 count, u8 value) {
    for (u64 i = 0; i < count; ++i) {
        if (p[i] != value) return false;
    }
    return true;
}

#endif
#endif
