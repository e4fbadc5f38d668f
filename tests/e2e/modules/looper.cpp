// A test module for loop editing. Its state lives behind the slot: a frame
// count, a count of key presses, a block "A" filled with a pattern in its
// first frame, and a block "B" that each press allocates or frees in turn;
// the X key frees A. Each frame it logs to "loop.log" what it was given and
// what it finds, before changing anything: the loop info, a hash of the
// input record (the loop info left out), the frame's duration and the
// counter's first reading, the buffer's size, its own counts, whether A is
// there and whole, and where B is.
//
// It paints the buffer from its state. Built with LOOPER_VERSION=2 it paints
// differently from its LOOPER_CHANGE_AT-th frame on, and its memory stays
// as version 1 keeps it.
#include "engine/module.h"
#include "engine/platform_api.h"
#include "log.h"

#include <string.h>

#ifndef LOOPER_VERSION
#define LOOPER_VERSION 1
#endif
#define LOOPER_CHANGE_AT 10

#define A_BYTES 100000u
#define B_BYTES 5000u

typedef struct looper_state {
    u64 frames;
    u64 presses;
    memory_block a;
    memory_block b;
} looper_state;

static u64 fnv(const void* bytes, u64 count) {
    u64 hash = 1469598103934665603ull;
    for (u64 i = 0; i < count; ++i) {
        hash = (hash ^ ((const u8*)bytes)[i]) * 1099511628211ull;
    }
    return hash;
}

static u8 pattern(u64 i) { return (u8)(i * 7 + 3); }

static int a_whole(const looper_state* state) {
    if (!state->a.memory) {
        return 0;
    }
    for (u64 i = 0; i < A_BYTES; ++i) {
        if (((const u8*)state->a.memory)[i] != pattern(i)) {
            return 0;
        }
    }
    return 1;
}

static u32 presses_in(const input_state* input) {
    u32 presses = 0;
    for (u32 key = KEY_A; key <= KEY_Z; ++key) {
        const button_state* button = &input->buttons[key];
        // A press and release within the frame counts too.
        presses += (button->transitions + (button->is_down ? 1 : 0)) / 2;
    }
    return presses;
}

static u32 keys_down(const input_state* input) {
    u32 down = 0;
    for (u32 key = 0; key < KEY_COUNT; ++key) {
        down += input->buttons[key].is_down;
    }
    return down;
}

static void paint(back_buffer* buffer, const looper_state* state) {
    u32 colour = (u32)(state->frames * 0x010203u + state->presses * 0x400000u);
    if (LOOPER_VERSION == 2 && state->frames + 1 >= LOOPER_CHANGE_AT) {
        colour ^= 0x00FF00u;
    }
    for (u32 y = 0; buffer->pixels && y < buffer->height; ++y) {
        for (u32 x = 0; x < buffer->width; ++x) {
            buffer->pixels[(u64)y * buffer->pitch + x] = colour + (x >> 4);
        }
    }
}

static void log_frame(const looper_state* state, const input_state* input, f32 seconds,
                      u64 counter, const back_buffer* buffer) {
    const u8* record = (const u8*)input;
    char line[400];
    int length = snprintf(
        line, sizeof(line),
        "v=%d mode=%u frame=%u frames=%u round=%u flags=%u input=%016llx dt=%.6f counter=%llu "
        "size=%ux%u seen=%llu presses=%llu down=%u l=%u a=%d b=%p\n",
        LOOPER_VERSION, input->loop.mode, input->loop.frame, input->loop.frames,
        input->loop.round, input->loop.flags,
        (unsigned long long)fnv(record + sizeof(loop_info), sizeof(*input) - sizeof(loop_info)),
        seconds, (unsigned long long)counter, buffer->width, buffer->height,
        (unsigned long long)state->frames, (unsigned long long)state->presses, keys_down(input),
        input->buttons[KEY_L].is_down + input->buttons[KEY_L].transitions, a_whole(state),
        state->b.memory);
    append_log("loop.log", line, length);
}

ENTRY_EXPORT void entry(u64, u64, i32*, back_buffer* buffer, input_state* input, f32 seconds,
                        platform_api* services, void** module_slot) {
    u64 counter = services->get_counter();
    looper_state* state = (looper_state*)slot_state(module_slot, services, sizeof(looper_state));
    if (state->frames == 0) {
        state->a = services->allocate_memory(A_BYTES, NULL, MEMORY_GUARD_PAGE);
        for (u64 i = 0; i < A_BYTES; ++i) {
            ((u8*)state->a.memory)[i] = pattern(i);
        }
    }
    log_frame(state, input, seconds, counter, buffer);
    u32 presses = presses_in(input);
    for (u32 i = 0; i < presses; ++i) {
        if (state->b.memory) {
            services->free_memory(&state->b);
            state->b.memory = NULL;
        } else {
            state->b = services->allocate_memory(B_BYTES, NULL, 0);
            memset(state->b.memory, (int)state->presses, B_BYTES);
        }
        ++state->presses;
    }
    if (input->buttons[KEY_X].transitions && state->a.memory) {
        services->free_memory(&state->a);
        state->a.memory = NULL;
    }
    paint(buffer, state);
    ++state->frames;
}
