// The samples the host hands on: clamped at the edges of -1..1 exactly,
// NaN as silence, and counted.
#include <gtest/gtest.h>

#include <limits>

#include "sound/sound.h"

TEST(SoundSamples, ClampedAtTheEdgesNaNAsSilenceEveryChangeCounted) {
    const f32 nan = std::numeric_limits<f32>::quiet_NaN();
    const f32 infinity = std::numeric_limits<f32>::infinity();
    const f32 above = 1.0000001f;
    const f32 tiny = std::numeric_limits<f32>::denorm_min();
    f32 samples[] = {1.0f, -1.0f, 0.0f, -0.0f, tiny, above, -above, infinity, -infinity, nan,
                     -nan, 3.0e38f, 0.5f};
    const f32 safe[] = {1.0f, -1.0f, 0.0f, -0.0f, tiny, 1.0f, -1.0f, 1.0f, -1.0f, 0.0f,
                        0.0f, 1.0f, 0.5f};
    EXPECT_EQ(sound_clamp(samples, 13), 7u);
    for (u32 i = 0; i < 13; ++i) {
        EXPECT_EQ(samples[i], safe[i]) << i;
    }
    EXPECT_EQ(sound_clamp(samples, 13), 0u);
}

TEST(SoundSamples, TheHashCoversEveryFrameAndTheirCount) {
    f32 samples[8] = {0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f, 0.7f, 0.8f};
    u64 whole = sound_hash(samples, 4);
    EXPECT_NE(sound_hash(samples, 3), whole);
    samples[7] = 0.9f;
    EXPECT_NE(sound_hash(samples, 4), whole);
    EXPECT_EQ(sound_hash(samples, 0), sound_hash(nullptr, 0));
}
