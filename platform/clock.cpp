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

f32 seconds_between(u64 start, u64 end) {
    return (f32)(end - start) / (f32)(u32)counter_frequency;
}
