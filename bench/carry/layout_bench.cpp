// What converting a changed layout costs a reload: a module with 100,000
// heap objects in a list, reloaded by builds of one layout (nothing to
// convert) and by builds that insert a member in the middle of the
// objects' type and take it out again (every object converted, every
// pointer to one moved), through the host's own reload path; and the part
// of a reload that looks for changed types (both builds' types read and
// compared). Medians; printed figures, not a test.
//
// Usage, from a scratch data/ folder with build/ beside it:
//   layout_bench BUILD_1 BUILD_2 BUILD_3 [rounds]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <utime.h>

#include <string>
#include <vector>

#include "carry/layout.h"
#include "carry/types.h"
#include "guard/build_name.h"
#include "guard/fault.h"
#include "guard/undo.h"
#include "host/reload.h"
#include "platform/clock.h"
#include "bench/carry/install.h"
#include "bench/host/timing.h"

static void frame(module_state* module) {
    module_fault fault = {};
    back_buffer buffer = {};
    static input_state input;
    i32 running = 1;
    platform_api services = {};
    undo_begin_frame(&module->slot);
    guarded_entry_call(&fault, module->running.entry, &running, &buffer, &input, 0.0f, &services,
                       &module->slot);
    undo_commit();
}

static u64 checked(module_state* module) {
    typedef u64 check_call(void);
    check_call* check = (check_call*)library_symbol(module->running.library, "check");
    return check ? check() : 0;
}

// One reload to path: its milliseconds; the objects' sum must hold.
static double reload(module_state* module, const std::string& path, u32* stamp, u64 expected) {
    install(path, ++*stamp);
    i64 a = read_counter();
    poll_module(module);
    i64 b = read_counter();
    frame(module);
    u64 sum = checked(module);
    if (sum != expected) {
        fprintf(stderr, "%s: the objects' sum is %llu, not %llu (%s)\n", path.c_str(),
                (unsigned long long)sum, (unsigned long long)expected, module->title);
        exit(1);
    }
    return milliseconds(a, b);
}

int main(int argc, char** argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: layout_bench BUILD_1 BUILD_2 BUILD_3 [rounds]\n");
        return 2;
    }
    u32 rounds = argc > 4 ? (u32)atoi(argv[4]) : 9;
    clock_start();
    fault_handling_start();
    undo_start(1);
    static module_state module;
    module_locate(&module);
    u32 stamp = 0;
    install(argv[1], ++stamp);
    poll_module(&module);
    if (!module.running.entry) {
        fprintf(stderr, "%s did not load: %s\n", argv[1], module.title);
        return 1;
    }
    frame(&module);
    u64 expected = checked(&module);
    std::vector<double> same, converted;
    for (u32 i = 0; i < rounds; ++i) {
        // Taken in turns, so both see the same machine.
        same.push_back(reload(&module, argv[3], &stamp, expected));
        converted.push_back(reload(&module, argv[2], &stamp, expected));
        converted.push_back(reload(&module, argv[1], &stamp, expected));
    }
    printf("last note: %s\n", module.kept_note);
    std::vector<double> search;
    for (u32 i = 0; i < rounds; ++i) {
        i64 a = read_counter();
        type_graph from, to;
        types_read_file(argv[1], &from);
        types_read_file(argv[3], &to);
        layout_plan plan;
        layout_compare(&plan, &from, &to);
        layout_free(&plan);
        types_free(&from);
        types_free(&to);
        search.push_back(milliseconds(a, read_counter()));
    }
    printf("a reload of 100,000 heap objects; medians (ms)\n");
    printf("%-40s %10.3f\n", "no type changed", median(same));
    printf("%-40s %10.3f   (+%.3f)\n", "a member inserted or taken out", median(converted),
           median(converted) - median(same));
    printf("%-40s %10.3f   (of the reload with no change)\n", "looking for changed types",
           median(search));
    module_fault fault = {};
    unload_build(&module, &module.running, &fault);
    return 0;
}
