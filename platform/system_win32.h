// The clock, cursor, debugger, floating-point and directory services
// (slots 16 to 18 and 21 to 28). Start-up calls the working-directory pair
// directly.
#ifndef PLATFORM_SYSTEM_WIN32_H
#define PLATFORM_SYSTEM_WIN32_H

#include "platform/platform_api.h"

// The performance counter now (the host clock's read_counter).
u64 get_counter(void);

// (end - start) as a 64-bit count, over the low 32 bits of the counter
// frequency that start-up read. No check: an end before the start gives a
// very large result.
f32 seconds_between(u64 start, u64 end);

// Moves the cursor to client position (x, y), y counted upwards from the
// bottom edge, in the thread's active window, or in the host's window
// ("engine_window_application") when none is active. Without either window
// it does nothing.
void set_cursor_position(f32 x, f32 y);

// OutputDebugStringA with the text unchanged; a null text sends nothing.
void debug_print(const char* message);

// The processor's breakpoint instruction, here at the call.
void debug_break(void);

// The exception-mask group of the runtime's floating-point control word:
// inexact 0x1, underflow 0x2, overflow 0x4, divide-by-zero 0x8, invalid
// 0x10, denormal 0x80000. A set bit masks (no trap).
#define FLOAT_EXCEPTION_MASKS 0x8001Fu

// Clears pending exceptions and sets every mask bit.
void disable_float_exceptions(void);

// Clears pending exceptions and clears every mask bit but inexact's.
void enable_float_exceptions(void);

// GetCurrentDirectoryA, then the text normalised in place with "/"
// separators and no trailing "/". Returns the system's count: the length
// written, or when capacity is too small the size needed with the
// terminator (buffer untouched), or 0. Normalising never writes past
// capacity: a text it would grow beyond that is left as the system wrote it.
u32 get_working_directory(char* buffer, u32 capacity);

// Each converts path ("/" to "\") into a 256-byte buffer and returns the
// system's success value; a path over 255 characters fails without a call.
bool32 set_working_directory(const char* path);
bool32 make_directory(const char* path);
bool32 remove_directory(const char* path);

#endif
