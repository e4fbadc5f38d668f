// What keeping a module's whole state costs (engine/keep.h, ENGINE_KEEP_ALL),
// side by side with the same module built without it, through the host's
// own reload path: a reload of 1 MiB of globals and 64 MiB of heap in
// 100,000 allocations; the undo's work at a frame's start with nothing and
// with 1 MiB written, against memcpy of that; malloc and free, and C++'s
// new[] and delete[], from the module's code (the heap against the
// system's allocator); and the memory the tracking adds. Medians; printed figures, not a test.
//
// Usage, from a scratch data/ folder with build/ beside it:
//   whole_bench PLAIN_MODULE WHOLE_MODULE [reloads]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <utime.h>

#include <algorithm>
#include <string>
#include <vector>

#include "guard/build_name.h"
#include "guard/fault.h"
#include "guard/undo.h"
#include "carry/scan.h"
#include "carry/whole.h"
#include "host/reload.h"
#include "platform/clock.h"
#include "platform/heap.h"
#include "platform/memory.h"
#include "bench/carry/install.h"
#include "bench/host/timing.h"


static void frame(module_state* module, void* slot_value) {
    module_fault fault = {};
    module->slot = slot_value;
    back_buffer buffer = {};
    input_state* input = (input_state*)calloc(1, sizeof(input_state));
    i32 running = 1;
    platform_api services = {};
    undo_begin_frame(&module->slot);
    guarded_entry_call(&fault, module->running.entry, &running, &buffer, input, 0.0f, &services,
                       &module->slot);
    undo_commit();
    free(input);
}

typedef struct figures {
    double reload, reload_ahead, first_start, first_start_ahead, undo_quiet, undo_written,
        churn, churn_new;
    u64 shadow, heap;
} figures;


static figures measure(const std::string& path, u32 reloads, u32* stamp) {
    figures out = {};
    static module_state module;
    memset(&module, 0, sizeof(module));
    module_locate(&module);
    install(path, ++*stamp);
    poll_module(&module);
    if (!module.running.entry) {
        fprintf(stderr, "%s did not load: %s\n", path.c_str(), module.title);
        exit(1);
    }
    frame(&module, NULL);
    std::vector<double> reloads_ms, ahead_ms, starts, starts_ahead, quiet, written, churns,
        churns_new;
    // In turns: one reload reads every page, the next finds what it can read
    // ahead between the frames before it (as the host does while it waits).
    for (u32 i = 0; i < 2 * reloads; ++i) {
        bool ahead = i % 2 == 1;
        for (u32 frames = 0; ahead && frames < 200 && !scan_ahead_state().complete; ++frames) {
            if (whole_running(&module.whole)) {
                state_scan_ahead(&module.whole.layout, 3.0);
            }
            frame(&module, NULL);
        }
        install(path, ++*stamp);
        i64 a = read_counter();
        poll_module(&module);
        i64 b = read_counter();
        (ahead ? ahead_ms : reloads_ms).push_back(milliseconds(a, b));
        // The first start after it: what the reload wrote is taken in.
        undo_begin_frame(&module.slot);
        (ahead ? starts_ahead : starts).push_back(milliseconds(b, read_counter()));
        undo_commit();
        frame(&module, NULL);
    }
    for (u32 i = 0; i < 30; ++i) {
        frame(&module, (void*)(u64)(i >= 15));
        i64 a = read_counter();
        undo_begin_frame(&module.slot);
        i64 b = read_counter();
        undo_commit();
        (i >= 15 ? written : quiet).push_back(milliseconds(a, b));
    }
    typedef u64 churn_call(u32);
    churn_call* churn = (churn_call*)library_symbol(module.running.library, "churn");
    churn_call* churn_new = (churn_call*)library_symbol(module.running.library, "churn_new");
    // Taken in turns, so both see the same machine.
    for (u32 i = 0; i < 9; ++i) {
        i64 a = read_counter();
        churn(100);
        i64 b = read_counter();
        churn_new(100);
        churns.push_back(milliseconds(a, b));
        churns_new.push_back(milliseconds(b, read_counter()));
    }
    out.reload = median(reloads_ms);
    out.reload_ahead = median(ahead_ms);
    out.first_start = median(starts);
    out.first_start_ahead = median(starts_ahead);
    out.undo_quiet = median(quiet);
    out.undo_written = median(written);
    out.churn = median(churns);
    out.churn_new = median(churns_new);
    out.shadow = undo_state().shadow_touched;
    heap_counts heap = heap_state();
    out.heap = heap.used_bytes;
    module_fault fault = {};
    unload_build(&module, &module.running, &fault);
    return out;
}

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: whole_bench PLAIN_MODULE WHOLE_MODULE [reloads]\n");
        return 2;
    }
    u32 reloads = argc > 3 ? (u32)atoi(argv[3]) : 10;
    clock_start();
    fault_handling_start();
    undo_start(1);
    u32 stamp = 0;
    figures plain = measure(argv[1], reloads, &stamp);
    figures whole = measure(argv[2], reloads, &stamp);
    std::vector<u8> from(1 << 20, 1), to(1 << 20);
    std::vector<double> copies;
    for (u32 i = 0; i < 15; ++i) {
        i64 a = read_counter();
        memcpy(to.data(), from.data(), from.size());
        // Kept from being left out: the copy is read back.
        __asm__ volatile("" : : "r"(to.data()) : "memory");
        copies.push_back(milliseconds(a, read_counter()));
        from[i] = (u8)i;
    }
    printf("whole state, 1 MiB of globals, 64 MiB of heap in 100,000 allocations; medians (ms)\n");
    printf("%-26s %12s %12s %8s\n", "", "without", "whole state", "ratio");
    printf("%-26s %12.3f %12.3f %8.2f   (every page read)\n", "reload", plain.reload,
           whole.reload, whole.reload / plain.reload);
    printf("%-26s %12.3f %12.3f %8.2f   (pages read ahead between frames)\n", "reload, read ahead",
           plain.reload_ahead, whole.reload_ahead, whole.reload_ahead / plain.reload_ahead);
    printf("%-26s %12.3f %12.3f            (the undo's start after it; read ahead: %.3f)\n",
           "first start after", plain.first_start, whole.first_start, whole.first_start_ahead);
    printf("%-26s %12.3f %12.3f\n", "undo, nothing written", plain.undo_quiet, whole.undo_quiet);
    printf("%-26s %12.3f %12.3f   (memcpy of 1 MiB %.3f)\n", "undo, 1 MiB written",
           plain.undo_written, whole.undo_written, median(copies));
    printf("%-26s %12.3f %12.3f %8.2f   (module's malloc/free, 100,000 pairs; "
           "throughput ratio)\n", "malloc and free", plain.churn, whole.churn,
           plain.churn / whole.churn);
    printf("%-26s %12.3f %12.3f %8.2f   (the same through new[] and delete[])\n",
           "new[] and delete[]", plain.churn_new, whole.churn_new,
           plain.churn_new / whole.churn_new);
    printf("%-26s %12.2f %12.2f            (new[] and delete[] against malloc and free)\n",
           "  their time / malloc's", plain.churn_new / plain.churn, whole.churn_new / whole.churn);
    printf("%-26s %12.1f %12.1f   (MiB of the undo's shadows in use; the heap's slabs %.1f)\n",
           "memory tracked", plain.shadow / 1048576.0, whole.shadow / 1048576.0,
           whole.heap / 1048576.0);
    return 0;
}
