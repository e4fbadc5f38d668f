/* The smallest complete module: copy this folder to start your own.
 *
 * It clears the window to a colour, keeps its state behind the persistent
 * slot (so a rebuild keeps it), and steps the colour on each press of space.
 * Each press also sounds a short beep (entry_sound, at the end).
 * Edit, rebuild (cmake --build build), and the running host picks it up.
 * Press alt+L in the window to record, again to loop what you recorded while
 * you edit, and a third time to go back to live input: the loop starts from
 * the state behind the slot as it was when recording began. */
#include "engine/module.h"

typedef struct template_state {
    memory_block block; /* where this record lives; freed by nobody: it lasts the run */
    u32 presses;
    u32 beep_left;      /* stereo frames of the beep still to play */
    f32 beep_phase;     /* through the beep's square wave, 0 to 1 */
} template_state;

static const u32 colours[] = {0x203040, 0x6a2c70, 0x2c7061, 0x8a6d1f};

/* Kept across rebuilds without the slot (engine/keep.h): frames since the
 * host started. Fine for small, pointer-free values; bigger state is better
 * behind the slot. */
static ENGINE_KEEP(u64, frames_run, 0);

ENTRY_EXPORT void entry(u64 zero_a, u64 zero_b, i32* running, back_buffer* buffer,
                        input_state* input, f32 frame_seconds, platform_api* services,
                        void** module_slot) {
    (void)zero_a;
    (void)zero_b;
    (void)running;
    (void)frame_seconds;
    if (!*module_slot) {
        /* Static data is lost on reload; memory behind the slot is not. */
        memory_block block = services->allocate_memory(sizeof(template_state), 0, 0);
        if (!block.memory) {
            return;
        }
        ((template_state*)block.memory)->block = block;
        *module_slot = block.memory;
    }
    template_state* state = (template_state*)*module_slot;

    frames_run += 1;
    button_state* space = &input->buttons[KEY_SPACE];
    if (space->is_down && space->transitions > 0) {
        state->presses += 1;
        state->beep_left = SOUND_FRAMES_PER_SECOND / 10; /* a tenth of a second */
    }

    u32 colour = colours[state->presses % (sizeof(colours) / sizeof(colours[0]))];
    for (u32 y = 0; y < buffer->height; ++y) {
        u32* row = buffer->pixels + (u64)y * buffer->pitch; /* row 0 is the bottom */
        for (u32 x = 0; x < buffer->width; ++x) {
            row[x] = colour;
        }
    }
}

/* Optional: a module that exports entry_sound makes sound (engine/sound.h).
 * The host calls it right after entry, every frame, with room for
 * sound->frames stereo frames (about 1,600 at 48 kHz; it varies to keep the
 * device fed, and may be 0). Write left and right, -1 to 1, into
 * sound->samples; the room starts silent. State that must carry on between
 * calls (here the wave's phase) lives behind the slot like everything else.
 * Without this export the host opens no sound device at all. */
ENTRY_EXPORT void entry_sound(sound_buffer* sound, platform_api* services, void** module_slot) {
    (void)services;
    template_state* state = (template_state*)*module_slot;
    if (!state) {
        return;
    }
    f32 pitch = 440.0f + 110.0f * (f32)(state->presses % 4); /* Hz: higher with each colour */
    for (u32 i = 0; i < sound->frames && state->beep_left > 0; ++i) {
        f32 level = state->beep_phase < 0.5f ? 0.1f : -0.1f; /* quiet: square waves are loud */
        sound->samples[2 * i] = level;     /* left */
        sound->samples[2 * i + 1] = level; /* right */
        state->beep_phase += pitch / (f32)sound->frames_per_second;
        if (state->beep_phase >= 1.0f) {
            state->beep_phase -= 1.0f;
        }
        state->beep_left -= 1;
    }
}
