// A test module that records, every frame, what the host hands it, and draws
// a known pattern: the lower half red, the upper half green, a 20 x 20 blue
// square at the bottom-left corner.
//
// Environment (read once per build): RECORDER_QUIT_AT=N clears the running
// flag in frame N (counted across builds from 1).
// Each frame appends one line to "frames.log" in the working directory.
#include <stdio.h>

#include "engine/module.h"
#include "log.h"

#ifndef RECORDER_VERSION
#define RECORDER_VERSION 1
#endif

// Behind the slot, so it outlives reloads.
typedef struct recorder_state {
    u64 frames;
    u32 width;
    u32 height;
} recorder_state;

static bool buffer_is_black(const back_buffer* buffer) {
    for (u32 y = 0; y < buffer->height; ++y) {
        const u32* row = buffer->pixels + (u64)y * buffer->pitch;
        for (u32 x = 0; x < buffer->width; ++x) {
            if (row[x] != 0) {
                return false;
            }
        }
    }
    return true;
}

static void draw_pattern(back_buffer* buffer) {
    for (u32 y = 0; y < buffer->height; ++y) {
        u32* row = buffer->pixels + (u64)y * buffer->pitch;
        u32 colour = y < buffer->height / 2 ? 0xFF0000u : 0x00FF00u;
        for (u32 x = 0; x < buffer->width; ++x) {
            row[x] = (x < 20 && y < 20) ? 0x0000FFu : colour;
        }
    }
}

ENTRY_EXPORT void entry(u64 zero_a, u64 zero_b, i32* running, back_buffer* buffer,
                        struct input_state* input, f32 frame_seconds,
                        struct platform_api* services, void** module_slot) {
    recorder_state* state =
        (recorder_state*)slot_state(module_slot, services, sizeof(recorder_state));
    state->frames += 1;

    bool resized = state->frames == 1 || buffer->width != state->width ||
                   buffer->height != state->height;
    int black = resized && buffer->pixels ? (int)buffer_is_black(buffer) : -1;
    state->width = buffer->width;
    state->height = buffer->height;
    if (buffer->pixels) {
        draw_pattern(buffer);
    }
    static const u64 quit_at = environment_number("RECORDER_QUIT_AT");
    if (quit_at && state->frames == quit_at) {
        *running = 0;
    }

    u64 now = services->get_counter();
    u64 reserved = 0;
    for (int i = 0; i < 8; ++i) {
        reserved |= (u64)buffer->reserved[i] << (8 * i);
    }
    char line[512];
    int length = snprintf(
        line, sizeof(line),
        "v=%d f=%llu dt=%.9g z=%llu,%llu mem=%p px=%p w=%u h=%u pitch=%u bpp=%u alloc=%u "
        "res=%llu black=%d run=%p runv=%d in=%p svc=%p slot=%p t=%llu\n",
        RECORDER_VERSION, (unsigned long long)state->frames, (double)frame_seconds,
        (unsigned long long)zero_a, (unsigned long long)zero_b, buffer->memory,
        (void*)buffer->pixels, buffer->width, buffer->height, buffer->pitch,
        buffer->bytes_per_pixel, buffer->allocated_pixels, (unsigned long long)reserved, black,
        (void*)running, *running, (void*)input, (void*)services, (void*)module_slot,
        (unsigned long long)now);
    append_log("frames.log", line, length);
}
