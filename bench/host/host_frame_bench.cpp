// The host's own frames on a real window of the default size, through the
// same frame function the host runs: its work per frame (everything but the
// module call and the wait), the blit and the module poll within it, and the
// frame period's deviation from 1/30 s. Prints medians and 99th percentiles.
//
// Usage: host_frame_bench [frames]   (run from a data/ directory whose
// ../build/main.dll or main.so exists, so the poll reads a real file's stamp)
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <vector>

#include "bench/host/timing.h"
#include "host/frame.h"
#include "platform/clock.h"
#ifdef _WIN32
#include "host/window_win32.h"
#else
#include "host/window_sdl.h"
#endif

static double percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    size_t at = (size_t)(fraction * (double)(values.size() - 1) + 0.5);
    return values[at];
}

static host_window* open_window(void) {
#ifdef _WIN32
    static host_window window;
    char reason[256];
    if (!window_open(&window, GetModuleHandleA(NULL), reason, sizeof(reason))) {
        fprintf(stderr, "can't open the window: %s\n", reason);
        exit(1);
    }
    timeBeginPeriod(1);
    window_take_device_context(&window);
    return &window;
#else
    char reason[256];
    return window_open(1064, 681, reason, sizeof(reason));
#endif
}

static void print_row(const char* name, const std::vector<double>& values) {
    printf("  %-34s median %8.3f ms   p99 %8.3f ms   max %8.3f ms\n", name,
           percentile(values, 0.5), percentile(values, 0.99), percentile(values, 1.0));
}

int main(int argc, char** argv) {
    int frames = argc > 1 ? atoi(argv[1]) : 600;
    static host_state host;
    host.undo = 1;  // as the host runs without --no-undo
    host_prepare(&host);
    host_window* window = open_window();
    clock_start();
    host_begin(&host, window);
    std::vector<double> work, show, poll, pump, call, deviation;
    i64 previous_start = 0;
    for (int frame = 0; frame < frames && host.running; ++frame) {
        host_frame(&host);
        const i64* m = host.marks;
        work.push_back(milliseconds(m[MARK_START], m[MARK_CALL]) +
                       milliseconds(m[MARK_SHOW], m[MARK_WAIT]));
        show.push_back(milliseconds(m[MARK_SHOW], m[MARK_WAIT]));
        poll.push_back(milliseconds(m[MARK_POLL], m[MARK_CALL]));
        pump.push_back(milliseconds(m[MARK_START], m[MARK_POLL]));
        call.push_back(milliseconds(m[MARK_CALL], m[MARK_SHOW]));
        if (previous_start) {
            double period = milliseconds(previous_start, m[MARK_START]);
            deviation.push_back(period > 1000.0 / 30.0 ? period - 1000.0 / 30.0
                                                        : 1000.0 / 30.0 - period);
        }
        previous_start = m[MARK_START];
    }
#ifdef _WIN32
    const char* blit = "StretchDIBits";
#else
    const char* blit = window->blit == WINDOW_BLIT_SHARED ? "XShmPutImage" : "SDL surface";
#endif
    printf("host frames at %ux%u, %d frames (module %s, blit through %s):\n",
           host.buffer.width, host.buffer.height, frames,
           host.module.running.library ? "loaded" : "absent", blit);
    print_row("host work per frame", work);
    print_row("  fit, input and pump", pump);
    print_row("  module poll", poll);
    print_row("  blit", show);
    print_row("period deviation from 1/30 s", deviation);
    print_row("module call (not host work)", call);
    return 0;
}
