// A file's own statics, and a pointer to one of its functions.
#include "closures.h"

static int table[64];
static int cursor;
static int shift(int x) { return (x << 1) % 9973; }
static int (*pick)(int) = shift;

int table_step(int value) {
    static int calls;
    calls += 1;
    table[cursor] = pick(value) + calls;
    cursor = (cursor + 5) % 64;
    return (value + table[(cursor + 11) % 64]) % 100003;
}

u64 table_digest(u64 hash) {
    for (int i = 0; i < 64; ++i) {
        hash = digest_mix(hash, (u64)table[i]);
    }
    return digest_mix(hash, (u64)cursor);
}
