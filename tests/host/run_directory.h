// A scratch run directory (build/ beside data/) that is the working
// directory while a test runs, as data/ is for the host; removed, with what
// the test left in it, when the test leaves it.
#ifndef TESTS_HOST_RUN_DIRECTORY_H
#define TESTS_HOST_RUN_DIRECTORY_H

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/system.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

struct run_directory {
    std::string root;
    char previous[512];
};

// Named for the test and the process, so runs side by side never share one.
inline run_directory enter_run_directory(const char* name) {
    run_directory run = {};
    get_working_directory(run.previous, sizeof(run.previous));
#ifdef _WIN32
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    run.root = std::string(temp) + name + std::to_string(GetCurrentProcessId());
#else
    run.root = std::string("/tmp/") + name + std::to_string(getpid());
#endif
    std::error_code ignored;
    std::filesystem::remove_all(run.root, ignored);  // an earlier run of the same id
    make_directory(run.root.c_str());
    make_directory((run.root + "/build").c_str());
    make_directory((run.root + "/data").c_str());
    EXPECT_TRUE(set_working_directory((run.root + "/data").c_str()));
    return run;
}

// Unload the builds loaded from it first: Windows keeps a loaded file.
inline void leave_run_directory(const run_directory& run) {
    set_working_directory(run.previous);
    std::error_code error;
    std::filesystem::remove_all(run.root, error);
    EXPECT_FALSE(error) << run.root << ": " << error.message();
}

#endif
