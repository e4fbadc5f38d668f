// SDL's game controllers in the record's four places. SDL_INIT_GAMECONTROLLER
// must be running for its events to come; input_translate_event
// (translate_sdl.h) hands them here.
//
// A controller that connects takes the lowest free place and is opened there;
// when all four are taken it waits, unopened, and takes the first place that
// frees. A controller's place is this file's own memory between events, as
// the keyboard's is translate_sdl.cpp's: one set of controllers, one thread.
#ifndef INPUT_GAMEPAD_SDL_H
#define INPUT_GAMEPAD_SDL_H

#include <SDL.h>

#include "engine/input.h"

// SDL_CONTROLLERDEVICEADDED and ..REMOVED connect and disconnect a place
// (gamepad.h); a new controller's buttons and axes as SDL holds them come in
// at once, so one held while plugged in shows held. Button and axis events
// change the place's records; left and right y are turned to point up.
// Returns 1 for events that changed a place, 0 for any other (a controller
// without a place, a button the record has no place for: guide, paddles,
// touchpad, misc).
i32 translate_controller_event(input_state* input, const SDL_Event* event);

// Closes every controller in a place and frees the places, leaving the
// record alone (for a window closed and opened again in one process).
void close_controllers(void);

// The gamepad_button of an SDL controller button; GAMEPAD_NULL for those
// without a place.
gamepad_button gamepad_button_from_sdl(u8 button);

#endif
