// A console reporter that also keeps each benchmark's median real time, so
// that a benchmark can print ratios against a reference measured in the same
// process (the machines are shared and noisy; ratios travel better).
#ifndef BENCH_FORMAT_MEDIAN_REPORTER_H
#define BENCH_FORMAT_MEDIAN_REPORTER_H

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

struct median_reporter : benchmark::ConsoleReporter {
    std::map<std::string, double> medians;  // by benchmark name, in ns
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                medians[run.run_name.function_name] = run.GetAdjustedRealTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

#endif
