// Paths on their way to the system: joined, bounded and given "/" separators.
#ifndef PLATFORM_PATH_POSIX_H
#define PLATFORM_PATH_POSIX_H

#include "platform/platform_api.h"

// Buffer sizes the services copy paths into: 256 for the slots that open
// files by path, file_exists and the directory slots; 260 for the time and
// size queries, list_directory, delete_file and move_file. The same limits
// as the Windows host, so a module meets one set of rules on both.
#define OPEN_PATH_CAPACITY (PLATFORM_PATH_MAX + 1)
#define QUERY_PATH_CAPACITY (PLATFORM_QUERY_PATH_MAX + 1)

// Writes prefix + name into out (capacity bytes, zeroed first) with every
// "\" turned into "/". Returns 0, leaving out empty, when either text is null
// or the joined path and its terminator don't fit: the caller then fails as
// it does for a missing file, never with a cut-short path.
bool32 system_path(char* out, u32 capacity, const char* prefix, const char* name);

#endif
