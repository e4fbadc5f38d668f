// Timing a service against the bare system calls doing the same work, for
// the services benchmarks of both systems. Each case runs in rounds, the
// service's and the reference's interleaved (the order swapped every round)
// so that a noisy machine slows both alike. A row shows the median time of
// each and the median of the per-round ratios, with the 10th and 90th
// percentiles of those ratios as a measure of the noise.
//
// Both systems' benchmarks print the same rows under the same names, so
// bench/platform/side_by_side.py can set them next to each other.
#ifndef BENCH_PLATFORM_ROUNDS_H
#define BENCH_PLATFORM_ROUNDS_H

#include <stdio.h>

#include <algorithm>
#include <vector>

#include "platform/clock.h"

// One operation; i counts the calls within a round, for varying offsets.
typedef void bench_operation(u32 i);

typedef struct bench_case {
    const char* name;
    bench_operation* service;
    bench_operation* reference;
    u32 per_round;  // operations per timed round
} bench_case;

static inline double bench_percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    size_t at = (size_t)(fraction * (double)(values.size() - 1) + 0.5);
    return values[at];
}

// Microseconds per operation over one round.
static inline double bench_round_micros(bench_operation* run, u32 count) {
    i64 start = read_counter();
    for (u32 i = 0; i < count; ++i) {
        run(i);
    }
    i64 end = read_counter();
    return (double)(end - start) * 1e6 / (double)counter_frequency / (double)count;
}

static inline void bench_print_header(const char* system, int rounds) {
    printf("%s: median of %d rounds, us per operation\n", system, rounds);
    printf("%-40s %10s %10s %7s %15s\n", "operation", "service", "bare", "ratio",
           "ratio p10-p90");
}

static inline void bench_compare(const bench_case* c, int rounds) {
    std::vector<double> service, reference, ratio;
    // One untimed round of each first: caches, page tables, lazy bindings.
    bench_round_micros(c->service, c->per_round);
    bench_round_micros(c->reference, c->per_round);
    for (int r = 0; r < rounds; ++r) {
        double s, b;
        if (r % 2 == 0) {
            s = bench_round_micros(c->service, c->per_round);
            b = bench_round_micros(c->reference, c->per_round);
        } else {
            b = bench_round_micros(c->reference, c->per_round);
            s = bench_round_micros(c->service, c->per_round);
        }
        service.push_back(s);
        reference.push_back(b);
        ratio.push_back(s / b);
    }
    printf("%-40s %10.3f %10.3f %7.2f %7.2f-%-7.2f\n", c->name, bench_percentile(service, 0.5),
           bench_percentile(reference, 0.5), bench_percentile(ratio, 0.5),
           bench_percentile(ratio, 0.1), bench_percentile(ratio, 0.9));
    fflush(stdout);
}

#endif
