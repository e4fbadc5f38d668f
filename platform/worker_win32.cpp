#include "platform/worker.h"

#include <windows.h>

#include "engine/base/fatal.h"

// The thread starts on the first post and sleeps on `wake` between jobs.
static SRWLOCK lock = SRWLOCK_INIT;
static CONDITION_VARIABLE wake = CONDITION_VARIABLE_INIT;
static CONDITION_VARIABLE done = CONDITION_VARIABLE_INIT;
static worker_job* job_now;
static void* context_now;
static bool32 started;
static bool32 failed;

static DWORD WINAPI work(LPVOID unused) {
    (void)unused;
    AcquireSRWLockExclusive(&lock);
    for (;;) {
        while (!job_now) {
            SleepConditionVariableSRW(&wake, &lock, INFINITE, 0);
        }
        worker_job* job = job_now;
        void* context = context_now;
        ReleaseSRWLockExclusive(&lock);
        job(context);
        AcquireSRWLockExclusive(&lock);
        job_now = NULL;
        WakeAllConditionVariable(&done);
    }
    return 0;
}

static bool32 start(void) {
    if (!started && !failed) {
        HANDLE thread = CreateThread(NULL, 0, work, NULL, 0, NULL);
        failed = thread == NULL;
        started = !failed;
        if (thread) {
            CloseHandle(thread);
        }
    }
    return started;
}

bool32 worker_post(worker_job* job, void* context) {
    fatal_assert(job != NULL);
    AcquireSRWLockExclusive(&lock);
    while (job_now) {
        SleepConditionVariableSRW(&done, &lock, INFINITE, 0);
    }
    bool32 posted = start();
    if (posted) {
        job_now = job;
        context_now = context;
        WakeConditionVariable(&wake);
    }
    ReleaseSRWLockExclusive(&lock);
    return posted;
}

void worker_wait(void) {
    AcquireSRWLockExclusive(&lock);
    while (job_now) {
        SleepConditionVariableSRW(&done, &lock, INFINITE, 0);
    }
    ReleaseSRWLockExclusive(&lock);
}
