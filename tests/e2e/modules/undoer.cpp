// A test module whose faulting frame writes everywhere it can first. Its
// state lives behind the slot: a frame count, a 1 MiB block it fills with
// the count every frame, and a spare block filled once. Each frame it logs
// what it finds (before writing) to "frames.log": the count, whether the
// block holds that count throughout, the slot, and whether the spare is
// intact. Then it counts the frame and fills the block; built with
// UNDOER_FAULTS=1, in frame UNDOER_AT (from the environment) it also frees
// the spare, points the slot at a fresh block, and writes to null.
#include "host/module.h"
#include "platform/platform_api.h"
#include "tests/e2e/modules/log.h"

#include <string.h>

#ifndef UNDOER_FAULTS
#define UNDOER_FAULTS 0
#endif

#define BLOCK_BYTES (1u << 20)
#define SPARE_BYTES 10000u
#define SPARE_VALUE 0x5A

typedef struct undoer_state {
    u64 frames;
    u8* block;
    memory_block spare;
} undoer_state;

static volatile int* volatile null_pointer;

static int uniform(const u8* bytes, u64 count, u8 value) {
    for (u64 i = 0; i < count; ++i) {
        if (bytes[i] != value) {
            return 0;
        }
    }
    return 1;
}

ENTRY_EXPORT void entry(u64, u64, i32*, back_buffer*, input_state*, f32, platform_api* services,
                        void** module_slot) {
    undoer_state* state = (undoer_state*)slot_state(module_slot, services, sizeof(undoer_state));
    if (!state->block) {
        state->block = (u8*)services->allocate_memory(BLOCK_BYTES, NULL, 0).memory;
        state->spare = services->allocate_memory(SPARE_BYTES, NULL, MEMORY_GUARD_PAGE);
        memset(state->spare.memory, SPARE_VALUE, SPARE_BYTES);
    }
    char line[200];
    int length = snprintf(line, sizeof(line), "v=%d seen=%llu block=%d slot=%p spare=%d\n",
                          UNDOER_FAULTS, (unsigned long long)state->frames,
                          uniform(state->block, BLOCK_BYTES, (u8)state->frames), (void*)state,
                          uniform((const u8*)state->spare.memory, SPARE_BYTES, SPARE_VALUE));
    append_log("frames.log", line, length);
    state->frames += 1;
    memset(state->block, (u8)state->frames, BLOCK_BYTES);
    if (UNDOER_FAULTS && state->frames == environment_number("UNDOER_AT")) {
        services->free_memory(&state->spare);
        *module_slot = services->allocate_memory(sizeof(undoer_state), NULL, 0).memory;
        *null_pointer = 1;
    }
}
