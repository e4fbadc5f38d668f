// The build watcher's status in the title: what a status file says, how the
// title is composed around it, and the poll against real files and real
// builds: read on a change, cleared by a new build and by nothing else,
// never waiting on a file that is not a regular one, and leaving the file
// services' last error alone. The same expectations on both systems.
#include <gtest/gtest.h>

#include <stdio.h>

#include <string>

#include "host/build_status.h"
#include "host/title.h"
#include "platform/file.h"
#include "platform/services.h"
#include "tests/host/run_directory.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

std::string parse(const std::string& text, u32 capacity = BUILD_STATUS_CAPACITY) {
    char part[BUILD_STATUS_CAPACITY];
    build_status_parse(text.data(), (u32)text.size(), part, capacity);
    return part;
}

TEST(build_status, the_first_line_says_what_and_the_second_why_a_build_failed) {
    const std::string message = "demo/main.cpp:12: expected ';' after expression";
    EXPECT_EQ(parse("building"), "building...");
    EXPECT_EQ(parse("building\n"), "building...");
    EXPECT_EQ(parse("building\r\nanything"), "building...");
    EXPECT_EQ(parse("failed\n" + message + "\n"), "build failed: " + message);
    EXPECT_EQ(parse("failed\r\n" + message + "\r\nmore\r\n"), "build failed: " + message);
    EXPECT_EQ(parse("failed\n" + message), "build failed: " + message);
    EXPECT_EQ(parse("failed\n" + message + "\r"), "build failed: " + message);
    // No message, or an empty one.
    EXPECT_EQ(parse("failed"), "build failed");
    EXPECT_EQ(parse("failed\r\n"), "build failed");
    EXPECT_EQ(parse("failed\n\nlater"), "build failed");
    EXPECT_EQ(parse("failed\r\n\r\n"), "build failed");
    // Control characters, a zero and a carriage return inside the line
    // included, become spaces; other bytes stay.
    EXPECT_EQ(parse(std::string("failed\na\tb\x01" "c\x7f" "d\re", 16) + std::string(1, '\0') +
                    "f \xc3\xa9\n"),
              "build failed: a b c d e f \xc3\xa9");
    // Anything else says nothing.
    for (const char* other : {"", "\n", "Building\n", "building...\n", " building\n",
                              "building \n", "failed \nmessage\n", "\nbuilding\n", "done\n",
                              "failedmessage", "buildingfailed"}) {
        EXPECT_EQ(parse(other), "") << other;
    }
    // Only the bytes read count.
    EXPECT_EQ(parse("failed\nmessage"), "build failed: message");
    char part[BUILD_STATUS_CAPACITY];
    build_status_parse("failed\nmessage", 10, part, sizeof(part));
    EXPECT_STREQ(part, "build failed: mes");
    build_status_parse("building", 7, part, sizeof(part));
    EXPECT_STREQ(part, "");
}

TEST(build_status, a_long_message_is_cut_to_the_capacity_between_characters) {
    const std::string prefix = "build failed: ";
    std::string part = parse("failed\n" + std::string(1000, 'x') + "\n");
    EXPECT_EQ(part, prefix + std::string(BUILD_STATUS_CAPACITY - 1 - prefix.size(), 'x'));
    // Two-byte characters: one that would be split is left out.
    std::string accents;
    for (int i = 0; i < 200; ++i) {
        accents += "\xc3\xa9";
    }
    u32 room = BUILD_STATUS_CAPACITY - 1 - (u32)prefix.size();
    part = parse("failed\n" + accents);
    EXPECT_EQ(part, prefix + accents.substr(0, room - room % 2));
    // Three-byte characters after one ASCII byte, for each place of the cut.
    for (u32 capacity = 17; capacity < 24; ++capacity) {
        part = parse("failed\na\xe2\x80\x98\xe2\x80\x99\xe2\x80\x98\xe2\x80\x99", capacity);
        u32 kept = capacity - 1 - (u32)prefix.size();
        std::string expected = "a" + std::string("\xe2\x80\x98\xe2\x80\x99\xe2\x80\x98")
                                         .substr(0, (kept - 1) / 3 * 3);
        EXPECT_EQ(part, prefix + expected) << capacity;
    }
}

