// One thread beside the host's own, for work that need not hold up a frame:
// the host hands it a job and goes on, and waits for it only where it needs
// the job's result or the memory the job touches. One job at a time.
#ifndef PLATFORM_WORKER_H
#define PLATFORM_WORKER_H

#include "engine/base/types.h"

typedef void worker_job(void* context);

// Starts job(context) on the worker, after waiting for the one before.
// False when the thread can't be had: then the caller does the work itself.
bool32 worker_post(worker_job* job, void* context);

// Returns once the job posted last has finished (at once when none runs).
void worker_wait(void);

// Work in two parts: theirs on the worker while this thread does mine;
// both are done when it returns (theirs here, after mine, when the worker
// can't be had).
void worker_beside(worker_job* theirs, void* their_context, worker_job* mine, void* my_context);

// Copies made on two threads, this one and the worker, each about half the
// bytes (the copy where the halves meet cut in two): a burst of copying
// goes at nearly twice what one core gets from the memory. Below a few MiB
// this thread makes them alone.
typedef struct worker_copy {
    u8* to;
    const u8* from;
    u64 size;
} worker_copy;

typedef struct worker_copies {
    worker_copy* list;
    u64 count;
    u64 capacity;
    u64 bytes;
} worker_copies;

// Listed, joined to the last copy where it goes on from it; made at once
// when the list can't grow.
void worker_copies_add(worker_copies* copies, void* to, const void* from, u64 size);

// Makes every listed copy and empties the list (keeping its room).
void worker_copies_make(worker_copies* copies);

#endif
