// The input record's name tables and the portable updates: button changes
// and the end of the frame's mouse. The record's byte layout and its codes
// are pinned in engine/input.h.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "input/frame.h"
#include "engine/input.h"

namespace {

TEST(InputRecord, NameTables) {
    EXPECT_STREQ(key_names[0], "KEY_NULL");
    EXPECT_STREQ(key_names[13], "KEY_ASTERIK");
    EXPECT_STREQ(key_names[38], "KEY_F0");
    EXPECT_STREQ(key_names[KEY_F10], "KEY_F10");
    EXPECT_STREQ(key_names[KEY_A], "KEY_A");
    EXPECT_STREQ(key_names[KEY_OPEN_CURLY], "KEY_OPEN_CURLY");
    EXPECT_STREQ(key_names[KEY_DEL], "KEY_DEL");
    EXPECT_STREQ(key_names[KEY_ESCAPE], "KEY_ESCAPE");
    EXPECT_STREQ(key_names[MOUSE_MIDDLE], "MOUSE_MIDDLE");
    EXPECT_EQ(key_names[KEY_COUNT], nullptr);

    // Every code has its own name, each a constant's name.
    std::set<std::string> distinct;
    for (int k = 0; k < KEY_COUNT; ++k) {
        ASSERT_NE(key_names[k], nullptr) << k;
        std::string name = key_names[k];
        EXPECT_TRUE(name.rfind("KEY_", 0) == 0 || name.rfind("MOUSE_", 0) == 0) << name;
        distinct.insert(name);
    }
    EXPECT_EQ(distinct.size(), 113u);

    EXPECT_STREQ(gamepad_button_names[0], "GAMEPAD_NULL");
    EXPECT_STREQ(gamepad_button_names[GAMEPAD_DPAD_RIGHT], "GAMEPAD_DPAD_RIGHT");
    EXPECT_STREQ(gamepad_button_names[GAMEPAD_SHOULDER_LEFT], "GAMEPAD_SHOULDER_LEFT");
    EXPECT_STREQ(gamepad_button_names[GAMEPAD_A], "GAMEPAD_A");
    EXPECT_STREQ(gamepad_button_names[14], "GAMEPAD_Y");
}

TEST(ButtonTransition, WalksTheRingDownwardAndClearsTheNewSlot) {
    button_state button = {};
    button.durations[0] = 3.0f;  // time up since the first frame
    button.durations[1] = 9.0f;
    button.durations[2] = 9.0f;
    button.durations[3] = 9.0f;

    button_transition(&button, 1, 1000);
    EXPECT_EQ(button.is_down, 1u);
    EXPECT_EQ(button.transitions, 1u);
    EXPECT_EQ(button.duration_index, 3u);
    EXPECT_EQ(button.durations[3], 0.0f);
    EXPECT_EQ(button.durations[0], 3.0f);  // the previous (up) state, index + 1
    EXPECT_EQ(button.time, 1000u);

    // A repeat of the current state changes nothing, not even the time.
    button_transition(&button, 1, 2000);
    EXPECT_EQ(button.transitions, 1u);
    EXPECT_EQ(button.time, 1000u);
    EXPECT_EQ(button.duration_index, 3u);

    button.durations[3] = 0.5f;
    button_transition(&button, 0, 3000);
    EXPECT_EQ(button.is_down, 0u);
    EXPECT_EQ(button.transitions, 2u);
    EXPECT_EQ(button.duration_index, 2u);
    EXPECT_EQ(button.durations[2], 0.0f);
    EXPECT_EQ(button.durations[3], 0.5f);
    EXPECT_EQ(button.time, 3000u);

    button_transition(&button, 1, 4000);
    button_transition(&button, 0, 5000);
    EXPECT_EQ(button.duration_index, 0u);
    button_transition(&button, 1, 0xFFFFFFFFu);
    EXPECT_EQ(button.duration_index, 3u);  // wraps back to the top of the ring
    EXPECT_EQ(button.transitions, 5u);
    EXPECT_EQ(button.time, 0xFFFFFFFFu);
    EXPECT_EQ(button.reserved, 0u);
    EXPECT_EQ(button.character, 0u);

    // A release of a button that is already up changes nothing.
    button_state up = {};
    button_transition(&up, 0, 77);
    EXPECT_EQ(up.transitions, 0u);
    EXPECT_EQ(up.time, 0u);
    EXPECT_EQ(up.duration_index, 0u);
}

TEST(ClearTransitions, ClearsOnlyTheCountGiven) {
    button_state buttons[3] = {};
    buttons[0].transitions = 2;
    buttons[1].transitions = 1;
    buttons[2].transitions = 4;
    buttons[1].is_down = 1;
    clear_transitions(buttons, 2);
    EXPECT_EQ(buttons[0].transitions, 0u);
    EXPECT_EQ(buttons[1].transitions, 0u);
    EXPECT_EQ(buttons[1].is_down, 1u);
    EXPECT_EQ(buttons[2].transitions, 4u);
}

TEST(InputEndFrame, DeltasVirtualPositionAndTheModuleFlags) {
    input_state input = {};
    mouse_state& mouse = input.mouse;
    mouse.prev_x = 10.0f;
    mouse.prev_y = 20.0f;
    mouse.x = 15.0f;
    mouse.y = 12.0f;
    mouse.virtual_x = 100.0f;
    mouse.virtual_y = 200.0f;
    input_end_frame(&input);
    EXPECT_EQ(mouse.delta_x, 5.0f);
    EXPECT_EQ(mouse.delta_y, -8.0f);
    EXPECT_EQ(mouse.virtual_x, 15.0f);
    EXPECT_EQ(mouse.virtual_y, 12.0f);

    mouse.accumulate = 1;
    mouse.prev_x = 15.0f;
    mouse.prev_y = 12.0f;
    mouse.x = 18.0f;
    mouse.y = 11.0f;
    input_end_frame(&input);
    EXPECT_EQ(mouse.delta_x, 3.0f);
    EXPECT_EQ(mouse.delta_y, -1.0f);
    EXPECT_EQ(mouse.virtual_x, 18.0f);
    EXPECT_EQ(mouse.virtual_y, 11.0f);
    EXPECT_EQ(mouse.accumulate, 0u);

    // Both flags: no delta, so the virtual position stays put.
    mouse.accumulate = 7;
    mouse.suppress_delta = 1;
    mouse.prev_x = 18.0f;
    mouse.x = 40.0f;
    input_end_frame(&input);
    EXPECT_EQ(mouse.delta_x, 0.0f);
    EXPECT_EQ(mouse.delta_y, 0.0f);
    EXPECT_EQ(mouse.virtual_x, 18.0f);
    EXPECT_EQ(mouse.virtual_y, 11.0f);
    EXPECT_EQ(mouse.accumulate, 0u);
    EXPECT_EQ(mouse.suppress_delta, 0u);

    // Suppress alone: no delta, but the virtual position follows the cursor.
    mouse.suppress_delta = 1;
    input_end_frame(&input);
    EXPECT_EQ(mouse.delta_x, 0.0f);
    EXPECT_EQ(mouse.virtual_x, 40.0f);

    // Accumulate alone moves by the delta, away from the cursor.
    mouse.virtual_x = 5.0f;
    mouse.prev_x = 40.0f;
    mouse.x = 42.0f;
    mouse.accumulate = 1;
    input_end_frame(&input);
    EXPECT_EQ(mouse.virtual_x, 7.0f);
}

}  // namespace
