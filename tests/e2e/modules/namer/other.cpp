// The other file: a static of the same name as main.cpp's, and more.
#include "namer.h"

static int plr[NAMER_STATIC_SIZE];
static int gauge[NAMER_STATIC_SIZE];
static int meter[NAMER_STATIC_SIZE];
static int tally[NAMER_STATIC_SIZE];

void namer_other_step(u64 frame) {
    u32 at = (u32)(frame % NAMER_STATIC_SIZE);
    plr[at] += 1;
    gauge[at] += 2;
    meter[at] += 3;
    tally[at] += 4;
}
