// XInput's state records into the record's places, frame by frame as the
// pump polls them, and the real XInput (Wine's, with no controller) leaving
// the block zero.
#include <gtest/gtest.h>
#include <string.h>

#include "input/frame.h"
#include "input/gamepad_win32.h"
#include "tests/input/all_zero.h"

namespace {

TEST(GamepadXinput, FourteenButtonBitsAndTwoUnassigned) {
    EXPECT_EQ(gamepad_buttons_from_xinput(0xFFFF), 0x7FFEu);  // every button, never the link
    EXPECT_EQ(gamepad_buttons_from_xinput(0x0400 | 0x0800), 0u);
    // The ends of XInput's two runs of bits.
    EXPECT_EQ(gamepad_buttons_from_xinput(XINPUT_GAMEPAD_RIGHT_SHOULDER),
              1u << GAMEPAD_SHOULDER_RIGHT);
    EXPECT_EQ(gamepad_buttons_from_xinput(XINPUT_GAMEPAD_A), 1u << GAMEPAD_A);
}

class GamepadXinputFrames : public ::testing::Test {
protected:
    void SetUp() override { input = {}; }
    // One frame: its begin, then one poll's answer for place 1.
    void frame(u32 result, u16 buttons = 0, i16 lx = 0, i16 ly = 0, u8 left = 0, u8 right = 0) {
        input_begin_frame(&input, 0, 640, 480);
        XINPUT_STATE state = {};
        state.dwPacketNumber = ++packet;
        state.Gamepad = {buttons, left, right, lx, ly, 0, 0};
        time += 33;
        gamepad_from_xinput(pad(), result, &state, time);
    }
    gamepad_state* pad() { return &input.gamepads[1]; }
    const button_state& button(gamepad_button b) { return input.gamepads[1].buttons[b]; }
    input_state input;
    DWORD packet = 0;
    u32 time = 1000;
};

TEST_F(GamepadXinputFrames, ConnectPressHoldReleaseAndUnplugMidPress) {
    frame(ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(all_zero(input.gamepads, sizeof(input.gamepads)));

    frame(ERROR_SUCCESS, XINPUT_GAMEPAD_A);
    EXPECT_EQ(button(GAMEPAD_NULL).is_down, 1u);
    EXPECT_EQ(button(GAMEPAD_NULL).transitions, 1u);
    EXPECT_EQ(button(GAMEPAD_A).is_down, 1u);
    EXPECT_EQ(button(GAMEPAD_A).transitions, 1u);
    EXPECT_EQ(button(GAMEPAD_A).time, 1066u);

    // Held across frames: no transitions, no new time, the hold grows.
    frame(ERROR_SUCCESS, XINPUT_GAMEPAD_A);
    EXPECT_EQ(button(GAMEPAD_NULL).transitions, 0u);
    EXPECT_EQ(button(GAMEPAD_A).transitions, 0u);
    EXPECT_EQ(button(GAMEPAD_A).time, 1066u);
    EXPECT_GT(button(GAMEPAD_A).durations[button(GAMEPAD_A).duration_index], 0.0f);

    frame(ERROR_SUCCESS, XINPUT_GAMEPAD_B);
    EXPECT_EQ(button(GAMEPAD_A).is_down, 0u);
    EXPECT_EQ(button(GAMEPAD_A).transitions, 1u);
    EXPECT_EQ(button(GAMEPAD_B).transitions, 1u);

    frame(ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(button(GAMEPAD_B).is_down, 0u);
    EXPECT_EQ(button(GAMEPAD_B).transitions, 1u);
    EXPECT_EQ(button(GAMEPAD_B).time, 1165u);
    EXPECT_EQ(button(GAMEPAD_NULL).is_down, 0u);
    EXPECT_EQ(button(GAMEPAD_NULL).transitions, 1u);
    EXPECT_TRUE(all_zero(&input.gamepads[0], sizeof(gamepad_state)));
    EXPECT_TRUE(all_zero(&input.gamepads[2], 2 * sizeof(gamepad_state)));

    // Any failure is no controller.
    frame(ERROR_SUCCESS, XINPUT_GAMEPAD_X);
    frame(ERROR_ACCESS_DENIED, XINPUT_GAMEPAD_X);
    EXPECT_EQ(button(GAMEPAD_NULL).is_down, 0u);
    EXPECT_EQ(button(GAMEPAD_X).is_down, 0u);
}

TEST_F(GamepadXinputFrames, XinputsOwnThresholdsAreTheDeadZones) {
    frame(ERROR_SUCCESS, 0, XINPUT_GAMEPAD_LEFT_THUMB_DEADZONE, 0,
          XINPUT_GAMEPAD_TRIGGER_THRESHOLD, XINPUT_GAMEPAD_TRIGGER_THRESHOLD + 1);
    EXPECT_EQ(pad()->left_stick_x, 0.0f);
    EXPECT_EQ(pad()->left_stick_y, 0.0f);
    EXPECT_EQ(pad()->left_trigger, 0.0f);
    EXPECT_GT(pad()->right_trigger, 0.0f);
    // Each axis at the threshold, the stick as a whole past it.
    const i16 edge = XINPUT_GAMEPAD_LEFT_THUMB_DEADZONE;
    frame(ERROR_SUCCESS, 0, edge, (i16)-edge);
    EXPECT_GT(pad()->left_stick_x, 0.0f);
    EXPECT_EQ(pad()->left_stick_y, -pad()->left_stick_x);

    // XInput's y already points up; full travel is 1.
    frame(ERROR_SUCCESS, 0, 0, 32767, 255, 0);
    EXPECT_EQ(pad()->left_stick_x, 0.0f);
    EXPECT_EQ(pad()->left_stick_y, 1.0f);
    EXPECT_EQ(pad()->left_trigger, 1.0f);
    EXPECT_EQ(pad()->right_trigger, 0.0f);
    frame(ERROR_SUCCESS, 0, -32768, 0);
    EXPECT_EQ(pad()->left_stick_x, -1.0f);
    EXPECT_EQ(pad()->right_stick_x, 0.0f);

    frame(ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(pad()->left_stick_x, 0.0f);
    EXPECT_EQ(pad()->left_trigger, 0.0f);
}

TEST(GamepadXinput, NoControllerLeavesTheBlockZero) {
    input_state input = {};
    // More polls than one round of questions about empty places.
    for (u32 i = 0; i < 2 * GAMEPAD_EMPTY_PLACE_POLLS + 1; ++i) {
        input_begin_frame(&input, 0, 640, 480);
        poll_xinput(&input, 1000 + i * 33);
    }
    EXPECT_TRUE(all_zero(input.gamepads, sizeof(input.gamepads)));
}

}  // namespace
