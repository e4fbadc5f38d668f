#include "host/window_win32.h"
#include "host/chords.h"

#include <stdio.h>

#include "input/gamepad_win32.h"
#include "input/translate_win32.h"

static LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_SIZE:
        // The next frame's fit picks up the new client size.
        return 0;
    case WM_CLOSE:
        // The window stays; the frame that takes the quit message completes.
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(window, message, wparam, lparam);
    }
}

bool32 window_open(host_window* window, HINSTANCE instance, char* reason, u32 capacity) {
    WNDCLASSEXA window_class = {};
    window_class.cbSize = sizeof(window_class);
    window_class.style = CS_OWNDC;
    window_class.lpfnWndProc = window_proc;
    window_class.hInstance = instance;
    window_class.lpszClassName = WINDOW_CLASS_NAME;
    if (!RegisterClassExA(&window_class)) {
        snprintf(reason, capacity, "RegisterClassExA failed with error %lu", GetLastError());
        return 0;
    }

    window->handle = CreateWindowExA(0, WINDOW_CLASS_NAME, WINDOW_TITLE, WS_OVERLAPPEDWINDOW,
                                     CW_USEDEFAULT, CW_USEDEFAULT, WINDOW_WIDTH, WINDOW_HEIGHT,
                                     NULL, NULL, instance, NULL);
    if (!window->handle) {
        snprintf(reason, capacity, "CreateWindowExA failed with error %lu", GetLastError());
        return 0;
    }
    UpdateWindow(window->handle);
    ShowWindow(window->handle, SW_SHOWDEFAULT);
    return 1;
}

void window_take_device_context(host_window* window) {
    window->device_context = GetDC(window->handle);
}

void window_client_size(host_window* window, u32* width, u32* height) {
    RECT client = {0, 0, 0, 0};
    GetClientRect(window->handle, &client);
    *width = (u32)(client.right - client.left);
    *height = (u32)(client.bottom - client.top);
}

// Takes every queued message: the quit message clears running, every other
// one goes to input translation; all of them are dispatched. Then the
// controllers, which XInput gives as a state to poll rather than as messages.
// A first press of the letter with Alt held: a system key, never input, so
// the chord takes nothing from the module. Not dispatched either, so the
// system doesn't beep for a menu the window hasn't got.
static bool32 loop_chord(const MSG* message) {
    bool32 alt_held = (message->lParam >> 29) & 1;
    bool32 repeat = (message->lParam >> 30) & 1;
    return message->message == WM_SYSKEYDOWN && message->wParam == LOOP_CHORD_KEY && alt_held &&
           !repeat;
}

// Rewind's chords (chords.h): Alt with a key, a system key never input.
static rewind_key rewind_chord(const MSG* message) {
    if (message->message != WM_SYSKEYDOWN || !((message->lParam >> 29) & 1)) {
        return REWIND_KEY_COUNT;
    }
    switch (message->wParam) {
    case VK_LEFT: return REWIND_BACK;
    case VK_RIGHT: return REWIND_FORWARD;
    case VK_PRIOR: return REWIND_SECOND_BACK;
    case VK_NEXT: return REWIND_SECOND_FORWARD;
    case VK_HOME: return REWIND_OLDEST;
    case VK_END: return REWIND_NEWEST;
    case VK_RETURN: return REWIND_RESUME;
    case 'R': return REWIND_REPLAY;
    case 'S': return REWIND_SAVE;
    default: return REWIND_KEY_COUNT;
    }
}

// The chord that starts afresh with a build that waits (chords.h); a
// repeat of it is a system key too, taken and dropped.
static bool32 afresh_chord(const MSG* message) {
    return message->message == WM_SYSKEYDOWN && message->wParam == VK_BACK &&
           ((message->lParam >> 29) & 1);
}

u32 window_pump(host_window* window, input_state* input, u32 height, i32* running) {
    u32 chords = 0;
    MSG* message = &window->message;
    while (PeekMessageA(message, NULL, 0, 0, PM_REMOVE)) {
        if (message->message == WM_QUIT) {
            *running = 0;
        } else if (loop_chord(message)) {
            ++chords;
            continue;
        } else if (rewind_chord(message) != REWIND_KEY_COUNT) {
            chords_note(rewind_chord(message), (message->lParam >> 30) & 1);
            continue;
        } else if (afresh_chord(message)) {
            if (!((message->lParam >> 30) & 1)) {
                chords_note_afresh();
            }
            continue;
        } else {
            input_translate_message(input, message, height);
        }
        TranslateMessage(message);
        DispatchMessageA(message);
    }
    // The clock that stamps messages, so controller and key times compare.
    poll_xinput(input, (u32)GetTickCount());
    return chords;
}

void fill_bitmap_header(BITMAPINFO* header, const back_buffer* buffer) {
    ZeroMemory(header, sizeof(*header));
    if (!buffer->memory) {
        return;
    }
    header->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    header->bmiHeader.biWidth = (LONG)buffer->pitch;
    header->bmiHeader.biHeight = (LONG)buffer->height;
    header->bmiHeader.biPlanes = 1;
    header->bmiHeader.biBitCount = (WORD)(buffer->bytes_per_pixel * 8);
    header->bmiHeader.biCompression = BI_RGB;
}

void window_show(host_window* window, const back_buffer* buffer) {
    fill_bitmap_header(&window->header, buffer);
    int width = window->header.bmiHeader.biWidth;
    int height = window->header.bmiHeader.biHeight;
    StretchDIBits(window->device_context, 0, 0, width, height, 0, 0, width, height,
                  buffer->pixels, &window->header, DIB_RGB_COLORS, SRCCOPY);
}

void window_set_title(host_window* window, const char* title) {
    SetWindowTextA(window->handle, title);
}
