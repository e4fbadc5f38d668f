#include "tones.h"

#define TONE_SECONDS 0.25f
#define TONE_ATTACK_SECONDS 0.004f  // a softer start than a step: no click
#define TONE_LEVEL 0.2f

static const u32 pentatonic[5] = {0, 2, 4, 7, 9};

// 2^(semitones / 12) by halving to an octave, then a short series.
static f32 semitones_ratio(u32 semitones) {
    f32 ratio = (f32)(1u << (semitones / 12));
    f32 rest = (f32)(semitones % 12) / 12.0f * 0.693147f;  // ln 2
    f32 term = 1.0f;
    f32 sum = 1.0f;
    for (u32 i = 1; i < 8; ++i) {
        term *= rest / (f32)i;
        sum += term;
    }
    return ratio * sum;
}

f32 tone_pitch(f32 x, f32 y, f32 width, f32 height) {
    u32 steps = 10;  // two octaves of five notes
    f32 across = width > 1.0f ? x / width : 0.0f;
    u32 step = across <= 0.0f ? 0 : across >= 1.0f ? steps - 1 : (u32)(across * (f32)steps);
    u32 semitones = 12 * (step / 5) + pentatonic[step % 5];
    if (height > 1.0f && y > 0.5f * height) {
        semitones += 12;
    }
    return 220.0f * semitones_ratio(semitones);
}

void tones_strike(demo_tones* tones, f32 pitch) {
    tone* voice = &tones->voices[tones->next];
    tones->next = (tones->next + 1) % DEMO_TONES;
    voice->pitch = pitch;
    voice->phase = 0.0f;
    voice->age = 0;
}

// sin(2 pi turns) for turns in 0..1, within about 0.001.
static f32 sine(f32 turns) {
    f32 x = turns < 0.5f ? turns : turns - 1.0f;  // -0.5 .. 0.5
    x *= 6.2831853f;
    f32 x2 = x * x;
    return x * (1.0f - x2 / 6.0f * (1.0f - x2 / 20.0f * (1.0f - x2 / 42.0f * (1.0f - x2 / 72.0f))));
}

static f32 envelope(u32 age, u32 attack, u32 length) {
    if (age < attack) {
        return (f32)age / (f32)attack;
    }
    f32 left = 1.0f - (f32)(age - attack) / (f32)(length - attack);
    return left * left;
}

static void play_voice(tone* voice, sound_buffer* sound, u32 length, u32 attack) {
    f32 step = voice->pitch / (f32)sound->frames_per_second;
    for (u32 i = 0; i < sound->frames && voice->age < length; ++i, ++voice->age) {
        f32 value = TONE_LEVEL * envelope(voice->age, attack, length) * sine(voice->phase);
        sound->samples[2 * i] += value;
        sound->samples[2 * i + 1] += value;
        voice->phase += step;
        voice->phase -= voice->phase >= 1.0f ? 1.0f : 0.0f;
    }
    if (voice->age >= length) {
        voice->pitch = 0.0f;
    }
}

void tones_play(demo_tones* tones, sound_buffer* sound) {
    u32 length = (u32)(TONE_SECONDS * (f32)sound->frames_per_second);
    u32 attack = (u32)(TONE_ATTACK_SECONDS * (f32)sound->frames_per_second) + 1;
    for (u32 i = 0; i < DEMO_TONES; ++i) {
        tone* voice = &tones->voices[i];
        if (voice->pitch > 0.0f) {
            play_voice(voice, sound, length, attack);
        }
    }
    // Eight tones at once could pass full scale.
    for (u32 i = 0; i < 2 * sound->frames; ++i) {
        f32 value = sound->samples[i];
        sound->samples[i] = value > 1.0f ? 1.0f : value < -1.0f ? -1.0f : value;
    }
}
