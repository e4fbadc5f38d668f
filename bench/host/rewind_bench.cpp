// What rewind's history costs, in-process on the real undo and memory
// services: a frame's start with the history kept against the undo alone,
// over 64 MiB of blocks with 0, 1 and 16 MiB written a frame, and with 1 MiB
// of pages written of which a byte in 1024 changes (a game's state, a
// collector's marks); the time to bring back the state 10 s (300 frames)
// back at 1 MiB a frame; and the memory a kept second takes, and how far
// back the history reaches, both ways. Medians; printed figures, not a test.
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "guard/history.h"
#include "guard/undo.h"
#include "platform/clock.h"
#include "platform/memory.h"
#include "bench/host/timing.h"

static memory_block blocks[4];
static void* slot;

// Frames writing `bytes` spread over the blocks; the median of the starts
// of the last 60, once the history is full and gives its oldest frames'
// memory to the newest.
static bool sparse;  // a byte in 1024 of the bytes written changes

// The history's work left to the worker is timed apart (`beside`): in a
// host it runs during the module's frame, on the other core.
static double beside;

static double frames(u64 bytes, u32 count, bool keep) {
    history_limit(keep ? 300 : 0, 256ull << 20);
    std::vector<double> starts;
    std::vector<double> whole;
    for (u32 frame = 0; frame < count; ++frame) {
        i64 a = read_counter();
        undo_begin_frame(&slot);
        i64 b = read_counter();
        history_settle();
        starts.push_back(milliseconds(a, b));
        whole.push_back(milliseconds(a, read_counter()));
        for (u64 at = 0; at < bytes; at += 16 << 20) {
            u64 part = bytes - at < (16u << 20) ? bytes - at : (16u << 20);
            u8* memory = (u8*)blocks[(at >> 24) % 4].memory;
            if (!sparse) {
                memset(memory, (int)frame, part);
            }
            for (u64 i = 0; sparse && i < part; i += 1024) {
                memory[i] = (u8)frame;
            }
        }
        undo_commit();
        history_note_payload(&frame, sizeof(frame));
    }
    beside = median(std::vector<double>(whole.end() - 60, whole.end()));
    return median(std::vector<double>(starts.end() - 60, starts.end()));
}

// Back to the oldest kept frame's start in one step, then forward again.
static void back_and_forth(void) {
    u32 count = history_frames();
    history_pause(1);
    i64 a = read_counter();
    history_step(count, 0);
    i64 b = read_counter();
    history_step(0, count);
    printf("back %u frames (%.1f s): %.2f ms, and forward again %.2f ms\n", count, count / 30.0,
           milliseconds(a, b), milliseconds(b, read_counter()));
    history_pause(0);
}

int main() {
    clock_start();
    undo_start(1);
    for (memory_block& block : blocks) {
        block = allocate_memory(16u << 20, NULL, 0);
        memset(block.memory, 1, 16u << 20);
    }
    u64 sizes[] = {0, 1ull << 20, 16ull << 20};
    printf("rewind's history over 64 MiB of blocks: a frame's start, medians (ms)\n");
    printf("(beside: the start and the history's work on the worker, back to back)\n");
    printf("%-12s %10s %10s %8s %10s\n", "written", "undo", "+history", "ratio", "beside");
    for (u64 size : sizes) {
        double alone = frames(size, 120, 0);
        double kept = frames(size, 400, 1);
        printf("%-9llu MiB %10.3f %10.3f %8.2f %10.3f\n", (unsigned long long)(size >> 20), alone,
               kept, alone > 0 ? kept / alone : 0.0, beside);
    }
    sparse = 1;
    double alone = frames(1ull << 20, 120, 0);
    double kept = frames(1ull << 20, 400, 1);
    printf("1 MiB, 1/1024 changed %8.3f %10.3f %8.2f %10.3f\n", alone, kept, kept / alone, beside);
    printf("kept %u frames (%.1f s) at 1 MiB written, 1/1024 changed: %.1f MiB a second\n",
           history_frames(), history_frames() / 30.0,
           (double)history_bytes() / 1048576.0 / (history_frames() / 30.0));
    back_and_forth();
    sparse = 0;
    frames(1ull << 20, 301, 1);
    printf("kept %u frames at 1 MiB a frame: %.1f MiB a second\n", history_frames(),
           (double)history_bytes() / 1048576.0 / (history_frames() / 30.0));
    back_and_forth();
    return 0;
}
