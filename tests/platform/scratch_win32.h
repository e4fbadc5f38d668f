// Test helpers: a fresh scratch folder as the working directory, and files
// made and read with the system's own calls rather than the services.
#ifndef TESTS_PLATFORM_SCRATCH_WIN32_H
#define TESTS_PLATFORM_SCRATCH_WIN32_H

#include <windows.h>

#include <string>

#include "engine/base/types.h"

// Creates an empty folder under the temporary directory and makes it the
// working directory; scratch_leave restores the old one and deletes the folder.
struct scratch_folder {
    char path[MAX_PATH];
    char previous[MAX_PATH];
};
void scratch_enter(scratch_folder* scratch);
void scratch_leave(scratch_folder* scratch);

// Deletes a directory and everything in it.
void delete_tree(const char* path);

void write_text(const char* path, const std::string& text);
std::string read_text(const char* path);
bool path_present(const char* path);
bool is_directory(const char* path);

// "d123456789/d123456789/.../" components followed by name, exactly length
// characters long (name padded with 'n' where needed).
std::string long_path(u32 length);

// A window of the host's class on the test display, shown or not, with its
// first messages dispatched.
HWND make_host_window(bool show);

// Runs statement in a child process under EXPECT_EXIT and expects it to end
// by the given structured exception; the child turns an unhandled exception
// into its exit code.
void exit_with_exception_code(void);

#endif
