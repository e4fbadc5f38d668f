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

#endif
