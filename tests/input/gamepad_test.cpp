// The controllers' portable part: the begin of a frame for the four places,
// connection and release, polled buttons, and the sticks' and triggers' dead
// zones and scaling at their boundaries.
#include <gtest/gtest.h>
#include <math.h>
#include <string.h>

#include "input/frame.h"
#include "input/gamepad.h"
#include "tests/input/all_zero.h"

namespace {

TEST(Gamepads, EmptyPlacesStayZeroAndOnlyConnectedOnesKeepTime) {
    input_state input = {};
    input_begin_frame(&input, 0, 640, 480);
    input_begin_frame(&input, 0, 640, 480);
    EXPECT_TRUE(all_zero(input.gamepads, sizeof(input.gamepads)));

    gamepad_state* pad = &input.gamepads[2];
    gamepad_connect(pad, 500);
    gamepad_set_buttons(pad, 1u << GAMEPAD_A, 500);
    EXPECT_EQ(pad->buttons[GAMEPAD_NULL].transitions, 1u);
    input_begin_frame(&input, 0, 640, 480);
    for (u32 b = 0; b < GAMEPAD_COUNT; ++b) {
        const button_state& button = pad->buttons[b];
        EXPECT_EQ(button.transitions, 0u) << b;
        EXPECT_EQ(button.durations[button.duration_index % 4], INPUT_FIRST_FRAME_SECONDS) << b;
    }
    EXPECT_TRUE(all_zero(&input.gamepads[0], 2 * sizeof(gamepad_state)));
    EXPECT_TRUE(all_zero(&input.gamepads[3], sizeof(gamepad_state)));

    // After the controller leaves, the transitions clear and the time stops.
    gamepad_disconnect(pad, 900);
    gamepad_state left = *pad;
    input_begin_frame(&input, 0, 640, 480);
    EXPECT_EQ(pad->buttons[GAMEPAD_A].transitions, 0u);
    EXPECT_EQ(pad->buttons[GAMEPAD_NULL].transitions, 0u);
    left.buttons[GAMEPAD_A].transitions = 0;
    left.buttons[GAMEPAD_NULL].transitions = 0;
    EXPECT_EQ(memcmp(&left, pad, sizeof(left)), 0);
}

TEST(Gamepads, DisconnectReleasesHeldButtonsAndCentresTheAxes) {
    gamepad_state pad = {};
    gamepad_disconnect(&pad, 10);  // nothing connected: nothing to release
    EXPECT_TRUE(all_zero(&pad, sizeof(pad)));

    gamepad_connect(&pad, 100);
    // Bit 0 of a polled mask is not the connection.
    gamepad_set_buttons(&pad, 1u << GAMEPAD_NULL | 1u << GAMEPAD_B | 1u << GAMEPAD_DPAD_LEFT,
                        100);
    gamepad_set_buttons(&pad, 1u << GAMEPAD_B | 1u << GAMEPAD_DPAD_LEFT | 1u << GAMEPAD_Y, 133);
    EXPECT_EQ(pad.buttons[GAMEPAD_NULL].is_down, 1u);
    EXPECT_EQ(pad.buttons[GAMEPAD_NULL].transitions, 1u);
    EXPECT_EQ(pad.buttons[GAMEPAD_B].transitions, 1u);  // a repeated poll is no change
    EXPECT_EQ(pad.buttons[GAMEPAD_B].time, 100u);
    EXPECT_EQ(pad.buttons[GAMEPAD_Y].time, 133u);
    pad.left_stick_x = 0.5f;
    pad.right_stick_y = -1.0f;
    pad.left_trigger = 1.0f;
    pad.right_trigger = 0.25f;

    gamepad_disconnect(&pad, 200);
    for (gamepad_button b : {GAMEPAD_NULL, GAMEPAD_B, GAMEPAD_DPAD_LEFT, GAMEPAD_Y}) {
        EXPECT_EQ(pad.buttons[b].is_down, 0u) << b;
        EXPECT_EQ(pad.buttons[b].time, 200u) << b;
    }
    EXPECT_EQ(pad.buttons[GAMEPAD_B].transitions, 2u);
    EXPECT_EQ(pad.buttons[GAMEPAD_NULL].transitions, 2u);
    EXPECT_EQ(pad.buttons[GAMEPAD_A].transitions, 0u);  // never held: untouched
    EXPECT_EQ(pad.buttons[GAMEPAD_A].time, 0u);
    EXPECT_EQ(pad.left_stick_x + pad.left_stick_y + pad.right_stick_x + pad.right_stick_y, 0.0f);
    EXPECT_EQ(pad.left_trigger + pad.right_trigger, 0.0f);

    gamepad_disconnect(&pad, 300);
    EXPECT_EQ(pad.buttons[GAMEPAD_NULL].time, 200u);
}

f32 stick_x(i32 raw_x, i32 raw_y, f32* y_out = nullptr) {
    f32 x = -9.0f, y = -9.0f;
    gamepad_set_stick(&x, &y, raw_x, raw_y);
    if (y_out) *y_out = y;
    return x;
}

TEST(Gamepads, SticksHaveARadialDeadZoneAndReachOneAtFullTilt) {
    f32 y = 0.0f;
    // 7864 of 32767 is inside 0.24, 7865 just past it.
    EXPECT_EQ(stick_x(7864, 0, &y), 0.0f);
    EXPECT_EQ(y, 0.0f);
    EXPECT_EQ(stick_x(0, -7864, &y), 0.0f);
    EXPECT_EQ(y, 0.0f);
    f32 past = stick_x(7865, 0);
    EXPECT_GT(past, 0.0f);
    EXPECT_LT(past, 0.0001f);
    // Inside on each axis, outside together: radial, not per axis.
    EXPECT_GT(stick_x(6000, 6000, &y), 0.0f);
    EXPECT_GT(y, 0.0f);

    EXPECT_EQ(stick_x(32767, 0, &y), 1.0f);
    EXPECT_EQ(y, 0.0f);
    EXPECT_EQ(stick_x(-32768, 0), -1.0f);
    EXPECT_EQ(stick_x(0, 32767, &y), 0.0f);
    EXPECT_EQ(y, 1.0f);
    EXPECT_NEAR(stick_x(16384, 0), (16384.0f / 32767.0f - 0.24f) / 0.76f, 1e-6f);

    // The corner is as far as full tilt, along the diagonal.
    f32 x = stick_x(-32768, 32767, &y);
    EXPECT_NEAR(sqrtf(x * x + y * y), 1.0f, 1e-6f);
    EXPECT_NEAR(x, -y, 1e-6f);
}

TEST(Gamepads, TriggersRiseFromTheDeadZoneToOne) {
    EXPECT_EQ(gamepad_trigger(0, 255), 0.0f);
    EXPECT_EQ(gamepad_trigger(30, 255), 0.0f);  // 30/255 is inside 0.12
    EXPECT_GT(gamepad_trigger(31, 255), 0.0f);
    EXPECT_LT(gamepad_trigger(31, 255), 0.01f);
    EXPECT_EQ(gamepad_trigger(255, 255), 1.0f);
    EXPECT_EQ(gamepad_trigger(32767, 32767), 1.0f);
    EXPECT_EQ(gamepad_trigger(40000, 32767), 1.0f);
    EXPECT_NEAR(gamepad_trigger(16384, 32767), (16384.0f / 32767.0f - 0.12f) / 0.88f, 1e-6f);
}

}  // namespace
