#include <gtest/gtest.h>

#include <string>

#include <windows.h>

#include "host/reload.h"

namespace {

// A scratch run directory (build\ beside data\) that is the working
// directory while a test runs, as data\ is for the host.
struct run_directory {
    std::string root;
    char previous[MAX_PATH];
};

run_directory enter_run_directory(const char* name) {
    run_directory run = {};
    GetCurrentDirectoryA(MAX_PATH, run.previous);
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    run.root = std::string(temp) + name + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(run.root.c_str(), NULL);
    CreateDirectoryA((run.root + "\\build").c_str(), NULL);
    CreateDirectoryA((run.root + "\\data").c_str(), NULL);
    SetCurrentDirectoryA((run.root + "\\data").c_str());
    DeleteFileA(MODULE_PATH);
    return run;
}

void leave_run_directory(const run_directory& run) { SetCurrentDirectoryA(run.previous); }

// Installs a build at the module path with the given last-write time.
bool install(const char* source, u64 stamp) {
    if (!CopyFileA(source, MODULE_PATH, FALSE)) {
        return false;
    }
    HANDLE file = CreateFileA(MODULE_PATH, FILE_WRITE_ATTRIBUTES, 0, NULL, OPEN_EXISTING, 0, NULL);
    FILETIME time = {(DWORD)stamp, (DWORD)(stamp >> 32)};
    bool set = SetFileTime(file, NULL, NULL, &time);
    CloseHandle(file);
    return set;
}

// Writes only the first half of a build, as a linker still at work leaves it.
void install_half(const char* source, u64 stamp) {
    HANDLE in = CreateFileA(source, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    static char bytes[1 << 22];
    DWORD size = 0;
    ReadFile(in, bytes, sizeof(bytes), &size, NULL);
    CloseHandle(in);
    HANDLE out = CreateFileA(MODULE_PATH, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    DWORD written = 0;
    WriteFile(out, bytes, size / 2, &written, NULL);
    FILETIME time = {(DWORD)stamp, (DWORD)(stamp >> 32)};
    SetFileTime(out, NULL, NULL, &time);
    CloseHandle(out);
}

u64 call(const module_state& module) {
    u64 slot = 0;
    i32 running = 1;
    back_buffer buffer = {};
    module.entry(0, 0, &running, &buffer, NULL, 0.0f, NULL, (void**)&slot);
    return slot;
}

const u64 STAMP_A = 0x01DA000012345678ull;
const u64 STAMP_B = 0x01DA000012345679ull;

TEST(module, load_decision_for_present_absent_equal_and_changed_stamps) {
    EXPECT_FALSE(module_needs_load(0, STAMP_A));                       // file absent
    EXPECT_FALSE(module_needs_load(0x0000000500000000ull, STAMP_A));   // low half 0: absent
    EXPECT_FALSE(module_needs_load(STAMP_A, STAMP_A));                 // unchanged
    EXPECT_TRUE(module_needs_load(STAMP_B, STAMP_A));                  // low half changed
    EXPECT_TRUE(module_needs_load(STAMP_A + (1ull << 32), STAMP_A));   // high half changed
    EXPECT_TRUE(module_needs_load(STAMP_A, 0));                        // nothing loaded yet
    EXPECT_FALSE(module_needs_load(0, 0));
}

TEST(module, file_time_reads_the_module_path_and_is_zero_when_absent) {
    run_directory run = enter_run_directory("module_time");
    EXPECT_EQ(module_file_time(), 0u);
    ASSERT_TRUE(install(TEST_MODULE_V1, STAMP_A));
    EXPECT_EQ(module_file_time(), STAMP_A);
    DeleteFileA(MODULE_PATH);
    leave_run_directory(run);
}

TEST(module, completeness_rejects_a_build_still_being_written) {
    run_directory run = enter_run_directory("module_complete");
    EXPECT_FALSE(library_file_complete(MODULE_PATH));  // absent
    install_half(TEST_MODULE_V1, STAMP_A);
    EXPECT_FALSE(library_file_complete(MODULE_PATH));
    ASSERT_TRUE(install(TEST_MODULE_V1, STAMP_A));
    EXPECT_TRUE(library_file_complete(MODULE_PATH));
    HANDLE text = CreateFileA(MODULE_PATH, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    DWORD written = 0;
    WriteFile(text, "MZ not an image", 15, &written, NULL);
    CloseHandle(text);
    EXPECT_FALSE(library_file_complete(MODULE_PATH));
    leave_run_directory(run);
}

TEST(module, poll_loads_reloads_and_keeps_the_module_file_writable) {
    run_directory run = enter_run_directory("module_poll");
    module_state module = {};

    poll_module(&module);  // nothing there yet: frames must not call anything
    EXPECT_EQ(module.entry, nullptr);
    EXPECT_EQ(module.time, 0u);

    ASSERT_TRUE(install(TEST_MODULE_V1, STAMP_A));
    poll_module(&module);
    ASSERT_NE(module.entry, nullptr);
    EXPECT_EQ(module.time, STAMP_A);
    EXPECT_EQ(call(module), 1u);
    EXPECT_NE(GetFileAttributesA("..\\build\\active_main.dll"), INVALID_FILE_ATTRIBUTES);

    // The loaded copy leaves the module file free for the next build.
    void* loaded = module.library;
    install_half(TEST_MODULE_V2, STAMP_B);
    poll_module(&module);
    EXPECT_EQ(module.library, loaded);  // half a build is not loaded
    EXPECT_EQ(module.time, STAMP_A);
    EXPECT_EQ(call(module), 1u);

    ASSERT_TRUE(install(TEST_MODULE_V2, STAMP_B));
    poll_module(&module);
    ASSERT_NE(module.entry, nullptr);
    EXPECT_EQ(module.time, STAMP_B);
    EXPECT_EQ(call(module), 2u);

    poll_module(&module);  // unchanged: nothing freed or loaded
    EXPECT_EQ(module.time, STAMP_B);
    EXPECT_EQ(call(module), 2u);

    DeleteFileA(MODULE_PATH);  // absent for a while: no reload, stamp kept
    poll_module(&module);
    EXPECT_EQ(module.time, STAMP_B);
    EXPECT_EQ(call(module), 2u);

    ASSERT_TRUE(install(TEST_MODULE_V1, STAMP_A + (1ull << 32)));
    poll_module(&module);
    EXPECT_EQ(call(module), 1u);
    leave_run_directory(run);
}

TEST(module, a_build_without_entry_is_loaded_once_and_never_called) {
    run_directory run = enter_run_directory("module_no_entry");
    module_state module = {};
    ASSERT_TRUE(install(TEST_MODULE_NO_ENTRY, STAMP_A));
    poll_module(&module);
    EXPECT_NE(module.library, nullptr);
    EXPECT_EQ(module.entry, nullptr);
    EXPECT_EQ(module.time, STAMP_A);  // not retried every frame

    ASSERT_TRUE(install(TEST_MODULE_V2, STAMP_B));
    poll_module(&module);
    ASSERT_NE(module.entry, nullptr);
    EXPECT_EQ(call(module), 2u);
    leave_run_directory(run);
}

TEST(module, load_module_forms_directory_plus_name_and_loads_the_copy) {
    run_directory run = enter_run_directory("module_load");
    ASSERT_TRUE(install(TEST_MODULE_V2, STAMP_A));
    module_state module = {};
    module_entry* entry = load_module(&module, "..\\build\\", "main.dll", "entry");
    ASSERT_NE(entry, nullptr);
    char loaded[MAX_PATH] = {0};
    GetModuleFileNameA((HMODULE)module.library, loaded, MAX_PATH);
    EXPECT_NE(std::string(loaded).find("active_main.dll"), std::string::npos) << loaded;

    // A missing file or export gives null, and the old module is freed first.
    EXPECT_EQ(load_module(&module, "..\\build\\", "missing.dll", "entry"), nullptr);
    EXPECT_EQ(module.library, nullptr);
    leave_run_directory(run);
}

}  // namespace
