// The input record: everything a module learns about the user's input in one
// frame. The host owns one record for the whole run, zeroes it once before the
// first frame, updates it in place every frame and hands its address (never a
// copy) to the module's `entry`. The module is built separately, so the record
// is fixed at the byte level: every field below keeps its offset and width.
//
// All values are little-endian 4-byte words; there are no alignment gaps.
// The module may write only `mouse.accumulate` and `mouse.suppress_delta`;
// anything else it writes is overwritten or built upon by the next frame.
#ifndef ENGINE_INPUT_H
#define ENGINE_INPUT_H

#include "engine/base/types.h"

#ifdef __cplusplus
extern "C" {
#endif

// One keyboard key or mouse button (40 bytes).
typedef struct button_state {
    // 1 while held, 0 while up.
    u32 is_down;
    // Changes of is_down recorded since this frame began (press and release
    // within one frame leaves 2).
    u32 transitions;
    // Ring of the lengths in seconds of the last four states, alternately
    // down and up. durations[duration_index % 4] is the current state: the
    // time spent in it in whole frame periods up to this frame's start (0 for
    // a state that began during this frame's messages). Index + 1 is the
    // previous state, + 2 the one before, + 3 the oldest. Before the first
    // change every frame adds its time to slot 0.
    f32 durations[4];
    // 0 until the first change; then steps down 3, 2, 1, 0, 3, ... per change.
    u32 duration_index;
    // Always zero.
    u32 reserved;
    // Message time (milliseconds, wraps at 2^32) of the latest change of
    // is_down; 0 until the first change. The clocks differ: Windows counts
    // from the system's start (GetMessageTime), Linux from SDL's start (the
    // event's time stamp), so compare times within one run, never across
    // hosts or runs.
    u32 time;
    // Keys only: the first 16-bit word of the character translation of the
    // latest key message for this key that produced a character, on press
    // and on release alike; 0 until then, never cleared. Windows gives the
    // code page's character (WM_CHAR of an 8-bit window), Linux the first
    // UTF-16 unit of SDL's text: the two agree for ASCII only.
    u32 character;
} button_state;

// The mouse (52 bytes). Positions are in client-area pixels, x from the left
// edge, y counted upward from the bottom: the top row gives the height, the
// bottom row gives 1.
typedef struct mouse_state {
    // Last wheel message of this frame in notches (delta / 120); 0 if none.
    f32 wheel;
    // Cursor position as of the last mouse-move message, which may be from
    // an earlier frame (no moves arrive while the cursor is outside).
    f32 x;
    f32 y;
    // x and y as they stood when this frame began.
    f32 prev_x;
    f32 prev_y;
    // Equals x and y each frame, or, while accumulate was set, moves by the
    // frame's delta instead.
    f32 virtual_x;
    f32 virtual_y;
    // virtual_x and virtual_y as they stood when this frame began.
    f32 prev_virtual_x;
    f32 prev_virtual_y;
    // This frame's movement (x - prev_x, y - prev_y), or 0 while
    // suppress_delta was set.
    f32 delta_x;
    f32 delta_y;
    // Flags the module writes (non-zero = set) during entry. They govern the
    // end of the next frame's input and are then cleared by the host; set
    // them every frame to keep them on.
    u32 accumulate;
    u32 suppress_delta;
} mouse_state;

// The keys both hosts give codes: letters, digits, F1 to F24, backspace,
// tab, return (and keypad enter), shift, ctrl, escape, space, page up and
// down, the arrows and delete. Alt and F10: on Windows a press with Alt held
// (and no Ctrl) and F10 are system keys that never reach the record, and
// KEY_ALT never goes down. The Linux host keeps the same record for Alt:
// KEY_ALT never goes down and a press made with the left Alt held and no
// Ctrl is not input (releases are), so alt shortcuts stay the window
// manager's on both systems; the right Alt is AltGr on most layouts and
// types characters as usual. F10 has no menu to open on Linux, so there it
// is an ordinary key on KEY_F10; a module that wants it on both systems
// cannot rely on it.
typedef enum key_code {
    // Keys without a code of their own land on buttons[KEY_NULL].
    KEY_NULL,
    KEY_TAB,
    KEY_NEWLINE,
    KEY_SPACE,
    KEY_EXCLAMATION,
    KEY_QUOTE,
    KEY_HASH,
    KEY_DOLLAR,
    KEY_PERCENT,
    KEY_AMPERSAND,
    KEY_APOSTROPHE,
    KEY_OPEN_PAREN,
    KEY_CLOSE_PAREN,
    KEY_ASTERIK,
    KEY_PLUS,
    KEY_COMMA,
    KEY_MINUS,
    KEY_PERIOD,
    KEY_SLASH,
    KEY_0,
    KEY_1,
    KEY_2,
    KEY_3,
    KEY_4,
    KEY_5,
    KEY_6,
    KEY_7,
    KEY_8,
    KEY_9,
    KEY_F1,
    KEY_F2,
    KEY_F3,
    KEY_F4,
    KEY_F5,
    KEY_F6,
    KEY_F7,
    KEY_F8,
    KEY_F9,
    // Sits between F9 and F10, so KEY_F10 is 39. The host never produces it.
    KEY_F0,
    KEY_F10,
    KEY_F11,
    KEY_F12,
    KEY_F13,
    KEY_F14,
    KEY_F15,
    KEY_F16,
    KEY_F17,
    KEY_F18,
    KEY_F19,
    KEY_F20,
    KEY_F21,
    KEY_F22,
    KEY_F23,
    KEY_F24,
    KEY_COLON,
    KEY_SEMICOLON,
    KEY_LESS_THAN,
    KEY_EQUAL,
    KEY_MORE_THAN,
    KEY_QUESTION_MARK,
    KEY_AT,
    KEY_OPEN_SQUARE,
    KEY_BACKSLASH,
    KEY_CLOSE_SQUARE,
    KEY_CARET,
    KEY_UNDERSCORE,
    KEY_GRAVE,
    KEY_A,
    KEY_B,
    KEY_C,
    KEY_D,
    KEY_E,
    KEY_F,
    KEY_G,
    KEY_H,
    KEY_I,
    KEY_J,
    KEY_K,
    KEY_L,
    KEY_M,
    KEY_N,
    KEY_O,
    KEY_P,
    KEY_Q,
    KEY_R,
    KEY_S,
    KEY_T,
    KEY_U,
    KEY_V,
    KEY_W,
    KEY_X,
    KEY_Y,
    KEY_Z,
    KEY_OPEN_CURLY,
    KEY_PIPE,
    KEY_CLOSE_CURLY,
    KEY_TILDE,
    KEY_DEL,
    KEY_ALT,
    // Both control keys share this record, and both shift keys KEY_SHIFT.
    KEY_CTRL,
    KEY_SHIFT,
    KEY_ENTER,
    KEY_BACKSPACE,
    KEY_UP,
    KEY_DOWN,
    KEY_LEFT,
    KEY_RIGHT,
    KEY_PAGE_UP,
    KEY_PAGE_DOWN,
    KEY_ESCAPE,
    MOUSE_PRIMARY,
    MOUSE_SECONDARY,
    MOUSE_MIDDLE,
    KEY_COUNT
} key_code;

// A controller's buttons, by their place on an Xbox-style pad (A at the
// bottom of the four face buttons, Y at the top); each indexes
// gamepad_state.buttons. GAMEPAD_NULL is no button: its record tells whether
// a controller is connected.
typedef enum gamepad_button {
    GAMEPAD_NULL,
    GAMEPAD_DPAD_UP,
    GAMEPAD_DPAD_DOWN,
    GAMEPAD_DPAD_LEFT,
    GAMEPAD_DPAD_RIGHT,
    GAMEPAD_START,
    GAMEPAD_BACK,
    GAMEPAD_THUMB_LEFT,
    GAMEPAD_THUMB_RIGHT,
    GAMEPAD_SHOULDER_LEFT,
    GAMEPAD_SHOULDER_RIGHT,
    GAMEPAD_A,
    GAMEPAD_B,
    GAMEPAD_X,
    GAMEPAD_Y,
    GAMEPAD_COUNT
} gamepad_button;

// The record holds this many controllers.
#define MAX_GAMEPADS 4

// Stick and trigger travel that reads as 0, as a fraction of the full range:
// XInput's recommended thresholds (7849 of 32767 for a stick, 30 of 255 for
// a trigger), rounded, on both hosts.
#define GAMEPAD_STICK_DEAD_ZONE 0.24f
#define GAMEPAD_TRIGGER_DEAD_ZONE 0.12f

// One controller (624 bytes). A place is all zero until a controller first
// connects in it, so with none connected the whole block stays zero.
//
// Windows: XInput's controllers 0 to 3 in places 0 to 3. Linux: SDL's game
// controllers, each taking the lowest free place when it connects; a fifth
// waits and takes the first place that frees. On both hosts controllers are
// input whether or not the window has the focus.
typedef struct gamepad_state {
    // Indexed by gamepad_button, with the keys' meaning (character stays 0).
    // buttons[GAMEPAD_NULL].is_down is 1 while a controller is connected
    // here: it goes down when one connects and up when it disconnects, with
    // a transition each. A disconnection first releases every held button
    // (a transition each, in the same frame) and zeroes the sticks and
    // triggers; the place then keeps those values until the next controller.
    // Durations advance only while a controller is connected. time is the
    // tick count in ms when the frame polled the change (Windows) or the
    // event's time stamp (Linux), as for keys.
    button_state buttons[GAMEPAD_COUNT];
    // Sticks from -1 to 1, x to the right, y up; never longer than 1. A
    // stick within GAMEPAD_STICK_DEAD_ZONE of the centre reads 0,0; beyond
    // it the length grows from 0 at the dead zone's edge to 1 at full tilt.
    f32 left_stick_x;
    f32 left_stick_y;
    f32 right_stick_x;
    f32 right_stick_y;
    // Triggers from 0 (released) to 1 (pulled fully); 0 up to
    // GAMEPAD_TRIGGER_DEAD_ZONE, then rising evenly.
    f32 left_trigger;
    f32 right_trigger;
} gamepad_state;

// An unnamed union keeps the reserved block's name beside its structure; C
// has them from C11, GCC, Clang and MSVC take them in C99 as well.
#if (defined(__GNUC__) || defined(__clang__)) && !defined(__cplusplus)
#define INPUT_ANONYMOUS __extension__
#else
#define INPUT_ANONYMOUS
#endif

// Loop editing as the module sees it (20 bytes, in the record's first
// reserved block). All zero while the host runs live, which is all it does
// unless the user starts a recording (the loop chord, --record) or a replay
// (--replay). A module that behaves the same in every state stays
// replayable; this is for showing the state, or for skipping work a replay
// doesn't need.
typedef enum loop_mode {
    LOOP_LIVE,
    LOOP_RECORDING,  // this frame's input is being recorded
    LOOP_REPLAYING,  // this frame's input is a recorded frame
} loop_mode;

// loop_info.flags while replaying.
#define LOOP_REPEATS 1u   // the replay starts again after its last frame
#define LOOP_HEADLESS 2u  // no window and no pacing: frames run back to back

typedef struct loop_info {
    u32 mode;    // a loop_mode
    u32 frame;   // recording: frames recorded, this one included; replaying:
                 // this frame's place in the recording, from 1
    u32 frames;  // recording: as frame; replaying: the recording's length
    u32 round;   // replaying: 1 in the first pass, then 2, 3, ...
    u32 flags;   // LOOP_REPEATS, LOOP_HEADLESS
} loop_info;

// The whole record (7132 bytes).
typedef struct input_state {
    // The host writes loop only while loop editing is on (loop_info); the
    // reserved_tail block is never written and stays zero.
    INPUT_ANONYMOUS union {
        u8 reserved_head[20];
        loop_info loop;
    };
    mouse_state mouse;
    // Fills the 2496 bytes between the mouse and the buttons exactly.
    gamepad_state gamepads[MAX_GAMEPADS];
    // Indexed by key_code; mouse buttons share the array with the keys.
    button_state buttons[KEY_COUNT];
    u8 reserved_tail[36];
    // The back buffer's (client area's) size in pixels at this frame's start.
    f32 width;
    f32 height;
} input_state;

// The constants' names: key_names[k] names key_code k ("KEY_ASTERIK" at 13,
// "KEY_F0" at 38) and is followed by one null entry; gamepad_button_names[k]
// names gamepad_button k. Static and never modified.
extern const char* const key_names[KEY_COUNT + 1];
extern const char* const gamepad_button_names[GAMEPAD_COUNT];

#ifdef __cplusplus
}
#endif
#define INPUT_LAYOUT_ASSERT(condition) LAYOUT_PIN(LAYOUT_JOIN(input_, __LINE__), condition)

