// The module poll and reload on the real loader: stamps, the completeness
// check on builds still being written, loading a copy, reloads that keep the
// previous build, a build that does not load. The same expectations on both
// systems.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <string>

#include "guard/fault.h"
#include "host/call_module.h"
#include "host/fault_marker.h"
#include "host/title.h"
#include "host/reload.h"
#include "platform/services.h"
#include "tests/host/run_directory.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {


// Unloads what a test loaded: the loader would otherwise hand a later test,
// whose copy has the same relative name, the library it already holds.
void unload(module_state* module) {
    module_fault fault = {};
    unload_build(module, &module->running, &fault);
    unload_build(module, &module->previous, &fault);
}

// Gives the file at path a last-write time, as a 64-bit file time.
bool set_stamp(const char* path, u64 stamp) {
#ifdef _WIN32
    HANDLE file = CreateFileA(path, FILE_WRITE_ATTRIBUTES, 0, NULL, OPEN_EXISTING, 0, NULL);
    FILETIME time = {(DWORD)stamp, (DWORD)(stamp >> 32)};
    bool set = SetFileTime(file, NULL, NULL, &time);
    CloseHandle(file);
    return set;
#else
    const u64 unix_epoch = 116444736000000000ull;  // 1970 in 100 ns steps since 1601
    struct timespec times[2];
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = (time_t)((stamp - unix_epoch) / 10000000);
    times[1].tv_nsec = (long)((stamp - unix_epoch) % 10000000 * 100);
    return utimensat(AT_FDCWD, path, times, 0) == 0;
#endif
}

std::string read_whole(const char* path) {
    std::string bytes;
    FILE* in = fopen(path, "rb");
    char chunk[1 << 16];
    size_t got;
    while (in && (got = fread(chunk, 1, sizeof(chunk), in)) > 0) {
        bytes.append(chunk, got);
    }
    if (in) fclose(in);
    return bytes;
}

bool write_whole(const char* path, const std::string& bytes) {
    FILE* out = fopen(path, "wb");
    bool written = out && fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    if (out) fclose(out);
    return written;
}

// Installs a build at the module path with the given last-write time.
bool install(const char* source, u64 stamp) {
    std::string bytes = read_whole(source);
    return !bytes.empty() && write_whole(MODULE_PATH, bytes) && set_stamp(MODULE_PATH, stamp);
}

// Writes only the first half of a build, as a linker still at work leaves it.
bool install_half(const char* source, u64 stamp) {
    std::string bytes = read_whole(source);
    return !bytes.empty() && write_whole(MODULE_PATH, bytes.substr(0, bytes.size() / 2)) &&
           set_stamp(MODULE_PATH, stamp);
}

bool exists(const std::string& path) { return read_whole(path.c_str()).size() > 0; }

u64 call(module_entry* entry) {
    u64 slot = 0;
    i32 running = 1;
    back_buffer buffer = {};
    entry(0, 0, &running, &buffer, NULL, 0.0f, NULL, (void**)&slot);
    return slot;
}

u64 call(const module_state& module) { return call(module.running.entry); }

const u64 STAMP_A = 0x01DA000012345678ull;
const u64 STAMP_B = 0x01DA000012345679ull;

TEST(module, load_decision_for_present_absent_equal_and_changed_stamps) {
    EXPECT_FALSE(module_needs_load(0, 0, 1, STAMP_A));                      // file absent
    EXPECT_TRUE(module_needs_load(1, 0x0000000500000000ull, 1, STAMP_A));   // low half 0, there
    EXPECT_FALSE(module_needs_load(1, STAMP_A, 1, STAMP_A));                // unchanged
    EXPECT_TRUE(module_needs_load(1, STAMP_B, 1, STAMP_A));                 // low half changed
    EXPECT_TRUE(module_needs_load(1, STAMP_A + (1ull << 32), 1, STAMP_A));  // high half changed
    EXPECT_TRUE(module_needs_load(1, STAMP_A, 0, 0));                       // nothing tried yet
    EXPECT_TRUE(module_needs_load(1, 0, 0, 0));   // a file stamped 0 is still there
    EXPECT_FALSE(module_needs_load(1, 0, 1, 0));
    EXPECT_FALSE(module_needs_load(0, 0, 0, 0));
}

TEST(module, file_time_reads_the_module_path_and_is_zero_when_absent) {
    run_directory run = enter_run_directory("module_time");
    module_state module = {};
    EXPECT_EQ(module_file_time(&module), 0u);
    ASSERT_TRUE(install(TEST_MODULE_V1, STAMP_A));
    EXPECT_EQ(module_file_time(&module), STAMP_A);
    delete_file(MODULE_PATH);
    leave_run_directory(run);
}

