// The input record as a byte-level contract, its name tables, and the
// portable updates: button changes and the end of the frame's mouse.
#include <gtest/gtest.h>
#include <string.h>

#include <set>
#include <string>

#include "input/frame.h"
#include "input/input.h"

namespace {

// Reads a little-endian word at a byte offset, as a module built elsewhere would.
u32 word_at(const input_state& input, size_t offset) {
    const u8* bytes = (const u8*)&input;
    return (u32)bytes[offset] | (u32)bytes[offset + 1] << 8 | (u32)bytes[offset + 2] << 16 |
           (u32)bytes[offset + 3] << 24;
}

u32 float_bits(f32 value) {
    u32 bits;
    memcpy(&bits, &value, 4);
    return bits;
}

TEST(InputRecord, FieldsSitAtTheirContractOffsets) {
    static input_state input;
    memset(&input, 0, sizeof(input));
    EXPECT_EQ(sizeof(input_state), 7132u);
    EXPECT_EQ(sizeof(button_state), 40u);
    EXPECT_EQ(sizeof(mouse_state), 52u);

    input.mouse.wheel = 1.5f;
    input.mouse.y = 7.0f;
    input.mouse.suppress_delta = 0x11223344u;
    input.buttons[KEY_TAB].is_down = 1;
    input.buttons[KEY_F10].transitions = 5;
    input.buttons[MOUSE_MIDDLE].character = 0xABCDu;
    input.buttons[MOUSE_MIDDLE].durations[3] = 2.0f;
    input.width = 1072.0f;
    input.height = 693.0f;

    EXPECT_EQ(word_at(input, 20), float_bits(1.5f));
    EXPECT_EQ(word_at(input, 28), float_bits(7.0f));
    EXPECT_EQ(word_at(input, 68), 0x11223344u);
    EXPECT_EQ(word_at(input, 2568 + 1 * 40), 1u);
    EXPECT_EQ(word_at(input, 2568 + 39 * 40 + 4), 5u);
    EXPECT_EQ(word_at(input, 7048 + 36), 0xABCDu);
    EXPECT_EQ(word_at(input, 7048 + 8 + 12), float_bits(2.0f));
    EXPECT_EQ(word_at(input, 7124), float_bits(1072.0f));
    EXPECT_EQ(word_at(input, 7128), float_bits(693.0f));
    EXPECT_EQ(((const u8*)&input)[7124], (u8)float_bits(1072.0f));

    // The reserved blocks are untouched by every write above.
    for (size_t i = 0; i < 20; ++i) EXPECT_EQ(input.reserved_head[i], 0);
    for (size_t i = 0; i < 2496; ++i) EXPECT_EQ(input.reserved_middle[i], 0);
    for (size_t i = 0; i < 36; ++i) EXPECT_EQ(input.reserved_tail[i], 0);
}

TEST(InputRecord, EnumerationValues) {
    EXPECT_EQ(KEY_NULL, 0);
    EXPECT_EQ(KEY_SLASH, 18);
    EXPECT_EQ(KEY_0, 19);
    EXPECT_EQ(KEY_9, 28);
    EXPECT_EQ(KEY_F9, 37);
    EXPECT_EQ(KEY_F0, 38);
    EXPECT_EQ(KEY_F10, 39);
    EXPECT_EQ(KEY_F24, 53);
    EXPECT_EQ(KEY_COLON, 54);
    EXPECT_EQ(KEY_GRAVE, 66);
    EXPECT_EQ(KEY_Z, 92);
    EXPECT_EQ(KEY_TILDE, 96);
    EXPECT_EQ(KEY_ESCAPE, 109);
    EXPECT_EQ(MOUSE_PRIMARY, 110);
    EXPECT_EQ(KEY_COUNT, 113);
    EXPECT_EQ(GAMEPAD_SHOULDER_RIGHT, 10);
    EXPECT_EQ(GAMEPAD_Y, 14);
}

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
