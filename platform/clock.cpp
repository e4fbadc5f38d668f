#include "platform/clock.h"

#include "engine/base/fatal.h"

u64 counter_frequency;

f32 elapsed_seconds(u64 start, u64 end) {
    fatal_assert((i32)(u32)(end >> 32) >= (i32)(u32)(start >> 32));
    u32 ticks = (u32)end - (u32)start;
    return (f32)ticks / (f32)(u32)counter_frequency;
}

f32 seconds_since(u64 start) { return elapsed_seconds(start, (u64)read_counter()); }

u64 get_counter(void) { return (u64)read_counter(); }

// The conversion is all but always inexact: a module that unmasked that
// exception (or any other) must not trap inside the host. Its floating-point
// masks are held for the computation and put back.
f32 seconds_between(u64 start, u64 end) {
    float_exceptions_hold();
    // Volatile keeps the arithmetic between the two calls: compilers
    // otherwise take the environment to be the default one and move it.
    volatile u64 ticks = end - start;
    volatile u32 frequency = (u32)counter_frequency;
    volatile f32 seconds = (f32)ticks / (f32)frequency;
    float_exceptions_release();
    return seconds;
}