TEST(module, a_stamp_whose_low_half_is_zero_is_present) {
    run_directory run = enter_run_directory("module_low_zero");
    module_state module = {};
    ASSERT_TRUE(install(TEST_MODULE_V1, 0x01DA000000000000ull));
    poll_module(&module);  // at start-up
    ASSERT_NE(module.running.entry, nullptr);
    EXPECT_EQ(call(module), 1u);
    ASSERT_TRUE(install(TEST_MODULE_V2, 0x01DB000000000000ull));  // the high half differs
    poll_module(&module);
    EXPECT_EQ(call(module), 2u);
    unload(&module);
    leave_run_directory(run);
}

TEST(module, completeness_rejects_a_build_still_being_written) {
    run_directory run = enter_run_directory("module_complete");
    EXPECT_FALSE(library_file_complete(MODULE_PATH));  // absent
    ASSERT_TRUE(install_half(TEST_MODULE_V1, STAMP_A));
    EXPECT_FALSE(library_file_complete(MODULE_PATH));
    ASSERT_TRUE(install(TEST_MODULE_V1, STAMP_A));
    EXPECT_TRUE(library_file_complete(MODULE_PATH));
    // A file of the right size whose headers say otherwise.
    std::string whole = read_whole(TEST_MODULE_V1);
    ASSERT_TRUE(write_whole(MODULE_PATH, "MZ\x7F" "ELF not an image" + whole));
    EXPECT_FALSE(library_file_complete(MODULE_PATH));
#ifndef _WIN32
    // An image whose section headers, last in the file, say it goes on.
    ASSERT_TRUE(write_whole(MODULE_PATH, whole.substr(0, whole.size() - 1)));
    EXPECT_FALSE(library_file_complete(MODULE_PATH));
#endif
    leave_run_directory(run);
}

TEST(module, poll_loads_reloads_keeps_the_previous_build_and_the_module_file_writable) {
    run_directory run = enter_run_directory("module_poll");
    module_state module = {};

    poll_module(&module);  // nothing there yet: frames must not call anything
    EXPECT_EQ(module.running.entry, nullptr);
    EXPECT_EQ(module.time, 0u);
    EXPECT_FALSE(module.title_changed);

    ASSERT_TRUE(install(TEST_MODULE_V1, STAMP_A));
    poll_module(&module);
    ASSERT_NE(module.running.entry, nullptr);
    EXPECT_EQ(module.time, STAMP_A);
    EXPECT_EQ(module.running.time, STAMP_A);
    EXPECT_EQ(module.previous.library, nullptr);
    EXPECT_STREQ(module.title, WINDOW_TITLE);
    EXPECT_EQ(call(module), 1u);
    std::string first_copy = module.running.copy_path;
    EXPECT_TRUE(exists(first_copy)) << first_copy;

    // The loaded copy leaves the module file free for the next build.
    void* loaded = module.running.library;
    ASSERT_TRUE(install_half(TEST_MODULE_V2, STAMP_B));
    poll_module(&module);
    EXPECT_EQ(module.running.library, loaded);  // half a build is not loaded
    EXPECT_EQ(module.time, STAMP_A);
    EXPECT_EQ(call(module), 1u);

    // The new build runs once the old one is unloaded; the old one's copy
    // stays as its way back.
    ASSERT_TRUE(install(TEST_MODULE_V2, STAMP_B));
    poll_module(&module);
    ASSERT_NE(module.running.entry, nullptr);
    EXPECT_EQ(module.time, STAMP_B);
    EXPECT_EQ(call(module), 2u);
    EXPECT_EQ(read_whole("lifecycle.log"), "+1-1+2");
    EXPECT_EQ(module.previous.library, nullptr);
    EXPECT_EQ(std::string(module.previous.copy_path), first_copy);
    EXPECT_NE(first_copy, module.running.copy_path);
    EXPECT_TRUE(exists(first_copy)) << first_copy;
    EXPECT_TRUE(exists(module.running.copy_path)) << module.running.copy_path;

    poll_module(&module);  // unchanged: nothing freed or loaded
    EXPECT_EQ(module.time, STAMP_B);
    EXPECT_EQ(call(module), 2u);

    ASSERT_TRUE(delete_file(MODULE_PATH));  // absent for a while: no reload, stamp kept
    poll_module(&module);
    EXPECT_EQ(module.time, STAMP_B);
    EXPECT_EQ(call(module), 2u);

    // A third build: the first one's copy goes, the second's is kept.
    std::string second_copy = module.running.copy_path;
    ASSERT_TRUE(install(TEST_MODULE_V1, STAMP_A + (1ull << 32)));
    poll_module(&module);
    EXPECT_EQ(call(module), 1u);
    EXPECT_EQ(std::string(module.previous.copy_path), second_copy);
    EXPECT_FALSE(exists(first_copy)) << first_copy;
    EXPECT_EQ(module.copies, 3u);

    // The way back: the third build goes, the second comes back from its
    // copy under a name of its own, with fresh static data.
    module_build third = module.running;
    module_fault fault = {};
    EXPECT_TRUE(unload_build(&module, &third, &fault));
    module.running = third;
    ASSERT_TRUE(reload_previous(&module));
    EXPECT_EQ(call(module), 2u);
    EXPECT_EQ(module.previous.copy_path[0], 0);
    EXPECT_FALSE(exists(second_copy)) << second_copy;
    EXPECT_TRUE(exists(module.running.copy_path)) << module.running.copy_path;
    EXPECT_EQ(read_whole("lifecycle.log"), "+1-1+2-2+1-1+2");
    EXPECT_FALSE(reload_previous(&module));  // none kept now
    unload(&module);
    leave_run_directory(run);
}

