// A module for the keeping benchmark: KEEP_BYTES of kept variables, in
// 1 KiB records of numbers (no pointers), in one variable.
#include "engine/module.h"

typedef struct kilobyte {
    u64 words[128];
} kilobyte;

typedef struct kept_records {
    kilobyte records[KEEP_BYTES / 1024];
} kept_records;
static ENGINE_KEEP(kept_records, everything, {});

ENTRY_EXPORT void entry(u64, u64, i32*, back_buffer*, input_state*, f32, platform_api*, void**) {
    for (u32 i = 0; i < KEEP_BYTES / 1024; ++i) {
        everything.records[i].words[0] += i;
    }
}
