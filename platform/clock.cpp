#include "platform/clock.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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

#define PHASES 24

typedef struct phase_line {
    const char* what;
    const char* names[PHASES];
    f64 milliseconds[PHASES];
    u32 count;
    i64 last;
} phase_line;

static phase_line phases;
static int phases_on = -1;  // not yet looked up

static bool32 phases_wanted(void) {
    if (phases_on < 0) {
        const char* set = getenv("ENGINE_PHASE_TIMES");
        phases_on = set && set[0] ? 1 : 0;
    }
    return phases_on;
}

static f64 ticks_ms(i64 ticks) {
    return counter_frequency ? (f64)ticks * 1000.0 / (f64)counter_frequency : 0.0;
}

void phase_begin(const char* what) {
    if (!phases_wanted()) {
        return;
    }
    memset(&phases, 0, sizeof(phases));
    phases.what = what;
    phases.last = read_counter();
}

void phase_mark(const char* name) {
    if (!phases_wanted() || !phases.what) {
        return;
    }
    i64 now = read_counter();
    u32 at = 0;
    while (at < phases.count && strcmp(phases.names[at], name) != 0) {
        ++at;
    }
    if (at == phases.count && phases.count < PHASES) {
        phases.names[phases.count++] = name;
    }
    if (at < phases.count) {
        phases.milliseconds[at] += ticks_ms(now - phases.last);
    }
    phases.last = now;
}

void phase_skip(void) {
    if (!phases_wanted() || !phases.what) {
        return;
    }
    phases.last = read_counter();
}

void phase_end(void) {
    if (!phases_wanted() || !phases.what) {
        return;
    }
    f64 total = 0.0;
    for (u32 i = 0; i < phases.count; ++i) {
        total += phases.milliseconds[i];
    }
    char line[1024];
    int at = snprintf(line, sizeof(line), "Engine times: %s %.2f ms:", phases.what, total);
    for (u32 i = 0; i < phases.count && at > 0 && (u64)at < sizeof(line); ++i) {
        at += snprintf(line + at, sizeof(line) - (u64)at, "%s %s %.2f", i ? "," : "",
                       phases.names[i], phases.milliseconds[i]);
    }
    fprintf(stderr, "%s\n", line);
    phases.what = NULL;
}
