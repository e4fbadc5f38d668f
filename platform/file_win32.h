// The Windows file layer's own operations, beneath the slots of file.h.
#ifndef PLATFORM_FILE_WIN32_H
#define PLATFORM_FILE_WIN32_H

#include "platform/file.h"

// Maps a GetLastError code onto the recorded value: file/path not found -> 1,
// access denied -> 2, sharing violation -> 3; any other code changes nothing.
void record_file_error(u32 system_error);

// Creates every directory named by a prefix of path that ends before a "\"
// ("a\b\c.txt" creates "a" and "a\b"), ignoring failures.
void create_parent_directories(const char* path);

// A whole file in fresh pages. Release `data` with VirtualFree(MEM_RELEASE),
// as a memory_block is released.
typedef struct entire_file {
    void* data;    // null when the file could not be opened or the pages not allocated
    u64 reserved;  // always 0
    u64 size;      // the file's size, also when the pages could not be allocated
} entire_file;

// Reads prefix + name whole. Clears the recorded error first, then records
// the failure of the open, the allocation or the read.
entire_file read_entire_file(const char* name, const char* prefix);

// Creates or truncates prefix + name and writes size bytes; returns the bytes
// written. A failed open records its error.
u32 write_entire_file(const char* name, const char* prefix, const void* buffer, u32 size);

// Writes size bytes at the file's end; returns the bytes written.
u32 append_at_end(void* handle, const void* buffer, u32 size);

// Writes directory + "/" + the name of its first entry other than "." and
// ".." into buffer, with "/" separators, and returns its length. An empty or
// unsearchable directory gives the empty text and 0. buffer needs room for
// the directory, a separator and a 255-character name.
u32 first_directory_entry(char* buffer, const char* directory);

#endif
