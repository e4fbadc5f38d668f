/* The smallest complete module: copy this folder to start your own.
 *
 * It clears the window to a colour, keeps its state behind the persistent
 * slot (so a rebuild keeps it), and steps the colour on each press of space.
 * Edit, rebuild (cmake --build build), and the running host picks it up.
 * Press alt+L in the window to record, again to loop what you recorded while
 * you edit, and a third time to go back to live input: the loop starts from
 * the state behind the slot as it was when recording began. */
#include "engine/module.h"

typedef struct template_state {
    memory_block block; /* where this record lives; freed by nobody: it lasts the run */
    u32 presses;
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
    }

    u32 colour = colours[state->presses % (sizeof(colours) / sizeof(colours[0]))];
    for (u32 y = 0; y < buffer->height; ++y) {
        u32* row = buffer->pixels + (u64)y * buffer->pitch; /* row 0 is the bottom */
        for (u32 x = 0; x < buffer->width; ++x) {
            row[x] = colour;
        }
    }
}
