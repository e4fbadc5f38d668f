#include "host/chords.h"

#define CHORDS_HELD 64

static rewind_key pressed[CHORDS_HELD];
static u32 pressed_count;
static bool32 afresh_pressed;

void chords_note(rewind_key key, bool32 repeat) {
    bool32 steps = key == REWIND_BACK || key == REWIND_FORWARD;
    if (pressed_count < CHORDS_HELD && (!repeat || steps)) {
        pressed[pressed_count++] = key;
    }
}

u32 chords_take(rewind_key* keys, u32 capacity) {
    u32 count = pressed_count < capacity ? pressed_count : capacity;
    for (u32 i = 0; i < count; ++i) {
        keys[i] = pressed[i];
    }
    pressed_count = 0;
    return count;
}

void chords_note_afresh(void) { afresh_pressed = 1; }

bool32 chords_take_afresh(void) {
    bool32 pressed = afresh_pressed;
    afresh_pressed = 0;
    return pressed;
}