INPUT_LAYOUT_ASSERT(KEY_COUNT == 113);
INPUT_LAYOUT_ASSERT(KEY_F0 == 38 && KEY_F10 == 39 && KEY_A == 67 && KEY_DEL == 97);
INPUT_LAYOUT_ASSERT(MOUSE_PRIMARY == 110 && MOUSE_MIDDLE == 112);
INPUT_LAYOUT_ASSERT(GAMEPAD_COUNT == 15 && GAMEPAD_Y == 14);
// The ends of the other runs of codes, so a name added or dropped anywhere
// moves a pinned value.
INPUT_LAYOUT_ASSERT(KEY_NULL == 0 && KEY_TAB == 1 && KEY_SLASH == 18);
INPUT_LAYOUT_ASSERT(KEY_0 == 19 && KEY_9 == 28 && KEY_F1 == 29 && KEY_F9 == 37);
INPUT_LAYOUT_ASSERT(KEY_F24 == 53 && KEY_COLON == 54 && KEY_GRAVE == 66);
INPUT_LAYOUT_ASSERT(KEY_Z == 92 && KEY_OPEN_CURLY == 93 && KEY_TILDE == 96);
INPUT_LAYOUT_ASSERT(KEY_ESCAPE == 109 && GAMEPAD_SHOULDER_RIGHT == 10);
// A module reads the words little-endian, whatever compiled it.
#if defined(__BYTE_ORDER__) && defined(__ORDER_LITTLE_ENDIAN__)
INPUT_LAYOUT_ASSERT(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__);
#endif