TEST(module, a_build_that_does_not_load_is_named_kept_out_and_tried_once) {
    run_directory run = enter_run_directory("module_no_entry");
    module_state module = {};
    ASSERT_TRUE(install(TEST_MODULE_V1, STAMP_A));
    poll_module(&module);
    void* running = module.running.library;
    ASSERT_NE(running, nullptr);
    module.title_changed = 0;

    ASSERT_TRUE(install(TEST_MODULE_NO_ENTRY, STAMP_B));
    poll_module(&module);
    // The build it was to replace was unloaded first, and comes back.
    EXPECT_EQ(read_whole("lifecycle.log"), "+1-1+0-0+1");
    ASSERT_NE(module.running.library, nullptr);
    EXPECT_EQ(call(module), 1u);
    EXPECT_EQ(module.previous.copy_path[0], 0);
    EXPECT_EQ(module.time, STAMP_B);
    EXPECT_TRUE(module.title_changed);
    EXPECT_STREQ(module.title,
                 WINDOW_TITLE " - the new build did not load: no entry export - rebuild to retry");
    u32 copies = module.copies;
    EXPECT_EQ(copies, 3u);  // the failed build's, and the running one's again
    // Not copied or loaded again until the file changes.
    for (int frame = 0; frame < 5; ++frame) {
        poll_module(&module);
    }
    EXPECT_EQ(module.copies, copies);

    ASSERT_TRUE(install(TEST_MODULE_V2, STAMP_A + 7));
    std::string kept = module.running.copy_path;
    poll_module(&module);
    EXPECT_EQ(call(module), 2u);
    EXPECT_EQ(std::string(module.previous.copy_path), kept);
    EXPECT_STREQ(module.title, WINDOW_TITLE);
    unload(&module);
    leave_run_directory(run);
}

// Writes a build whose headers say something this host can never load.
bool install_patched(const char* source, u64 stamp, u32 offset, u32 value, u32 bytes) {
    std::string image = read_whole(source);
    if (image.size() < offset + bytes) {
        return false;
    }
    for (u32 i = 0; i < bytes; ++i) {
        image[offset + i] = (char)((value >> (8 * i)) & 0xFF);
    }
    return write_whole(MODULE_PATH, image) && set_stamp(MODULE_PATH, stamp);
}

#ifdef _WIN32
u32 little_endian(const std::string& bytes, u32 offset) {
    return (u8)bytes[offset] | (u8)bytes[offset + 1] << 8 | (u8)bytes[offset + 2] << 16 |
           (u32)(u8)bytes[offset + 3] << 24;
}
#endif

