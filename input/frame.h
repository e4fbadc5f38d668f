// Changes to the input record that need no operating system: a button's
// change of state, the per-frame reset of transition counts, and the end of
// the frame's mouse arithmetic. The translation of window messages builds on
// these (translate_win32.h).
#ifndef INPUT_FRAME_H
#define INPUT_FRAME_H

#include "input/input.h"

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
