// What the fault guard costs: a trivial entry called directly and through
// guarded_entry_call, in alternating batches so that both see the same
// machine; and the time to recover from one access violation. Prints the
// medians over the batches and their ratio.
//
// Usage: fault_bench.exe [batches]
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <vector>

#include "guard/fault.h"
#include "platform/clock.h"
#include "bench/host/timing.h"

#define CALLS_PER_BATCH 100000
#define FAULTS_PER_BATCH 200

static volatile u64 sink;

static void trivial_entry(u64, u64, i32* running, back_buffer*, struct input_state*, f32,
                          struct platform_api*, void** slot) {
    sink += (u64)*running + (u64)slot;
}

static void faulting_entry(u64, u64, i32*, back_buffer*, struct input_state*, f32,
                           struct platform_api*, void**) {
    *(volatile int*)(u64)sink = 1;
}

static double seconds(i64 start, i64 end) {
    return (double)(end - start) / (double)counter_frequency;
}

int main(int argc, char** argv) {
    int batches = argc > 1 ? atoi(argv[1]) : 31;
    fault_handling_start();
    clock_start();
    i64 start, end;
    static module_fault fault;
    static input_state input;
    static back_buffer buffer;
    static platform_api services;
    void* slot = NULL;
    i32 running = 1;
    module_entry* volatile direct = trivial_entry;
    std::vector<double> plain, guarded, recovery;
    for (int batch = 0; batch < batches; ++batch) {
        start = read_counter();
        for (int i = 0; i < CALLS_PER_BATCH; ++i) {
            direct(0, 0, &running, &buffer, &input, 0.0f, &services, &slot);
        }
        end = read_counter();
        plain.push_back(seconds(start, end) / CALLS_PER_BATCH);

        start = read_counter();
        for (int i = 0; i < CALLS_PER_BATCH; ++i) {
            guarded_entry_call(&fault, direct, &running, &buffer, &input, 0.0f, &services, &slot);
        }
        end = read_counter();
        guarded.push_back(seconds(start, end) / CALLS_PER_BATCH);

        start = read_counter();
        for (int i = 0; i < FAULTS_PER_BATCH; ++i) {
            if (guarded_entry_call(&fault, faulting_entry, &running, &buffer, &input, 0.0f,
                                   &services, &slot)) {
                printf("a fault was not caught\n");
                return 1;
            }
        }
        end = read_counter();
        recovery.push_back(seconds(start, end) / FAULTS_PER_BATCH);
    }
    double plain_ns = 1e9 * median(plain);
    double guarded_ns = 1e9 * median(guarded);
    printf("%-40s %12s\n", "entry call (median of batches)", "per call");
    printf("%-40s %9.1f ns\n", "direct", plain_ns);
    printf("%-40s %9.1f ns\n", "through the fault guard", guarded_ns);
    printf("%-40s %9.1f ns  (ratio %.2f)\n", "guard's cost", guarded_ns - plain_ns,
           guarded_ns / plain_ns);
    printf("%-40s %9.4f %%\n", "guard's cost in a 1/30 s frame",
           100.0 * (guarded_ns - plain_ns) * 1e-9 * 30.0);
    printf("%-40s %9.1f us\n", "recovery from one access violation", 1e6 * median(recovery));
    return 0;
}
