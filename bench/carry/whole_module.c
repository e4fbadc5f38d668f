// The whole-state benchmark's module: 1 MiB of globals and 64 MiB of heap in
// 100,000 allocations that hold function pointers, built in its first
// frame; with the slot at 1 every frame writes all of its globals. Built
// with and without ENGINE_KEEP_ALL. `churn` is the allocation benchmark as
// the module's own code runs it.
#include <stdlib.h>
#include <string.h>

#include "engine/module.h"

#if WHOLE_KEEPS_ALL
ENGINE_KEEP_ALL;
#endif

#define NODES 100000

typedef struct node {
    void (*tick)(struct node*);
    u32 size;
} node;

static void tick(node* at) { at->size += 0; }

static u8 filler[1 << 20];
static node** nodes;
static u64 frames;

ENTRY_EXPORT void entry(u64 zero_a, u64 zero_b, i32* running, back_buffer* buffer,
                        input_state* input, f32 frame_seconds, platform_api* services,
                        void** module_slot) {
    (void)zero_a, (void)zero_b, (void)running, (void)buffer, (void)input, (void)frame_seconds;
    (void)services;
    if (!nodes) {
        nodes = (node**)malloc(NODES * sizeof(node*));
        u64 seed = 1;
        for (u32 i = 0; i < NODES; ++i) {
            seed = seed * 6364136223846793005ull + 1442695040888963407ull;
            u32 size = 16 + (u32)((seed >> 33) % 1326);
            nodes[i] = (node*)malloc(size);
            nodes[i]->tick = tick;
            nodes[i]->size = size;
        }
    }
    frames += 1;
    if (*module_slot == (void*)1) {
        memset(filler, (int)frames, sizeof(filler));
    }
}

ENTRY_EXPORT_ATTRIBUTE u64 churn(u32 rounds) {
    void* held[1000];
    u64 sum = 0;
    for (u32 round = 0; round < rounds; ++round) {
        for (u32 i = 0; i < 1000; ++i) {
            held[i] = malloc(16 + (i * 37) % 497);
            sum += (u64)held[i] & 0xFF;
        }
        for (u32 i = 0; i < 1000; i += 2) {
            free(held[i]);
        }
        for (u32 i = 1; i < 1000; i += 2) {
            free(held[i]);
        }
    }
    return sum;
}
