// The controllers' part of the input frame, the same on every system. Each
// system's translation (gamepad_win32.h polls XInput, gamepad_sdl.h takes
// SDL's controller events) feeds its raw values through these, so dead
// zones, scaling, connection and release mean the same on both hosts.
#ifndef INPUT_GAMEPAD_H
#define INPUT_GAMEPAD_H

#include "engine/input.h"

// The largest raw stick value both systems report (-32768 reads as -1 too).
#define GAMEPAD_AXIS_FULL 32767

// The pads' share of input_begin_frame: clears the transitions of every
// place; advances the durations only of places with a controller connected,
// so a place that never had one stays zero.
void gamepads_begin_frame(gamepad_state* pads, u32 count, u64 previous_frame_start);

// A controller arrives: buttons[GAMEPAD_NULL] goes down at time. The caller
// then brings in the controller's current buttons and axes.
void gamepad_connect(gamepad_state* pad, u32 time);

// A controller leaves: every held button goes up at time, the sticks and
// triggers go to 0, then buttons[GAMEPAD_NULL] goes up. Nothing happens in
// a place with no controller.
void gamepad_disconnect(gamepad_state* pad, u32 time);

// Polled buttons: bit b of held is gamepad_button b (bit 0 is ignored). Each
// button that differs from its record changes at time, so a press between
// two polls and its release at the next show across two frames.
void gamepad_set_buttons(gamepad_state* pad, u32 held, u32 time);

// One stick from its raw axes (-32768 to 32767, y positive up) into x and y:
// a radial dead zone, then scaled so the length runs from 0 at its edge to
// at most 1.
void gamepad_set_stick(f32* x, f32* y, i32 raw_x, i32 raw_y);

// A trigger from 0 to 1 from a raw value out of full (255 for XInput, 32767
// for SDL); values past full read 1.
f32 gamepad_trigger(u32 raw, u32 full);

#endif
