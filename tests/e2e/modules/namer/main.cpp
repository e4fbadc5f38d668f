#include "namer.h"

#include "engine/module.h"
#include "tests/e2e/modules/log.h"

ENGINE_KEEP_ALL;

namespace game {
#if NAMER_VERSION == 1
static int probe(unsigned long value) { return (int)(value % 7); }
#endif
}  // namespace game

typedef int act_function(unsigned long value);

struct hook {
    act_function* act;
    void* stale;  // a return address into entry, never read again
};

static hook* hooks;
static int plr[NAMER_STATIC_SIZE];
static u64 frame;

#if NAMER_VERSION == 1
__attribute__((noinline)) static void* return_address(void) {
    return __builtin_return_address(0);
}
#endif

ENTRY_EXPORT void entry(u64 zero_a, u64 zero_b, i32* running, back_buffer* buffer,
                        input_state* input, f32 frame_seconds, platform_api* services,
                        void** module_slot) {
    (void)zero_a, (void)zero_b, (void)running, (void)buffer, (void)input;
    (void)frame_seconds, (void)services, (void)module_slot;
#if NAMER_VERSION == 1
    if (!hooks) {
        hooks = new hook;
        hooks->act = game::probe;
        hooks->stale = return_address();
    }
#else
    // New in this build, so it counts from its load.
    static int frames_here;
    if (++frames_here == 60) {
        hooks->act(frame);
    }
#endif
    frame += 1;
    plr[frame % NAMER_STATIC_SIZE] += 1;
    namer_other_step(frame);
    char line[96];
    append_log("frames.log", line,
               snprintf(line, sizeof(line), "v=%d frame=%llu\n", NAMER_VERSION,
                        (unsigned long long)frame));
}
