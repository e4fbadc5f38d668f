#include <float.h>
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

static unsigned int held_control;

void float_exceptions_hold(void) {
    held_control = _control87(0, 0);
    _clearfp();
    _control87(_MCW_EM, _MCW_EM);
}

void float_exceptions_release(void) {
    _clearfp();
    _control87(held_control, _MCW_EM);
}
