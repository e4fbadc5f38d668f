// A whole-state module with a big heap, for the frame period around a
// reload and around a full collection: in its first frame it builds
// HEAP_MIB MiB (default 64) of heap in objects of about HEAP_OBJECT_BYTES
// bytes each (default 670: 100,000 objects in 64 MiB), each linked to the
// next and holding a function pointer, as an interpreter's or a game's
// objects do. With HEAP_COLLECT_EVERY set, every that many frames it walks
// every object and rewrites its header, as a full collection marks and
// sweeps, and frees and allocates again one object in 16.
//
// The second build has code before visit that the first lacks, so a reload
// between them moves every object's function pointer; the third differs
// from the first only in the numbers it writes, and moves none.
//
// Like the pacing module it reads the counter at the top of every entry and
// writes the readings to data/heap.log in batches, with the build's number
// (HEAP_BUILD, 1 or 2: a reload shows where it changes) and whether the last
// frame collected.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "engine/keep.h"
#include "engine/module.h"

ENGINE_KEEP_ALL;

#ifndef HEAP_BUILD
#define HEAP_BUILD 1
#endif
// (HEAP_BUILD is 1, 2 or 3.)
#define BATCH 30

typedef struct object {
    struct object* next;
    void (*visit)(struct object*);
    u64 mark;
    u32 size;
} object;

typedef struct stamp {
    i64 counter;
    u32 build;
    u32 collected;
} stamp;

static object* first;
static u64 objects;
static u64 frames;
static u64 average;
static u32 collect_every;
static u32 count;
static stamp stamps[BATCH];

// Code before visit in the second build, so a reload between it and the
// first moves every object's pointer, as most edits do.
#if HEAP_BUILD == 2
__attribute__((used, noinline)) void heap_module_padding(object* at) {
    for (u32 i = 0; i < 64; ++i) {
        at->mark = at->mark * 31 + i;
    }
}
#endif

static void visit(object* at) { at->mark += HEAP_BUILD; }

static u64 setting(const char* name, u64 otherwise) {
    const char* text = getenv(name);
    return text && *text ? strtoull(text, NULL, 10) : otherwise;
}

static void flush(void) {
    FILE* file = fopen("heap.log", "ab");
    if (file) {
        for (u32 i = 0; i < count; ++i) {
            fprintf(file, "t=%lld b=%u c=%u\n", (long long)stamps[i].counter, stamps[i].build,
                    stamps[i].collected);
        }
        fclose(file);
    }
    count = 0;
}

// Sizes spread evenly from the header's to twice the average less it.
static object* make(u64* seed) {
    *seed = *seed * 6364136223846793005ull + 1442695040888963407ull;
    u64 spread = average > sizeof(object) ? 2 * (average - sizeof(object)) + 1 : 1;
    u64 size = sizeof(object) + (*seed >> 33) % spread;
    object* made = (object*)malloc(size);
    if (made) {
        memset(made, 0, size);
        made->visit = visit;
        made->size = (u32)size;
    }
    return made;
}

static void build(void) {
    u64 bytes = setting("HEAP_MIB", 64) << 20;
    average = setting("HEAP_OBJECT_BYTES", 670);
    collect_every = (u32)setting("HEAP_COLLECT_EVERY", 0);
    u64 seed = 1;
    object** link = &first;
    for (u64 made = 0; made < bytes;) {
        object* next = make(&seed);
        if (!next) {
            break;
        }
        made += next->size;
        *link = next;
        link = &next->next;
        ++objects;
    }
}

// Every object visited and its header rewritten; one in 16 freed and made
// again in its place in the list.
static void collect(void) {
    u64 seed = frames;
    object** link = &first;
    u64 index = 0;
    while (*link) {
        object* at = *link;
        at->visit(at);
        at->mark ^= 1;
        if (++index % 16 == 0) {
            object* again = make(&seed);
            if (again) {
                again->next = at->next;
                *link = again;
                free(at);
                at = again;
            }
        }
        link = &at->next;
    }
}

ENTRY_EXPORT void entry(u64 zero_a, u64 zero_b, i32* running, back_buffer* buffer,
                        input_state* input, f32 frame_seconds, platform_api* services,
                        void** module_slot) {
    i64 now = (i64)services->get_counter();
    (void)zero_a, (void)zero_b, (void)running, (void)buffer, (void)input, (void)frame_seconds;
    (void)module_slot;
    static u32 collected;
    stamps[count].counter = now;
    stamps[count].build = HEAP_BUILD;
    stamps[count].collected = collected;
    if (++count == BATCH) {
        flush();
    }
    if (!first) {
        build();
    }
    frames += 1;
    collected = collect_every && frames % collect_every == 0;
    if (collected) {
        collect();
    }
}

