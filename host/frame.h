// The host's heartbeat, the same on every system: start-up after the window
// exists, and one frame of the fixed 30 per second loop.
//
// Each system's main reads its command line and opens the files it names
// (loop_open), prepares (host_prepare), opens and shows its window (none
// when headless), starts the clock, calls host_begin, runs host_frame while
// `running` is non-zero, and exits with loop_finish's status. One frame, in
// order:
//  1. read the counter as the frame's start; loop editing takes a pending
//     chord or the end of a replay (loop.h);
//  2. fit the back buffer to the window's client area (a replay's recorded
//     size);
//  3. begin the input frame;
//  4. pump the window's events into the input record (a close request
//     clears running; the frame still runs to its end); while replaying,
//     into a record of the host's own, watched only for the chord;
//  5. end the input frame; a replay puts the recorded frame into the
//     module's record, a recording writes it;
//  6. poll the module file and reload a new build (a whole-state reload
//     that would make the frame late is left to step 9: reload.h); look at
//     the build watcher's status file (build_status.h);
//  7. copy the back buffer record and call entry through the fault guard,
//     then entry_sound when the build exports it (sound.h); the samples go
//     to the device and the --sound file; the frame's hashes are written or
//     checked; the undo's start keeps within what the frame has left
//     (guard/undo.h), and a change of protection is said;
//  8. show the back buffer;
//  9. wait out the frame (1/30 s after its start; no catch-up; none when
//     headless), the whole-state pointers read ahead and a reload step 6
//     left run first;
// 10. keep the frame's start as the previous one.
#ifndef HOST_FRAME_H
#define HOST_FRAME_H

#include "host/build_status.h"
#include "host/call_module.h"
#include "host/fault_marker.h"
#include "host/rewind.h"
#include "host/title.h"
#include "loop/loop.h"

#define FRAMES_PER_SECOND 30.0f

// Counter readings at the frame's step boundaries, for the benchmarks.
typedef enum frame_mark {
    MARK_START,       // step 1
    MARK_POLL,        // before step 6
    MARK_CALL,        // before step 7's call
    MARK_SHOW,        // before step 8
    MARK_WAIT,        // before step 9
    MARK_END,         // after step 9
    MARK_COUNT,
} frame_mark;

// Everything the host owns for the whole run, at fixed addresses.
typedef struct host_state {
    i32 running;
    back_buffer buffer;
    back_buffer buffer_copy;
    back_buffer marked;  // the image with the fault marker, while a fault is held
    input_state input;
    platform_api services;
    module_state module;
    build_status build;  // what the module's build watcher says
    module_fault fault;
    host_window* window;
    i64 frame_start;
    i64 previous_frame_start;
    f32 target_frame_seconds;
    f32 frame_seconds;
    i64 marks[MARK_COUNT];
    char working_directory[256];
    loop_state loop;  // opened by loop_open before host_prepare
    host_sound sound;  // entry_sound's device and samples (sound.h)
    bool32 undo;      // a faulting frame is undone (off with --no-undo)
    u32 history_seconds;    // rewind's (rewind.h): --history, --history-memory
    u32 history_mebibytes;
    rewind_state rewind;
    // The safety net's budget (guard/undo.h): what the last live frame's
    // call took besides the net's start, and its showing; the protection
    // last said.
    f64 last_call_ms;
    f64 last_show_ms;
    u32 protection_said;
    bool32 reload_in_wait;  // this frame's poll left a new build to its wait
} host_state;

// Start-up before the window: fills the services table, changes to the data
// directory and sends the working directory, read back, to the debugger.
void host_prepare(host_state* host);

// Start-up once the window is shown and the clock started: the records
// zeroed, running set, the fault guard installed, the module loaded. A null
// window runs headless.
void host_begin(host_state* host, host_window* window);

// What a main does before start-up: reads the arguments after the program's
// name into the loop's options and opens their files. False after telling
// the user why on the standard error; the host then exits with
// EXIT_BAD_COMMAND_LINE.
bool32 host_options_open(host_state* host, int count, char** arguments, bool32* headless);

// One frame, the ten steps above.
void host_frame(host_state* host);

// Step 2: makes the back buffer a fresh, black width x height image; nothing
// happens when that is its size. When the pixels cannot be allocated (or the
// size would wrap the 32-bit pixel count) the buffer is left 0 x 0 with null
// pointers.
void resize_back_buffer(back_buffer* buffer, u32 width, u32 height);

#endif
