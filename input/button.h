// A button's state over frames, the same for keys, mouse buttons and
// controller buttons: its hold durations, its changes and their count.
#ifndef INPUT_BUTTON_H
#define INPUT_BUTTON_H

#include "engine/input.h"

// What the first frame adds to each button's current slot, in place of the
// time since a previous frame that does not exist: one frame period at the
// host's fixed 30 frames per second.
#define INPUT_FIRST_FRAME_SECONDS (1.0f / 30.0f)

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

#endif
