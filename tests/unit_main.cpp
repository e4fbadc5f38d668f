// The unit tests' main. CTest runs the native and Linux cases one process
// each, two at a time; with ENGINE_TEST_WORK set (CTest sets it), each
// process gets a fresh folder under it as its working directory, so cases
// that run at the same time never share a file name. The folder is removed
// again when every case passed and kept for a look when one failed.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace {

// A fresh folder under root named for the program; empty when none could be made.
std::string enter_fresh_folder(const char* root, const char* program) {
    mkdir(root, 0777);
    const char* base = strrchr(program, '/');
    std::string pattern = std::string(root) + "/" + (base ? base + 1 : program) + ".XXXXXX";
    if (!mkdtemp(&pattern[0]) || chdir(pattern.c_str()) != 0) {
        fprintf(stderr, "unit_main: no working directory under %s\n", root);
        exit(1);
    }
    return pattern;
}

}  // namespace
#endif

int main(int argc, char** argv) {
#ifndef _WIN32
    // A death test's child that starts afresh runs where its parent was.
    bool death_test_child = false;
    for (int i = 1; i < argc; ++i) {
        death_test_child |= strncmp(argv[i], "--gtest_internal_run_death_test", 31) == 0;
    }
    const char* root = getenv("ENGINE_TEST_WORK");
    std::string folder;
    if (root && *root && !death_test_child) folder = enter_fresh_folder(root, argv[0]);
#endif
    testing::InitGoogleTest(&argc, argv);
    int result = RUN_ALL_TESTS();
#ifndef _WIN32
    if (!folder.empty() && result == 0) {
        std::error_code ignored;
        if (chdir(root) == 0) std::filesystem::remove_all(folder, ignored);
    }
#endif
    return result;
}
