// The host's own key chords besides loop editing's: rewind's (rewind.h) and
// the one that starts the program afresh with a build that waits
// (reload.h), Alt held with a key, on either system. The window's pump
// takes them from its events, so the module never sees them, and the frame
// takes them in the order they came.
#ifndef HOST_CHORDS_H
#define HOST_CHORDS_H

#include "engine/base/types.h"

typedef enum rewind_key {
    REWIND_BACK,            // alt+Left: pause, one frame back (repeats while held)
    REWIND_FORWARD,         // alt+Right: one frame forward (repeats while held)
    REWIND_SECOND_BACK,     // alt+PageUp
    REWIND_SECOND_FORWARD,  // alt+PageDown
    REWIND_OLDEST,          // alt+Home
    REWIND_NEWEST,          // alt+End
    REWIND_RESUME,          // alt+Enter: live from the shown frame
    REWIND_REPLAY,          // alt+R: the recorded input from the shown frame, then live
    REWIND_SAVE,            // alt+S: the kept frames from the shown one, as a recording
    REWIND_KEY_COUNT,
} rewind_key;

// From the pump: a chord pressed, or repeated by a held key (only stepping
// repeats; other repeats are dropped).
void chords_note(rewind_key key, bool32 repeat);

// From the frame: the chords pressed since, oldest first; their count.
u32 chords_take(rewind_key* keys, u32 capacity);

// alt+Backspace (MODULE_AFRESH_CHORD): from the pump, a first press; from
// the frame, whether there was one since (presses in one frame are one).
void chords_note_afresh(void);
bool32 chords_take_afresh(void);

#endif
