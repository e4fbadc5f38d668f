// The cursor, debugger, floating-point and directory services (slots 16 and
// 21 to 28; the clock's slots are in clock.h). Start-up calls the
// working-directory pair directly. Each system implements them in
// system_<os>.cpp.
#ifndef PLATFORM_SYSTEM_H
#define PLATFORM_SYSTEM_H

#include "engine/platform_api.h"

// Moves the cursor to client position (x, y), y counted upwards from the
// bottom edge, in the host's window (Windows: the thread's active window, or
// the host's own while none is active; SDL: the window with the keyboard
// focus, else the mouse's, else the first). Without a window it does nothing.
// The module's floating-point exception masks don't reach the system's calls.
void set_cursor_position(f32 x, f32 y);

// Sends the text unchanged to the debugger (Windows: OutputDebugStringA;
// POSIX: standard error); a null text sends nothing.
void debug_print(const char* message);

// The processor's breakpoint instruction, here at the call.
void debug_break(void);

// The exception-mask group of the floating-point control word, as Windows'
// runtime presents it (the POSIX host maps it onto the C library's controls):
// inexact 0x1, underflow 0x2, overflow 0x4, divide-by-zero 0x8, invalid
// 0x10, denormal 0x80000. A set bit masks (no trap).
#define FLOAT_EXCEPTION_MASKS 0x8001Fu

// Clears pending exceptions and sets every mask bit.
void disable_float_exceptions(void);

// Clears pending exceptions and clears every mask bit but inexact's.
void enable_float_exceptions(void);

// The working directory (GetCurrentDirectoryA, getcwd), then the text
// normalised in place with "/" separators and no trailing "/" (on POSIX a
// "\" is a character of a name and stays; on Windows a share keeps its
// leading "//", see normalize_working_directory). Any depth: POSIX directories
// deeper than PATH_MAX too. Returns the
// system's count: the length written, or when the buffer is null or
// capacity too small the size needed with the terminator, or 0 on failure;
// the buffer is untouched unless the whole text fits. Normalising never
// writes past capacity: a text it would grow beyond that is left as the
// system wrote it.
u32 get_working_directory(char* buffer, u32 capacity);

// Each converts path to the system's separators in a 256-byte buffer and
// returns the system's success value; a path over 255 characters fails
// without a call.
bool32 set_working_directory(const char* path);
bool32 make_directory(const char* path);
bool32 remove_directory(const char* path);

// Shared by each system's implementation.

// x truncated towards zero to 32 bits; beyond the range it stops at the
// ends and NaN gives 0, so the conversion never raises a trap.
i32 truncate_to_i32(f32 value);

// path_normalize on a working directory the system wrote into buffer, unless
// the text does not end inside capacity or would grow past it. A share or a
// "\\?\" form keeps its two leading separators ("//server/share/app",
// "//?/C:/app"), which the services turn back into the system's.
void normalize_working_directory(char* buffer, u32 capacity);

#endif
