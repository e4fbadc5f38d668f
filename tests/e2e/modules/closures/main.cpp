#include <stdio.h>

#include <functional>
#include <vector>

#include "closures.h"
#include "engine/module.h"
#include "tests/e2e/modules/log.h"

ENGINE_KEEP_ALL;

static u64 frame;
static int value = 1;
static int accumulated = 3;
static int offset_by = 7;
static std::function<int(int)> steps[4];
static std::vector<std::function<int(int)>> chain;

static int bounce(int x) { return (x * 7) % 1009; }

// Runs in the first frame only: later builds hold what the first made.
static void set_up() {
#if CLOSURES_VERSION == 2
    // New in this build, before the kept ones and of their signature.
    std::function<int(int)> spare = [](int x) { return x - 11; };
    value += spare(0) + 11;
#endif
#if CLOSURES_VERSION == 2
    steps[1] = [](int x) { return (x ^ 0x55) + 3; };
    steps[0] = [](int x) { return x * 3 + 1; };
#elif CLOSURES_VERSION == 3
    steps[0] = [](int x) { return x * 3 + 2; };
    steps[1] = [](int x) { return (x ^ 0x55) + 4; };
#else
    steps[0] = [](int x) { return x * 3 + 1; };
    steps[1] = [](int x) { return (x ^ 0x55) + 3; };
#endif
    int step = offset_by;
    steps[2] = [step](int x) { return x + step; };
    steps[3] = [](int x) { return bounce(x); };
    chain.push_back([](int x) { return x % 1000 + 17; });
    chain.push_back([](int x) { return x / 2 + 1; });
    chain.push_back(steps[2]);
}

static void write_digest(void) {
    char line[128];
    u64 hash = digest_mix(0xCBF29CE484222325ull, frame);
    hash = digest_mix(hash, (u64)value);
    hash = digest_mix(hash, (u64)accumulated);
    hash = table_digest(hash);
    append_log("digest.log", line,
               snprintf(line, sizeof(line), "v=%d frame=%llu digest=%016llx\n", CLOSURES_VERSION,
                        (unsigned long long)frame, (unsigned long long)hash));
}

ENTRY_EXPORT void entry(u64 zero_a, u64 zero_b, i32* running, back_buffer* buffer,
                        input_state* input, f32 frame_seconds, platform_api* services,
                        void** module_slot) {
    (void)zero_a, (void)zero_b, (void)running, (void)buffer, (void)input;
    (void)frame_seconds, (void)services, (void)module_slot;
    if (frame == 0) {
        set_up();
    }
    frame += 1;
    value = steps[frame % 4](value) % 100003;
    for (const std::function<int(int)>& next : chain) {
        accumulated = next(accumulated);
    }
    value = table_step(value + accumulated);
    if (frame % 10 == 0) {
        write_digest();
    }
}
