// Sound: the module's optional second export.
//
// A module that makes sound exports, beside `entry`, in C or C++:
//
//     ENTRY_EXPORT void entry_sound(sound_buffer* sound, platform_api* services,
//                                   void** module_slot) { ... }
//
// The host calls it once per frame, right after `entry` and inside the same
// fault guard, with room for `frames` stereo frames: the module writes
// exactly that many, left and right interleaved (samples[2 * i] is frame i's
// left, samples[2 * i + 1] its right), 32-bit floats from -1 to 1. The host
// zeroes the room before each call, so a frame left unwritten is silence.
// NaN, infinities and anything outside -1..1 are clamped (NaN as silence),
// said once on standard error.
//
// How many: as many as keep the device's queue near two frames of the loop
// (66 ms) queued. That is about one frame's worth (1,600 at 48 kHz) in a
// steady run, more after a late frame, fewer after a quick one, and may be
// 0. Headless (--headless) and without a sound device it is exactly one
// frame's worth at 48 kHz: 1,600. Keep the phase of an oscillator across
// calls (behind the slot, or in a kept variable) and advance it by `frames`.
//
// `frames_per_second` is 48,000 unless the device forces another rate; it
// stays the same for the whole run.
//
// The export is looked up at every load: a reload may add or remove it. A
// module without it opens no sound device. A frame whose `entry` or
// `entry_sound` faults queues nothing; after a rollback the previous build's
// `entry_sound` makes the frame's sound.
#ifndef ENGINE_SOUND_H
#define ENGINE_SOUND_H

#include "engine/base/types.h"

#define SOUND_EXPORT_NAME "entry_sound"
#define SOUND_CHANNELS 2
#define SOUND_FRAMES_PER_SECOND 48000

typedef struct sound_buffer {
    f32* samples;           // frames * 2 floats: left, right, left, right, ...
    u32 frames;             // stereo frames to write this call
    u32 frames_per_second;  // the device's rate: 48000 unless it forces another
    u8 reserved[16];        // always zero
} sound_buffer;

LAYOUT_PIN(sound_buffer_size, sizeof(sound_buffer) == 32);
LAYOUT_PIN(sound_buffer_samples, offsetof(sound_buffer, samples) == 0);
LAYOUT_PIN(sound_buffer_frames, offsetof(sound_buffer, frames) == 8);
LAYOUT_PIN(sound_buffer_frames_per_second, offsetof(sound_buffer, frames_per_second) == 12);
LAYOUT_PIN(sound_buffer_reserved, offsetof(sound_buffer, reserved) == 16);

struct platform_api;
// The signature of `entry_sound`. No result is read.
typedef void module_sound_entry(sound_buffer* sound, struct platform_api* services,
                                void** module_slot);

#endif
