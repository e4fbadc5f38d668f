// The formatter against snprintf on equivalent formats, in one process.
// Prints Google Benchmark's table, then each row's median time as a ratio
// (formatter / snprintf: below 1 means the formatter is faster).
#include "engine/base/format.h"
#include "bench/format/median_reporter.h"

#include <benchmark/benchmark.h>

#include <stdio.h>

#include <string>
#include <vector>

namespace {

struct bench_row {
    const char* name;
    const char* format;
    std::vector<format_arg> args;
    // The same line through snprintf.
    int (*reference)(char* out, size_t size);
};

const u64 BIG = 1234567890123ull;
const i64 NEGATIVE = -987654321;
const f32 FLOAT = 3.14159f;
const u32 HEX = 0xdeadbeef;

const std::vector<bench_row>& rows() {
    static const std::vector<bench_row> table = {
        {"integers", "% %", {format_arg_u64(BIG), format_arg_s64(NEGATIVE)},
         [](char* out, size_t size) {
             return snprintf(out, size, "%llu %lld", (unsigned long long)BIG, (long long)NEGATIVE);
         }},
        {"float", "%", {format_arg_f32(FLOAT)},
         [](char* out, size_t size) { return snprintf(out, size, "%3.3f", (double)FLOAT); }},
        {"hex", "%{hex32} %{hex8}", {format_arg_u32(HEX), format_arg_u32(HEX & 0xFF)},
         [](char* out, size_t size) { return snprintf(out, size, "%08x %02x", HEX, HEX & 0xFF); }},
        {"text_width", "[%{width:16}]", {format_arg_text("player one")},
         [](char* out, size_t size) { return snprintf(out, size, "[%-16.16s]", "player one"); }},
        {"mixed_line", "% id=% pos=% flags=%{hex8} name=%{width:10}|",
         {format_arg_text("entity"), format_arg_u64(48213), format_arg_f32(-12.75f),
          format_arg_u32(0x3c), format_arg_text("crate")},
         [](char* out, size_t size) {
             return snprintf(out, size, "%s id=%llu pos=%3.3f flags=%02x name=%-10.10s|", "entity",
                             48213ull, -12.75, 0x3cu, "crate");
         }},
    };
    return table;
}

void bm_format(benchmark::State& state, const bench_row* row) {
    char out[256];
    for (auto _ : state) {
        u64 n = format_text_args(out, row->format, row->args.data(), (u32)row->args.size());
        benchmark::DoNotOptimize(n);
        benchmark::DoNotOptimize(out);
    }
}

void bm_format_bounded(benchmark::State& state, const bench_row* row) {
    char out[256];
    for (auto _ : state) {
        u64 n = format_text_bounded(out, sizeof out, row->format, row->args.data(),
                                    (u32)row->args.size());
        benchmark::DoNotOptimize(n);
        benchmark::DoNotOptimize(out);
    }
}

void bm_snprintf(benchmark::State& state, const bench_row* row) {
    char out[256];
    for (auto _ : state) {
        int n = row->reference(out, sizeof out);
        benchmark::DoNotOptimize(n);
        benchmark::DoNotOptimize(out);
    }
}

}  // namespace

int main(int argc, char** argv) {
    // The formatter first must print what snprintf prints.
    for (const bench_row& row : rows()) {
        char ours[256];
        char theirs[256];
        format_text_args(ours, row.format, row.args.data(), (u32)row.args.size());
        row.reference(theirs, sizeof theirs);
        if (std::string(ours) != theirs) {
            fprintf(stderr, "%s: formatter '%s' but snprintf '%s'\n", row.name, ours, theirs);
            return 1;
        }
    }
    for (const bench_row& row : rows()) {
        std::string name = row.name;
        benchmark::RegisterBenchmark(("format/" + name).c_str(), bm_format, &row)
            ->Repetitions(5)->ReportAggregatesOnly(true);
        benchmark::RegisterBenchmark(("bounded/" + name).c_str(), bm_format_bounded, &row)
            ->Repetitions(5)->ReportAggregatesOnly(true);
        benchmark::RegisterBenchmark(("snprintf/" + name).c_str(), bm_snprintf, &row)
            ->Repetitions(5)->ReportAggregatesOnly(true);
    }
    benchmark::Initialize(&argc, argv);
    median_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    printf("\n%-12s %12s %12s %12s %10s %10s\n", "row", "format ns", "bounded ns", "snprintf ns",
           "format/sn", "bounded/sn");
    for (const bench_row& row : rows()) {
        std::string name = row.name;
        double ours = reporter.medians["format/" + name];
        double bounded = reporter.medians["bounded/" + name];
        double theirs = reporter.medians["snprintf/" + name];
        if (theirs <= 0) continue;
        printf("%-12s %12.1f %12.1f %12.1f %10.2f %10.2f\n", row.name, ours, bounded, theirs,
               ours / theirs, bounded / theirs);
    }
    return 0;
}
