// A test module written as a program that never heard of hot reload: its
// state lives in a few thousand globals and statics, in tables of records
// that point at each other, at functions and at string literals, and in a
// heap of a few thousand nodes made with new and malloc that hold function
// pointers. It keeps its whole state (ENGINE_KEEP_ALL) and runs a
// deterministic simulation, whatever the input and the time, writing a
// digest of all of it to "digest.log" every ten frames.
//
// Builds (WHOLER_VERSION): 1 and 2 differ in code and layout, not in what
// they compute; 3 faults a few frames after it loads, having scribbled over
// its state; 4 changes the layout of `player` (same size) and the size of
// `cache`; 5 lacks the function act_rare that the state points at.
#ifndef WHOLER_H
#define WHOLER_H

#include "engine/base/types.h"

#ifdef __cplusplus
extern "C" {
#endif

// The records' acts; act_rare is left out of version 5.
typedef int act_function(int value);
act_function* wholer_act(u32 index);
u32 wholer_act_count(void);
// The index of an act (wholer_act), or 99 for one it does not know.
u32 wholer_act_index(act_function* act);

// One step of the world's globals and records; its digest.
void world_step(u64 frame);
u64 world_digest(u64 hash);
void world_scribble(void);

// One step of the heap; its digest.
void heap_step(u64 frame);
u64 heap_digest(u64 hash);
void heap_scribble(void);

static inline u64 digest_mix(u64 hash, u64 value) {
    for (u32 i = 0; i < 8; ++i) {
        hash = (hash ^ ((value >> (8 * i)) & 0xFF)) * 0x100000001B3ull;
    }
    return hash;
}

static inline u64 digest_text(u64 hash, const char* text) {
    for (; *text; ++text) {
        hash = (hash ^ (u8)*text) * 0x100000001B3ull;
    }
    return digest_mix(hash, 0x2E);
}

#ifdef __cplusplus
}
#endif

#endif
