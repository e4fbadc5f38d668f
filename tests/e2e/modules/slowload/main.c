// A program that keeps its whole state and logs the seconds each frame is
// given. Builds 2 and 3 sleep as they load (a start-up routine of their
// own), so reloading them takes that long: where the host runs the reload
// shows in those seconds.
#include <stdio.h>

#include "engine/module.h"
#include "tests/e2e/modules/log.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <time.h>
#endif

ENGINE_KEEP_ALL;

#define SLOWLOAD_MILLISECONDS 250

static u64 frame;

#if SLOWLOAD_VERSION > 1
__attribute__((constructor)) static void load_slowly(void) {
#ifdef _WIN32
    Sleep(SLOWLOAD_MILLISECONDS);
#else
    struct timespec pause = {0, SLOWLOAD_MILLISECONDS * 1000000L};
    while (nanosleep(&pause, &pause) != 0) {
    }
#endif
}
#endif

ENTRY_EXPORT void entry(u64 zero_a, u64 zero_b, i32* running, back_buffer* buffer,
                        input_state* input, f32 frame_seconds, platform_api* services,
                        void** module_slot) {
    (void)zero_a, (void)zero_b, (void)running, (void)buffer, (void)input;
    (void)services, (void)module_slot;
    frame += 1;
    char line[96];
    append_log("frames.log", line,
               snprintf(line, sizeof(line), "v=%d frame=%llu seconds=%.4f\n", SLOWLOAD_VERSION,
                        (unsigned long long)frame, (double)frame_seconds));
}
