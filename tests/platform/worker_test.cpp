// The worker on a real thread: each job runs once, in the order posted, on
// a thread that is not the caller's, and worker_wait returns only once the
// last one has finished, so what the job wrote is there to read.
#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "platform/worker.h"

namespace {

struct tally {
    std::atomic<bool> release{false};
    std::thread::id ran_on;
    u64 sum = 0;
    u64 last = 0;
    bool in_order = true;
};

struct step {
    tally* into;
    u64 value;
};

void add(void* context) {
    step* s = (step*)context;
    s->into->in_order = s->into->in_order && s->value == s->into->last + 1;
    s->into->last = s->value;
    s->into->sum += s->value;
    s->into->ran_on = std::this_thread::get_id();
}

void held(void* context) {
    tally* t = (tally*)context;
    while (!t->release.load()) {
        std::this_thread::yield();
    }
    t->sum = 42;
}

void release_later(tally* t) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    t->release = true;
}

TEST(Worker, JobsRunOnceInOrderOnAnotherThreadAndWaitSeesTheirWrites) {
    tally t;
    step steps[1000];
    for (u64 i = 0; i < 1000; ++i) {
        steps[i] = {&t, i + 1};
        // Each post waits for the job before it, which reads its own step.
        ASSERT_TRUE(worker_post(add, &steps[i]));
    }
    worker_wait();
    EXPECT_EQ(t.sum, 1000u * 1001u / 2);
    EXPECT_TRUE(t.in_order);
    EXPECT_NE(t.ran_on, std::this_thread::get_id());

    // A job still running holds worker_wait until it ends.
    tally h;
    ASSERT_TRUE(worker_post(held, &h));
    std::thread releaser(release_later, &h);
    worker_wait();
    EXPECT_EQ(h.sum, 42u);
    releaser.join();
    worker_wait();  // nothing running: at once
}

}  // namespace
