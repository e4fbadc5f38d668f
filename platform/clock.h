// The host clock: a monotonic tick counter and conversions to seconds. The
// frame loop, the input hold timers and the clock services (slots 17 and 18)
// all count in these ticks.
//
// Both hosts count 10,000,000 ticks per second or close to it (Windows: the
// performance counter; POSIX: CLOCK_MONOTONIC in 100-nanosecond steps), so
// the low 32 bits that elapsed_seconds uses cover spans of about seven minutes.
#ifndef PLATFORM_CLOCK_H
#define PLATFORM_CLOCK_H

#include "engine/base/types.h"

// Ticks per second, read once at start-up before the first conversion.
extern u64 counter_frequency;

// Reads the counter frequency into counter_frequency. Each system's own.
void clock_start(void);

// The current counter value. Each system's own.
i64 read_counter(void);

// Seconds from start to end, from the low 32 bits of both (so a span of 2^32
// ticks or more wraps). An end whose high half precedes the start's is a
// broken invariant.
f32 elapsed_seconds(u64 start, u64 end);

// elapsed_seconds(start, read_counter()).
f32 seconds_since(u64 start);

// Slot 17: the counter now, as read_counter gives it.
u64 get_counter(void);

// Slot 18: (end - start) as a 64-bit count, over the low 32 bits of the
// counter frequency. No check: an end before the start gives a very large
// result.
f32 seconds_between(u64 start, u64 end);

// Around the host's own arithmetic for the module, whose masks may trap:
// masks every floating-point exception and clears the flags, keeping the
// control state to put back. One hold at a time. Each system's own (MinGW's
// feholdexcept leaves the masks as they were).
void float_exceptions_hold(void);
void float_exceptions_release(void);

// Where a reload's time goes, for the benchmarks: only with ENGINE_PHASE_TIMES
// set in the environment (else each call only tests a flag).
// phase_begin(what) starts a line, phase_mark(name) gives the time since the
// last mark to name (a name marked again adds up), phase_end prints the
// line on standard error: "Engine times: reload 12.30 ms: unload 1.10, load
// 2.00, ...". The marks keep the pointers: names are literals.
// phase_skip() gives the time since the last mark to none: the line's total
// is what its marks were given.
void phase_begin(const char* what);
void phase_mark(const char* name);
void phase_skip(void);
void phase_end(void);

#endif
