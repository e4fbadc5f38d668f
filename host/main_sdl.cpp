// The Linux host: the same start-up as on Windows with an SDL window (none
// when headless), then the portable frame loop.
#include "host/frame.h"
#include "host/window_sdl.h"
#include "platform/clock.h"
#include "platform/system.h"

#include <signal.h>
#include <stdio.h>

// The client area a 1080 x 720 window gives on Windows 10 and 11, so a
// module starts at the same size on both hosts.
#define WINDOW_CLIENT_WIDTH 1064
#define WINDOW_CLIENT_HEIGHT 681

int main(int argc, char** argv) {
    static host_state host;
    // A write to a pipe whose reader has gone (./engine 2>&1 | head -c 0)
    // fails and its message is dropped; it does not end the host.
    signal(SIGPIPE, SIG_IGN);
    bool32 headless = 0;
    if (!host_options_open(&host, argc - 1, argv + 1, &headless)) {
        return EXIT_BAD_COMMAND_LINE;
    }
    host_prepare(&host);
    // The working directory's line ends, so the module's first line is one
    // of its own (Windows' debugger takes each message whole).
    debug_print("\n");
    char reason[256] = "";
    host_window* window =
        headless ? nullptr
                 : window_open(WINDOW_CLIENT_WIDTH, WINDOW_CLIENT_HEIGHT, reason, sizeof(reason));
    if (!headless && !window) {
        fprintf(stderr, "Engine: can't open the window: %s\n", reason);
        return EXIT_NO_WINDOW;
    }
    clock_start();
    host_begin(&host, window);
    while (host.running) {
        host_frame(&host);
    }
    return loop_finish(&host.loop);
}
