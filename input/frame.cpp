#include "input/frame.h"

#include "input/gamepad.h"

void input_end_frame(input_state* input) {
    mouse_state* mouse = &input->mouse;
    if (mouse->suppress_delta) {
        mouse->delta_x = 0.0f;
        mouse->delta_y = 0.0f;
    } else {
        mouse->delta_x = mouse->x - mouse->prev_x;
        mouse->delta_y = mouse->y - mouse->prev_y;
    }
    if (mouse->accumulate) {
        mouse->virtual_x += mouse->delta_x;
        mouse->virtual_y += mouse->delta_y;
    } else {
        mouse->virtual_x = mouse->x;
        mouse->virtual_y = mouse->y;
    }
    mouse->accumulate = 0;
    mouse->suppress_delta = 0;
}

void input_begin_frame(input_state* input, u64 previous_frame_start, u32 width, u32 height) {
    input->width = (f32)width;
    input->height = (f32)height;
    advance_durations(input->buttons, KEY_COUNT, previous_frame_start);
    clear_transitions(input->buttons, KEY_COUNT);
    gamepads_begin_frame(input->gamepads, MAX_GAMEPADS, previous_frame_start);
    mouse_state* mouse = &input->mouse;
    mouse->prev_x = mouse->x;
    mouse->prev_y = mouse->y;
    mouse->prev_virtual_x = mouse->virtual_x;
    mouse->prev_virtual_y = mouse->virtual_y;
    mouse->wheel = 0.0f;
}
