// The Windows host: start-up in the specified order, then the portable frame
// loop.
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
    host_prepare(&host);
    window_open(&window, instance);
    clock_start();
    timeBeginPeriod(1);
    window_take_device_context(&window);
    host_begin(&host, &window);
    while (host.running) {
        host_frame(&host);
    }
    return 0;
}
