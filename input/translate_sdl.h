// Translation of SDL's events into the input record, with the meaning the
// Windows host gives its window messages. The frame loop calls
// input_begin_frame (frame.h) once before pumping, input_translate_event for
// every event it takes except a close request, and input_end_frame once the
// queue is empty, before the module's entry.
//
// SDL splits what Windows' key message carries in one piece: a key event,
// then a text event with the character it typed. The translation therefore
// remembers, between calls, the latest pressed key (the record the next text
// belongs to) and what each physical key typed on press (stored again on its
// release). That memory is this file's own; there is one keyboard and one
// thread.
//
// SDL releases the keys held when the window loses focus (the Windows host
// gets no key-up then, and they stay down), so no key sticks on Linux.
#ifndef INPUT_TRANSLATE_SDL_H
#define INPUT_TRANSLATE_SDL_H

#include <SDL.h>

#include "input/frame.h"
#include "engine/input.h"

// Takes one event as input: keyboard, mouse and, through gamepad_sdl.h,
// controllers. Returns 1 if it was input the record has a place for, else 0
// (keys without a code, text for them, anything else). height is the back
// buffer's height at the frame's start.
i32 input_translate_event(input_state* input, const SDL_Event* event, u32 height);

// SDL_KEYDOWN and SDL_KEYUP: a change of the key's button (keys without a
// code use buttons[KEY_NULL]) and, for keys SDL sends no text for (return,
// tab, backspace, escape, ctrl+letter), their control character. Both Alt
// keys are never input, nor is a press made with the left Alt held and no
// Ctrl; releases always count, so no key sticks. Returns 1 only for keys with
// a code.
i32 translate_key_event(input_state* input, const SDL_KeyboardEvent* event);

// SDL_TEXTINPUT: the text's first UTF-16 unit becomes the character of the
// latest pressed key, once; text with no pressed key before it, or that is
// not well-formed UTF-8, is dropped. Returns 1 when stored on a key with a
// code.
i32 translate_text_event(input_state* input, const SDL_TextInputEvent* event);

// Mouse moves (y counted upward from the bottom: height - row, negative for a
// row below a client area that grew during the pump), the vertical wheel in
// notches (positive away from the user, whatever the device's direction; the
// frame's last event wins) and the left, right and middle buttons. Returns 1
// for those events, 0 for any other.
i32 translate_mouse_event(input_state* input, const SDL_Event* event, u32 height);

// The key code of a key, KEY_NULL for the keys without one. Letters follow
// the layout, as Windows' virtual keys do, or the key's position where the
// layout has no Latin letters; digits are the main row's keys by position.
key_code key_code_from_keysym(const SDL_Keysym* key);

// Whether modifiers hold the chord that makes a press a system key on
// Windows: the left Alt without Ctrl. (The right Alt is AltGr on most
// layouts and types characters.)
bool32 alt_chord(u16 modifiers);

// The first UTF-16 unit of the UTF-8 text in at most size bytes (a high
// surrogate for a character beyond the first plane); 0 when the text is
// empty or its first character is not well-formed.
u32 first_utf16_unit(const char* text, u32 size);

#endif
