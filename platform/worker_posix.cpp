#include "platform/worker.h"

#include <pthread.h>

#include "engine/base/fatal.h"

// The thread starts on the first post and sleeps on `wake` between jobs.
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t wake = PTHREAD_COND_INITIALIZER;
static pthread_cond_t done = PTHREAD_COND_INITIALIZER;
static worker_job* job_now;
static void* context_now;
static bool32 started;
static bool32 failed;

static void* work(void* unused) {
    (void)unused;
    pthread_mutex_lock(&lock);
    for (;;) {
        while (!job_now) {
            pthread_cond_wait(&wake, &lock);
        }
        worker_job* job = job_now;
        void* context = context_now;
        pthread_mutex_unlock(&lock);
        job(context);
        pthread_mutex_lock(&lock);
        job_now = NULL;
        pthread_cond_broadcast(&done);
    }
    return NULL;
}

static bool32 start(void) {
    if (!started && !failed) {
        pthread_t thread;
        failed = pthread_create(&thread, NULL, work, NULL) != 0;
        started = !failed;
        if (started) {
            pthread_detach(thread);
        }
    }
    return started;
}

bool32 worker_post(worker_job* job, void* context) {
    fatal_assert(job != NULL);
    pthread_mutex_lock(&lock);
    while (job_now) {
        pthread_cond_wait(&done, &lock);
    }
    bool32 posted = start();
    if (posted) {
        job_now = job;
        context_now = context;
        pthread_cond_signal(&wake);
    }
    pthread_mutex_unlock(&lock);
    return posted;
}

void worker_wait(void) {
    pthread_mutex_lock(&lock);
    while (job_now) {
        pthread_cond_wait(&done, &lock);
    }
    pthread_mutex_unlock(&lock);
}