INPUT_LAYOUT_ASSERT(sizeof(button_state) == 40);
INPUT_LAYOUT_ASSERT(offsetof(button_state, is_down) == 0);
INPUT_LAYOUT_ASSERT(offsetof(button_state, transitions) == 4);
INPUT_LAYOUT_ASSERT(offsetof(button_state, durations) == 8);
INPUT_LAYOUT_ASSERT(offsetof(button_state, duration_index) == 24);
INPUT_LAYOUT_ASSERT(offsetof(button_state, reserved) == 28);
INPUT_LAYOUT_ASSERT(offsetof(button_state, time) == 32);
INPUT_LAYOUT_ASSERT(offsetof(button_state, character) == 36);

INPUT_LAYOUT_ASSERT(sizeof(mouse_state) == 52);
INPUT_LAYOUT_ASSERT(offsetof(mouse_state, wheel) == 0);
INPUT_LAYOUT_ASSERT(offsetof(mouse_state, x) == 4);
INPUT_LAYOUT_ASSERT(offsetof(mouse_state, y) == 8);
INPUT_LAYOUT_ASSERT(offsetof(mouse_state, prev_x) == 12);
INPUT_LAYOUT_ASSERT(offsetof(mouse_state, prev_y) == 16);
INPUT_LAYOUT_ASSERT(offsetof(mouse_state, virtual_x) == 20);
INPUT_LAYOUT_ASSERT(offsetof(mouse_state, virtual_y) == 24);
INPUT_LAYOUT_ASSERT(offsetof(mouse_state, prev_virtual_x) == 28);
INPUT_LAYOUT_ASSERT(offsetof(mouse_state, prev_virtual_y) == 32);
INPUT_LAYOUT_ASSERT(offsetof(mouse_state, delta_x) == 36);
INPUT_LAYOUT_ASSERT(offsetof(mouse_state, delta_y) == 40);
INPUT_LAYOUT_ASSERT(offsetof(mouse_state, accumulate) == 44);
INPUT_LAYOUT_ASSERT(offsetof(mouse_state, suppress_delta) == 48);

