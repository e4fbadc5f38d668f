// A test module that makes sound: a sine on the left channel, a constant
// on the right that tells the faulting build's samples from the others, and a line a frame in "sound.log"
// with what the host asked for; entry logs its frames in "entry.log".
//
// SOUNDER_VERSION 0: no entry_sound at all.
// SOUNDER_VERSION 1: 440 Hz at 0.5 from the first frame.
// SOUNDER_VERSION 2: the same until frame SOUNDER_CHANGE_AT, 660 Hz from
//   there: the same pixels and memory, other samples.
// SOUNDER_VERSION 3: writes its samples, then faults in entry_sound at its
//   first call: none of them may be heard.
// SOUNDER_VERSION 4: writes NaN, infinities and values far out of range
//   among good ones.
// The phase comes from the frames made so far, kept behind the slot, so a
// reload or a rollback carries the tone on.
#include <math.h>

#include "engine/module.h"
#include "log.h"

#ifndef SOUNDER_VERSION
#define SOUNDER_VERSION 1
#endif
#define SOUNDER_CHANGE_AT 10
#define SOUNDER_MARK (SOUNDER_VERSION == 3 ? 0.375f : 0.125f)

typedef struct sounder_state {
    u64 frame;  // entry's frames, from 1
    u64 made;   // stereo frames made so far
} sounder_state;

static sounder_state* state_of(void** module_slot, platform_api* services) {
    return (sounder_state*)slot_state(module_slot, services, sizeof(sounder_state));
}

ENTRY_EXPORT void entry(u64 zero_a, u64 zero_b, i32* running, back_buffer* buffer,
                        struct input_state* input, f32 frame_seconds,
                        struct platform_api* services, void** module_slot) {
    (void)zero_a, (void)zero_b, (void)running, (void)input, (void)frame_seconds;
    sounder_state* state = state_of(module_slot, services);
    ++state->frame;
    for (u32 y = 0; buffer->pixels && y < buffer->height; ++y) {
        for (u32 x = 0; x < buffer->width; ++x) {
            buffer->pixels[(u64)y * buffer->pitch + x] = (u32)(state->frame * 8) & 0xFF;
        }
    }
    char line[64];
    int length = snprintf(line, sizeof(line), "frame=%llu\n", (unsigned long long)state->frame);
    append_log("entry.log", line, length);
}

#if SOUNDER_VERSION > 0

static f32 frequency(u64 frame) {
    return SOUNDER_VERSION == 2 && frame >= SOUNDER_CHANGE_AT ? 660.0f : 440.0f;
}

ENTRY_EXPORT void entry_sound(sound_buffer* sound, platform_api* services, void** module_slot) {
    sounder_state* state = state_of(module_slot, services);
    for (u32 i = 0; i < sound->frames; ++i) {
        f64 t = (f64)(state->made + i) / sound->frames_per_second;
        sound->samples[2 * i] = (f32)(0.5 * sin(2.0 * 3.14159265358979 * frequency(state->frame) * t));
        sound->samples[2 * i + 1] = SOUNDER_MARK;
    }
#if SOUNDER_VERSION == 4
    static const f32 bad[] = {NAN, INFINITY, -INFINITY, 5.0f, -7.0f, 1e30f};
    for (u32 i = 0; i < sound->frames && i < 6; ++i) {
        sound->samples[2 * i] = bad[i];
    }
#endif
    state->made += sound->frames;
    char line[160];
    int length = snprintf(line, sizeof(line), "frame=%llu frames=%u rate=%u made=%llu\n",
                          (unsigned long long)state->frame, sound->frames,
                          sound->frames_per_second, (unsigned long long)state->made);
    append_log("sound.log", line, length);
#if SOUNDER_VERSION == 3
    *(volatile int*)0 = 1;
#endif
}
#endif
