#include "platform/system.h"

#include <float.h>
#include <intrin.h>
#include <windows.h>

#include "engine/base/text.h"
#include "platform/path.h"

#define DIRECTORY_PATH_CAPACITY (PLATFORM_PATH_MAX + 1)
#define HOST_WINDOW_CLASS "engine_window_application"

static LONG clamp_to_long(i64 value) {
    return value < INT32_MIN ? INT32_MIN : value > INT32_MAX ? INT32_MAX : (LONG)value;
}

static BOOL CALLBACK find_host_window(HWND window, LPARAM result) {
    char name[sizeof(HOST_WINDOW_CLASS) + 1];
    if (GetClassNameA(window, name, sizeof(name)) && text_equal(name, HOST_WINDOW_CLASS)) {
        *(HWND*)result = window;
        return FALSE;
    }
    return TRUE;
}

// The active window, or the host's own while none is active (the system
// gives the thread no active window while another program has the focus).
static HWND cursor_window(void) {
    HWND window = GetActiveWindow();
    if (!window) {
        EnumThreadWindows(GetCurrentThreadId(), find_host_window, (LPARAM)&window);
    }
    return window;
}

void set_cursor_position(f32 x, f32 y) {
    HWND window = cursor_window();
    RECT client;
    if (!window || !GetClientRect(window, &client)) {
        return;
    }
    i64 height = (i64)client.bottom - client.top;
    POINT point = {truncate_to_i32(x), clamp_to_long(height - truncate_to_i32(y))};
    ClientToScreen(window, &point);
    SetCursorPos(point.x, point.y);
}

void debug_print(const char* message) {
    if (message) {
        OutputDebugStringA(message);
    }
}

void debug_break(void) { __debugbreak(); }

// _control87 rather than _controlfp: the latter leaves the denormal mask
// alone on x64, so denormal operands could never be made to trap.
void disable_float_exceptions(void) {
    _clearfp();
    _control87(FLOAT_EXCEPTION_MASKS, FLOAT_EXCEPTION_MASKS);
}

void enable_float_exceptions(void) {
    _clearfp();
    unsigned int word = _control87(0, 0);
    _control87(word & 0xFFF7FFE1u, FLOAT_EXCEPTION_MASKS);
}

// The size is asked first, so a buffer that can't take the text (or none
// at all) is never handed to the system, which may write into it anyway.
u32 get_working_directory(char* buffer, u32 capacity) {
    u32 needed = GetCurrentDirectoryA(0, NULL);
    if (needed == 0 || !buffer || needed > capacity) {
        return needed;
    }
    u32 count = GetCurrentDirectoryA(capacity, buffer);
    if (count > 0 && count < capacity) {
        normalize_working_directory(buffer, capacity);
    }
    return count;
}

bool32 set_working_directory(const char* path) {
    char converted[DIRECTORY_PATH_CAPACITY];
    return system_path(converted, sizeof(converted), "", path) && SetCurrentDirectoryA(converted);
}

bool32 make_directory(const char* path) {
    char converted[DIRECTORY_PATH_CAPACITY];
    return system_path(converted, sizeof(converted), "", path) &&
           CreateDirectoryA(converted, NULL);
}

bool32 remove_directory(const char* path) {
    char converted[DIRECTORY_PATH_CAPACITY];
    return system_path(converted, sizeof(converted), "", path) && RemoveDirectoryA(converted);
}
