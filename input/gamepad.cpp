#include "input/gamepad.h"

#include <math.h>

#include "input/button.h"

static bool32 connected(const gamepad_state* pad) { return pad->buttons[GAMEPAD_NULL].is_down; }

void gamepads_begin_frame(gamepad_state* pads, u32 count, u64 previous_frame_start) {
    for (u32 i = 0; i < count; ++i) {
        if (connected(&pads[i])) {
            advance_durations(pads[i].buttons, GAMEPAD_COUNT, previous_frame_start);
        }
        clear_transitions(pads[i].buttons, GAMEPAD_COUNT);
    }
}

void gamepad_connect(gamepad_state* pad, u32 time) {
    button_transition(&pad->buttons[GAMEPAD_NULL], 1, time);
}

void gamepad_disconnect(gamepad_state* pad, u32 time) {
    if (!connected(pad)) {
        return;
    }
    gamepad_set_buttons(pad, 0, time);
    pad->left_stick_x = 0.0f;
    pad->left_stick_y = 0.0f;
    pad->right_stick_x = 0.0f;
    pad->right_stick_y = 0.0f;
    pad->left_trigger = 0.0f;
    pad->right_trigger = 0.0f;
    button_transition(&pad->buttons[GAMEPAD_NULL], 0, time);
}

void gamepad_set_buttons(gamepad_state* pad, u32 held, u32 time) {
    for (u32 b = GAMEPAD_NULL + 1; b < GAMEPAD_COUNT; ++b) {
        button_transition(&pad->buttons[b], (held >> b) & 1, time);
    }
}

static f32 unit(i32 raw) {
    f32 value = (f32)raw / (f32)GAMEPAD_AXIS_FULL;
    return value < -1.0f ? -1.0f : value > 1.0f ? 1.0f : value;
}

void gamepad_set_stick(f32* x, f32* y, i32 raw_x, i32 raw_y) {
    f32 unit_x = unit(raw_x);
    f32 unit_y = unit(raw_y);
    f32 length = sqrtf(unit_x * unit_x + unit_y * unit_y);
    if (length <= GAMEPAD_STICK_DEAD_ZONE) {
        *x = 0.0f;
        *y = 0.0f;
        return;
    }
    // Radial: a dead zone per axis would snap a nearly straight push onto
    // the axis.
    f32 clamped = length > 1.0f ? 1.0f : length;
    f32 scaled = (clamped - GAMEPAD_STICK_DEAD_ZONE) / (1.0f - GAMEPAD_STICK_DEAD_ZONE);
    *x = unit_x / length * scaled;
    *y = unit_y / length * scaled;
}

f32 gamepad_trigger(u32 raw, u32 full) {
    f32 value = raw >= full ? 1.0f : (f32)raw / (f32)full;
    if (value <= GAMEPAD_TRIGGER_DEAD_ZONE) {
        return 0.0f;
    }
    return (value - GAMEPAD_TRIGGER_DEAD_ZONE) / (1.0f - GAMEPAD_TRIGGER_DEAD_ZONE);
}
