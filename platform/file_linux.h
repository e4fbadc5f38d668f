// The POSIX file layer's own operations, beneath the slots of file.h.
//
// A handle is a file descriptor widened to a pointer. Descriptors 0 to 2 are
// never handed out (0 would read as an invalid handle, and a module's file
// must not take the place of standard error, where debug_print writes).
#ifndef PLATFORM_FILE_LINUX_H
#define PLATFORM_FILE_LINUX_H

#include "platform/file.h"

// Maps an errno value onto the recorded code: ENOENT, ENOTDIR, ENAMETOOLONG
// -> 1; EACCES, EPERM, EROFS, EISDIR -> 2; EBUSY, ETXTBSY, EAGAIN -> 3; any
// other value changes nothing.
void record_file_error(int system_error);

// Creates every directory named by a prefix of path that ends before a "/"
// ("a/b/c.txt" creates "a" and "a/b"), ignoring failures.
void create_parent_directories(const char* path);

#endif
