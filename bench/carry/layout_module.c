// The changed-layout benchmark's module: 100,000 heap objects in a list and
// an array of pointers to them, built in its first frame. Build 2 inserts a
// member in the middle of the objects' type; build 3 has build 1's layout
// with other code. `check` sums what the objects hold, the same in every
// build while nothing is lost.
#include <stdlib.h>

#include "engine/module.h"

ENGINE_KEEP_ALL;

#define OBJECTS 100000

typedef struct thing {
    struct thing* next;
    u32 id;
#if LAYOUT_VERSION == 2
    u64 inserted;
#endif
    float weight;
    double position[3];
} thing;

static thing* first;
static thing** index_of;
static u64 frames;

ENTRY_EXPORT void entry(u64 zero_a, u64 zero_b, i32* running, back_buffer* buffer,
                        input_state* input, f32 frame_seconds, platform_api* services,
                        void** module_slot) {
    (void)zero_a, (void)zero_b, (void)running, (void)buffer, (void)input, (void)frame_seconds;
    (void)services, (void)module_slot;
    if (!first) {
        index_of = (thing**)malloc(OBJECTS * sizeof(thing*));
        for (u32 i = 0; i < OBJECTS; ++i) {
            thing* made = (thing*)calloc(1, sizeof(thing));
            made->id = i;
            made->weight = (float)i * 0.5f;
            made->position[2] = i * 3.0;
            made->next = first;
            first = made;
            index_of[i] = made;
        }
    }
    frames += LAYOUT_VERSION;
}

ENTRY_EXPORT_ATTRIBUTE u64 check(void) {
    u64 sum = 0, count = 0;
    for (thing* at = first; at; at = at->next) {
        sum += at->id + (u64)at->weight + (u64)at->position[2];
        count += 1;
    }
    for (u32 i = 0; i < OBJECTS; i += 997) {
        sum += index_of[i]->id;
    }
    return count == OBJECTS ? sum : 0;
}
