// A trivial module for measuring frame pacing: it reads the counter at the
// top of every entry call and writes the readings to data/pacing.log in
// batches, so the measurement adds next to nothing to a frame.
#include <windows.h>

#include <stdio.h>

#include "host/module.h"

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
    HANDLE file = CreateFileA("pacing.log", FILE_APPEND_DATA, FILE_SHARE_READ, NULL, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    DWORD written = 0;
    WriteFile(file, text, (DWORD)length, &written, NULL);
    CloseHandle(file);
    state->count = 0;
}

ENTRY_EXPORT void entry(u64 zero_a, u64 zero_b, i32* running, back_buffer* buffer,
                        input_state* input, f32 frame_seconds, platform_api* services,
                        void** module_slot) {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    (void)zero_a, (void)zero_b, (void)running, (void)buffer, (void)input;
    (void)frame_seconds, (void)services;
    static pacing_state state;  // a reload is not part of this measurement
    state.stamps[state.count++] = now.QuadPart;
    if (state.count == BATCH) {
        flush(&state);
    }
    (void)module_slot;
}
