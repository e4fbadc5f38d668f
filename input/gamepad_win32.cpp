#include "input/gamepad_win32.h"

#include "input/gamepad.h"

typedef DWORD(WINAPI* xinput_get_state)(DWORD user_index, XINPUT_STATE* state);

// The loaded XInputGetState (null when no library has it) and the polls so
// far, which pace the questions about empty places.
typedef struct xinput_library {
    bool32 tried;
    xinput_get_state get_state;
    u32 polls;
} xinput_library;

static xinput_library xinput;

static xinput_get_state load_xinput(void) {
    const char* const names[] = {"xinput1_4.dll", "xinput1_3.dll", "xinput9_1_0.dll"};
    for (const char* name : names) {
        HMODULE library = LoadLibraryA(name);
        if (!library) {
            continue;
        }
        void* get_state = (void*)GetProcAddress(library, "XInputGetState");
        if (get_state) {
            return (xinput_get_state)get_state;
        }
        FreeLibrary(library);
    }
    return nullptr;
}

u32 gamepad_buttons_from_xinput(u16 buttons) {
    static const struct {
        u16 bit;
        gamepad_button button;
    } map[] = {
        {XINPUT_GAMEPAD_DPAD_UP, GAMEPAD_DPAD_UP},
        {XINPUT_GAMEPAD_DPAD_DOWN, GAMEPAD_DPAD_DOWN},
        {XINPUT_GAMEPAD_DPAD_LEFT, GAMEPAD_DPAD_LEFT},
        {XINPUT_GAMEPAD_DPAD_RIGHT, GAMEPAD_DPAD_RIGHT},
        {XINPUT_GAMEPAD_START, GAMEPAD_START},
        {XINPUT_GAMEPAD_BACK, GAMEPAD_BACK},
        {XINPUT_GAMEPAD_LEFT_THUMB, GAMEPAD_THUMB_LEFT},
        {XINPUT_GAMEPAD_RIGHT_THUMB, GAMEPAD_THUMB_RIGHT},
        {XINPUT_GAMEPAD_LEFT_SHOULDER, GAMEPAD_SHOULDER_LEFT},
        {XINPUT_GAMEPAD_RIGHT_SHOULDER, GAMEPAD_SHOULDER_RIGHT},
        {XINPUT_GAMEPAD_A, GAMEPAD_A},
        {XINPUT_GAMEPAD_B, GAMEPAD_B},
        {XINPUT_GAMEPAD_X, GAMEPAD_X},
        {XINPUT_GAMEPAD_Y, GAMEPAD_Y},
    };
    u32 held = 0;
    for (const auto& entry : map) {
        if (buttons & entry.bit) {
            held |= 1u << entry.button;
        }
    }
    return held;
}

void gamepad_from_xinput(gamepad_state* pad, u32 result, const XINPUT_STATE* state, u32 time) {
    if (result != ERROR_SUCCESS) {
        gamepad_disconnect(pad, time);
        return;
    }
    gamepad_connect(pad, time);
    const XINPUT_GAMEPAD* g = &state->Gamepad;
    gamepad_set_buttons(pad, gamepad_buttons_from_xinput(g->wButtons), time);
    gamepad_set_stick(&pad->left_stick_x, &pad->left_stick_y, g->sThumbLX, g->sThumbLY);
    gamepad_set_stick(&pad->right_stick_x, &pad->right_stick_y, g->sThumbRX, g->sThumbRY);
    pad->left_trigger = gamepad_trigger(g->bLeftTrigger, 255);
    pad->right_trigger = gamepad_trigger(g->bRightTrigger, 255);
}

void poll_xinput(input_state* input, u32 time) {
    if (!xinput.tried) {
        xinput.tried = 1;
        xinput.get_state = load_xinput();
    }
    if (!xinput.get_state) {
        return;
    }
    bool ask_empty = xinput.polls % GAMEPAD_EMPTY_PLACE_POLLS == 0;
    xinput.polls += 1;
    for (u32 place = 0; place < MAX_GAMEPADS; ++place) {
        gamepad_state* pad = &input->gamepads[place];
        if (!pad->buttons[GAMEPAD_NULL].is_down && !ask_empty) {
            continue;
        }
        XINPUT_STATE state = {};
        DWORD result = xinput.get_state(place, &state);
        gamepad_from_xinput(pad, result, &state, time);
    }
}
