// Globals and statics by the thousand, and a table of records that point at
// each other, at functions and at string literals.
#include "wholer.h"

#define TEN(X, p) X(p##0) X(p##1) X(p##2) X(p##3) X(p##4) X(p##5) X(p##6) X(p##7) X(p##8) X(p##9)
#define HUNDRED(X, p)                                                                       \
    TEN(X, p##0) TEN(X, p##1) TEN(X, p##2) TEN(X, p##3) TEN(X, p##4) TEN(X, p##5) TEN(X, p##6) \
        TEN(X, p##7) TEN(X, p##8) TEN(X, p##9)
#define THOUSAND(X, p)                                                                      \
    HUNDRED(X, p##0) HUNDRED(X, p##1) HUNDRED(X, p##2) HUNDRED(X, p##3) HUNDRED(X, p##4)   \
        HUNDRED(X, p##5) HUNDRED(X, p##6) HUNDRED(X, p##7) HUNDRED(X, p##8) HUNDRED(X, p##9)

// 2,000 globals and 1,000 statics.
#define GLOBAL(n) int global_##n = 1;
#define STATIC(n) static int static_##n = 2;
THOUSAND(GLOBAL, a)
THOUSAND(GLOBAL, b)
THOUSAND(STATIC, c)
#define ADDRESS(n) &global_##n,
#define STATIC_ADDRESS(n) &static_##n,
static int* const globals[] = {THOUSAND(ADDRESS, a) THOUSAND(ADDRESS, b)
                                   THOUSAND(STATIC_ADDRESS, c)};
#define GLOBAL_COUNT (sizeof(globals) / sizeof(globals[0]))

typedef struct thing {
    const char* name;
    struct thing* next;
    act_function* act;
    int value;
    const int* weights;  // into a constant table
} thing;

static const char* const names[] = {"alpha", "bravo", "charlie", "delta", "echo", "foxtrot"};
static const int weights[] = {3, 1, 4, 1, 5, 9, 2, 6, 5, 3, 5, 8};

#if WHOLER_VERSION == 2
static const char* const unused_names[] = {"padding", "more padding"};
const char* wholer_unused(u32 i) { return unused_names[i & 1]; }
#endif

thing things[6] = {
    {"alpha", &things[1], 0, 1, &weights[0]},   {"bravo", &things[2], 0, 2, &weights[2]},
    {"charlie", &things[3], 0, 3, &weights[4]}, {"delta", &things[4], 0, 4, &weights[6]},
    {"echo", &things[5], 0, 5, &weights[8]},    {"foxtrot", &things[0], 0, 6, &weights[10]},
};
static thing* current = &things[0];
thing* const things_end = things + 6;

void world_step(u64 frame) {
    // The acts are set in the first frame: an initializer can't call.
    static int started;
    if (!started) {
        started = 1;
        for (u32 i = 0; i < 6; ++i) {
            things[i].act = wholer_act(i);
        }
    }
    for (u32 i = 0; i < GLOBAL_COUNT; i += 7) {
        *globals[(i + frame) % GLOBAL_COUNT] = *globals[(i + frame) % GLOBAL_COUNT] * 31 + (int)i;
    }
    for (thing* at = things; at != things_end; ++at) {
        at->value = at->act(at->value) + *at->weights;
    }
    current = current->next;
    current->value += 1;
    if (frame % 7 == 0) {
        // Records trade acts, names and partners; act_rare stays in use.
        act_function* first = things[0].act;
        for (u32 i = 0; i < 5; ++i) {
            things[i].act = things[i + 1].act;
        }
        things[5].act = first;
        things[frame % 6].name = names[(frame / 7) % 6];
        things[frame % 6].next = &things[(frame * 5) % 6];
        things[frame % 6].weights = &weights[frame % 12];
    }
}

u64 world_digest(u64 hash) {
    for (u32 i = 0; i < GLOBAL_COUNT; ++i) {
        hash = digest_mix(hash, (u64)(u32)*globals[i]);
    }
    for (u32 i = 0; i < 6; ++i) {
        hash = digest_text(hash, things[i].name);
        hash = digest_mix(hash, (u64)(things[i].next - things));
        hash = digest_mix(hash, wholer_act_index(things[i].act));
        hash = digest_mix(hash, (u64)things[i].value);
        hash = digest_mix(hash, (u64)(things[i].weights - weights));
    }
    return digest_mix(hash, (u64)(current - things));
}

void world_scribble(void) {
    for (u32 i = 0; i < GLOBAL_COUNT; ++i) {
        *globals[i] = 0xDEAD;
    }
    for (u32 i = 0; i < 6; ++i) {
        things[i].act = 0;
        things[i].name = "scribbled";
    }
}
