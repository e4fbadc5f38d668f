#include "input/button.h"

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

void advance_durations(button_state* buttons, u32 count, u64 previous_frame_start) {
    for (u32 i = 0; i < count; ++i) {
        // With no previous frame, the seconds since counter value 0 would be
        // an arbitrary span; one frame period is what a first frame lasts.
        f32 seconds = previous_frame_start == 0 ? INPUT_FIRST_FRAME_SECONDS
                                                : seconds_since(previous_frame_start);
        buttons[i].durations[buttons[i].duration_index % 4] += seconds;
    }
}