TEST(module, a_build_that_can_never_load_is_named_at_once_and_the_running_one_runs_on) {
    run_directory run = enter_run_directory("module_foreign");
    module_state module = {};
    ASSERT_TRUE(install(TEST_MODULE_V1, STAMP_A));
    poll_module(&module);
    void* running = module.running.library;
    ASSERT_NE(running, nullptr);
    struct patch {
        u32 offset;
        u32 value;
        u32 bytes;
        const char* reason;
    };
#ifdef _WIN32
    u32 pe = little_endian(read_whole(TEST_MODULE_V1), 0x3C);
    u32 characteristics = (u8)read_whole(TEST_MODULE_V1)[pe + 22] |
                          (u8)read_whole(TEST_MODULE_V1)[pe + 23] << 8;
    const patch patches[] = {
        {pe + 24, 0x10B, 2, "a 32-bit library"},
        {pe + 4, 0xAA64, 2, "a library for another machine"},
        {pe + 22, characteristics & ~0x2000u, 2, "an executable, not a library"},
    };
#else
    const patch patches[] = {
        {4, 1, 1, "a 32-bit library"},              // EI_CLASS: ELFCLASS32
        {18, 183, 2, "a library for another machine"},  // e_machine: AArch64
        {16, 2, 2, "an executable, not a library"},      // e_type: ET_EXEC
    };
#endif
    u64 stamp = STAMP_B;
    for (const patch& each : patches) {
        ASSERT_TRUE(install_patched(TEST_MODULE_V1, ++stamp, each.offset, each.value, each.bytes));
        u32 copies = module.copies;
        poll_module(&module);
        EXPECT_EQ(module.title, std::string(WINDOW_TITLE " - the new build did not load: ") +
                                    each.reason + " - rebuild to retry");
        EXPECT_EQ(module.time, stamp);
        EXPECT_EQ(module.copies, copies);  // not copied, the running build not touched
        EXPECT_EQ(module.running.library, running);
        EXPECT_EQ(call(module), 1u);
    }
    EXPECT_EQ(read_whole("lifecycle.log"), "+1");
    unload(&module);
    leave_run_directory(run);
}

TEST(module, another_build_with_the_same_stamp_is_loaded_once) {
    run_directory run = enter_run_directory("module_same_stamp");
    module_state module = {};
    ASSERT_TRUE(install(TEST_MODULE_V1, STAMP_A));
    poll_module(&module);
    EXPECT_EQ(call(module), 1u);
    // As `cp -p` or `rsync -t` leave it: another build, the stamp kept. The
    // file's entry tells its size; POSIX's also its status change, so even a
    // build of the same size written in place is seen.
    const char* other = TEST_MODULE_V2;
    u64 version = 2;
#ifndef _WIN32
    ASSERT_TRUE(install(TEST_MODULE_V2, STAMP_A));
    poll_module(&module);
    EXPECT_EQ(call(module), 2u);
    other = TEST_MODULE_V1;
    version = 1;
#endif
    ASSERT_TRUE(write_whole(MODULE_PATH, read_whole(other) + std::string(512, '\0')) &&
                set_stamp(MODULE_PATH, STAMP_A));
    poll_module(&module);
    EXPECT_EQ(call(module), version);
    u32 copies = module.copies;
    poll_module(&module);
    poll_module(&module);
    EXPECT_EQ(module.copies, copies);  // the same file is not loaded again
    unload(&module);
    leave_run_directory(run);
}

// The module's path as start-up forms it from a working directory: the
// build folder beside it, the root kept whatever its form, and a copy that
// would not fit said once, with its length.
TEST(module, located_from_the_working_directory_with_its_root_and_length) {
    struct place {
        const char* working_directory;
        const char* path;
    };
#ifdef _WIN32
    const place places[] = {
        {"C:/app/data", "C:\\app\\build\\main.dll"},
        {"C:", "C:\\build\\main.dll"},  // the drive's root: ".." is the root again
        {"//server/share/app/data", "\\\\server\\share\\app\\build\\main.dll"},
        {"//server/share", "\\\\server\\share\\build\\main.dll"},
        {"//?/C:/app/data", "\\\\?\\C:\\app\\build\\main.dll"},
        {"//?/UNC/server/share/data", "\\\\?\\UNC\\server\\share\\build\\main.dll"},
        {"//./C:/data", "\\\\.\\C:\\build\\main.dll"},
    };
#else
    const place places[] = {
        {"/tmp/app/data", "/tmp/app/build/main.so"},
        {"/data", "/build/main.so"},
        {"", "/build/main.so"},  // the root, as the service gives it
    };
#endif
    module_state module = {};
    for (const place& each : places) {
        module_locate_from(&module, each.working_directory);
        EXPECT_EQ(std::string(module.path), each.path) << each.working_directory;
        EXPECT_EQ(module.too_long, 0u);
    }
    // The longest working directory whose copies fit, and one more character.
    std::string folder = std::string(MODULE_DIRECTORY).substr(3);  // "build/"
    u32 copy_name = build_copy_name_length(MODULE_NAME);
    std::string root = "/";
#ifdef _WIN32
    root = "C:/";
#endif
    std::string longest = root + std::string(258 - copy_name - folder.size() - root.size(), 'a') +
                          "/data";
    module_locate_from(&module, longest.c_str());
    EXPECT_EQ(module.too_long, 0u);
    EXPECT_FALSE(module.title_changed);
    char copy[MODULE_PATH_CAPACITY];
    ASSERT_TRUE(build_copy_name(copy, sizeof(copy), MODULE_NAME, 4294967295u, 4294967295u));
    EXPECT_EQ(strlen(module.directory) + strlen(copy), 259u);
    module_locate_from(&module, (root + "b" + longest.substr(root.size())).c_str());
    EXPECT_EQ(module.too_long, 260u);
    EXPECT_STREQ(module.title, WINDOW_TITLE
                 " - the module path is too long for the copy the host loads: 260 characters");
    u32 copies = module.copies;
    poll_module(&module);  // nothing to try: no copy is made, no title again
    EXPECT_EQ(module.copies, copies);
}

