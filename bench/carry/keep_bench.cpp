// What keeping variables (engine/keep.h) costs: for 1 KiB, 64 KiB and 1 MiB
// of kept bytes, a reload's share (the values taken from the old build and
// given to the new one, pointers checked), and per frame the undo's copy of
// them at the frame's start and a loop snapshot's. Medians; printed
// figures, not a test.
//
// Usage: keep_bench[.exe] MODULE_1K MODULE_64K MODULE_1M [rounds]
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "guard/fault.h"
#include "guard/undo.h"
#include "carry/kept.h"
#include "host/os.h"
#include "platform/clock.h"
#include "platform/memory.h"
#include "bench/host/timing.h"

static void* load(const std::string& path, const std::string& copy) {
    char reason[128];
    if (!library_copy(path.c_str(), copy.c_str())) {
        return NULL;
    }
    return library_load(copy.c_str(), reason, sizeof(reason));
}

int main(int argc, char** argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: keep_bench MODULE_1K MODULE_64K MODULE_1M [rounds]\n");
        return 2;
    }
    u32 rounds = argc > 4 ? (u32)atoi(argv[4]) : 50;
    clock_start();
    undo_start(1);
    printf("kept variables, medians of %u rounds (ms)\n", rounds);
    printf("%-8s %10s %10s %10s %12s\n", "kept", "take", "give", "reload", "undo/frame");
    const char* names[] = {"1 KiB", "64 KiB", "1 MiB"};
    for (int which = 0; which < 3; ++which) {
        std::string path = argv[1 + which];
        std::string old_copy = path + ".bench_a";
        std::string new_copy = path + ".bench_b";
        void* old_build = load(path, old_copy);
        void* new_build = load(path, new_copy);
        if (!old_build || !new_build) {
            fprintf(stderr, "%s did not load\n", path.c_str());
            return 1;
        }
        engine_kept table[16];
        library_image image, old_image;
        library_image_of(new_build, new_copy.c_str(), &image);
        library_image_of(old_build, old_copy.c_str(), &old_image);
        u32 count = kept_table(&image, table, 16);
        memory_set_kept(table, count, image.base, image.size);
        kept_set set = {};
        char note[KEPT_NOTE_CAPACITY];
        std::vector<double> takes, gives, frames;
        void* slot = NULL;
        for (u32 round = 0; round < rounds; ++round) {
            i64 a = read_counter();
            kept_take(&set, &old_image);
            i64 b = read_counter();
            kept_give(&set, &image, note, sizeof(note));
            i64 c = read_counter();
            undo_begin_frame(&slot);
            i64 d = read_counter();
            undo_commit();
            takes.push_back(milliseconds(a, b));
            gives.push_back(milliseconds(b, c));
            frames.push_back(milliseconds(c, d));
        }
        printf("%-8s %10.3f %10.3f %10.3f %12.3f\n", names[which], median(takes), median(gives),
               median(takes) + median(gives), median(frames));
        memory_set_kept(NULL, 0, NULL, 0);
        kept_clear(&set);
        remove(old_copy.c_str());
        remove(new_copy.c_str());
    }
    printf("(a loop snapshot takes them as a reload does: the take column)\n");
    return 0;
}
