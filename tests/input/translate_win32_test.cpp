// Window messages fed straight into the translation, with the real keyboard
// state and character translation of the system underneath.
#include <gtest/gtest.h>
#include <windows.h>

#include "platform/clock.h"
#include "input/translate_win32.h"

namespace {

MSG message_of(UINT kind, WPARAM wparam, LPARAM lparam, DWORD time) {
    MSG message = {};
    message.message = kind;
    message.wParam = wparam;
    message.lParam = lparam;
    message.time = time;
    return message;
}

i32 key(input_state* input, UINT kind, u32 virtual_key, DWORD time) {
    MSG message = message_of(kind, virtual_key, 0, time);
    return input_translate_message(input, &message, 600);
}

i32 mouse(input_state* input, UINT kind, u32 column, u32 row, u32 height, DWORD time = 0) {
    MSG message = message_of(kind, 0, (LPARAM)(row << 16 | column), time);
    return input_translate_message(input, &message, height);
}

i32 wheel(input_state* input, i16 delta) {
    MSG message = message_of(WM_MOUSEWHEEL, (WPARAM)((u32)(u16)delta << 16), 0, 0);
    return input_translate_message(input, &message, 600);
}

// A previous frame start one frame period before now.
u64 one_frame_ago(void) { return (u64)read_counter() - (u32)counter_frequency / 30; }

class Translate : public ::testing::Test {
protected:
    void SetUp() override {
        clock_start();
        BYTE keyboard[256] = {};
        SetKeyboardState(keyboard);
        input = {};
    }
    input_state input;
};

TEST_F(Translate, FirstFrameAddsOneFramePeriodToEverySlotZero) {
    input.mouse.wheel = 3.0f;
    input_begin_frame(&input, 0, 1072, 693);
    EXPECT_EQ(input.width, 1072.0f);
    EXPECT_EQ(input.height, 693.0f);
    EXPECT_EQ(input.mouse.wheel, 0.0f);
    for (int k = 0; k < KEY_COUNT; ++k) {
        EXPECT_EQ(input.buttons[k].durations[0], 1.0f / 30.0f) << key_names[k];
        EXPECT_EQ(input.buttons[k].durations[1], 0.0f);
        EXPECT_EQ(input.buttons[k].duration_index, 0u);
    }
    // Later frames add the time since the previous frame's start.
    input_begin_frame(&input, one_frame_ago(), 1072, 693);
    f32 slot = input.buttons[KEY_A].durations[0];
    EXPECT_GE(slot, 2.0f / 30.0f - 0.001f);
    EXPECT_LT(slot, 5.0f);
    EXPECT_GE(input.buttons[MOUSE_MIDDLE].durations[0], slot);  // read later
}

TEST_F(Translate, PressRepeatReleaseAndTheDurationRing) {
    input_begin_frame(&input, 0, 800, 600);
    EXPECT_EQ(key(&input, WM_KEYDOWN, 'A', 100), 1);
    button_state& a = input.buttons[KEY_A];
    EXPECT_EQ(a.is_down, 1u);
    EXPECT_EQ(a.transitions, 1u);
    EXPECT_EQ(a.duration_index, 3u);
    EXPECT_EQ(a.durations[3], 0.0f);
    EXPECT_EQ(a.durations[0], 1.0f / 30.0f);  // the up state before it
    EXPECT_EQ(a.time, 100u);
    EXPECT_EQ(a.character, (u32)'a');

    // The next frame clears transitions and grows the held state's slot.
    input_begin_frame(&input, one_frame_ago(), 800, 600);
    EXPECT_EQ(a.transitions, 0u);
    EXPECT_GT(a.durations[3], 0.03f);
    EXPECT_EQ(a.durations[0], 1.0f / 30.0f);

    // Auto-repeat: no change, no transition, same time; character stored again.
    a.character = 0;
    EXPECT_EQ(key(&input, WM_KEYDOWN, 'A', 200), 1);
    EXPECT_EQ(a.transitions, 0u);
    EXPECT_EQ(a.time, 100u);
    EXPECT_EQ(a.duration_index, 3u);
    EXPECT_EQ(a.character, (u32)'a');

    f32 held = a.durations[3];
    EXPECT_EQ(key(&input, WM_KEYUP, 'A', 300), 1);
    EXPECT_EQ(a.is_down, 0u);
    EXPECT_EQ(a.transitions, 1u);
    EXPECT_EQ(a.duration_index, 2u);
    EXPECT_EQ(a.durations[2], 0.0f);
    EXPECT_EQ(a.durations[3], held);
    EXPECT_EQ(a.time, 300u);

    // Press and release within one frame: two transitions, both slots opened,
    // the current one (the release's) at 0.
    input_begin_frame(&input, one_frame_ago(), 800, 600);
    EXPECT_GT(a.durations[2], 0.0f);
    key(&input, WM_KEYDOWN, 'A', 400);
    key(&input, WM_KEYUP, 'A', 410);
    EXPECT_EQ(a.is_down, 0u);
    EXPECT_EQ(a.transitions, 2u);
    EXPECT_EQ(a.duration_index, 0u);
    EXPECT_EQ(a.durations[0], 0.0f);
    EXPECT_EQ(a.durations[1], 0.0f);
    EXPECT_EQ(a.time, 410u);

    // A release of a key that is already up changes only its character.
    a.character = 0;
    key(&input, WM_KEYUP, 'A', 500);
    EXPECT_EQ(a.transitions, 2u);
    EXPECT_EQ(a.time, 410u);
    EXPECT_EQ(a.character, (u32)'a');
}

TEST_F(Translate, CharactersFollowTheKeyboardStateOnPressAndRelease) {
    BYTE keyboard[256] = {};
    keyboard[VK_SHIFT] = 0x80;
    ASSERT_TRUE(SetKeyboardState(keyboard));
    EXPECT_EQ(key(&input, WM_KEYDOWN, VK_SHIFT, 10), 1);
    EXPECT_EQ(input.buttons[KEY_SHIFT].is_down, 1u);
    EXPECT_EQ(input.buttons[KEY_SHIFT].character, 0u);  // shift alone gives none
    key(&input, WM_KEYDOWN, 'B', 11);
    EXPECT_EQ(input.buttons[KEY_B].character, (u32)'B');
    key(&input, WM_KEYDOWN, '5', 12);
    EXPECT_EQ(input.buttons[KEY_5].is_down, 1u);
    EXPECT_EQ(input.buttons[KEY_5].character, (u32)'%');

    // Shift released before the letter: the key-up stores the plain letter.
    keyboard[VK_SHIFT] = 0;
    ASSERT_TRUE(SetKeyboardState(keyboard));
    key(&input, WM_KEYUP, 'B', 13);
    EXPECT_EQ(input.buttons[KEY_B].is_down, 0u);
    EXPECT_EQ(input.buttons[KEY_B].character, (u32)'b');

    key(&input, WM_KEYDOWN, VK_SPACE, 14);
    EXPECT_EQ(input.buttons[KEY_SPACE].character, (u32)' ');
    key(&input, WM_KEYDOWN, VK_RETURN, 15);
    EXPECT_EQ(input.buttons[KEY_ENTER].character, (u32)'\r');
    // Arrows and function keys have no character.
    key(&input, WM_KEYDOWN, VK_LEFT, 16);
    EXPECT_EQ(input.buttons[KEY_LEFT].is_down, 1u);
    EXPECT_EQ(input.buttons[KEY_LEFT].character, 0u);
    key(&input, WM_KEYDOWN, VK_F5, 17);
    EXPECT_EQ(input.buttons[KEY_F5].is_down, 1u);
    EXPECT_EQ(input.buttons[KEY_F5].character, 0u);
}

TEST_F(Translate, KeysWithoutACodeLandOnKeyNull) {
    EXPECT_EQ(key(&input, WM_KEYDOWN, VK_OEM_COMMA, 20), 0);
    button_state& none = input.buttons[KEY_NULL];
    EXPECT_EQ(none.is_down, 1u);
    EXPECT_EQ(none.transitions, 1u);
    EXPECT_EQ(none.time, 20u);
    EXPECT_EQ(none.character, (u32)',');
    EXPECT_EQ(input.buttons[KEY_COMMA].transitions, 0u);
    EXPECT_EQ(input.buttons[KEY_COMMA].character, 0u);

    EXPECT_EQ(key(&input, WM_KEYUP, VK_OEM_COMMA, 21), 0);
    EXPECT_EQ(none.is_down, 0u);
    EXPECT_EQ(none.transitions, 2u);

    // A key with neither code nor character still lands there.
    EXPECT_EQ(key(&input, WM_KEYDOWN, VK_INSERT, 22), 0);
    EXPECT_EQ(none.is_down, 1u);
    EXPECT_EQ(none.character, (u32)',');  // never cleared
}

TEST_F(Translate, SystemKeysAndCharacterMessagesAreNotInput) {
    input_state before = input;
    EXPECT_EQ(key(&input, WM_SYSKEYDOWN, VK_MENU, 30), 0);
    EXPECT_EQ(key(&input, WM_SYSKEYDOWN, VK_F10, 31), 0);
    EXPECT_EQ(key(&input, WM_SYSKEYUP, VK_F10, 32), 0);
    EXPECT_EQ(key(&input, WM_SYSKEYDOWN, VK_F4, 33), 0);
    EXPECT_EQ(key(&input, WM_CHAR, 'a', 34), 0);
    EXPECT_EQ(key(&input, WM_PAINT, 0, 35), 0);
    EXPECT_EQ(memcmp(&before, &input, sizeof(input)), 0);
    EXPECT_EQ(input.buttons[KEY_ALT].is_down, 0u);
}

TEST_F(Translate, TheSeventyFourVirtualKeysWithCodes) {
    int with_code = 0;
    for (u32 virtual_key = 0; virtual_key < 256; ++virtual_key) {
        if (key_code_from_virtual_key(virtual_key) != KEY_NULL) ++with_code;
    }
    EXPECT_EQ(with_code, 74);
    EXPECT_EQ(key_code_from_virtual_key(VK_BACK), KEY_BACKSPACE);
    EXPECT_EQ(key_code_from_virtual_key(VK_TAB), KEY_TAB);
    EXPECT_EQ(key_code_from_virtual_key(VK_CONTROL), KEY_CTRL);
    EXPECT_EQ(key_code_from_virtual_key(VK_ESCAPE), KEY_ESCAPE);
    EXPECT_EQ(key_code_from_virtual_key(VK_PRIOR), KEY_PAGE_UP);
    EXPECT_EQ(key_code_from_virtual_key(VK_NEXT), KEY_PAGE_DOWN);
    EXPECT_EQ(key_code_from_virtual_key(VK_UP), KEY_UP);
    EXPECT_EQ(key_code_from_virtual_key(VK_RIGHT), KEY_RIGHT);
    EXPECT_EQ(key_code_from_virtual_key(VK_DOWN), KEY_DOWN);
    EXPECT_EQ(key_code_from_virtual_key(VK_DELETE), KEY_DEL);
    EXPECT_EQ(key_code_from_virtual_key('0'), KEY_0);
    EXPECT_EQ(key_code_from_virtual_key('9'), KEY_9);
    EXPECT_EQ(key_code_from_virtual_key('Z'), KEY_Z);
    EXPECT_EQ(key_code_from_virtual_key(VK_F1), KEY_F1);
    EXPECT_EQ(key_code_from_virtual_key(VK_F9), KEY_F9);
    EXPECT_EQ(key_code_from_virtual_key(VK_F10), KEY_F10);
    EXPECT_EQ(key_code_from_virtual_key(VK_F24), KEY_F24);
    EXPECT_EQ(key_code_from_virtual_key(VK_MENU), KEY_NULL);
    EXPECT_EQ(key_code_from_virtual_key(VK_LSHIFT), KEY_NULL);
    EXPECT_EQ(key_code_from_virtual_key('a'), KEY_NULL);  // VK_NUMPAD1
    // Only the low 32 bits of wParam are the virtual key.
    MSG message = message_of(WM_KEYDOWN, ((WPARAM)1 << 32) | 'Q', 0, 40);
    EXPECT_EQ(input_translate_message(&input, &message, 600), 1);
    EXPECT_EQ(input.buttons[KEY_Q].is_down, 1u);
}

TEST_F(Translate, MouseMovesCountRowsUpwardFromTheBottom) {
    input_begin_frame(&input, 0, 800, 600);
    EXPECT_EQ(mouse(&input, WM_MOUSEMOVE, 0, 0, 600), 1);
    EXPECT_EQ(input.mouse.x, 0.0f);
    EXPECT_EQ(input.mouse.y, 600.0f);  // top row
    mouse(&input, WM_MOUSEMOVE, 799, 599, 600);
    EXPECT_EQ(input.mouse.x, 799.0f);
    EXPECT_EQ(input.mouse.y, 1.0f);  // bottom row
    mouse(&input, WM_MOUSEMOVE, 65535, 600, 600);
    EXPECT_EQ(input.mouse.x, 65535.0f);
    EXPECT_EQ(input.mouse.y, 0.0f);
    // A row below a client area that grew during the drain: negative, not
    // wrapped around.
    mouse(&input, WM_MOUSEMOVE, 10, 650, 600);
    EXPECT_EQ(input.mouse.y, -50.0f);
    mouse(&input, WM_MOUSEMOVE, 10, 65535, 0);
    EXPECT_EQ(input.mouse.y, -65535.0f);
}

TEST_F(Translate, DeltasAndVirtualPositionAcrossFrames) {
    input_begin_frame(&input, 0, 800, 600);
    mouse(&input, WM_MOUSEMOVE, 100, 100, 600);
    input_end_frame(&input);
    EXPECT_EQ(input.mouse.delta_x, 100.0f);
    EXPECT_EQ(input.mouse.delta_y, 500.0f);
    EXPECT_EQ(input.mouse.virtual_x, 100.0f);

    // The module sets accumulate: the next frame moves the virtual position
    // by the delta instead of following the cursor.
    input.mouse.virtual_x = 0.0f;
    input.mouse.virtual_y = 0.0f;
    input.mouse.accumulate = 1;
    input_begin_frame(&input, one_frame_ago(), 800, 600);
    EXPECT_EQ(input.mouse.prev_x, 100.0f);
    EXPECT_EQ(input.mouse.prev_y, 500.0f);
    EXPECT_EQ(input.mouse.prev_virtual_x, 0.0f);
    mouse(&input, WM_MOUSEMOVE, 90, 110, 600);
    mouse(&input, WM_MOUSEMOVE, 110, 90, 600);
    input_end_frame(&input);
    EXPECT_EQ(input.mouse.delta_x, 10.0f);
    EXPECT_EQ(input.mouse.delta_y, 10.0f);
    EXPECT_EQ(input.mouse.virtual_x, 10.0f);
    EXPECT_EQ(input.mouse.virtual_y, 10.0f);
    EXPECT_EQ(input.mouse.accumulate, 0u);

    // suppress_delta: movement gives no delta; the flag lasts one frame.
    input.mouse.suppress_delta = 1;
    input_begin_frame(&input, one_frame_ago(), 800, 600);
    mouse(&input, WM_MOUSEMOVE, 200, 90, 600);
    input_end_frame(&input);
    EXPECT_EQ(input.mouse.delta_x, 0.0f);
    EXPECT_EQ(input.mouse.virtual_x, 200.0f);
    input_begin_frame(&input, one_frame_ago(), 800, 600);
    input_end_frame(&input);
    EXPECT_EQ(input.mouse.delta_x, 0.0f);  // no move this frame
    EXPECT_EQ(input.mouse.x, 200.0f);
}

TEST_F(Translate, WheelIsTheFramesLastMessageInNotches) {
    input_begin_frame(&input, 0, 800, 600);
    EXPECT_EQ(wheel(&input, 120), 1);
    EXPECT_EQ(input.mouse.wheel, 1.0f);
    EXPECT_EQ(wheel(&input, -240), 1);
    EXPECT_EQ(input.mouse.wheel, -2.0f);
    input_begin_frame(&input, one_frame_ago(), 800, 600);
    EXPECT_EQ(input.mouse.wheel, 0.0f);
    wheel(&input, 60);
    EXPECT_EQ(input.mouse.wheel, 0.5f);
}

TEST_F(Translate, MouseButtonsAreButtonsWithoutPositionOrCharacter) {
    input_begin_frame(&input, 0, 800, 600);
    EXPECT_EQ(mouse(&input, WM_LBUTTONDOWN, 5, 5, 600, 50), 1);
    EXPECT_EQ(mouse(&input, WM_RBUTTONDOWN, 5, 5, 600, 51), 1);
    EXPECT_EQ(mouse(&input, WM_MBUTTONDOWN, 5, 5, 600, 52), 1);
    EXPECT_EQ(input.buttons[MOUSE_PRIMARY].is_down, 1u);
    EXPECT_EQ(input.buttons[MOUSE_PRIMARY].time, 50u);
    EXPECT_EQ(input.buttons[MOUSE_SECONDARY].is_down, 1u);
    EXPECT_EQ(input.buttons[MOUSE_MIDDLE].is_down, 1u);
    EXPECT_EQ(input.buttons[MOUSE_MIDDLE].time, 52u);
    EXPECT_EQ(input.mouse.x, 0.0f);  // button messages do not move the cursor
    EXPECT_EQ(input.mouse.y, 0.0f);

    EXPECT_EQ(mouse(&input, WM_LBUTTONUP, 5, 5, 600, 53), 1);
    EXPECT_EQ(mouse(&input, WM_RBUTTONUP, 5, 5, 600, 54), 1);
    EXPECT_EQ(mouse(&input, WM_MBUTTONUP, 5, 5, 600, 55), 1);
    for (int code = MOUSE_PRIMARY; code <= MOUSE_MIDDLE; ++code) {
        EXPECT_EQ(input.buttons[code].is_down, 0u);
        EXPECT_EQ(input.buttons[code].transitions, 2u);
        EXPECT_EQ(input.buttons[code].character, 0u);
    }

    // Double clicks and other mouse messages are not input.
    input_state before = input;
    EXPECT_EQ(mouse(&input, WM_LBUTTONDBLCLK, 5, 5, 600), 0);
    EXPECT_EQ(mouse(&input, WM_RBUTTONDBLCLK, 5, 5, 600), 0);
    EXPECT_EQ(mouse(&input, WM_MOUSEHWHEEL, 5, 5, 600), 0);
    EXPECT_EQ(mouse(&input, WM_NCMOUSEMOVE, 5, 5, 600), 0);
    EXPECT_EQ(memcmp(&before, &input, sizeof(input)), 0);
}

}  // namespace
