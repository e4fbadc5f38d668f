#include <gtest/gtest.h>

#include <time.h>

#include "platform/clock.h"
#include "tests/base/fatal_stop.h"

namespace {

TEST(clock, elapsed_seconds_uses_the_low_halves_across_a_change_of_the_high_half) {
    u64 saved = counter_frequency;
    counter_frequency = 1024;
    u64 start = 0x00000007FFFFFF00ull;
    u64 end = 0x0000000800000100ull;
    EXPECT_FLOAT_EQ(elapsed_seconds(start, end), 512.0f / 1024.0f);
    EXPECT_FLOAT_EQ(elapsed_seconds(start, start), 0.0f);
    // Only the low 32 bits of the frequency count.
    counter_frequency = 0x100000000ull + 2048;
    EXPECT_FLOAT_EQ(elapsed_seconds(0, 1024), 0.5f);
    counter_frequency = saved;
}

TEST(clock, seconds_since_follows_the_real_counter) {
    clock_start();
    ASSERT_NE(counter_frequency, 0u);
    i64 start = read_counter();
    struct timespec wait = {0, 50 * 1000 * 1000};
    nanosleep(&wait, NULL);
    f32 seconds = seconds_since((u64)start);
    EXPECT_GE(seconds, 0.045f);
    EXPECT_LT(seconds, 5.0f);
}

TEST(clock_death, an_end_whose_high_half_precedes_the_start_stops) {
    counter_frequency = 1000;
    EXPECT_FATAL_STOP(elapsed_seconds(0x0000000100000000ull, 0x00000000FFFFFFFFull));
}

}  // namespace
