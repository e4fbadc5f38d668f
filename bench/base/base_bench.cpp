// fast_fill against memset, copy_bytes against memcpy, and text_length and
// text_hash in bytes per second (strlen beside them). Each pair runs on the
// same buffers in the same process, so their ratio survives a noisy machine.
#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <string.h>

#include "engine/base/memory.h"
#include "engine/base/text.h"

namespace {

// 64 bytes to 16 MiB, by powers of four.
void sizes(benchmark::internal::Benchmark* b) {
    for (long size = 64; size <= (16l << 20); size *= 4) b->Arg(size);
}

struct buffers {
    u8* a;
    u8* b;
    explicit buffers(size_t size) {
        a = (u8*)aligned_alloc(64, size + 64);
        b = (u8*)aligned_alloc(64, size + 64);
        memset(a, 1, size + 64);
        memset(b, 2, size + 64);
    }
    ~buffers() {
        free(a);
        free(b);
    }
};

void finish(benchmark::State& state) {
    state.SetBytesProcessed((int64_t)state.iterations() * state.range(0));
}

void fill_fast(benchmark::State& state, size_t offset) {
    size_t size = (size_t)state.range(0);
    buffers buf(size);
    for (auto _ : state) {
        fast_fill(buf.a + offset, 0x5A, size);
        benchmark::DoNotOptimize(buf.a);
        benchmark::ClobberMemory();
    }
    finish(state);
}

void fill_memset(benchmark::State& state, size_t offset) {
    size_t size = (size_t)state.range(0);
    buffers buf(size);
    for (auto _ : state) {
        memset(buf.a + offset, 0x5A, size);
        benchmark::DoNotOptimize(buf.a);
        benchmark::ClobberMemory();
    }
    finish(state);
}

void copy_own(benchmark::State& state) {
    size_t size = (size_t)state.range(0);
    buffers buf(size);
    for (auto _ : state) {
        copy_bytes(buf.a, buf.b, size);
        benchmark::DoNotOptimize(buf.a);
        benchmark::ClobberMemory();
    }
    finish(state);
}

void copy_memcpy(benchmark::State& state) {
    size_t size = (size_t)state.range(0);
    buffers buf(size);
    for (auto _ : state) {
        memcpy(buf.a, buf.b, size);
        benchmark::DoNotOptimize(buf.a);
        benchmark::ClobberMemory();
    }
    finish(state);
}

// Printable text of the given length, terminated.
char* make_text(size_t size) {
    char* text = (char*)malloc(size + 1);
    for (size_t i = 0; i < size; ++i) text[i] = (char)(' ' + i * 7 % 90);
    text[size] = 0;
    return text;
}

template <typename Measure>
void text_bench(benchmark::State& state, Measure measure) {
    size_t size = (size_t)state.range(0);
    char* text = make_text(size);
    for (auto _ : state) {
        benchmark::DoNotOptimize(text);
        benchmark::DoNotOptimize(measure(text));
    }
    finish(state);
    free(text);
}

void length_own(benchmark::State& state) { text_bench(state, text_length); }
void length_strlen(benchmark::State& state) { text_bench(state, strlen); }
void hash_own(benchmark::State& state) { text_bench(state, text_hash); }

}  // namespace

BENCHMARK_CAPTURE(fill_fast, aligned, 0)->Apply(sizes);
BENCHMARK_CAPTURE(fill_memset, aligned, 0)->Apply(sizes);
BENCHMARK_CAPTURE(fill_fast, offset_3, 3)->Apply(sizes);
BENCHMARK_CAPTURE(fill_memset, offset_3, 3)->Apply(sizes);
BENCHMARK(copy_own)->Apply(sizes);
BENCHMARK(copy_memcpy)->Apply(sizes);
BENCHMARK(length_own)->Arg(16)->Arg(256)->Arg(4096)->Arg(65536);
BENCHMARK(length_strlen)->Arg(16)->Arg(256)->Arg(4096)->Arg(65536);
BENCHMARK(hash_own)->Arg(16)->Arg(256)->Arg(4096)->Arg(65536);

BENCHMARK_MAIN();
