// What loop editing costs: a snapshot of 64 MiB of module memory taken and
// put back (as the loop does at every round, the undo watching the blocks
// and taking in what the put back wrote), against memcpy of the same bytes; and what recording adds to a frame, to
// a file (written and flushed frame by frame) and in memory. Medians;
// printed figures, not a test.
//
// Usage: loop_bench[.exe] [rounds]
//        loop_bench[.exe] --make FILE FRAMES   writes a recording of idle
//                                              frames for a headless replay
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "host/os.h"
#include "guard/undo.h"
#include "loop/recording.h"
#include "loop/snapshot.h"
#include "platform/clock.h"
#include "bench/host/timing.h"

#define MODULE_BYTES (64ull << 20)
#define BLOCKS 16

static recorded_frame idle_frame(u32 i) {
    recorded_frame frame = {};
    frame.counter = (i64)i * 333333;
    frame.frame_seconds = i ? 1.0f / 30.0f : 0.0f;
    frame.input.width = 1064;
    frame.input.height = 681;
    return frame;
}

static int make_recording(const char* path, u32 frames) {
    recording_file out = {};
    char reason[128] = "";
    if (!recording_create(&out, path, reason, sizeof(reason))) {
        fprintf(stderr, "%s %s\n", path, reason);
        return 1;
    }
    for (u32 i = 0; i < frames; ++i) {
        recorded_frame frame = idle_frame(i);
        if (!recording_write(&out, &frame)) {
            return 1;
        }
    }
    recording_close(&out);
    return 0;
}

static void snapshot_figures(u32 rounds) {
    // 16 blocks of 4 MiB, their bytes all different, the slot in the first.
    undo_start(1);
    memory_block blocks[BLOCKS];
    for (u32 i = 0; i < BLOCKS; ++i) {
        blocks[i] = allocate_memory((u32)(MODULE_BYTES / BLOCKS), NULL, 0);
        memset(blocks[i].memory, (int)i + 1, MODULE_BYTES / BLOCKS);
    }
    u8* copy = (u8*)pages_allocate(MODULE_BYTES);
    u8* source = (u8*)pages_allocate(MODULE_BYTES);
    memset(copy, 1, MODULE_BYTES);
    memset(source, 2, MODULE_BYTES);
    void* slot = blocks[0].memory;
    snapshot shot = {};
    snapshot_take(&shot, slot);  // the snapshot's pages, once
    std::vector<double> memcpys, takes, restores, tracked;
    char reason[160];
    for (u32 round = 0; round < rounds; ++round) {
        i64 t0 = read_counter();
        memcpy(copy, source, MODULE_BYTES);
        i64 t1 = read_counter();
        snapshot_take(&shot, slot);
        i64 t2 = read_counter();
        // A round's writes, then the put back.
        for (u32 i = 0; i < BLOCKS; ++i) ((u8*)blocks[i].memory)[round] = 9;
        i64 t3 = read_counter();
        snapshot_restore(&shot, &slot, reason, sizeof(reason));
        i64 t4 = read_counter();
        // As the host does it: the blocks' writes watched by the undo, and
        // the next frame's start taking what the put back wrote into its shadow.
        undo_begin_frame(&slot);
        undo_commit();
        i64 t5 = read_counter();
        snapshot_restore(&shot, &slot, reason, sizeof(reason));
        undo_begin_frame(&slot);
        undo_commit();
        i64 t6 = read_counter();
        memcpys.push_back(milliseconds(t0, t1));
        takes.push_back(milliseconds(t1, t2));
        restores.push_back(milliseconds(t3, t4));
        tracked.push_back(milliseconds(t5, t6));
    }
    double rate = (double)MODULE_BYTES / (1 << 30) / (median(memcpys) / 1000.0);
    printf("snapshot of 64 MiB in %d blocks, medians of %u rounds (one frame: 33.3 ms)\n", BLOCKS,
           rounds);
    printf("  memcpy 64 MiB             %8.2f ms   %5.2f GiB/s\n", median(memcpys), rate);
    printf("  take                      %8.2f ms   %5.2fx memcpy\n", median(takes),
           median(takes) / median(memcpys));
    printf("  put back                  %8.2f ms   %5.2fx memcpy\n", median(restores),
           median(restores) / median(memcpys));
    printf("  put back, undo on         %8.2f ms   %5.2fx memcpy\n", median(tracked),
           median(tracked) / median(memcpys));
    snapshot_free(&shot);
}

static void recording_figures(u32 frames) {
    recording_file out = {};
    char reason[128];
    const char* path = "loop_bench.rec";
    if (!recording_create(&out, path, reason, sizeof(reason))) {
        fprintf(stderr, "%s %s\n", path, reason);
        return;
    }
    recording in_memory = {};
    std::vector<double> to_file, to_memory;
    for (u32 i = 0; i < frames; ++i) {
        recorded_frame frame = idle_frame(i);
        i64 t0 = read_counter();
        recording_write(&out, &frame);
        i64 t1 = read_counter();
        recording_append(&in_memory, &frame);
        i64 t2 = read_counter();
        to_file.push_back(milliseconds(t0, t1));
        to_memory.push_back(milliseconds(t1, t2));
    }
    recording_close(&out);
    remove(path);
    recording_free(&in_memory);
    std::vector<double> sorted = to_file;
    std::sort(sorted.begin(), sorted.end());
    printf("recording, %u frames of %u bytes\n", frames, (u32)sizeof(recorded_frame));
    printf("  to a file, flushed        %8.4f ms a frame (p99 %.4f)\n", median(to_file),
           sorted[sorted.size() * 99 / 100]);
    printf("  in memory (the chord)     %8.4f ms a frame\n", median(to_memory));
}

int main(int argc, char** argv) {
    clock_start();
    if (argc == 4 && strcmp(argv[1], "--make") == 0) {
        return make_recording(argv[2], (u32)atoi(argv[3]));
    }
    u32 rounds = argc > 1 ? (u32)atoi(argv[1]) : 15;
    snapshot_figures(rounds);
    recording_figures(3000);
    return 0;
}
