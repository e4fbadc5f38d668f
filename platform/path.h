// Paths on their way to the system: joined, bounded and given the system's
// separators ("\" on Windows, "/" on POSIX; the services accept both).
#ifndef PLATFORM_PATH_H
#define PLATFORM_PATH_H

#include "engine/platform_api.h"

#ifdef _WIN32
#define SYSTEM_SEPARATOR '\\'
#define FOREIGN_SEPARATOR '/'
#else
#define SYSTEM_SEPARATOR '/'
#define FOREIGN_SEPARATOR '\\'
#endif

// Buffer sizes the services copy paths into: 256 for the slots that open
// files by path, file_exists and the directory slots; 260 (Windows' limit
// for 8-bit paths) for the time and size queries and the rest. The same
// limits on both hosts, so a module meets one set of rules.
#define OPEN_PATH_CAPACITY (PLATFORM_PATH_MAX + 1)
#define QUERY_PATH_CAPACITY (PLATFORM_QUERY_PATH_MAX + 1)

// Writes prefix + name into out (capacity bytes, zeroed first) with every
// foreign separator turned into the system's. Returns 0, leaving out empty,
// when either text is null or the joined path and its terminator don't fit:
// the caller then fails as it does for a missing file, never with a
// cut-short path.
bool32 system_path(char* out, u32 capacity, const char* prefix, const char* name);

// Whether a path that the services pass to the system unchanged is within
// the limit for 8-bit paths (259 characters).
bool32 system_path_fits(const char* path);

// How many characters of path are its root, either separator accepted: "/"
// on POSIX; on Windows a drive ("C:\"), a share ("\\server\share\"), the
// "\\?\" and "\\.\" forms with what follows them ("\\?\C:\",
// "\\?\UNC\server\share\", "\\?\Volume{...}\") or a lone "\". 0 for a
// relative path.
u32 system_root_length(const char* path);

// Writes directory joined with relative into out, with the system's
// separators: each ".." that relative starts with takes the last component
// off directory, never its root (a drive, a share: ".." of a root is the
// root, as the system has it), and "." components are dropped. False, with
// out empty, when the result does not fit in capacity.
bool32 system_path_from(char* out, u32 capacity, const char* directory, const char* relative);

#endif
