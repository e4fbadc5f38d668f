#include <stdio.h>

#include "engine/module.h"
#include "tests/e2e/modules/log.h"
#include "wholer.h"

ENGINE_KEEP_ALL;

#if WHOLER_VERSION == 2
// Only here to move everything after it.
char wholer_padding[12288] = {1};
int wholer_padded(int value) { return value + wholer_padding[value & 4095]; }
#endif

static u64 frame;

#if WHOLER_VERSION == 6
#include <pthread.h>
#include <time.h>
// A thread of its own, started at its first frame, that runs on for 45
// frames: a new build must wait for it.
static volatile u64 lingering_until;

static void* linger(void* unused) {
    (void)unused;
    struct timespec pause = {0, 2000000};
    while (*(volatile u64*)&frame < lingering_until) {
        nanosleep(&pause, NULL);
    }
    return NULL;
}

static void start_lingering(void) {
    pthread_t thread;
    lingering_until = frame + 45;
    if (pthread_create(&thread, NULL, linger, NULL) == 0) {
        pthread_detach(thread);
    }
}
#endif

#if WHOLER_VERSION == 4
typedef struct player_state {
    float speed;
    int lives;
} player_state;
player_state player = {1.5f, 3};
int cache[32];
#else
typedef struct player_state {
    int lives;
    float speed;
} player_state;
player_state player = {3, 1.5f};
int cache[16];
#endif

static int act_inc(int value) { return value + 1; }
static int act_double(int value) { return value * 2 % 100003; }
static int act_fold(int value) { return (value ^ (value >> 3)) + 7; }
#if WHOLER_VERSION != 5
static int act_rare(int value) { return value - 5; }
#endif
static int act_square(int value) { return (value * value) % 65521; }

static act_function* const acts[] = {act_inc, act_double, act_fold,
#if WHOLER_VERSION != 5
                                     act_rare,
#else
                                     act_inc,
#endif
                                     act_square};

act_function* wholer_act(u32 index) { return acts[index % 5]; }
u32 wholer_act_count(void) { return 5; }

u32 wholer_act_index(act_function* act) {
    for (u32 i = 0; i < 5; ++i) {
        if (acts[i] == act) {
            return i;
        }
    }
    return 99;
}

static void write_digest(void) {
    char line[128];
    u64 hash = digest_mix(0xCBF29CE484222325ull, frame);
    hash = digest_mix(hash, (u64)player.lives * 1000 + (u64)(player.speed * 10));
    for (u32 i = 0; i < 16; ++i) {
        hash = digest_mix(hash, (u64)cache[i]);
    }
    hash = heap_digest(world_digest(hash));
    append_log("digest.log", line,
               snprintf(line, sizeof(line), "v=%d frame=%llu digest=%016llx\n", WHOLER_VERSION,
                        (unsigned long long)frame, (unsigned long long)hash));
}

ENTRY_EXPORT void entry(u64 zero_a, u64 zero_b, i32* running, back_buffer* buffer,
                        input_state* input, f32 frame_seconds, platform_api* services,
                        void** module_slot) {
    (void)zero_a, (void)zero_b, (void)running, (void)buffer, (void)input;
    (void)frame_seconds, (void)services, (void)module_slot;
#if WHOLER_VERSION == 3
    // New in this build, so it starts from 0 at its load.
    static int frames_here;
    static volatile int* volatile nowhere;
    if (++frames_here == 3) {
        world_scribble();
        heap_scribble();
        *nowhere = 1;
    }
#endif
#if WHOLER_VERSION == 6
    static int lingering;
    if (!lingering) {
        lingering = 1;
        start_lingering();
    }
#endif
    frame += 1;
    cache[frame % 16] += (int)frame;
    world_step(frame);
    heap_step(frame);
#if WHOLER_VERSION == 2
    if (frame % 50 == 0) {
        cache[0] += wholer_padded(0) - wholer_padding[0];
    }
#endif
    if (frame % 10 == 0) {
        write_digest();
    }
}
