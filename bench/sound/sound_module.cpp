// The sound benchmarks' module: a quiet sine all the time, and a line a
// frame in data/sound_bench.log with the frames the host asked for and, for
// a key that went down in that frame, the counter when entry saw it and
// where in the stream its samples start (sound_bench.py matches that with
// the moment the device's file reaches it).
#include <math.h>
#include <stdio.h>

#include "engine/module.h"

typedef struct bench_state {
    u64 made;      // stereo frames made so far
    i64 key_seen;  // the counter in this frame's entry when a key went down; 0 for none
    FILE* log;
} bench_state;

static bench_state* state_of(void** module_slot, platform_api* services) {
    if (!*module_slot) {
        *module_slot = services->allocate_memory(sizeof(bench_state), NULL, 0).memory;
    }
    return (bench_state*)*module_slot;
}

ENTRY_EXPORT void entry(u64 zero_a, u64 zero_b, i32* running, back_buffer* buffer,
                        input_state* input, f32 frame_seconds, platform_api* services,
                        void** module_slot) {
    (void)zero_a, (void)zero_b, (void)running, (void)buffer, (void)frame_seconds;
    i64 now = (i64)services->get_counter();
    bench_state* state = state_of(module_slot, services);
    state->key_seen = 0;
    for (u32 code = 1; code < MOUSE_PRIMARY; ++code) {
        const button_state* key = &input->buttons[code];
        // A press and its release in one frame count too.
        if (key->transitions > 1 || (key->is_down && key->transitions)) {
            state->key_seen = now;
        }
    }
}

ENTRY_EXPORT void entry_sound(sound_buffer* sound, platform_api* services, void** module_slot) {
    bench_state* state = state_of(module_slot, services);
    for (u32 i = 0; i < sound->frames; ++i) {
        f32 value = 0.1f * (f32)sin(6.2831853 * 440.0 * (f64)(state->made + i) /
                                    sound->frames_per_second);
        sound->samples[2 * i] = value;
        sound->samples[2 * i + 1] = value;
    }
    if (!state->log) {
        state->log = fopen("sound_bench.log", "w");
    }
    if (state->log) {
        fprintf(state->log, "frames=%u rate=%u made=%llu key=%lld\n", sound->frames,
                sound->frames_per_second, (unsigned long long)state->made,
                (long long)state->key_seen);
        fflush(state->log);
    }
    state->made += sound->frames;
}
