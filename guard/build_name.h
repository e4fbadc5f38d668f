// How builds of the module are named: the module file the host watches,
// and the copy of it each load makes, "active_main.so.<pid>.<n>" (Windows:
// "active_main.dll.<pid>.<n>") beside it, both numbers written with ten
// digits, so every copy's path has one length, known before the first load.
// A name per copy: the loader knows a library by its path, a copy still
// mapped cannot be replaced (Windows), and two hosts may share a build
// folder, each sweeping only the copies of hosts that have ended (hosts
// before these named theirs with as many digits as the numbers needed).
// Fault titles name any copy by the module's name.
#ifndef GUARD_BUILD_NAME_H
#define GUARD_BUILD_NAME_H

#include "engine/base/types.h"

// Where the module lives, relative to the data directory, the host's
// working directory.
#define DATA_DIRECTORY "../data"
#ifdef _WIN32
#define MODULE_DIRECTORY "..\\build\\"
#define MODULE_NAME "main.dll"
#else
#define MODULE_DIRECTORY "../build/"
#define MODULE_NAME "main.so"
#endif
#define MODULE_PATH MODULE_DIRECTORY MODULE_NAME
#define MODULE_EXPORT "entry"
// Every path the loader forms fits in this many bytes with its terminator.
#define MODULE_PATH_CAPACITY 260

// What every copy's name begins with, for a module file called name.
#define BUILD_COPY_PREFIX "active_"

// The digits of each number in a copy's name.
#define BUILD_COPY_DIGITS 10

// The length of every copy's name for a module file called name.
u32 build_copy_name_length(const char* name);

// The file name of copy number copy (1, 2, ...) of the file called name,
// made by process: "active_" + name + "." + process + "." + copy, the
// numbers with BUILD_COPY_DIGITS digits; false, with out empty, when it does
// not fit in capacity.
bool32 build_copy_name(char* out, u32 capacity, const char* name, u32 process, u32 copy);

// Whether a file name (no directory) is a copy of the module file's name.
bool32 is_build_copy_name(const char* file_name);

// The process in a copy's name, given the length of its "active_<name>."
// prefix; 0 when it has none.
u32 build_copy_owner(const char* file_name, u32 prefix_length);

#endif
