// SDL events fed straight into the translation, shaped as SDL delivers them
// (a key event, then the text it typed); SDL's default keymap from its dummy
// video driver for the table of keys.
#include <gtest/gtest.h>
#include <string.h>

#include <set>

#include "input/translate_sdl.h"

namespace {

SDL_Event key_event(u32 type, SDL_Keycode sym, SDL_Scancode scancode, u16 mod, u32 time) {
    SDL_Event event = {};
    event.key.type = type;
    event.key.timestamp = time;
    event.key.keysym = {scancode, sym, mod, 0};
    return event;
}

SDL_Event mouse_event(u32 type, i32 x, i32 y, u8 button = 0, u32 time = 0) {
    SDL_Event event = {};
    event.type = type;
    if (type == SDL_MOUSEWHEEL) {
        event.wheel.preciseX = (f32)x / 2.0f;
        event.wheel.preciseY = (f32)y / 2.0f;  // in half notches
        event.wheel.direction = button;
        return event;
    }
    if (type == SDL_MOUSEMOTION) {
        event.motion.x = x;
        event.motion.y = y;
        return event;
    }
    event.button.x = x;  // a button's position moves nothing
    event.button.y = y;
    event.button.button = button;
    event.button.timestamp = time;
    return event;
}

class TranslateSdl : public ::testing::Test {
protected:
    void SetUp() override { input = {}; }
    i32 take(SDL_Event event, u32 height = 600) {
        return input_translate_event(&input, &event, height);
    }
    // A press as SDL delivers it: the key, then its text when it has one.
    i32 press(SDL_Keycode sym, SDL_Scancode scancode, u16 mod, const char* typed, u32 time = 0) {
        i32 taken = take(key_event(SDL_KEYDOWN, sym, scancode, mod, time));
        if (typed) text(typed);
        return taken;
    }
    i32 release(SDL_Keycode sym, SDL_Scancode scancode, u16 mod = 0, u32 time = 0) {
        return take(key_event(SDL_KEYUP, sym, scancode, mod, time));
    }
    i32 text(const char* typed) {
        SDL_Event event = {};
        event.text.type = SDL_TEXTINPUT;
        strncpy(event.text.text, typed, sizeof event.text.text);
        return take(event);
    }
    u32 character(key_code code) { return input.buttons[code].character; }
    input_state input;
};

TEST(TranslateSdlKeys, SeventyFourCodesFromSdlsDefaultKeymap) {
    SDL_SetHint(SDL_HINT_VIDEODRIVER, "dummy");
    ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0) << SDL_GetError();
    std::set<int> codes;
    int keys_with_code = 0;
    for (int scancode = 0; scancode < SDL_NUM_SCANCODES; ++scancode) {
        SDL_Scancode position = (SDL_Scancode)scancode;
        SDL_Keysym keysym = {position, SDL_GetKeyFromScancode(position), 0, 0};
        key_code code = key_code_from_keysym(&keysym);
        keys_with_code += code != KEY_NULL;
        if (code != KEY_NULL) codes.insert(code);
    }
    SDL_Quit();
    // Return and keypad enter, and the left and right shift and ctrl, share.
    EXPECT_EQ(keys_with_code, 77);
    EXPECT_EQ(codes.size(), 74u);
    EXPECT_EQ(codes.count(KEY_F0) + codes.count(KEY_ALT) + codes.count(KEY_COMMA), 0u);

    // Letters by the layout, by position where it has none; digits by position.
    struct {
        SDL_Keysym key;
        key_code code;
    } cases[] = {
        {{SDL_SCANCODE_A, SDLK_q, 0, 0}, KEY_Q},  // AZERTY
        {{SDL_SCANCODE_Q, 0x439, 0, 0}, KEY_Q},   // Cyrillic
        {{SDL_SCANCODE_1, SDLK_AMPERSAND, 0, 0}, KEY_1},
        {{SDL_SCANCODE_KP_1, SDLK_KP_1, 0, 0}, KEY_NULL},
        {{SDL_SCANCODE_F10, SDLK_F10, 0, 0}, KEY_F10},
        {{SDL_SCANCODE_F24, SDLK_F24, 0, 0}, KEY_F24},
    };
    for (auto& test : cases) {
        EXPECT_EQ(key_code_from_keysym(&test.key), test.code) << test.key.sym;
    }
}

