// A trivial module for measuring frame pacing: it reads the counter at the
// top of every entry call and writes the readings to data/pacing.log in
// batches, so the measurement adds next to nothing to a frame. With
// PACING_WRITE_MIB set it also writes that many MiB of a block of its own
// every frame, as a module with a big state does.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "engine/module.h"

#define BATCH 60

typedef struct pacing_state {
    u32 count;
    i64 stamps[BATCH];
} pacing_state;

static void flush(pacing_state* state) {
    char text[BATCH * 24];
    int length = 0;
    for (u32 i = 0; i < state->count; ++i) {
        length += snprintf(text + length, sizeof(text) - length, "t=%lld\n",
                           (long long)state->stamps[i]);
    }
    FILE* file = fopen("pacing.log", "ab");
    if (file) {
        fwrite(text, 1, (size_t)length, file);
        fclose(file);
    }
    state->count = 0;
}

ENTRY_EXPORT void entry(u64 zero_a, u64 zero_b, i32* running, back_buffer* buffer,
                        input_state* input, f32 frame_seconds, platform_api* services,
                        void** module_slot) {
    u64 now = services->get_counter();
    (void)zero_a, (void)zero_b, (void)running, (void)buffer, (void)input;
    (void)frame_seconds;
    static pacing_state state;  // a reload is not part of this measurement
    state.stamps[state.count++] = (i64)now;
    if (state.count == BATCH) {
        flush(&state);
    }
    static const char* write_mib = getenv("PACING_WRITE_MIB");
    static memory_block written;
    if (write_mib && !written.memory) {
        written = services->allocate_memory((u32)(strtoul(write_mib, NULL, 10) << 20), NULL, 0);
    }
    if (written.memory) {
        memset(written.memory, (int)now, written.size);
    }
    (void)module_slot;
}
