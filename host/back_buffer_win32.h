// The host's side of the back buffer: allocation, fitting and showing.
#ifndef HOST_BACK_BUFFER_WIN32_H
#define HOST_BACK_BUFFER_WIN32_H

#include <windows.h>

#include "host/back_buffer.h"

// Makes buffer and header describe a fresh, black width x height image;
// does nothing when that is the current size. When the pixels cannot be
// allocated the buffer is left 0 x 0 with null pointers and an all-zero header.
void resize_back_buffer(back_buffer* buffer, BITMAPINFO* header, u32 width, u32 height);

// Resizes the buffer to the window's client area.
void fit_back_buffer_to_window(back_buffer* buffer, HWND window, BITMAPINFO* header);

// Shows the image, unscaled, at the client area's bottom-left origin.
void blit_back_buffer(const back_buffer* buffer, const BITMAPINFO* header, HDC device_context);

// UpdateWindow, ShowWindow(SW_SHOWDEFAULT), then a fit.
void show_window_and_fit_back_buffer(back_buffer* buffer, HWND window, BITMAPINFO* header);

#endif
