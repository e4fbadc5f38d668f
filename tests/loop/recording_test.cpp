// Recording files: what is written reads back, every frame is in the file as
// soon as it is written, and anything else is refused with its reason.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string>

#include "loop/recording.h"
#include "platform/clock.h"

static recorded_frame make_frame(u32 i) {
    recorded_frame frame = {};
    frame.counter = 1000 + i * 333333;
    frame.frame_seconds = 0.0333f + (f32)i * 0.001f;
    frame.input.width = 640;
    frame.input.height = 480;
    frame.input.buttons[KEY_A].is_down = i % 2;
    frame.input.mouse.x = (f32)i;
    return frame;
}

static std::string read_all(const char* path) {
    std::string bytes;
    FILE* file = fopen(path, "rb");
    if (!file) return bytes;
    char chunk[4096];
    size_t got = 0;
    while ((got = fread(chunk, 1, sizeof(chunk), file)) > 0) bytes.append(chunk, got);
    fclose(file);
    return bytes;
}

static void write_all(const char* path, const std::string& bytes) {
    FILE* file = fopen(path, "wb");
    ASSERT_NE(file, nullptr);
    fwrite(bytes.data(), 1, bytes.size(), file);
    fclose(file);
}

// Writes count frames to path, leaving the file open in out.
static void record(recording_file* out, const char* path, u32 count) {
    char reason[128] = "";
    ASSERT_TRUE(recording_create(out, path, reason, sizeof(reason))) << reason;
    for (u32 i = 0; i < count; ++i) {
        recorded_frame frame = make_frame(i);
        ASSERT_TRUE(recording_write(out, &frame));
    }
}

TEST(RecordingFile, FramesReadBackAndEachIsInTheFileOnceWritten) {
    clock_start();
    const char* path = "loop_test_whole.rec";
    recording_file out = {};
    record(&out, path, 5);
    // Still open, as a host that is about to crash would have it.
    std::string bytes = read_all(path);
    ASSERT_EQ(bytes.size(), RECORDING_HEADER_SIZE + 5 * sizeof(recorded_frame));
    recording_header header;
    memcpy(&header, bytes.data(), sizeof(header));
    EXPECT_EQ(std::string((const char*)header.magic, 8), std::string("LOOPREC\x1a", 8));
    EXPECT_EQ(header.version, RECORDING_VERSION);
    EXPECT_EQ(header.input_size, 7132u);
    EXPECT_EQ(header.frame_size, 7152u);
    EXPECT_EQ(header.frame_count, 5u);
    EXPECT_EQ(header.width, 640u);
    EXPECT_EQ(header.height, 480u);
    EXPECT_EQ(header.counter_frequency, (u32)counter_frequency);

    recording frames = {};
    char reason[128] = "";
    ASSERT_TRUE(recording_load(&frames, path, reason, sizeof(reason))) << reason;
    ASSERT_EQ(frames.count, 5u);
    for (u32 i = 0; i < 5; ++i) {
        recorded_frame expected = make_frame(i);
        EXPECT_EQ(memcmp(&frames.frames[i], &expected, sizeof(expected)), 0) << i;
    }
    recording_free(&frames);
    EXPECT_EQ(frames.frames, nullptr);
    recording_close(&out);
    remove(path);
}

TEST(RecordingFile, BrokenFilesAreRefusedWithTheirReason) {
    clock_start();
    const char* path = "loop_test_source.rec";
    recording_file out = {};
    record(&out, path, 3);
    recording_close(&out);
    std::string good = read_all(path);
    remove(path);

    std::string damaged = good;
    f32 huge = 1e9f;
    memcpy(&damaged[RECORDING_HEADER_SIZE + sizeof(recorded_frame) + 16 +
                    offsetof(input_state, width)],
           &huge, 4);
    std::string empty = good.substr(0, RECORDING_HEADER_SIZE);
    empty[24] = 0;
    std::string other_record = good;
    other_record[16] = 0x10;
    struct broken {
        std::string bytes;
        const char* reason;
    } cases[] = {
        {"", "shorter than a header"},
        {good.substr(0, 40), "shorter than a header"},
        {"#!/bin/sh\n" + good.substr(10), "not a recording"},
        {good.substr(0, 8) + '\x02' + good.substr(9), "format version 2"},
        {other_record, "another input record"},
        {empty, "holds no frames"},
        {good.substr(0, good.size() - 1), "truncated: the header counts 3 frames, the file holds 2"},
        {good.substr(0, RECORDING_HEADER_SIZE), "the file holds 0"},
        {damaged, "damaged at frame 2"},
    };
    const char* broken_path = "loop_test_broken.rec";
    for (const broken& each : cases) {
        write_all(broken_path, each.bytes);
        recording frames = {};
        char reason[160] = "";
        EXPECT_FALSE(recording_load(&frames, broken_path, reason, sizeof(reason)));
        EXPECT_NE(std::string(reason).find(each.reason), std::string::npos)
            << reason << " / " << each.reason;
        EXPECT_EQ(frames.frames, nullptr);
        EXPECT_EQ(frames.count, 0u);
    }
    remove(broken_path);
    recording frames = {};
    char reason[160] = "";
    EXPECT_FALSE(recording_load(&frames, "loop_test_missing.rec", reason, sizeof(reason)));
    EXPECT_STREQ(reason, "can't be opened");

    // A longer file is read up to its header's count: the frame being
    // written when the host stopped is left out.
    write_all(broken_path, good + std::string(100, '\0'));
    ASSERT_TRUE(recording_load(&frames, broken_path, reason, sizeof(reason))) << reason;
    EXPECT_EQ(frames.count, 3u);
    recording_free(&frames);
    remove(broken_path);
}

TEST(RecordingMemory, AppendsGrowAndKeepEveryFrame) {
    recording frames = {};
    for (u32 i = 0; i < 1000; ++i) {
        recorded_frame frame = make_frame(i);
        ASSERT_TRUE(recording_append(&frames, &frame));
    }
    EXPECT_EQ(frames.count, 1000u);
    EXPECT_GE(frames.capacity, 1000u);
    for (u32 i = 0; i < 1000; i += 111) {
        EXPECT_EQ(frames.frames[i].input.mouse.x, (f32)i);
        EXPECT_EQ(frames.frames[i].counter, make_frame(i).counter);
    }
    recording_free(&frames);
}
