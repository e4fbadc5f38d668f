// Test helpers: a fresh scratch folder as the working directory, files made
// and read with the system's own calls rather than the services, and a child
// process to watch a fault in.
#ifndef TESTS_PLATFORM_SCRATCH_POSIX_H
#define TESTS_PLATFORM_SCRATCH_POSIX_H

#include <limits.h>

#include <string>

#include "engine/base/types.h"

// Creates an empty folder under /tmp and makes it the working directory;
// scratch_leave restores the old one and deletes the folder and its contents.
struct scratch_folder {
    char path[PATH_MAX];
    char previous[PATH_MAX];
};
void scratch_enter(scratch_folder* scratch);
void scratch_leave(scratch_folder* scratch);

void write_text(const char* path, const std::string& text);
std::string read_text(const char* path);
bool path_present(const char* path);
bool is_directory(const char* path);

// Sets a file's access and write times, seconds and nanoseconds since 1970.
void set_file_times(const char* path, i64 access_seconds, u32 access_nanoseconds,
                    i64 write_seconds, u32 write_nanoseconds);

// A descriptor opened for reading with the system's own call, as the host
// or a library would open one behind the services' back.
int raw_open(const char* path);

// Whether descriptor is open in this process.
bool descriptor_open(int descriptor);

// "d123456789/d123456789/.../" components followed by name, exactly length
// characters long (name padded with 'n' where needed).
std::string long_path(u32 length);

// Runs body in a forked child with the default action for every fault
// signal (the sanitizers' handlers would turn a fault into an exit code).
// Returns the signal that ended the child, or 0 when body returned.
int signal_ending_child(void (*body)(void));

#endif
