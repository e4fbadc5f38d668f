// The Windows host's window: its record and what start-up asks of it beyond
// the primitives of os.h.
#ifndef HOST_WINDOW_WIN32_H
#define HOST_WINDOW_WIN32_H

#include <windows.h>

#include "host/os.h"

#define WINDOW_CLASS_NAME "engine_window_application"
#define WINDOW_WIDTH 1080
#define WINDOW_HEIGHT 720

struct host_window {
    HWND handle;
    HDC device_context;  // the class's own, taken once and kept
    MSG message;
    BITMAPINFO header;   // describes the image being shown
};

// Registers the class, creates the window (1080 x 720 outer size, at the
// default position), UpdateWindow, ShowWindow(SW_SHOWDEFAULT). False when
// the class or the window can't be had, with the system's error in reason.
bool32 window_open(host_window* window, HINSTANCE instance, char* reason, u32 capacity);

// Takes the window's device context for every later blit.
void window_take_device_context(host_window* window);

// Fills header for buffer's image: biWidth the pitch, biHeight the height
// (bottom-up), 32 bits, BI_RGB; all zero for a buffer without pixels.
void fill_bitmap_header(BITMAPINFO* header, const back_buffer* buffer);

#endif
