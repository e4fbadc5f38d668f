// XInput's controllers 0 to 3 in the record's places 0 to 3, polled once a
// frame at the end of the window pump. XInput is loaded at the first poll
// (xinput1_4.dll, else xinput1_3.dll, else xinput9_1_0.dll); where none
// exists the host runs on without controllers.
#ifndef INPUT_GAMEPAD_WIN32_H
#define INPUT_GAMEPAD_WIN32_H

#include <windows.h>
#include <xinput.h>

#include "engine/input.h"

// Asking XInput about an empty place costs the system a search for the
// device, so a place without a controller is asked only every this many
// polls (about once a second); a connected one every frame.
#define GAMEPAD_EMPTY_PLACE_POLLS 30

// Brings the four places up to date from XInput; time is the tick count
// (GetTickCount) that stamps this poll's changes.
void poll_xinput(input_state* input, u32 time);

// One place from one XInputGetState call: result ERROR_SUCCESS with state
// connects the place (when it had no controller) and takes the buttons,
// sticks and triggers; any other result disconnects it (gamepad.h).
void gamepad_from_xinput(gamepad_state* pad, u32 result, const XINPUT_STATE* state, u32 time);

// XInput's wButtons as a mask of gamepad_button bits (bit b for button b).
u32 gamepad_buttons_from_xinput(u16 buttons);

#endif
