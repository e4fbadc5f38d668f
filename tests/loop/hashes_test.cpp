// The --hashes and --check files: three columns for frames without sound,
// a fourth for the samples of frames with it, both read back, and lines that
// are neither refused.
#include <gtest/gtest.h>
#include <stdio.h>

#include <string>

#include "loop/loop.h"
#include "platform/clock.h"

struct check_run {
    loop_state loop = {};
    back_buffer buffer = {};
    i32 running = 1;
    void* slot = nullptr;
    input_state input = {};
    // In the test's own working directory: two cases run at once never share
    // it, and nothing is left in the system's temporary folder.
    std::string path = "hashes_test.txt";

    // The hashes as this process's frames give them, for a file's lines.
    std::string line(u32 frame, const char* samples = nullptr) {
        char text[128];
        snprintf(text, sizeof(text), "%u %016llx %016llx%s%s\n", frame,
                 (unsigned long long)back_buffer_hash(&buffer),
                 (unsigned long long)module_memory_hash(slot), samples ? " " : "",
                 samples ? samples : "");
        return text;
    }

    bool open(const std::string& text, char* message, u32 capacity) {
        FILE* file = fopen(path.c_str(), "wb");
        fputs(text.c_str(), file);
        fclose(file);
        clock_start();
        host_options options = {};
        options.check = path.c_str();
        return loop_open(&loop, &options, message, capacity);
    }

    // One frame that made sound when samples is given (its hash).
    void frame(bool made_sound, u64 samples = 0) {
        loop_begin_frame(&loop, &slot, &input);
        loop_note_sound(&loop, made_sound, samples);
        loop_end_frame(&loop, &buffer, slot, &running);
    }
};

TEST(HashFiles, FramesWithAndWithoutSamplesAreCheckedColumnByColumn) {
    check_run run;
    char message[256] = "";
    ASSERT_TRUE(run.open(run.line(1) + run.line(2, "00000000000000ab") + "\n" +
                             run.line(3, "00000000000000cd") + run.line(4),
                         message, sizeof(message)))
        << message;
    run.frame(false);
    run.frame(true, 0xab);
    EXPECT_EQ(run.running, 1);
    testing::internal::CaptureStderr();
    run.frame(true, 0xce);
    EXPECT_EQ(run.running, 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Engine: check failed at frame 3: samples differ\n");
    EXPECT_EQ(loop_finish(&run.loop), EXIT_CHECK_FAILED);
}

TEST(HashFiles, AFrameWithSoundAgainstOneWithoutDiffers) {
    for (bool recorded_sound : {false, true}) {
        check_run run;
        char message[256] = "";
        ASSERT_TRUE(run.open(run.line(1, recorded_sound ? "0000000000000001" : nullptr),
                             message, sizeof(message)));
        testing::internal::CaptureStderr();
        run.frame(!recorded_sound, 1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "Engine: check failed at frame 1: samples differ\n");
        loop_finish(&run.loop);
    }
}

TEST(HashFiles, LinesThatAreNotHashesAreRefusedWithTheirNumber) {
    const char* bad[] = {
        "1 0 0 0 0\n",      // a fifth column
        "1 0 0 zz\n",       // a fourth that is no number
        "1 0\n",            // two columns
        "2 0 0\n",          // out of order
        "1 0 0 0 trailing\n",
        "",                 // no frame at all
    };
    for (const char* text : bad) {
        check_run run;
        char message[256] = "";
        EXPECT_FALSE(run.open(text, message, sizeof(message))) << text;
        EXPECT_NE(std::string(message).find("is not a hash file: line 1 is not"),
                  std::string::npos)
            << message;
        loop_finish(&run.loop);
    }
    check_run run;
    char message[256] = "";
    EXPECT_FALSE(run.open("1 0 0\n2 0 0 1 2\n", message, sizeof(message)));
    EXPECT_NE(std::string(message).find("line 2"), std::string::npos) << message;
    loop_finish(&run.loop);
}
