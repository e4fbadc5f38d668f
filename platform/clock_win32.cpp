#include <windows.h>

#include "platform/clock.h"

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