INPUT_LAYOUT_ASSERT(MAX_GAMEPADS == 4);
INPUT_LAYOUT_ASSERT(sizeof(gamepad_state) == 624);
INPUT_LAYOUT_ASSERT(offsetof(gamepad_state, buttons) == 0);
INPUT_LAYOUT_ASSERT(offsetof(gamepad_state, buttons[GAMEPAD_Y]) == 560);
INPUT_LAYOUT_ASSERT(offsetof(gamepad_state, left_stick_x) == 600);
INPUT_LAYOUT_ASSERT(offsetof(gamepad_state, left_stick_y) == 604);
INPUT_LAYOUT_ASSERT(offsetof(gamepad_state, right_stick_x) == 608);
INPUT_LAYOUT_ASSERT(offsetof(gamepad_state, right_stick_y) == 612);
INPUT_LAYOUT_ASSERT(offsetof(gamepad_state, left_trigger) == 616);
INPUT_LAYOUT_ASSERT(offsetof(gamepad_state, right_trigger) == 620);

INPUT_LAYOUT_ASSERT(sizeof(input_state) == 7132);
INPUT_LAYOUT_ASSERT(offsetof(input_state, reserved_head) == 0);
INPUT_LAYOUT_ASSERT(offsetof(input_state, loop) == 0 && sizeof(loop_info) == 20);
INPUT_LAYOUT_ASSERT(offsetof(loop_info, mode) == 0 && offsetof(loop_info, frame) == 4);
INPUT_LAYOUT_ASSERT(offsetof(loop_info, frames) == 8 && offsetof(loop_info, round) == 12);
INPUT_LAYOUT_ASSERT(offsetof(loop_info, flags) == 16);
INPUT_LAYOUT_ASSERT(LOOP_LIVE == 0 && LOOP_RECORDING == 1 && LOOP_REPLAYING == 2);
INPUT_LAYOUT_ASSERT(offsetof(input_state, mouse) == 20);
INPUT_LAYOUT_ASSERT(offsetof(input_state, gamepads) == 72);
INPUT_LAYOUT_ASSERT(sizeof(((input_state*)0)->gamepads) == 2496);
INPUT_LAYOUT_ASSERT(offsetof(input_state, gamepads[3].right_trigger) == 2564);
INPUT_LAYOUT_ASSERT(offsetof(input_state, buttons) == 2568);
INPUT_LAYOUT_ASSERT(offsetof(input_state, buttons[MOUSE_MIDDLE]) == 7048);
INPUT_LAYOUT_ASSERT(offsetof(input_state, reserved_tail) == 7088);
INPUT_LAYOUT_ASSERT(offsetof(input_state, width) == 7124);
INPUT_LAYOUT_ASSERT(offsetof(input_state, height) == 7128);

#undef INPUT_LAYOUT_ASSERT

#endif
