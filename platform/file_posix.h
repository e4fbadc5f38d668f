// The POSIX file layer's own operations, beneath the slots of file.h.
//
// A handle is a file descriptor widened to a pointer. Descriptors 0 to 2 are
// never handed out (0 would read as an invalid handle, and a module's file
// must not take the place of standard error, where debug_print writes).
#ifndef PLATFORM_FILE_POSIX_H
#define PLATFORM_FILE_POSIX_H

#include "platform/file.h"

// Maps an errno value onto the recorded code: ENOENT, ENOTDIR, ENAMETOOLONG
// -> 1; EACCES, EPERM, EROFS, EISDIR -> 2; EBUSY, ETXTBSY, EAGAIN -> 3; any
// other value changes nothing.
void record_file_error(int system_error);

// Creates every directory named by a prefix of path that ends before a "/"
// ("a/b/c.txt" creates "a" and "a/b"), ignoring failures.
void create_parent_directories(const char* path);

// Converts path, creates its parent directories and opens it as flags say.
// Returns the handle, or all ones on failure, which records its error (a
// directory is refused as access denied).
void* open_handle(const char* path, u32 flags);

// Closes a handle from open_handle; an invalid one is left alone.
void close_handle(void* handle);

// Transfers at an absolute offset, repeating short transfers until done, end
// of file or an error; 0 for an invalid handle. read_at refuses sizes of
// 0xFFFFFFFF and more and records a failed read; write_at records nothing.
u32 read_at(void* handle, void* buffer, u64 size, u32 offset);
u32 write_at(void* handle, const void* buffer, u32 size, u32 offset);

#endif
