#include "input/frame.h"

#include "input/gamepad.h"
#include "platform/clock.h"

void button_transition(button_state* button, u32 is_down, u32 time) {
    if (button->is_down == is_down) {
        return;
    }
    if (button->duration_index == 0) {
        button->duration_index = 4;
    }
    button->duration_index -= 1;
    button->durations[button->duration_index % 4] = 0.0f;
    button->time = time;
    button->is_down = is_down;
    button->transitions += 1;
}

void clear_transitions(button_state* buttons, u32 count) {
    for (u32 i = 0; i < count; ++i) {
        buttons[i].transitions = 0;
    }
}

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

void advance_durations(button_state* buttons, u32 count, u64 previous_frame_start) {
    for (u32 i = 0; i < count; ++i) {
        // With no previous frame, the seconds since counter value 0 would be
        // an arbitrary span; one frame period is what a first frame lasts.
        f32 seconds = previous_frame_start == 0 ? INPUT_FIRST_FRAME_SECONDS
                                                : seconds_since(previous_frame_start);
        buttons[i].durations[buttons[i].duration_index % 4] += seconds;
    }
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
