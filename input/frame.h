// The input frame, the same on every system: its begin (sizes, hold
// durations, transition counts, previous positions, the wheel), a button's
// change of state, and its end (the mouse deltas and the virtual mouse). Each
// system's translation of its events builds on these (translate_<os>.h).
#ifndef INPUT_FRAME_H
#define INPUT_FRAME_H

#include "engine/input.h"

// What the first frame adds to each button's current slot, in place of the
// time since a previous frame that does not exist: one frame period at the
// host's fixed 30 frames per second.
#define INPUT_FIRST_FRAME_SECONDS (1.0f / 30.0f)

// Begins a frame: stores the surface size, advances every button's current
// duration slot, clears transitions (the controllers' as gamepad.h says),
// keeps the mouse positions as the previous ones and clears the wheel.
// previous_frame_start is the counter value at the previous frame's start, 0
// in the first frame; width and height are the back buffer's size after this
// frame's resize.
void input_begin_frame(input_state* input, u64 previous_frame_start, u32 width, u32 height);

// Adds the seconds since previous_frame_start (the counter read anew for each
// button) to the current slot of each of the first count buttons; adds
// INPUT_FIRST_FRAME_SECONDS instead when previous_frame_start is 0.
void advance_durations(button_state* buttons, u32 count, u64 previous_frame_start);

// Records a change of one button: when is_down differs from the button's,
// opens the next slot of the duration ring (going down, 3, 2, 1, 0, 3, ...)
// at 0, stamps time, sets is_down and counts one transition. A repeated state
// (auto-repeat, a release of a key that is already up) changes nothing.
void button_transition(button_state* button, u32 is_down, u32 time);

// Sets transitions to 0 in the first count buttons.
void clear_transitions(button_state* buttons, u32 count);

// Ends a frame's input: the mouse delta (0 while suppress_delta is set), the
// virtual position (moved by the delta while accumulate is set, else the
// cursor position), then clears both flags.
void input_end_frame(input_state* input);

#endif
