// The Windows host: start-up in its fixed order (no window when
// headless), then the portable frame loop.
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#include "host/frame.h"
#include "host/window_win32.h"
#include "platform/clock.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous_instance, LPSTR command_line,
                   int show_command) {
    (void)previous_instance;
    (void)command_line;
    (void)show_command;

    static host_state host;
    static host_window window;
    bool32 headless = 0;
    if (!host_options_open(&host, __argc - 1, __argv + 1, &headless)) {
        return EXIT_BAD_COMMAND_LINE;
    }
    host_prepare(&host);
    char reason[256] = "";
    if (!headless && !window_open(&window, instance, reason, sizeof(reason))) {
        char line[320];
        snprintf(line, sizeof(line), "Engine: can't open the window: %s\n", reason);
        OutputDebugStringA(line);
        fputs(line, stderr);
        return EXIT_NO_WINDOW;
    }
    clock_start();
    timeBeginPeriod(1);
    if (!headless) {
        window_take_device_context(&window);
    }
    host_begin(&host, headless ? NULL : &window);
    while (host.running) {
        host_frame(&host);
    }
    return loop_finish(&host.loop);
}
