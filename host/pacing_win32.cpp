#include <windows.h>

#include "host/os.h"
#include "platform/clock.h"

// Whole milliseconds, re-measured after every sleep: at the 1 ms timer
// resolution start-up asks for, Sleep(0) spins out the last fraction.
f32 wait_out_frame(i64 frame_start, f32 target_frame_seconds) {
    f32 frame_seconds = seconds_since((u64)frame_start);
    f32 remaining_seconds = target_frame_seconds - frame_seconds;
    while (remaining_seconds > 0.0f) {
        Sleep((DWORD)(remaining_seconds * 1000.0f));
        frame_seconds = seconds_since((u64)frame_start);
        remaining_seconds = target_frame_seconds - frame_seconds;
    }
    return frame_seconds;
}
