// The number printers against snprintf and std::to_chars, the parsers
// against strtoll/strtoul/strtof, on 1024 varied values per row. Prints
// Google Benchmark's table, then each row's median time per call and the
// ratios (ours / reference: below 1 means ours is faster).
#include "engine/base/number.h"
#include "bench/format/median_reporter.h"

#include <benchmark/benchmark.h>

#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>

#include <charconv>
#include <string>
#include <vector>

namespace {

const int COUNT = 1024;

struct values {
    u64 u[COUNT];
    f32 f[COUNT];
    char ints[COUNT][24];
    char floats[COUNT][24];
};

const values& sample() {
    static values v = [] {
        values s;
        u64 x = 0x9E3779B97F4A7C15ull;
        for (int i = 0; i < COUNT; ++i) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            // Every length from one digit up, not only huge numbers.
            s.u[i] = x >> (x % 64);
            s.f[i] = (f32)(i64)(x % 2000001 - 1000000) / 64.0f;
            snprintf(s.ints[i], sizeof s.ints[i], "%" PRId64, (i64)(i32)(u32)s.u[i]);
            snprintf(s.floats[i], sizeof s.floats[i], "%.3f", (double)s.f[i]);
        }
        return s;
    }();
    return v;
}

// One benchmark body: calls `op` on every sample value in turn.
template <typename Op>
void run_rows(benchmark::State& state, Op op) {
    char out[64];
    int i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(op(out, i));
        benchmark::ClobberMemory();
        i = (i + 1) & (COUNT - 1);
    }
}

struct row {
    const char* name;
    void (*ours)(benchmark::State&);
    void (*snprintf_or_strto)(benchmark::State&);
    void (*to_chars)(benchmark::State&);  // null when there is none to compare
};

#define BODY(expr) [](benchmark::State& st) { run_rows(st, [](char* out, int i) { \
    const values& v = sample(); (void)v; (void)out; return expr; }); }

const std::vector<row>& rows() {
    static const std::vector<row> table = {
        {"print_u32", BODY(print_u32(out, (u32)v.u[i])),
         BODY(snprintf(out, 64, "%" PRIu32, (u32)v.u[i])),
         BODY(std::to_chars(out, out + 64, (u32)v.u[i]).ptr)},
        {"print_u64", BODY(print_u64(out, v.u[i])),
         BODY(snprintf(out, 64, "%" PRIu64, v.u[i])),
         BODY(std::to_chars(out, out + 64, v.u[i]).ptr)},
        {"print_s64", BODY(print_s64(out, (i64)v.u[i])),
         BODY(snprintf(out, 64, "%" PRId64, (i64)v.u[i])),
         BODY(std::to_chars(out, out + 64, (i64)v.u[i]).ptr)},
        {"print_s32", BODY(print_s32(out, (i32)(u32)v.u[i])),
         BODY(snprintf(out, 64, "%" PRId32, (i32)(u32)v.u[i])),
         BODY(std::to_chars(out, out + 64, (i32)(u32)v.u[i]).ptr)},
        {"print_f32", BODY(print_f32(out, v.f[i])),
         BODY(snprintf(out, 64, "%3.3f", (double)v.f[i])),
         BODY(std::to_chars(out, out + 64, (double)v.f[i], std::chars_format::fixed, 3).ptr)},
        {"print_hex32", BODY(print_hex32(out, (u32)v.u[i])),
         BODY(snprintf(out, 64, "%08" PRIx32, (u32)v.u[i])),
         BODY(std::to_chars(out, out + 64, (u32)v.u[i], 16).ptr)},
        {"print_hex8", BODY(print_hex8(out, (u32)v.u[i] & 0xFF)),
         BODY(snprintf(out, 64, "%02" PRIx32, (u32)v.u[i] & 0xFF)),
         BODY(std::to_chars(out, out + 64, (u32)v.u[i] & 0xFF, 16).ptr)},
        {"print_bin8", BODY(print_bin8(out, (u32)v.u[i])), nullptr,
         BODY(std::to_chars(out, out + 64, (u32)v.u[i] & 0xFF, 2).ptr)},
        {"parse_s64", BODY([&] { i64 r; parse_s64(v.ints[i], &r); return r; }()),
         BODY(strtoll(v.ints[i], nullptr, 10)), nullptr},
        {"parse_u32", BODY([&] { u32 r; parse_u32(v.ints[i], &r); return r; }()),
         BODY(strtoul(v.ints[i], nullptr, 10)), nullptr},
        {"parse_f32", BODY([&] { f32 r; parse_f32(v.floats[i], &r); return r; }()),
         BODY(strtof(v.floats[i], nullptr)), nullptr},
    };
    return table;
}

}  // namespace

int main(int argc, char** argv) {
    for (const row& r : rows()) {
        std::string name = r.name;
        benchmark::RegisterBenchmark(("ours/" + name).c_str(), r.ours)
            ->Repetitions(5)->ReportAggregatesOnly(true);
        if (r.snprintf_or_strto) {
            benchmark::RegisterBenchmark(("libc/" + name).c_str(), r.snprintf_or_strto)
                ->Repetitions(5)->ReportAggregatesOnly(true);
        }
        if (r.to_chars) {
            benchmark::RegisterBenchmark(("to_chars/" + name).c_str(), r.to_chars)
                ->Repetitions(5)->ReportAggregatesOnly(true);
        }
    }
    benchmark::Initialize(&argc, argv);
    median_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    // libc is snprintf with the printer's own format, or strtoll/strtoul/strtof.
    printf("\n%-12s %9s %9s %11s %9s %12s\n", "row", "ours ns", "libc ns", "to_chars ns",
           "ours/libc", "ours/to_chars");
    for (const row& r : rows()) {
        std::string name = r.name;
        double ours = reporter.medians["ours/" + name];
        double libc = reporter.medians["libc/" + name];
        double chars = reporter.medians["to_chars/" + name];
        printf("%-12s %9.1f %9.1f %11.1f %9.2f %12.2f\n", r.name, ours, libc, chars,
               libc > 0 ? ours / libc : 0.0, chars > 0 ? ours / chars : 0.0);
    }
    return 0;
}
