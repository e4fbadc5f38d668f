// A test module for rewind: its state lives behind the slot (a frame count,
// a digest of everything it did, a block it writes REWINDER_WRITE_MIB MiB
// of every frame, or only in its first REWINDER_WRITE_FRAMES frames when
// that is set, a block it allocates and frees again every few frames).
// Each call logs the state as the frame found it to "frames.log":
// "v=<version> seen=<frames> digest=<hex>", so a frame shown again must log
// what it logged when it first ran; the digest takes in a byte of each page
// of the written block as the frame finds it. It paints the screen in a colour of
// its version. With REWINDER_KEEP it also counts its calls in a kept
// variable (engine/keep.h), whose build takes the kept memory along when it
// goes.
#include "engine/module.h"
#include "log.h"

#include <string.h>

#ifndef REWINDER_VERSION
#define REWINDER_VERSION 1
#endif

typedef struct rewinder_state {
    u64 frames;
    u64 digest;
    memory_block written;
    memory_block passing;  // allocated at frames % 8 == 2, freed at frames % 8 == 6
} rewinder_state;

#if REWINDER_KEEP
static ENGINE_KEEP(u64, calls, 0);
#endif

static u64 mix(u64 hash, u64 value) { return (hash ^ value) * 0x100000001B3ull + 7; }

ENTRY_EXPORT void entry(u64, u64, i32*, back_buffer* buffer, input_state* input, f32,
                        platform_api* services, void** module_slot) {
    rewinder_state* state =
        (rewinder_state*)slot_state(module_slot, services, sizeof(rewinder_state));
    static const u64 write_mib = environment_number("REWINDER_WRITE_MIB");
    static const u64 write_frames = environment_number("REWINDER_WRITE_FRAMES");
    if (write_mib && !state->written.memory) {
        state->written = services->allocate_memory((u32)(write_mib << 20), NULL, 0);
    }
    if (state->written.memory) {
        // What the block holds as the frame finds it is part of the state
        // logged: a byte of each of its pages.
        const u8* bytes = (const u8*)state->written.memory;
        for (u64 at = state->frames % 4096; at < state->written.size; at += 4096) {
            state->digest = mix(state->digest, bytes[at]);
        }
    }
    char line[128];
    append_log("frames.log", line,
               snprintf(line, sizeof(line), "v=%d seen=%llu digest=%016llx\n", REWINDER_VERSION,
                        (unsigned long long)state->frames, (unsigned long long)state->digest));
    state->frames += 1;
#if REWINDER_KEEP
    calls += 1;
#endif
    state->digest = mix(state->digest, state->frames);
    state->digest = mix(state->digest, (u64)input->mouse.x * 31 + (u64)input->mouse.y);
    if (state->frames % 8 == 2) {
        state->passing = services->allocate_memory(4096 * 3, NULL, 0);
        memset(state->passing.memory, (int)state->frames, 4096 * 3);
    } else if (state->frames % 8 == 6 && state->passing.memory) {
        state->digest = mix(state->digest, ((u8*)state->passing.memory)[5000]);
        services->free_memory(&state->passing);
        state->passing.memory = NULL;
    }
    if (state->written.memory && (!write_frames || state->frames <= write_frames)) {
        memset(state->written.memory, (int)state->frames, state->written.size);
    }
    u32 colour = REWINDER_VERSION == 1 ? 0x2040C0u : 0xC04020u;
    for (u32 y = 0; buffer->pixels && y < buffer->height; ++y) {
        u32* row = buffer->pixels + (u64)y * buffer->pitch;
        for (u32 x = 0; x < buffer->width; ++x) {
            row[x] = colour + (u32)(state->frames & 0xFF);
        }
    }
}
