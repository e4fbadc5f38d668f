// Paths on their way to the system: joined, bounded and given "\" separators.
#ifndef PLATFORM_PATH_WIN32_H
#define PLATFORM_PATH_WIN32_H

#include "base/types.h"

// Writes prefix + name into out (capacity bytes, zeroed first) with every
// "/" turned into "\". Returns 0, leaving out empty, when either text is null
// or the joined path and its terminator don't fit: the caller then fails as
// it does for a missing file, never with a cut-short path.
bool32 system_path(char* out, u32 capacity, const char* prefix, const char* name);

// Whether a path that the services pass to the system unchanged is within
// the system's own limit for 8-bit paths (259 characters).
bool32 system_path_fits(const char* path);

#endif
