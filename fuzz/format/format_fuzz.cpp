// Builds a format and up to 16 arguments of every tag from the input and
// formats it twice: unbounded into a zero-filled buffer, and bounded at the
// capacity the input gives and at the returned length plus one. Never a
// crash, hang or sanitizer report; the bounded form returns exactly the
// unbounded length, writes nothing past its capacity (an exact allocation,
// which the address sanitizer guards), and its text is the unbounded one cut
// at the capacity, with no exception.
//
// Input: two bytes of capacity (0 to 1024), one fill byte for the buffers,
// one argument count (0 to 16), nine bytes per argument (tag, then the
// value), then the format and the texts the arguments point at, separated by
// zero bytes.
//
// Keeping counts within the buffers is the caller's part of the contract, and
// the formatter's work grows with them: a "size:" slice is read in place
// however long it is said to be, and the bounded form, which returns the
// whole length as snprintf does, still reads what it drops past the capacity
// when a "tab:" follows. A count of four billion took seconds and gigabytes.
// So the target behaves as a caller should and brings every count the format
// asks for (a literal number, or an argument taken by "%") to at most
// MAX_COUNT before the call; the texts lie in a pool that holds any slice
// that long and no more.
#include "engine/base/format.h"
#include "engine/base/number.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

namespace {

const u64 MAX_CAPACITY = 1024;
const size_t MAX_INPUT = 1 << 16;
const size_t WHOLE_ROOM = 16 << 20;  // the bound below for MAX_INPUT bytes
const u32 MAX_COUNT = 65535;
const size_t TEXT_AREA = 1 << 20;
// A slice may start at the last text's terminator and run MAX_COUNT bytes;
// one past that is outside the pool, where the address sanitizer sees it.
char pool[TEXT_AREA + MAX_COUNT + 1];

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

// --- Bounding the counts ----------------------------------------------------

// A literal count in place, keeping its length so that the format is read
// exactly as before: a negative count is four billion or so, so its "-"
// becomes "+"; then leading digits become "0" until the count fits.
// Returns the characters the number takes, as parse_s64 does.
size_t clamp_literal(char* text) {
    i64 v = 0;
    size_t used = (size_t)parse_s64(text, &v);
    if ((u32)v <= MAX_COUNT) return used;
    if (*text == '-') *text = '+';
    char* digit = text + (*text == '+');
    char* end = text + used;
    // Five digits never pass 2^32, so the count is their value.
    while (end - digit > 5) *digit++ = '0';
    for (; digit < end && (parse_s64(text, &v), (u32)v > MAX_COUNT); ++digit) *digit = '0';
    return used;
}

// An argument taken as a count. A text counts as its leading number, so that
// number is clamped in the pool; an integer counts as its low 32 bits, which
// are brought down and its high bits kept. A float never counts above 255
// and another tag counts 0.
void clamp_arg(format_arg* a) {
    if (a->type == FORMAT_ARG_TEXT) {
        if (a->value) clamp_literal((char*)(uintptr_t)a->value);
    } else if (a->type > FORMAT_ARG_TEXT && a->type < FORMAT_ARG_FLOAT) {
        u64 high = a->value & ~(u64)0xFFFFFFFFu;
        a->value = high | (u32)a->value % (MAX_COUNT + 1);
    }
}

// Walks the format as the formatter reads it and clamps each count on the
// way. Which characters and arguments are read as numbers depends only on
// the format and the argument count, never on the values, so the clamped
// call takes the same path. After a caller's error the formatter stops
// reading; the walk may go on, which only clamps what is never read.
struct walk {
    char* p;
    format_arg* args;
    u32 count;
    u32 next;
};

bool keyword(walk* w, const char* word) {
    size_t n = strlen(word);
    if (strncmp(w->p, word, n) != 0) return false;
    w->p += n;
    return true;
}

format_arg* walk_arg(walk* w) {
    return w->next < w->count ? &w->args[w->next++] : nullptr;
}

bool walk_count(walk* w) {
    if (*w->p != '%') {
        w->p += clamp_literal(w->p);
        return true;
    }
    ++w->p;
    format_arg* a = walk_arg(w);
    if (!a) return false;
    clamp_arg(a);
    return true;
}

// A parameter that costs nothing whatever its value ("chars:" K, "sign:"
// N): read over, left as it is.
bool walk_number(walk* w) {
    if (*w->p == '%') {
        ++w->p;
        return walk_arg(w) != nullptr;
    }
    i64 v;
    w->p += parse_s64(w->p, &v);
    return true;
}

bool walk_placeholder(walk* w) {
    ++w->p;
    if (!walk_arg(w)) return false;
    if (*w->p != '{') return true;
    ++w->p;
    while (*w->p && !keyword(w, "}")) {
        if (keyword(w, "char") || keyword(w, "hex32") || keyword(w, "hex8") ||
            keyword(w, "bin8")) {
            continue;
        }
        if (keyword(w, "del:") || keyword(w, "size:") || keyword(w, "width:")) {
            if (!walk_count(w)) return false;
        } else if (keyword(w, "sign")) {
            if (keyword(w, ":") && !walk_number(w)) return false;
        } else {
            ++w->p;
        }
    }
    return true;
}

bool walk_group(walk* w) {
    w->p += 2;
    while (*w->p && !keyword(w, "}")) {
        if (keyword(w, "pad:") || keyword(w, "tab:") || keyword(w, "col:")) {
            if (!walk_count(w)) return false;
        } else if (keyword(w, "chars:")) {
            if (!walk_number(w) || !walk_count(w)) return false;
        } else {
            ++w->p;
        }
    }
    return true;
}

void clamp_counts(char* format, format_arg* args, u32 count) {
    walk w = {format, args, count, 0};
    while (*w.p) {
        if (*w.p == '\\') {
            if (!w.p[1]) return;
            w.p += 2;
            if (*w.p == '\\') {
                ++w.p;
                continue;
            }
            if (!*w.p) return;
        }
        bool more = true;
        if (*w.p == '%') {
            more = walk_placeholder(&w);
        } else if (*w.p == '$' && w.p[1] == '{') {
            more = walk_group(&w);
        } else {
            ++w.p;
        }
        if (!more) return;  // out of arguments: the formatter stops here too
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const u8* data, size_t size) {
    if (size > MAX_INPUT) return 0;  // keeps the unbounded buffer small
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

    // The format and the texts, each zero-terminated, into the pool, and
    // zeros after them as far as a slice can reach, so that nothing an
    // earlier input left there is read.
    size_t used = r.left < TEXT_AREA ? r.left : TEXT_AREA;
    memcpy(pool, r.p, used);
    memset(pool + used, 0, MAX_COUNT + 1);
    char* pieces[17];
    u32 piece_count = 0;
    for (size_t at = 0; at <= used && piece_count < 17;) {
        pieces[piece_count++] = pool + at;
        at += strlen(pool + at) + 1;
    }
    char* format = pieces[0];

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

    clamp_counts(format, args, count);

    // The unbounded form writes up to its furthest position, which "col:"
    // may leave past the result: at most a jump, the plain text, 16
    // placeholders of a count or a text each, and 256 bytes per group.
    size_t room = (MAX_COUNT + 1) + used + 16 * (MAX_COUNT + 2 + used) + 128 * used + 16;
    if (room > WHOLE_ROOM) __builtin_trap();
    // Mapped once; giving the pages back after each input zeroes them again
    // at the cost of the pages touched, where clearing would cost them all.
    static char* whole = (char*)mmap(nullptr, WHOLE_ROOM, PROT_READ | PROT_WRITE,
                                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (whole == MAP_FAILED) __builtin_trap();
    u64 length = format_text_args(whole, format, count ? args : nullptr, count);
    if (length >= room || whole[length] != 0) __builtin_trap();
    if (memchr(whole, 0, length) != nullptr) __builtin_trap();

    // At the input's capacity, then at the length plus one, as a caller
    // retries; buffers of the exact capacity, prefilled with the fill byte.
    u64 capacities[2] = {capacity, length + 1};
    for (u64 c : capacities) {
        char* bounded = c ? (char*)malloc(c) : nullptr;
        if (c) memset(bounded, fill, c);
        u64 n = format_text_bounded(bounded, c, format, count ? args : nullptr, count);
        if (n != length) __builtin_trap();
        if (c) {
            u64 kept = length < c - 1 ? length : c - 1;
            if (memcmp(bounded, whole, kept) != 0 || bounded[kept] != 0) __builtin_trap();
        }
        free(bounded);
    }
    madvise(whole, WHOLE_ROOM, MADV_DONTNEED);
    return 0;
}
