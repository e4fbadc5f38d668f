// The loop's state machine, driven frame by frame as the host drives it,
// with a stand-in for the module that keeps a counter in a real block.
#include <gtest/gtest.h>

#include "input/frame.h"
#include "loop/loop.h"
#include "platform/clock.h"

typedef struct stand_in {
    u64 frames;
    u64 a_presses;
} stand_in;

struct loop_run {
    loop_state loop = {};
    void* slot = nullptr;
    input_state input = {};
    back_buffer buffer = {};
    i32 running = 1;
    i64 counter = 1000;
    // What the stand-in saw in its last frame.
    input_state seen = {};
    f32 seen_seconds = 0;
    u64 readings[2] = {};
    stand_in state_seen = {};

    // The loop as a host started without options opens it.
    void open() {
        clock_start();
        host_options none = {};
        char message[128] = "";
        ASSERT_TRUE(loop_open(&loop, &none, message, sizeof(message))) << message;
    }

    // One frame; press, when not KEY_NULL, is pressed live during it.
    void frame(u32 press = KEY_NULL, u32 release = KEY_NULL) {
        counter += 333333;
        loop_begin_frame(&loop, &slot, &input);
        u32 width = 320;
        u32 height = 200;
        loop_buffer_size(&loop, &width, &height);
        input_state* live = loop_live_input(&loop, &input);
        input_begin_frame(live, 0, width, height);
        loop_after_input_begin(&loop, live);
        if (press) button_transition(&live->buttons[press], 1, 7);
        if (release) button_transition(&live->buttons[release], 0, 8);
        input_end_frame(live);
        f32 seconds = 0.03f + (f32)(counter % 7) * 0.001f;
        loop_feed(&loop, &input, counter, &seconds);
        module(seconds);
        loop_end_frame(&loop, &buffer, slot, &running);
    }

    void module(f32 seconds) {
        if (!slot) slot = allocate_memory(sizeof(stand_in), NULL, 0).memory;
        stand_in* state = (stand_in*)slot;
        seen = input;
        seen_seconds = seconds;
        readings[0] = loop_get_counter();
        readings[1] = loop_get_counter();
        state_seen = *state;
        state->frames += 1;
        state->a_presses += input.buttons[KEY_A].transitions;
    }
};

static bool same_input(const input_state& a, const input_state& b) {
    return memcmp((const u8*)&a + sizeof(loop_info), (const u8*)&b + sizeof(loop_info),
                  sizeof(a) - sizeof(loop_info)) == 0;
}

TEST(LoopStates, RecordLoopRoundsAndBackToLiveWithKeysReleased) {
    loop_run run;
    run.open();
    run.frame();
    run.frame();
    EXPECT_EQ(run.seen.loop.mode, (u32)LOOP_LIVE);
    EXPECT_EQ(run.loop.title_changed, 0);

    // The chord taken by a pump records from the next frame on.
    loop_take_chords(&run.loop, 1);
    std::vector<input_state> recorded;
    std::vector<f32> seconds;
    std::vector<u64> counters;
    std::vector<stand_in> states;
    for (u32 i = 0; i < 5; ++i) {
        run.frame(i == 1 ? KEY_A : KEY_NULL);
        EXPECT_EQ(run.seen.loop.mode, (u32)LOOP_RECORDING);
        EXPECT_EQ(run.seen.loop.frame, i + 1);
        EXPECT_STREQ(run.loop.title, "recording");
        recorded.push_back(run.seen);
        seconds.push_back(run.seen_seconds);
        counters.push_back((u64)run.counter);
        states.push_back(run.state_seen);
    }
    EXPECT_EQ(run.seen.buttons[KEY_A].is_down, 1u);

    // The second: each round replays the frames on the snapshot's state,
    // live input (B) kept apart.
    loop_take_chords(&run.loop, 1);
    for (u32 round = 1; round <= 2; ++round) {
        for (u32 i = 0; i < 5; ++i) {
            run.frame(KEY_B);
            const loop_info& info = run.seen.loop;
            EXPECT_EQ(info.mode, (u32)LOOP_REPLAYING);
            EXPECT_EQ(info.frame, i + 1);
            EXPECT_EQ(info.frames, 5u);
            EXPECT_EQ(info.round, round);
            EXPECT_EQ(info.flags, LOOP_REPEATS);
            EXPECT_TRUE(same_input(run.seen, recorded[i])) << round << " " << i;
            EXPECT_EQ(run.seen_seconds, seconds[i]);
            EXPECT_EQ(run.readings[0], counters[i]);
            EXPECT_EQ(run.readings[1], counters[i] + 1);
            EXPECT_EQ(run.state_seen.frames, states[i].frames);
            EXPECT_EQ(run.state_seen.a_presses, states[i].a_presses);
            EXPECT_EQ(run.seen.buttons[KEY_B].is_down, 0u);
        }
    }
    EXPECT_STREQ(run.loop.title, "loop 5/5");

    // The third: live, every key released: A, held at the recording's end,
    // goes up in the first live frame; B, held live, waits for a new press.
    loop_take_chords(&run.loop, 1);
    run.frame();
    EXPECT_EQ(run.seen.loop.mode, (u32)LOOP_LIVE);
    EXPECT_EQ(run.seen.loop.round, 0u);
    EXPECT_EQ(run.seen.buttons[KEY_A].is_down, 0u);
    EXPECT_EQ(run.seen.buttons[KEY_A].transitions, 1u);
    EXPECT_EQ(run.seen.buttons[KEY_B].is_down, 0u);
    EXPECT_STREQ(run.loop.title, "");
    EXPECT_NE(run.readings[0], (u64)run.counter);  // the real counter again
    EXPECT_EQ(loop_finish(&run.loop), 0);
}

TEST(LoopStates, TwoChordsInOneFrameRecordOneFrameThenLoopIt) {
    loop_run run;
    run.open();
    loop_take_chords(&run.loop, 2);
    run.frame(KEY_C);
    EXPECT_EQ(run.seen.loop.mode, (u32)LOOP_RECORDING);
    input_state recorded = run.seen;
    for (u32 round = 1; round <= 3; ++round) {
        run.frame();
        EXPECT_EQ(run.seen.loop.mode, (u32)LOOP_REPLAYING);
        EXPECT_EQ(run.seen.loop.frames, 1u);
        EXPECT_EQ(run.seen.loop.round, round);
        EXPECT_TRUE(same_input(run.seen, recorded));
        EXPECT_EQ(run.state_seen.frames, 0u);
    }
    EXPECT_EQ(loop_finish(&run.loop), 0);
}

TEST(LoopStates, AChordRecordingLoopsByItselfAtItsLimit) {
    loop_run run;
    run.open();
    loop_take_chords(&run.loop, 1);
    for (u32 i = 0; i < LOOP_CHORD_MAX_FRAMES; ++i) {
        run.frame();
        ASSERT_EQ(run.seen.loop.mode, (u32)LOOP_RECORDING) << i;
    }
    run.frame();
    EXPECT_EQ(run.seen.loop.mode, (u32)LOOP_REPLAYING);
    EXPECT_EQ(run.seen.loop.frames, LOOP_CHORD_MAX_FRAMES);
    EXPECT_EQ(run.seen.loop.frame, 1u);
    EXPECT_EQ(loop_finish(&run.loop), 0);
}