TEST(build_status, the_title_joins_name_loop_build_and_event) {
    char title[512];
    auto compose = [&](const char* loop, const char* build, const char* event) {
        compose_title(title, sizeof(title), loop, build, event);
        return std::string(title);
    };
    // Without the middle parts, as before there were any.
    EXPECT_EQ(compose("", "", ""), "Engine");
    EXPECT_EQ(compose("", "", "Engine"), "Engine");
    EXPECT_EQ(compose("", "", "Engine - fault: x - rebuild to resume"),
              "Engine - fault: x - rebuild to resume");
    EXPECT_EQ(compose("loop 3/40", "", "Engine - fault: x"), "Engine - loop 3/40 - fault: x");
    EXPECT_EQ(compose("", "building...", ""), "Engine - building...");
    EXPECT_EQ(compose("", "building...", "Engine"), "Engine - building...");
    EXPECT_EQ(compose("loop 3/40", "building...", ""), "Engine - loop 3/40 - building...");
    EXPECT_EQ(compose("", "build failed: m", "Engine - fault: x"),
              "Engine - build failed: m - fault: x");
    EXPECT_EQ(compose("recording", "build failed", "Engine - the new build did not load: r"),
              "Engine - recording - build failed - the new build did not load: r");
    // An event that does not begin with the name shows only on its own.
    EXPECT_EQ(compose("", "building...", "Eng"), "Engine - building...");
    compose_title(title, 12, "", "building...", "");
    EXPECT_STREQ(title, "Engine - bu");
}


const std::string STATUS_PATH = std::string(MODULE_PATH) + BUILD_STATUS_SUFFIX;

