#include "host/clock_win32.h"

#include <windows.h>

#include "base/fatal.h"

u64 counter_frequency;

void clock_start(void) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    counter_frequency = (u64)frequency.QuadPart;
}

i64 read_counter(void) {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return counter.QuadPart;
}

f32 elapsed_seconds(u64 start, u64 end) {
    fatal_assert((i32)(u32)(end >> 32) >= (i32)(u32)(start >> 32));
    u32 ticks = (u32)end - (u32)start;
    return (f32)ticks / (f32)(u32)counter_frequency;
}

f32 seconds_since(u64 start) { return elapsed_seconds(start, (u64)read_counter()); }
