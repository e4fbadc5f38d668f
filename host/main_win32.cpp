// The host: start-up, the window procedure and the fixed-rate frame loop.
#include <windows.h>

#include "base/fatal.h"
#include "host/back_buffer_win32.h"
#include "host/clock_win32.h"
#include "host/fault_win32.h"
#include "host/module_win32.h"
#include "input/translate_win32.h"
#include "platform/services_win32.h"

#define DATA_DIRECTORY "../data"
#define WINDOW_CLASS_NAME "engine_window_application"
#define WINDOW_TITLE "Engine"
#define WINDOW_WIDTH 1080
#define WINDOW_HEIGHT 720
#define FRAMES_PER_SECOND 30.0f

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

static HWND create_window(HINSTANCE instance) {
    WNDCLASSEXA window_class = {};
    window_class.cbSize = sizeof(window_class);
    window_class.style = CS_OWNDC;
    window_class.lpfnWndProc = window_proc;
    window_class.hInstance = instance;
    window_class.lpszClassName = WINDOW_CLASS_NAME;
    fatal_assert(RegisterClassExA(&window_class) != 0);

    HWND window = CreateWindowExA(0, WINDOW_CLASS_NAME, WINDOW_TITLE, WS_OVERLAPPEDWINDOW,
                                  CW_USEDEFAULT, CW_USEDEFAULT, WINDOW_WIDTH, WINDOW_HEIGHT, NULL,
                                  NULL, instance, NULL);
    fatal_assert(window != NULL);
    return window;
}

// Takes every queued message: the quit message clears running, every other
// one goes to input translation; all of them are dispatched.
static void drain_messages(MSG* message, i32* running, input_state* input, u32 height) {
    while (PeekMessageA(message, NULL, 0, 0, PM_REMOVE)) {
        if (message->message == WM_QUIT) {
            *running = 0;
        } else {
            input_translate_message(input, message, height);
        }
        TranslateMessage(message);
        DispatchMessageA(message);
    }
}

// Sleeps in whole milliseconds and re-measures until target seconds have
// passed since frame_start; returns the frame's measured duration.
static f32 wait_out_frame(i64 frame_start, f32 target_frame_seconds) {
    f32 frame_seconds = seconds_since((u64)frame_start);
    f32 remaining_seconds = target_frame_seconds - frame_seconds;
    while (remaining_seconds > 0.0f) {
        Sleep((DWORD)(remaining_seconds * 1000.0f));
        frame_seconds = seconds_since((u64)frame_start);
        remaining_seconds = target_frame_seconds - frame_seconds;
    }
    return frame_seconds;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous_instance, LPSTR command_line,
                   int show_command) {
    (void)previous_instance;
    (void)command_line;
    (void)show_command;

    static platform_api services;
    static char working_directory[256];
    fill_platform_api(&services);

    set_working_directory(DATA_DIRECTORY);
    get_working_directory(working_directory, sizeof(working_directory));
    OutputDebugStringA(working_directory);

    HWND window = create_window(instance);
    UpdateWindow(window);
    ShowWindow(window, SW_SHOWDEFAULT);
    clock_start();
    timeBeginPeriod(1);
    HDC device_context = GetDC(window);

    static back_buffer buffer;
    static back_buffer buffer_copy;
    static BITMAPINFO header;
    static MSG message;
    static input_state input;
    static module_state module;
    static module_fault fault;
    i32 running = 1;
    i64 frame_start = 0;
    i64 previous_frame_start = 0;
    f32 frames_per_second = FRAMES_PER_SECOND;
    f32 target_frame_seconds = 1.0f / frames_per_second;
    f32 frame_seconds = 0.0f;

    fault_handling_start();
    poll_module(&module);
    ZeroMemory(&input, sizeof(input));

    while (running) {
        frame_start = read_counter();
        fit_back_buffer_to_window(&buffer, window, &header);
        input_begin_frame(&input, (u64)previous_frame_start, buffer.width, buffer.height);
        drain_messages(&message, &running, &input, buffer.height);
        input_end_frame(&input);
        poll_module(&module);
        buffer_copy = buffer;
        // A build that faults is not called again until a new one is loaded.
        call_module(&fault, &module, window, &running, &buffer_copy, &input, frame_seconds,
                    &services);
        // The blit; while a build is faulted, with a marker over its last image.
        show_back_buffer(&fault, &buffer, &header, device_context);
        frame_seconds = wait_out_frame(frame_start, target_frame_seconds);
        previous_frame_start = frame_start;
    }
    return 0;
}
