// A C program whose effects share a "base" record first in each, and are
// reached only through a list of that base, as the C game's thinkers: the
// type of each object is the program's to know. It writes every ten frames
// a digest of every effect to "digest.log".
//
// Builds (EFFECTS_VERSION): 1; 2, flash with a member inserted: whether an
// object reached as a thinker is a flash can't be told from the types, so
// the build waits and the running one goes on.
#include <stdlib.h>

#include "engine/module.h"
#include "tests/e2e/modules/log.h"

ENGINE_KEEP_ALL;

typedef struct thinker {
    struct thinker* next;
    int kind;  // 1: flash, 2: glow
} thinker;

typedef struct flash {
    thinker base;
#if EFFECTS_VERSION == 2
    int inserted;
#endif
    int level;
    int count;
} flash;

typedef struct glow {
    thinker base;
    int low;
    int high;
} glow;

static thinker* thinkers;
static u64 frame;

ENTRY_EXPORT void entry(u64 zero_a, u64 zero_b, i32* running, back_buffer* buffer,
                        input_state* input, f32 frame_seconds, platform_api* services,
                        void** module_slot) {
    (void)zero_a, (void)zero_b, (void)running, (void)buffer, (void)input;
    (void)frame_seconds, (void)services, (void)module_slot;
    if (!thinkers) {
        for (int i = 0; i < 40; ++i) {
            thinker* made;
            if (i % 2) {
                flash* f = (flash*)calloc(1, sizeof(flash));
                f->level = i;
                made = &f->base;
                made->kind = 1;
            } else {
                glow* g = (glow*)calloc(1, sizeof(glow));
                g->low = i;
                g->high = 2 * i + 1;
                made = &g->base;
                made->kind = 2;
            }
            made->next = thinkers;
            thinkers = made;
        }
    }
    frame += 1;
    u64 hash = frame;
    for (thinker* t = thinkers; t; t = t->next) {
        if (t->kind == 1) {
            flash* f = (flash*)t;
            f->count += 1;
            f->level = (f->level * 7 + 3) % 1000;
            hash = hash * 31 + (u64)f->level + (u64)f->count;
        } else {
            glow* g = (glow*)t;
            g->low = (g->low + 1) % g->high;
            hash = hash * 31 + (u64)g->low;
        }
    }
    if (frame % 10 == 0) {
        char line[128];
        append_log("digest.log", line,
                   snprintf(line, sizeof(line), "v=%d frame=%llu digest=%016llx\n",
                            EFFECTS_VERSION, (unsigned long long)frame, (unsigned long long)hash));
    }
}
