// Translation of window messages into the input record. The frame loop calls
// input_begin_frame (frame.h) once before draining the queue,
// input_translate_message for every message it takes except WM_QUIT (before
// TranslateMessage and DispatchMessageA), and input_end_frame once the queue
// is empty, before the module's entry.
#ifndef INPUT_TRANSLATE_WIN32_H
#define INPUT_TRANSLATE_WIN32_H

#include <windows.h>

#include "input/frame.h"
#include "engine/input.h"

// Takes one message as input: the keyboard half first, then the mouse half.
// Returns 1 if the message was input the record has a place for, else 0.
// height is the back buffer's height at the frame's start.
i32 input_translate_message(input_state* input, const MSG* message, u32 height);

// WM_KEYDOWN and WM_KEYUP: a change of the key's button (keys without a code
// use buttons[KEY_NULL]) and its character, on press and release alike.
// Returns true only for keys with a code; system keys and characters are not
// keyboard input here.
bool translate_key_message(input_state* input, const MSG* message);

// Mouse moves (y counted upward from the bottom: height - row, negative for a
// row below a client area that grew during the drain), the wheel in notches
// (the frame's last message wins) and the three buttons. Returns 1 for those
// messages, 0 for any other.
i32 translate_mouse_message(input_state* input, const MSG* message, u32 height);

// The key code of a virtual key, KEY_NULL for the keys without one.
key_code key_code_from_virtual_key(u32 virtual_key);

#endif
