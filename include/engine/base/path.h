// Path texts: zero-terminated 8-bit text with "/" as the separator.
// Every operation works in caller-provided buffers, allocates nothing and
// writes nothing but those buffers.
#ifndef ENGINE_BASE_PATH_H
#define ENGINE_BASE_PATH_H

#include "engine/base/types.h"

#ifdef __cplusplus
extern "C" {
#endif

// Stores three pointers into `path`: its start, the file name (after the last
// "/" or "\", else the start) and the extension (after the last "." that
// comes after the last separator; the empty text at the end when there is
// none). So "./name" and "dir.d/file" have empty extensions.
void path_split(const char* path, const char** out_start,
                const char** out_file_name, const char** out_extension);

// Rewrites `path` in place and returns the new length minus the old length:
//  1. every "\" becomes "/", and a "\" directly followed by another "\"
//     absorbs it (two give one "/", three or four give "//");
//  2. a path with no "/" that does not start with "." gets "./" in front
//     ("file" -> "./file", "" -> "./");
//  3. one trailing "/" is removed ("/" -> "", "./" -> ".");
//  4. every ".././" loses its "./"; the scan resumes two characters after the
//     kept "../".
// The buffer must have room for two more characters than the path holds,
// plus the terminator.
i32 path_normalize(char* path);

// Longest path `path_resolve` accepts (its working copy holds 256 bytes and
// normalisation may add two).
enum { PATH_RESOLVE_MAX_LENGTH = 253, PATH_RESOLVE_MAX_COMPONENTS = 16 };

// Resolves "." and ".." in `path`, in place, against the directory `base` and
// returns the new length minus the old length. A path that, once normalised,
// starts with "." is relative and is appended to the base's components;
// anything else is taken as complete and the base is not used. The base is
// split on "/" as it stands; it must not share memory with `path`.
// A leading root survives: "/x/../y" gives "/y". A ".." with nothing left to
// remove is dropped. A path longer than PATH_RESOLVE_MAX_LENGTH or more than
// PATH_RESOLVE_MAX_COMPONENTS components (base and path together) is refused:
// the path is left unchanged and the result is 0.
i32 path_resolve(char* path, const char* base);

// Writes `first`, a "/" unless `first` is empty or already ends in "/", then
// `second` into `out`; returns the length written. `second` is not examined:
// "a/" and "/b" give "a//b".
u32 path_join(char* out, const char* first, const char* second);

// Appends the components of `path` to the parallel lists `starts`/`lengths`
// from index *count on and stores the new count. A component is a non-empty
// run ending at "/" or at the end; a "/" that would end an empty run becomes
// the first character of the next component ("/x/y" lists "/x", "y";
// "a//b" lists "a", "/b"). Components point into `path` and are not
// terminated. Appending beyond `capacity` is a failed invariant.
void path_components(const char* path, const char** starts, u32* lengths,
                     u32* count, u32 capacity);

#ifdef __cplusplus
}
#endif

#endif
