// A test module whose state lives in kept variables (engine/keep.h), not
// behind the slot: a frame count, a `count` of this file's (and one of
// keeper_other.cpp's, under the same name), a pointer to the frame count, a
// pointer to a string literal, and a `player` record whose size a build
// define changes (KEEPER_PLAYER_WIDE). Each frame it logs what it finds
// (before counting) to "frames.log", then counts: frames by 1, each count
// by its own step, player.x by 1. Built with KEEPER_FAULTS=1, in frame
// KEEPER_FAULT_AT (from the environment) it first adds 1000 to every count
// and then writes to null.
#include "engine/module.h"
#include "log.h"

#include <string.h>

#ifndef KEEPER_VERSION
#define KEEPER_VERSION 1
#endif

typedef struct player_state {
    u64 x;
#if KEEPER_PLAYER_WIDE
    u64 y;
#endif
} player_state;

typedef u64* u64_pointer;
typedef const char* text;

static ENGINE_KEEP(u64, frames, 0);
static ENGINE_KEEP(u64, count, 0);
static ENGINE_KEEP(u64_pointer, link, &frames);
static ENGINE_KEEP(text, label, "hello");
ENGINE_KEEP(player_state, player, {});

// keeper_other.cpp
u64 other_count(void);
void other_step(u64 by);

static volatile int* volatile null_pointer;

ENTRY_EXPORT void entry(u64, u64, i32*, back_buffer*, input_state*, f32, platform_api*, void**) {
    char line[256];
    int length = snprintf(line, sizeof(line),
                          "v=%d frames=%llu count=%llu other=%llu linked=%d label=%s x=%llu\n",
                          KEEPER_VERSION, (unsigned long long)frames, (unsigned long long)count,
                          (unsigned long long)other_count(), link == &frames,
                          label && strcmp(label, "hello") == 0 ? "hello" : "lost",
                          (unsigned long long)player.x);
    append_log("frames.log", line, length);
    if (KEEPER_FAULTS && frames + 1 == environment_number("KEEPER_FAULT_AT")) {
        frames += 1000;
        count += 1000;
        other_step(1000);
        player.x += 1000;
        *null_pointer = 1;
    }
    frames += 1;
    count += 1;
    other_step(2);
    player.x += 1;
}