// Puts bytes at path as the watcher does: written beside, then renamed.
bool replace_file(const std::string& path, const std::string& bytes) {
    std::string partial = path + ".partial";
    FILE* out = fopen(partial.c_str(), "wb");
    bool written = out && fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    if (out) fclose(out);
#ifdef _WIN32
    return written && MoveFileExA(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
#else
    return written && rename(partial.c_str(), path.c_str()) == 0;
#endif
}

bool install(const char* build) {
    FILE* in = fopen(build, "rb");
    std::string bytes;
    char chunk[1 << 16];
    size_t got;
    while (in && (got = fread(chunk, 1, sizeof(chunk), in)) > 0) {
        bytes.append(chunk, got);
    }
    if (in) fclose(in);
    return !bytes.empty() && replace_file(MODULE_PATH, bytes);
}

// One frame's poll of the module and then of the status; true when the
// status's part changed.
bool frame(module_state* module, build_status* status) {
    poll_module(module);
    return build_status_poll(status, module);
}

TEST(build_status, a_failure_shows_until_a_new_build_loads_and_again_when_the_file_changes) {
    run_directory run = enter_run_directory("build_status_poll");
    module_state module = {};
    build_status status = {};
    module_locate(&module);
    ASSERT_TRUE(install(TEST_MODULE_V1));
    EXPECT_FALSE(frame(&module, &status));  // the first build, no file: nothing to say
    ASSERT_NE(module.running.entry, nullptr);
    EXPECT_STREQ(status.part, "");

    ASSERT_TRUE(replace_file(STATUS_PATH, "building\n"));
    EXPECT_TRUE(frame(&module, &status));
    EXPECT_STREQ(status.part, "building...");
    const char* failed = "failed\r\ndemo/main.cpp:12: expected ';' after expression\r\n";
    ASSERT_TRUE(replace_file(STATUS_PATH, failed));
    EXPECT_TRUE(frame(&module, &status));
    EXPECT_STREQ(status.part, "build failed: demo/main.cpp:12: expected ';' after expression");
    EXPECT_FALSE(frame(&module, &status));
    // The same words in a new file change nothing shown.
    ASSERT_TRUE(replace_file(STATUS_PATH, failed));
    EXPECT_FALSE(frame(&module, &status));

    // A build that does not load is no good build: the failure stays.
    ASSERT_TRUE(install(TEST_MODULE_NO_ENTRY));
    EXPECT_FALSE(frame(&module, &status));
    EXPECT_STRNE(module.title, WINDOW_TITLE);
    EXPECT_STREQ(status.part, "build failed: demo/main.cpp:12: expected ';' after expression");

    // A good one clears it, though the file is still there, until the file
    // changes.
    ASSERT_TRUE(install(TEST_MODULE_V2));
    EXPECT_TRUE(frame(&module, &status));
    EXPECT_STREQ(module.title, WINDOW_TITLE);
    EXPECT_STREQ(status.part, "");
    EXPECT_FALSE(frame(&module, &status));
    EXPECT_STREQ(status.part, "");
    ASSERT_TRUE(replace_file(STATUS_PATH, "failed\nagain\n"));
    EXPECT_TRUE(frame(&module, &status));
    EXPECT_STREQ(status.part, "build failed: again");

    // A new build that arrives with a new file: the file has the last word.
    ASSERT_TRUE(install(TEST_MODULE_V1));
    ASSERT_TRUE(replace_file(STATUS_PATH, "building\n"));
    EXPECT_TRUE(frame(&module, &status));
    EXPECT_STREQ(status.part, "building...");

    // Deleted, and something else at its place.
    ASSERT_TRUE(delete_file(STATUS_PATH.c_str()));
    EXPECT_TRUE(frame(&module, &status));
    EXPECT_STREQ(status.part, "");
    ASSERT_TRUE(replace_file(STATUS_PATH, "done\n"));
    EXPECT_FALSE(frame(&module, &status));
    EXPECT_STREQ(status.part, "");
    ASSERT_TRUE(delete_file(STATUS_PATH.c_str()));

    module_fault fault = {};
    unload_build(&module, &module.running, &fault);
    unload_build(&module, &module.previous, &fault);
    leave_run_directory(run);
}

TEST(build_status, only_regular_files_are_read_and_the_modules_last_file_error_stays) {
    run_directory run = enter_run_directory("build_status_files");
    module_state module = {};
    build_status status = {};
    module_locate(&module);
    record_file_error_code(FILE_ERROR_SHARING_VIOLATION);

    char text[BUILD_STATUS_READ];
    EXPECT_EQ(read_regular_file(STATUS_PATH.c_str(), text, sizeof(text)), 0u);
    EXPECT_FALSE(build_status_poll(&status, &module));
    // A read stops at the capacity.
    ASSERT_TRUE(replace_file(STATUS_PATH, "failed\n" + std::string(3000, 'x')));
    EXPECT_EQ(read_regular_file(STATUS_PATH.c_str(), text, sizeof(text)), (u32)sizeof(text));
    EXPECT_EQ(read_regular_file(STATUS_PATH.c_str(), text, 6), 6u);
    EXPECT_EQ(std::string(text, 6), "failed");
    EXPECT_TRUE(build_status_poll(&status, &module));
    ASSERT_TRUE(delete_file(STATUS_PATH.c_str()));
    EXPECT_TRUE(build_status_poll(&status, &module));

    // A folder at the path.
    ASSERT_TRUE(make_directory(STATUS_PATH.c_str()));
    EXPECT_EQ(read_regular_file(STATUS_PATH.c_str(), text, sizeof(text)), 0u);
    EXPECT_FALSE(build_status_poll(&status, &module));
    EXPECT_STREQ(status.part, "");
#ifndef _WIN32
    rmdir(STATUS_PATH.c_str());
    // A FIFO without a writer would block an open or a read for good.
    ASSERT_EQ(mkfifo(STATUS_PATH.c_str(), 0600), 0);
    EXPECT_EQ(read_regular_file(STATUS_PATH.c_str(), text, sizeof(text)), 0u);
    EXPECT_FALSE(build_status_poll(&status, &module));
    EXPECT_STREQ(status.part, "");
    unlink(STATUS_PATH.c_str());
#else
    RemoveDirectoryA(STATUS_PATH.c_str());
#endif
    EXPECT_EQ(last_file_error().code, (u64)FILE_ERROR_SHARING_VIOLATION);
    leave_run_directory(run);
}

}  // namespace
