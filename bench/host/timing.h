// What the host's benchmarks measure with: counter spans in milliseconds
// and the median of a run's figures.
#ifndef BENCH_HOST_TIMING_H
#define BENCH_HOST_TIMING_H

#include <algorithm>
#include <vector>

#include "platform/clock.h"

static inline double milliseconds(i64 start, i64 end) {
    return (double)(end - start) * 1000.0 / (double)counter_frequency;
}

static inline double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

#endif
