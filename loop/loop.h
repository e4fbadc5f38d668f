// Loop editing: record a stretch of play, then replay it over and over while
// the code changes.
//
// From the keyboard, with the loop chord (LOOP_CHORD_KEY in host/os.h: left Alt + L; a press the module never
// sees on either system, as Alt chords are the system's):
//  - live: the first press takes a snapshot of the module's state
//    (snapshot.h) and starts recording each frame's input, duration and
//    counter;
//  - recording: the second press puts the snapshot back and replays the
//    recorded frames instead of live input, and at their end puts the
//    snapshot back and starts again; rebuilds are loaded as ever, so each
//    edit shows on the same moment of play;
//  - replaying: the third press returns to live input with every key and
//    button released.
// Each press takes effect at the start of the next frame. From the command
// line (options.h): --record, --replay, --loop, --headless, --hashes and
// --check.
//
// During a replay the module is given what it was given while recording:
// the input record (mouse, keys and controllers, with their durations and
// times), the frame's duration, the back buffer's size, and get_counter
// readings that start each frame at the counter recorded for it and then
// step by one tick per reading. Live keyboard and mouse are kept apart and
// only watched for the chord.
//
// What the host can't replay: files the module reads or writes, other
// services' answers (file times, the working directory), threads the module
// starts, static data it does not mark to keep (engine/keep.h), and
// whatever the module does with the time within a frame. A module stays
// replayable when it keeps its state behind the slot in blocks from
// allocate_memory (or in kept variables) and draws from its state and its
// input alone.
//
// While recording or replaying, blocks are placed from a cursor kept with
// the snapshot (memory.h), so a replay's blocks land where the recording's
// did and its state, pointers and all, reads the same each round.
#ifndef LOOP_LOOP_H
#define LOOP_LOOP_H

#include "engine/back_buffer.h"
#include "loop/options.h"
#include "loop/recording.h"
#include "loop/snapshot.h"

// Where blocks go while recording or replaying: far from what either system
// hands out by itself (and, on Linux, from AddressSanitizer's shadow and
// heap), below the top of the smallest 64-bit Windows address space.
#ifdef _WIN32
#define LOOP_PLACEMENT_BASE 0x0000060000000000ull
#else
#define LOOP_PLACEMENT_BASE 0x0000500000000000ull
#endif

// A recording made with the chord loops by itself after ten minutes (128 MB
// of frames in memory): a longer one is no moment to edit against.
#define LOOP_CHORD_MAX_FRAMES 18000u

#define LOOP_TITLE_CAPACITY 64
#define LOOP_MESSAGE_CAPACITY 256

typedef struct loop_state {
    u32 mode;       // loop_mode
    bool32 repeats;  // a replay starts again after its last frame
    bool32 headless;
    u32 chords;     // presses not yet taken, one per frame
    u32 first_mode;  // the command line's: the first frame records or replays
    recording frames;     // recorded by the chord, or read from --replay
    recording_file file;  // --record
    snapshot start;       // the module at the replay's first frame
    u32 next;             // replaying: the frame to play next, from 0
    u32 round;
    bool32 release_keys;  // just back to live: release every button
    input_state live;     // live input while replaying
    i64 counter;          // replaying: this frame's recorded counter
    u64 counter_reads;    // get_counter readings in this frame
    void* placement;      // where the next recording places its blocks
    u64 frame_number;     // frames run, from 1
    FILE* hashes;         // --hashes
    u64* check;           // --check: four fields a frame (loop.cpp)
    u64 check_count;
    int exit_status;
    bool32 sound_hashed;  // this frame's build exports entry_sound: its samples are hashed
    u64 sound_hash;
    char title[LOOP_TITLE_CAPACITY];
    bool32 title_changed;
    // The module's kept variables (engine/keep.h) live in its build, not in
    // blocks: the host takes them with each snapshot (put_back 0) and gives
    // them to whatever build runs when it is put back (put_back 1).
    void (*kept_snapshot)(void* context, bool32 put_back);
    void* kept_context;
    bool32 counter_fixed;  // rewind shows a frame: get_counter starts at its recorded counter
} loop_state;

// Before the host changes its working directory: opens the files the
// options name. False with a message for the user when one can't be read,
// written, or is not what it should be.
bool32 loop_open(loop_state* loop, const host_options* options, char* message, u32 capacity);

// At the start of each frame: takes a pending chord, or the end of a replay,
// and changes the state (snapshot, put back, released keys). slot and input
// are the module's.
void loop_begin_frame(loop_state* loop, void** slot, input_state* input);

// The back buffer's size for this frame: the recorded one while replaying,
// else the window's, left as given.
void loop_buffer_size(const loop_state* loop, u32* width, u32* height);

// Where this frame's live events go: the module's record, or apart while
// replaying.
input_state* loop_live_input(loop_state* loop, input_state* input);

// After input_begin_frame on the live record: the releases after a replay.
void loop_after_input_begin(loop_state* loop, input_state* live);

// Counts presses of the chord taken by this frame's pump.
void loop_take_chords(loop_state* loop, u32 presses);

// After the input frame ended: while replaying, the recorded frame goes into
// the module's record and *frame_seconds; while recording, the frame is
// written. Either way the record's loop_info says where the loop stands.
void loop_feed(loop_state* loop, input_state* input, i64 frame_start, f32* frame_seconds);

// After the module's call, before loop_end_frame: whether the frame's build
// exports entry_sound and the hash of the samples it made (sound.h), a
// fourth column of --hashes; frames without it keep three.
void loop_note_sound(loop_state* loop, bool32 made_sound, u64 hash);

// After the module's call: the frame's hashes written or checked (a failed
// check ends the run), and the end of a headless replay.
void loop_end_frame(loop_state* loop, const back_buffer* buffer, void* slot, i32* running);

// When the run ends: closes the files and returns the exit status (a check
// that saw fewer frames than its file holds fails here).
int loop_finish(loop_state* loop);

// Replays frames the host kept (rewind.h) from the module as it is now: once
// and then live, or over and over (repeats) from a snapshot taken now, as
// the chord's loop does. False (and nothing changed) while the loop is busy.
bool32 loop_play_frames(loop_state* loop, const recorded_frame* frames, u32 count,
                        bool32 repeats, void** slot, input_state* input);

// While rewind shows a kept frame, get_counter answers as a replay does,
// from that frame's recorded counter; off again after its call.
void loop_fix_counter(loop_state* loop, bool32 on, i64 counter);

// Slot 17 while the host runs: the counter, or during a replay the recorded
// one (see above).
u64 loop_get_counter(void);

// A 64-bit hash of the back buffer's visible pixels and size.
u64 back_buffer_hash(const back_buffer* buffer);

#endif
