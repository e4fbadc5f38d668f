// What rewind's history costs, in-process on the real undo and memory
// services: a frame's start with the history kept against the undo alone,
// back to back and at the host's pace, over 64 MiB of blocks with 0, 1 and
// 16 MiB written a frame, and with 1 MiB of pages written of which a byte
// in 1024 changes (a game's state, a collector's marks); the time to bring
// back a frame 8 s back, in the middle and the oldest, and the newest from
// the oldest, at 1 and 16 MiB a frame, alone and with the start of the
// frame the host then shows; and the memory a kept second takes, and how
// far back the history reaches, both ways.
// Medians; printed figures, not a test.
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "guard/history.h"
#include "guard/undo.h"
#include "host/os.h"
#include "platform/clock.h"
#include "platform/memory.h"
#include "bench/host/timing.h"

static memory_block blocks[4];
static void* slot;

// Frames writing `bytes` spread over the blocks, once the history is full
// and gives its oldest frames' memory to the newest: the median start of 60
// frames back to back, then of 60 at the host's pace, each started on its
// period after a wait as the host's loop waits. Paced, the worker's job runs
// beside the module's frame and both threads sleep before the next start,
// as in the host; back to back, caches stay warm and the worker has only
// just gone idle.
static bool sparse;  // a byte in 1024 of the bytes written changes

// The history's work left to the worker is timed apart (`beside`): in a
// host it runs during the module's frame, on the other core.
static double beside;

typedef struct start_costs {
    double back_to_back;
    double paced;
} start_costs;

#define MEASURED 60u
#define PERIOD (1.0f / 30.0f)

static void write_frame(u64 bytes, u32 frame) {
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
}

static start_costs frames(u64 bytes, u32 count, bool keep) {
    history_limit(keep ? 300 : 0, 256ull << 20);
    std::vector<double> starts;
    std::vector<double> whole;
    std::vector<double> paced;
    for (u32 frame = 0; frame < count + MEASURED; ++frame) {
        bool at_pace = frame >= count;
        i64 a = read_counter();
        undo_begin_frame(&slot);
        i64 b = read_counter();
        (at_pace ? paced : starts).push_back(milliseconds(a, b));
        if (!at_pace) {
            history_settle();
            whole.push_back(milliseconds(a, read_counter()));
        }
        write_frame(bytes, frame);
        undo_commit();
        history_note_payload(&frame, sizeof(frame));
        if (at_pace) {
            wait_out_frame(a, PERIOD);
        }
    }
    beside = median(std::vector<double>(whole.end() - MEASURED, whole.end()));
    return {median(std::vector<double>(starts.end() - MEASURED, starts.end())), median(paced)};
}

static double ratio(double a, double b) { return b > 0 ? a / b : 0.0; }

// Caches emptied, as after a period of the module's own work: a jump
// reads the history from memory.
static void evict_caches(void) {
    static std::vector<u8> other(512u << 20);
    memset(other.data(), (int)other[0] + 1, other.size());
}

// Jumps from the newest kept frame's end, as a player pauses and presses a
// chord: 8 s back, to the middle, to the oldest, and from there to the newest
// again, each from cold caches; and with the shown frame's start after it.
static void jumps(void) {
    // As the host pauses: the last frame is taken in first.
    undo_begin_frame(&slot);
    undo_commit();
    u32 count = history_frames();
    history_pause(1);
    u32 back8 = count > 240 ? count - 240 : 0;
    struct {
        const char* name;
        u32 from;
        u32 to;
    } steps[] = {{"back 8 s", count, back8},
                 {"back to the middle", count, count / 2},
                 {"back to the oldest", count, 0},
                 {"the oldest to the newest", 0, count}};
    for (auto& step : steps) {
        if (history_step(count, step.from) != step.from) {
            printf("%s: can't get to frame %u\n", step.name, step.from);
            continue;
        }
        evict_caches();
        i64 a = read_counter();
        u32 at = history_step(step.from, step.to);
        double ms = milliseconds(a, read_counter());
        // As the host shows the frame: its start takes the jump's writes in,
        // and what the module's call wrote is put back.
        a = read_counter();
        undo_begin_frame(&slot);
        undo_rollback();
        double shown = ms + milliseconds(a, read_counter());
        printf("%-26s %3u frames (%.1f s): %6.2f ms, shown %6.2f ms%s\n", step.name,
               step.from > step.to ? step.from - step.to : step.to - step.from,
               (step.from > step.to ? step.from - step.to : step.to - step.from) / 30.0, ms,
               shown, at == step.to ? "" : " (stopped short)");
        history_step(at, count);
    }
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
    printf("(back to back, then at the host's pace of 30 a second; beside: the start\n");
    printf(" and the history's work on the worker, back to back)\n");
    printf("%-22s %7s %9s %6s   %7s %9s %6s %8s\n", "written", "undo", "+history", "ratio",
           "paced", "+history", "ratio", "beside");
    for (u32 i = 0; i <= 3; ++i) {
        sparse = i == 3;
        u64 size = sparse ? 1ull << 20 : sizes[i];
        start_costs alone = frames(size, 120, 0);
        start_costs kept = frames(size, 400, 1);
        char name[32];
        snprintf(name, sizeof(name), "%llu MiB%s", (unsigned long long)(size >> 20),
                 sparse ? ", 1/1024 changed" : "");
        printf("%-22s %7.3f %9.3f %6.2f   %7.3f %9.3f %6.2f %8.3f\n", name, alone.back_to_back,
               kept.back_to_back, ratio(kept.back_to_back, alone.back_to_back), alone.paced,
               kept.paced, ratio(kept.paced, alone.paced), beside);
    }
    printf("kept %u frames (%.1f s) at 1 MiB written, 1/1024 changed: %.1f MiB a second\n",
           history_frames(), history_frames() / 30.0,
           (double)history_bytes() / 1048576.0 / (history_frames() / 30.0));
    jumps();
    sparse = 0;
    for (u64 size : {1ull << 20, 16ull << 20}) {
        frames(size, 301, 1);
        printf("kept %u frames at %llu MiB a frame: %.1f MiB a second\n", history_frames(),
               (unsigned long long)(size >> 20),
               (double)history_bytes() / 1048576.0 / (history_frames() / 30.0));
        jumps();
    }
    return 0;
}
