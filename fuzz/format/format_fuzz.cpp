// Builds a format and up to 16 arguments of every tag from the input and
// formats into a bounded buffer: never a crash, hang or sanitizer report, and
// the bounded text is the unbounded one cut at the capacity.
//
// Input: two bytes of capacity (0 to 1024), one fill byte for the buffers,
// one argument count (0 to 16), nine bytes per argument (tag, then the
// value), then the format and the texts the arguments point at, separated by
// zero bytes.
#include "base/format.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

namespace {

const u64 REFERENCE_CAPACITY = 64 * 1024;
const u64 MAX_CAPACITY = 1024;
const size_t TEXT_AREA = 1 << 20;
// "size:" reads a counted slice in place, up to 2^32 - 1 bytes: the texts
// lie at the start of a mapping long enough for any slice, read as zeros.
const size_t POOL_SIZE = ((size_t)1 << 32) + TEXT_AREA;

char* text_pool() {
    static char* pool = [] {
        void* p = mmap(nullptr, POOL_SIZE, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (p == MAP_FAILED) abort();
        return (char*)p;
    }();
    return pool;
}

struct reader {
    const u8* p;
    size_t left;
};

u8 take_byte(reader* r) {
    if (!r->left) return 0;
    --r->left;
    return *r->p++;
}

u64 take_u64(reader* r) {
    u64 v = 0;
    for (int i = 0; i < 8; ++i) v |= (u64)take_byte(r) << (8 * i);
    return v;
}

bool contains(const char* text, const char* word) {
    return strstr(text, word) != nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const u8* data, size_t size) {
    reader r = {data, size};
    u64 capacity = (take_byte(&r) | (u64)take_byte(&r) << 8) % (MAX_CAPACITY + 1);
    u8 fill = take_byte(&r);
    u32 count = take_byte(&r) % 17;
    struct raw_arg {
        u8 tag;
        u64 value;
    } raw[16];
    for (u32 i = 0; i < count; ++i) {
        raw[i].tag = take_byte(&r) % 10;  // 0 and 9 stand for every unknown tag
        raw[i].value = take_u64(&r);
    }

    // The format and the texts, each zero-terminated, into the pool.
    char* pool = text_pool();
    size_t used = r.left < TEXT_AREA - 64 ? r.left : TEXT_AREA - 64;
    memcpy(pool, r.p, used);
    memset(pool + used, 0, 64);
    const char* pieces[17];
    u32 piece_count = 0;
    for (size_t at = 0; at <= used && piece_count < 17;) {
        pieces[piece_count++] = pool + at;
        at += strlen(pool + at) + 1;
    }
    const char* format = pieces[0];

    format_arg args[16];
    for (u32 i = 0; i < count; ++i) {
        args[i].type = raw[i].tag;
        args[i].value = raw[i].value;
        if (raw[i].tag == FORMAT_ARG_TEXT) {
            // A null text now and then; otherwise one of the pieces.
            u32 pick = (u32)(raw[i].value % (piece_count + 1));
            args[i].value = pick == piece_count ? 0 : (u64)(uintptr_t)pieces[pick];
        }
    }

    char* bounded = (char*)malloc(capacity ? capacity : 1);
    memset(bounded, fill, capacity ? capacity : 1);
    u64 length = format_text_bounded(capacity ? bounded : nullptr, capacity, format,
                                     count ? args : nullptr, count);

    static char reference[REFERENCE_CAPACITY];
    memset(reference, fill, sizeof reference);
    u64 reference_length =
        format_text_bounded(reference, REFERENCE_CAPACITY, format, count ? args : nullptr, count);

    // The one documented exception: a tab dropped past the capacity, then
    // overwritten after "col:" moved back, may shift a later "tab:".
    bool exact = !(contains(format, "col:") && contains(format, "tab:"));
    if (exact) {
        if (length != reference_length) abort();
        if (capacity) {
            u64 kept = length < capacity - 1 ? length : capacity - 1;
            if (memcmp(bounded, reference, kept) != 0 || bounded[kept] != 0) abort();
        }
    }

    // Without "col:" nothing is written past the result's terminator, so the
    // unbounded form can run whenever the reference held the whole text.
    if (!contains(format, "col:") && reference_length < REFERENCE_CAPACITY) {
        static char whole[REFERENCE_CAPACITY];
        memset(whole, fill, sizeof whole);
        u64 whole_length = format_text_args(whole, format, count ? args : nullptr, count);
        if (whole_length != reference_length) abort();
        if (memcmp(whole, reference, whole_length + 1) != 0) abort();
        if (memchr(whole, 0, whole_length) != nullptr) abort();
    }
    free(bounded);
    return 0;
}
