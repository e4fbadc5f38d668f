// The input frame, the same on every system: its begin (sizes, hold
// durations, transition counts, previous positions, the wheel) and its end
// (the mouse deltas and the virtual mouse). Each system's translation of its
// events builds on these and on button.h (translate_<os>.h).
#ifndef INPUT_FRAME_H
#define INPUT_FRAME_H

#include "engine/input.h"
#include "input/button.h"

// Begins a frame: stores the surface size, advances every button's current
// duration slot, clears transitions (the controllers' as gamepad.h says),
// keeps the mouse positions as the previous ones and clears the wheel.
// previous_frame_start is the counter value at the previous frame's start, 0
// in the first frame; width and height are the back buffer's size after this
// frame's resize.
void input_begin_frame(input_state* input, u64 previous_frame_start, u32 width, u32 height);

// Ends a frame's input: the mouse delta (0 while suppress_delta is set), the
// virtual position (moved by the delta while accumulate is set, else the
// cursor position), then clears both flags.
void input_end_frame(input_state* input);

#endif