TEST_F(TranslateSdl, PressRepeatReleaseAndCharacter) {
    input_begin_frame(&input, 0, 800, 600);
    EXPECT_EQ(press(SDLK_a, SDL_SCANCODE_A, 0, "a", 100), 1);
    button_state& a = input.buttons[KEY_A];
    EXPECT_EQ(a.is_down, 1u);
    EXPECT_EQ(a.transitions, 1u);
    EXPECT_EQ(a.duration_index, 3u);
    EXPECT_EQ(a.time, 100u);
    EXPECT_EQ(a.character, (u32)'a');

    // Auto-repeat: no change, no transition, same time; the text stored again.
    a.character = 0;
    SDL_Event repeat = key_event(SDL_KEYDOWN, SDLK_a, SDL_SCANCODE_A, 0, 150);
    repeat.key.repeat = 1;
    EXPECT_EQ(take(repeat), 1);
    EXPECT_EQ(text("a"), 1);
    EXPECT_EQ(a.transitions, 1u);
    EXPECT_EQ(a.time, 100u);
    EXPECT_EQ(a.character, (u32)'a');

    // The release stores what the press typed; a second text is no key's.
    a.character = 0;
    EXPECT_EQ(release(SDLK_a, SDL_SCANCODE_A, 0, 200), 1);
    EXPECT_EQ(a.is_down, 0u);
    EXPECT_EQ(a.transitions, 2u);
    EXPECT_EQ(a.time, 200u);
    EXPECT_EQ(a.character, (u32)'a');
    EXPECT_EQ(text("a"), 0);
    // Releasing a key that is already up changes nothing.
    input_state before = input;
    EXPECT_EQ(release(SDLK_a, SDL_SCANCODE_A, 0, 300), 1);
    EXPECT_EQ(memcmp(&before, &input, sizeof input), 0);
}

TEST_F(TranslateSdl, ShiftedTextAndControlCharacters) {
    EXPECT_EQ(press(SDLK_LSHIFT, SDL_SCANCODE_LSHIFT, KMOD_LSHIFT, nullptr), 1);
    press(SDLK_b, SDL_SCANCODE_B, KMOD_LSHIFT, "B");
    press(SDLK_5, SDL_SCANCODE_5, KMOD_LSHIFT, "%");
    EXPECT_EQ(character(KEY_SHIFT), 0u);
    EXPECT_EQ(character(KEY_B), (u32)'B');
    EXPECT_EQ(character(KEY_5), (u32)'%');
    release(SDLK_RSHIFT, SDL_SCANCODE_RSHIFT);  // both shifts share one record
    EXPECT_EQ(input.buttons[KEY_SHIFT].is_down, 0u);
    release(SDLK_b, SDL_SCANCODE_B);
    EXPECT_EQ(character(KEY_B), (u32)'B');

    // SDL sends no text for these; text arriving anyway does not replace them.
    press(SDLK_RETURN, SDL_SCANCODE_RETURN, 0, "x");
    EXPECT_EQ(character(KEY_ENTER), 13u);
    press(SDLK_KP_ENTER, SDL_SCANCODE_KP_ENTER, KMOD_LCTRL, nullptr);
    EXPECT_EQ(character(KEY_ENTER), 10u);
    press(SDLK_TAB, SDL_SCANCODE_TAB, 0, nullptr);
    press(SDLK_BACKSPACE, SDL_SCANCODE_BACKSPACE, 0, nullptr);
    press(SDLK_ESCAPE, SDL_SCANCODE_ESCAPE, 0, nullptr);
    press(SDLK_c, SDL_SCANCODE_C, KMOD_RCTRL, nullptr);
    press(SDLK_z, SDL_SCANCODE_Z, KMOD_LCTRL | KMOD_LSHIFT, nullptr);
    press(SDLK_SPACE, SDL_SCANCODE_SPACE, 0, " ");
    press(SDLK_DELETE, SDL_SCANCODE_DELETE, 0, nullptr);
    press(SDLK_LEFT, SDL_SCANCODE_LEFT, 0, nullptr);
    u32 expected[][2] = {{KEY_TAB, 9}, {KEY_BACKSPACE, 8}, {KEY_ESCAPE, 27}, {KEY_C, 3},
                         {KEY_Z, 26},  {KEY_SPACE, 32},    {KEY_DEL, 0},     {KEY_LEFT, 0}};
    for (auto& pair : expected) {
        EXPECT_EQ(character((key_code)pair[0]), pair[1]) << key_names[pair[0]];
        EXPECT_EQ(input.buttons[pair[0]].is_down, 1u) << key_names[pair[0]];
    }
    release(SDLK_c, SDL_SCANCODE_C);
    EXPECT_EQ(character(KEY_C), 3u);

    // The first UTF-16 unit; text that is not well-formed is dropped.
    press(SDLK_e, SDL_SCANCODE_E, 0, "\xC3\xA9");
    EXPECT_EQ(character(KEY_E), 0xE9u);
    press(SDLK_e, SDL_SCANCODE_E, 0, "\xF0\x9F\x98\x80");
    EXPECT_EQ(character(KEY_E), 0xD83Du);
    for (const char* bad : {"\xC3(", "\xED\xA0\x80", "\xE0\x80\xAF", "\xF0\x9F\x98"}) {
        press(SDLK_e, SDL_SCANCODE_E, 0, bad);  // cut, a surrogate, overlong, short
        EXPECT_EQ(character(KEY_E), 0xD83Du);
    }
    const char unterminated[4] = {'\xF0', '\x9F', '\x98', '\x80'};
    EXPECT_EQ(first_utf16_unit(unterminated, 3), 0u);
}

