// Rewind: stepping back through the last seconds of play, from the keyboard
// (chords.h: Alt with Left, Right, PageUp, PageDown, Home, End, Enter, R;
// alt+L while paused loops from the shown frame).
//
// While live, every frame that returns is kept (guard/history.h: what it
// overwrote, with its input, duration, back buffer size and counter), for
// --history seconds (10) within --history-memory MiB (256), oldest first
// out. A chord pauses: the module's memory is stepped back to the start of
// the chosen frame, which is run again with its recorded input and shown,
// and its writes undone, so it shows as it did; the window stays live and
// a new build loads as usual and shows on the same frame at once. From a
// paused frame: alt+Enter goes on live from it (the frames after it are
// dropped), alt+R replays the kept input from it to the newest frame with
// the build that runs now and then goes on live, alt+L loops over the same
// frames, alt+S writes the kept frames from the shown one (live: all) as a
// recording for --replay, "history-0001.rec" in the working directory,
// without the module's state: a replay starts from a fresh start-up. The
// title says where: "Engine - rewind: frame 1234 of 1500 (-8.87 s), paused",
// the frames numbered as the module ran them live (from 1; a pause adds
// none, going on live from a past frame drops the ones after it).
//
// The history rides on the undo's watching: with --no-undo there is none.
// A build that goes while its data holds part of the state (kept
// variables, whole state) takes the kept memory with it: the frames before
// can still be replayed (alt+R) but not stepped to, and while one of them is
// shown the title says so: "... paused - can't step: the reload took these
// frames' memory along (alt+R replays them)".
#ifndef HOST_REWIND_H
#define HOST_REWIND_H

#include "host/chords.h"
#include "loop/loop.h"

#define REWIND_TITLE_CAPACITY 160
#define REWIND_SECOND_FRAMES 30

typedef struct rewind_state {
    bool32 on;        // a history is kept
    bool32 paused;
    u32 shown;        // paused: the frame shown, a history index
    bool32 show;      // paused: run and show the shown frame in this frame
    u32 copies_seen;  // the module's copies when last shown: a new one is a new build
    u64 frames;       // live frames run so far: the last kept frame's number
    input_state live; // paused: live input, watched for nothing but the window
    char title[REWIND_TITLE_CAPACITY];
    bool32 title_changed;
} rewind_state;

// A frame as the history keeps it.
typedef struct rewind_frame {
    recorded_frame frame;
    u64 number;  // the frame's number among those run live, from 1
} rewind_frame;

// Once, before the first frame: seconds (0: off) and MiB of history; off
// when the undo is.
void rewind_start(rewind_state* rewind, u32 seconds, u32 mebibytes, bool32 undo);

// Where this frame's live events go: the module's record, or apart while
// paused.
input_state* rewind_live_input(rewind_state* rewind, input_state* input);

// The frame's steps, in order (frame.h):
struct host_state;
// After the pump: takes the chords pressed, loop editing's presses among
// them (while paused alt+L loops from the shown frame); true while paused,
// when the frame calls rewind_paused_frame instead of the module.
bool32 rewind_begin_frame(struct host_state* host, u32 loop_presses);
// Paused: the shown frame run and shown, when it is new or a new build came.
void rewind_paused_frame(struct host_state* host);
// Live, after the module's call: the frame as the history keeps it.
void rewind_note_frame(struct host_state* host, f32 frame_seconds);

#endif
