// The demo's sound: a short tone on each click or key press, its pitch from
// where the pointer is (left to right: two octaves of a pentatonic scale;
// the upper half of the window an octave higher). Up to DEMO_TONES ring at
// once; a new one takes the oldest's place.
#ifndef DEMO_TONES_H
#define DEMO_TONES_H

#include "engine/module.h"

#define DEMO_TONES 8

typedef struct tone {
    f32 pitch;      // Hz; 0 for a voice that is silent
    f32 phase;      // through the cycle, 0 to 1
    u32 age;        // stereo frames played
} tone;

typedef struct demo_tones {
    tone voices[DEMO_TONES];
    u32 next;
} demo_tones;

// The pitch for a pointer at (x, y) in a width x height window.
f32 tone_pitch(f32 x, f32 y, f32 width, f32 height);

// Strikes a tone (from entry).
void tones_strike(demo_tones* tones, f32 pitch);

// Mixes every ringing tone into the room (from entry_sound).
void tones_play(demo_tones* tones, sound_buffer* sound);

#endif