TEST_F(TranslateSdl, KeysWithoutCodeLandOnKeyNull) {
    EXPECT_EQ(press(SDLK_COMMA, SDL_SCANCODE_COMMA, 0, ",", 20), 0);
    button_state& none = input.buttons[KEY_NULL];
    EXPECT_EQ(none.is_down, 1u);
    EXPECT_EQ(none.time, 20u);
    EXPECT_EQ(none.character, (u32)',');
    EXPECT_EQ(input.buttons[KEY_COMMA].transitions, 0u);
    EXPECT_EQ(release(SDLK_COMMA, SDL_SCANCODE_COMMA), 0);
    EXPECT_EQ(none.transitions, 2u);
    // Keypad digits too, and a scancode past SDL's table is taken safely.
    EXPECT_EQ(press(SDLK_KP_1, SDL_SCANCODE_KP_1, KMOD_NUM, "1"), 0);
    EXPECT_EQ(none.character, (u32)'1');
    EXPECT_EQ(press(SDLK_UNKNOWN, (SDL_Scancode)600, 0, "?"), 0);
    EXPECT_EQ(none.character, (u32)'?');
    EXPECT_EQ(release(SDLK_UNKNOWN, (SDL_Scancode)600), 0);
}

TEST_F(TranslateSdl, AltIsNeverInputButAltGrAndF10Are) {
    press(SDLK_w, SDL_SCANCODE_W, 0, "w");
    input_state before = input;
    EXPECT_EQ(press(SDLK_LALT, SDL_SCANCODE_LALT, KMOD_LALT, nullptr), 0);
    EXPECT_EQ(press(SDLK_a, SDL_SCANCODE_A, KMOD_LALT, "a"), 0);
    EXPECT_EQ(press(SDLK_F4, SDL_SCANCODE_F4, KMOD_LALT, nullptr), 0);
    EXPECT_EQ(release(SDLK_a, SDL_SCANCODE_A, KMOD_LALT), 1);
    EXPECT_EQ(release(SDLK_LALT, SDL_SCANCODE_LALT), 0);
    EXPECT_EQ(memcmp(&before, &input, sizeof input), 0);
    // A release while Alt is held still counts: nothing sticks.
    EXPECT_EQ(release(SDLK_w, SDL_SCANCODE_W, KMOD_LALT), 1);
    EXPECT_EQ(input.buttons[KEY_W].is_down, 0u);

    EXPECT_EQ(press(SDLK_q, SDL_SCANCODE_Q, KMOD_RALT, "@"), 1);  // AltGr
    EXPECT_EQ(character(KEY_Q), (u32)'@');
    EXPECT_EQ(press(SDLK_d, SDL_SCANCODE_D, KMOD_LALT | KMOD_LCTRL, nullptr), 1);
    EXPECT_EQ(press(SDLK_F10, SDL_SCANCODE_F10, 0, nullptr), 1);
    EXPECT_EQ(input.buttons[KEY_D].is_down + input.buttons[KEY_F10].is_down, 2u);
    EXPECT_EQ(input.buttons[KEY_ALT].is_down, 0u);
}

