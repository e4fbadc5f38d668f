// The host's own work per frame, without the module call and the wait: fit
// the back buffer, begin input, drain messages, end input, poll the module
// file, copy the record and blit, on a real window of the default size.
// Frames are paced at 30 per second as in the host, so the window system
// sees the same traffic. Prints the median and 99th percentile.
//
// Usage: host_frame_bench.exe [frames]   (run from a data/ directory whose
// ..\build\main.dll exists, so the poll reads a real file's stamp)
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <vector>

#include "host/back_buffer_win32.h"
#include "host/clock_win32.h"
#include "host/module_win32.h"
#include "input/translate_win32.h"

static LRESULT CALLBACK bench_window_proc(HWND window, UINT message, WPARAM wparam,
                                          LPARAM lparam) {
    if (message == WM_CLOSE || message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

static HWND open_window(void) {
    WNDCLASSEXA window_class = {};
    window_class.cbSize = sizeof(window_class);
    window_class.style = CS_OWNDC;
    window_class.lpfnWndProc = bench_window_proc;
    window_class.hInstance = GetModuleHandleA(NULL);
    window_class.lpszClassName = "engine_frame_bench";
    RegisterClassExA(&window_class);
    HWND window = CreateWindowExA(0, "engine_frame_bench", "Engine frame bench",
                                  WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 1080, 720,
                                  NULL, NULL, window_class.hInstance, NULL);
    ShowWindow(window, SW_SHOWDEFAULT);
    return window;
}

static double percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    size_t at = (size_t)(fraction * (double)(values.size() - 1) + 0.5);
    return values[at];
}

int main(int argc, char** argv) {
    int frames = argc > 1 ? atoi(argv[1]) : 600;
    HWND window = open_window();
    clock_start();
    timeBeginPeriod(1);
    HDC device_context = GetDC(window);

    static back_buffer buffer;
    static back_buffer buffer_copy;
    static BITMAPINFO header;
    static MSG message;
    static input_state input;
    static module_state module;
    poll_module(&module);
    u64 previous_frame_start = 0;
    std::vector<double> host_ms;
    std::vector<double> blit_ms;
    std::vector<double> poll_ms;
    for (int frame = 0; frame < frames; ++frame) {
        u64 frame_start = read_counter();
        fit_back_buffer_to_window(&buffer, window, &header);
        input_begin_frame(&input, previous_frame_start, buffer.width, buffer.height);
        while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE)) {
            input_translate_message(&input, &message, buffer.height);
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        input_end_frame(&input);
        u64 poll_start = read_counter();
        poll_module(&module);
        poll_ms.push_back(1000.0 * seconds_since(poll_start));
        buffer_copy = buffer;
        u64 blit_start = read_counter();
        blit_back_buffer(&buffer, &header, device_context);
        host_ms.push_back(1000.0 * seconds_since(frame_start));
        blit_ms.push_back(1000.0 * seconds_since(blit_start));
        while (seconds_since(frame_start) < 1.0f / 30.0f) {
            Sleep(1);
        }
        previous_frame_start = frame_start;
    }
    printf("host work per frame at %ux%u over %d frames: median %.3f ms, p99 %.3f ms, "
           "max %.3f ms (module %s); of which the blit: median %.3f ms, p99 %.3f ms; "
           "the module poll: median %.3f ms, p99 %.3f ms\n",
           buffer.width, buffer.height, frames, percentile(host_ms, 0.5),
           percentile(host_ms, 0.99), percentile(host_ms, 1.0),
           module.handle ? "loaded" : "absent", percentile(blit_ms, 0.5),
           percentile(blit_ms, 0.99), percentile(poll_ms, 0.5), percentile(poll_ms, 0.99));
    return 0;
}
