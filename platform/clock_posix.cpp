#include <fenv.h>
#include <time.h>

#include "platform/clock.h"

// 100-nanosecond ticks, the resolution Windows' counter reports, so both
// hosts convert the same spans the same way.
#define POSIX_TICKS_PER_SECOND 10000000ull

void clock_start(void) { counter_frequency = POSIX_TICKS_PER_SECOND; }

i64 read_counter(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (i64)now.tv_sec * (i64)POSIX_TICKS_PER_SECOND + now.tv_nsec / 100;
}

static fenv_t held_environment;

void float_exceptions_hold(void) { feholdexcept(&held_environment); }

void float_exceptions_release(void) { fesetenv(&held_environment); }
