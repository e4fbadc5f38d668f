#include "input/frame.h"

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
