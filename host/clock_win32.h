// The host clock: the performance counter and conversions to seconds.
// The frame loop, the input hold timers and the clock services use it.
#ifndef HOST_CLOCK_WIN32_H
#define HOST_CLOCK_WIN32_H

#include "base/types.h"

// Ticks per second, read once at start-up before the first conversion.
extern u64 counter_frequency;

// Reads the counter frequency into counter_frequency.
void clock_start(void);

// The current performance-counter value.
i64 read_counter(void);

// Seconds from start to end, from the low 32 bits of both (so a span of 2^32
// ticks or more wraps). An end whose high half precedes the start's is a
// broken invariant.
f32 elapsed_seconds(u64 start, u64 end);

// elapsed_seconds(start, read_counter()).
f32 seconds_since(u64 start);

#endif