TEST(module, located_it_reloads_whatever_the_working_directory_becomes) {
    run_directory run = enter_run_directory("module_located");
    module_state module = {};
    module_locate(&module);
    EXPECT_NE(std::string(module.path).find(MODULE_NAME), std::string::npos) << module.path;
    ASSERT_TRUE(install(TEST_MODULE_V1, STAMP_A));
    poll_module(&module);
    EXPECT_EQ(call(module), 1u);
    make_directory("deeper");  // or left by an earlier run of the same id
    ASSERT_TRUE(set_working_directory("deeper"));  // as a module may
    ASSERT_TRUE(set_working_directory(".."));
    ASSERT_TRUE(install(TEST_MODULE_V2, STAMP_B));
    ASSERT_TRUE(set_working_directory("deeper"));
    poll_module(&module);
    EXPECT_EQ(call(module), 2u);
    ASSERT_TRUE(set_working_directory(".."));
    unload(&module);
    remove_directory("deeper");
    leave_run_directory(run);
}

TEST(module, load_build_loads_a_copy_of_directory_plus_name) {
    run_directory run = enter_run_directory("module_load");
    ASSERT_TRUE(install(TEST_MODULE_V2, STAMP_A));
    module_state module = {};
    char reason[128];
    ASSERT_EQ(load_build(&module, MODULE_DIRECTORY, MODULE_NAME, "entry", &module.running,
                         reason, sizeof(reason)),
              LOAD_DONE);
    EXPECT_NE(std::string(module.running.copy_path).find("active_" MODULE_NAME "."),
              std::string::npos)
        << module.running.copy_path;
    EXPECT_EQ(call(module), 2u);
#ifdef _WIN32
    char loaded[MAX_PATH] = {0};
    GetModuleFileNameA((HMODULE)module.running.library, loaded, MAX_PATH);
    EXPECT_NE(std::string(loaded).find("active_main.dll."), std::string::npos) << loaded;
#endif

    // A file that can't be copied is tried again; nothing loaded is touched.
    module_build other = {};
    EXPECT_EQ(load_build(&module, MODULE_DIRECTORY, "missing", "entry", &other, reason,
                         sizeof(reason)),
              LOAD_RETRY);
    EXPECT_EQ(other.library, nullptr);
    EXPECT_EQ(call(module), 2u);
    unload(&module);
    leave_run_directory(run);
}

TEST(module, the_first_load_removes_copies_that_ended_hosts_left) {
    run_directory run = enter_run_directory("module_sweep");
    ASSERT_TRUE(install(TEST_MODULE_V1, STAMP_A));
    std::string build = std::string(MODULE_DIRECTORY) + "active_" MODULE_NAME ".";
    // Hosts before this one wrote the numbers with as many digits as they had.
    std::string ended_before = build + "3999999.1";
    char name[MODULE_PATH_CAPACITY];
    ASSERT_TRUE(build_copy_name(name, sizeof(name), MODULE_NAME, 3999998, 12));
    std::string ended = std::string(MODULE_DIRECTORY) + name;
    std::string ours = build + std::to_string(process_id()) + ".9";
    std::string other = build + "notapid";
    ASSERT_FALSE(process_alive(3999999));
    ASSERT_FALSE(process_alive(3999998));
    for (const std::string& path : {ended_before, ended, ours, other}) {
        ASSERT_TRUE(write_whole(path.c_str(), "left behind"));
    }
    module_state module = {};
    poll_module(&module);
    ASSERT_NE(module.running.entry, nullptr);
    EXPECT_FALSE(exists(ended_before));
    EXPECT_FALSE(exists(ended));
    // This host's own names, and names that are not copies, are not touched.
    EXPECT_TRUE(exists(ours));
    EXPECT_TRUE(exists(other));
    unload(&module);
    leave_run_directory(run);
}

}  // namespace
