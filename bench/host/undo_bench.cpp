// What undoing a faulting frame costs, with 64 MiB of module memory in one
// block: a frame that writes 0, 1 or 16 MiB of it, tracked (begin, the
// writes with their page faults, commit) against the same writes to memory
// nobody tracks; the rollback of such a frame; and, for comparison, making
// the whole 64 MiB read-only and back, what re-protecting everything each
// frame would cost instead of only the pages written. Medians; printed
// figures, not a test.
//
// Usage: undo_bench[.exe] [rounds]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "host/fault.h"
#include "host/os.h"
#include "host/undo.h"
#include "platform/clock.h"
#include "platform/memory.h"

#define MODULE_BYTES (64u << 20)

static double milliseconds(i64 start, i64 end) {
    return (double)(end - start) * 1000.0 / (double)counter_frequency;
}

static double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Writes one byte per page, as a frame touching that much memory would at least.
static void touch(u8* memory, u64 bytes, u8 value) {
    for (u64 at = 0; at < bytes; at += 4096) {
        memory[at] = value;
    }
}

int main(int argc, char** argv) {
    u32 rounds = argc > 1 ? (u32)atoi(argv[1]) : 30;
    clock_start();
    fault_handling_start();
    memory_block module = allocate_memory(MODULE_BYTES, NULL, 0);
    // The reference: pages of the host's own, which nothing tracks.
    u8* plain = (u8*)pages_allocate(MODULE_BYTES);
    if (!module.memory || !plain) {
        fprintf(stderr, "no memory\n");
        return 1;
    }
    memset(module.memory, 1, MODULE_BYTES);
    void* slot = NULL;
    // The first frame makes the block read-only once; not a frame's cost.
    undo_begin_frame(&slot);
    undo_commit();
    memset(plain, 1, MODULE_BYTES);

    printf("undo, 64 MiB of module memory, medians of %u rounds (ms per frame)\n", rounds);
    printf("%-10s %12s %12s %12s %12s\n", "written", "untracked", "tracked", "overhead",
           "rollback");
    const u64 sizes[] = {0, 1u << 20, 16u << 20};
    for (u64 bytes : sizes) {
        std::vector<double> untracked, tracked, rollback;
        for (u32 round = 0; round < rounds; ++round) {
            u8 value = (u8)(round + 2);
            i64 a = read_counter();
            touch(plain, bytes, value);
            i64 b = read_counter();
            undo_begin_frame(&slot);
            touch((u8*)module.memory, bytes, value);
            undo_commit();
            i64 c = read_counter();
            undo_begin_frame(&slot);
            touch((u8*)module.memory, bytes, (u8)(value + 1));
            i64 d = read_counter();
            undo_rollback();
            i64 e = read_counter();
            (void)d;
            untracked.push_back(milliseconds(a, b));
            tracked.push_back(milliseconds(b, c));
            rollback.push_back(milliseconds(d, e));
            if (bytes && ((u8*)module.memory)[0] != value) {
                fprintf(stderr, "rollback did not restore\n");
                return 1;
            }
        }
        double u = median(untracked);
        double t = median(tracked);
        printf("%7llu MiB %12.3f %12.3f %12.3f %12.3f\n", (unsigned long long)(bytes >> 20), u, t,
               t - u, median(rollback));
    }
    std::vector<double> whole;
    u8* memory = plain;
    for (u32 round = 0; round < rounds; ++round) {
        i64 a = read_counter();
        undo_protect(memory, MODULE_BYTES, UNDO_ACCESS_READ);
        undo_protect(memory, MODULE_BYTES, UNDO_ACCESS_READ_WRITE);
        i64 b = read_counter();
        whole.push_back(milliseconds(a, b));
    }
    printf("re-protecting all 64 MiB each frame instead (read-only and back): %.3f ms\n",
           median(whole));
    return 0;
}
