#include <errno.h>
#include <time.h>

#include "host/os.h"
#include "platform/clock.h"

// How long before the deadline the sleep ends; the rest is measured out on
// the clock, so the kernel's wake-up latency never makes a frame late.
#define WAKE_EARLY_SECONDS 0.0005f

static struct timespec counter_to_timespec(i64 ticks) {
    struct timespec at;
    at.tv_sec = (time_t)(ticks / (i64)counter_frequency);
    at.tv_nsec = (long)((ticks % (i64)counter_frequency) * (1000000000 / (i64)counter_frequency));
    return at;
}

f32 wait_out_frame(i64 frame_start, f32 target_frame_seconds) {
    f32 frame_seconds = seconds_since((u64)frame_start);
    f32 remaining_seconds = target_frame_seconds - frame_seconds;
    if (remaining_seconds > WAKE_EARLY_SECONDS) {
        f32 sleep_seconds = target_frame_seconds - WAKE_EARLY_SECONDS;
        i64 wake = frame_start + (i64)(sleep_seconds * (f32)counter_frequency);
        struct timespec at = counter_to_timespec(wake);
        // Interrupted by a signal: sleep on to the same moment.
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, NULL) == EINTR) {
        }
    }
    while (remaining_seconds > 0.0f) {
        frame_seconds = seconds_since((u64)frame_start);
        remaining_seconds = target_frame_seconds - frame_seconds;
    }
    return frame_seconds;
}