TEST_F(TranslateSdl, MouseRowsFromTheBottomWheelAndButtons) {
    EXPECT_EQ(take(mouse_event(SDL_MOUSEMOTION, 10, 0)), 1);
    EXPECT_EQ(input.mouse.x, 10.0f);
    EXPECT_EQ(input.mouse.y, 600.0f);
    take(mouse_event(SDL_MOUSEMOTION, 0, 599));
    EXPECT_EQ(input.mouse.y, 1.0f);
    take(mouse_event(SDL_MOUSEMOTION, 5, 700));  // below a client area that grew
    EXPECT_EQ(input.mouse.y, -100.0f);

    EXPECT_EQ(take(mouse_event(SDL_MOUSEWHEEL, 0, 2)), 1);
    take(mouse_event(SDL_MOUSEWHEEL, 0, -4));
    EXPECT_EQ(input.mouse.wheel, -2.0f);  // the last one wins
    take(mouse_event(SDL_MOUSEWHEEL, 0, 1));
    EXPECT_EQ(input.mouse.wheel, 0.5f);
    take(mouse_event(SDL_MOUSEWHEEL, 0, 2, SDL_MOUSEWHEEL_FLIPPED));
    EXPECT_EQ(input.mouse.wheel, -1.0f);
    EXPECT_EQ(take(mouse_event(SDL_MOUSEWHEEL, 2, 0)), 0);  // sideways
    EXPECT_EQ(input.mouse.wheel, -1.0f);

    EXPECT_EQ(take(mouse_event(SDL_MOUSEBUTTONDOWN, 77, 88, SDL_BUTTON_LEFT, 40)), 1);
    take(mouse_event(SDL_MOUSEBUTTONDOWN, 77, 88, SDL_BUTTON_RIGHT, 41));
    take(mouse_event(SDL_MOUSEBUTTONDOWN, 77, 88, SDL_BUTTON_MIDDLE, 42));
    EXPECT_EQ(take(mouse_event(SDL_MOUSEBUTTONUP, 77, 88, SDL_BUTTON_LEFT, 43)), 1);
    EXPECT_EQ(input.buttons[MOUSE_PRIMARY].is_down, 0u);
    EXPECT_EQ(input.buttons[MOUSE_PRIMARY].transitions, 2u);
    EXPECT_EQ(input.buttons[MOUSE_PRIMARY].time, 43u);
    EXPECT_EQ(input.buttons[MOUSE_SECONDARY].is_down, 1u);
    EXPECT_EQ(input.buttons[MOUSE_MIDDLE].time, 42u);
    EXPECT_EQ(input.buttons[MOUSE_PRIMARY].character, 0u);
    EXPECT_EQ(input.mouse.x, 5.0f);

    input_state before = input;
    EXPECT_EQ(take(mouse_event(SDL_MOUSEBUTTONDOWN, 1, 1, SDL_BUTTON_X1)), 0);
    EXPECT_EQ(take(mouse_event(SDL_WINDOWEVENT, 1, 1)), 0);
    EXPECT_EQ(memcmp(&before, &input, sizeof input), 0);
}

}  // namespace
