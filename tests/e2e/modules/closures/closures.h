// A C++ test program whose state holds lambdas: std::function objects in
// globals and in a std::vector on the heap, set up once in its first frame
// and called every frame, beside a second file's statics (a table, a
// cursor, a pointer to a function of its own). It keeps its whole state
// (ENGINE_KEEP_ALL) and writes a digest of it to "digest.log" every ten
// frames, whatever the input and the time.
//
// Builds (CLOSURES_VERSION): 1; 2 has a lambda more before the kept ones and
// two of one signature written in the other order, and computes the same; 3
// changes the bodies of two of one signature alike, so no reload can tell
// which is which. The same sources copied to another folder build 1 again.
#ifndef CLOSURES_H
#define CLOSURES_H

#include "engine/base/types.h"

// One step of the table's file; its digest.
int table_step(int value);
u64 table_digest(u64 hash);

static inline u64 digest_mix(u64 hash, u64 value) {
    for (u32 i = 0; i < 8; ++i) {
        hash = (hash ^ ((value >> (8 * i)) & 0xFF)) * 0x100000001B3ull;
    }
    return hash;
}

#endif
