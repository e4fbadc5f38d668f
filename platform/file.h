// The file services (slots 0 to 15 and 29) and the operations they rest on.
//
// A thin layer over the system's file functions (kernel32's 8-bit ones,
// POSIX's), in file_<os>.cpp: no buffering, every by-path call opens and
// closes the file itself. Failed opens and reads record a coarse code in one
// process-wide value; successful calls never clear it.
//
// POSIX gives the same slots the same meaning: "\" becomes "/", the limits
// on path lengths are Windows', a handle is a file descriptor (never 0 to 2),
// and errno values map onto the same four codes. What differs is what the
// system has: no sharing modes, creation time from the birth time where the
// file system keeps one (else the status change), and a search order for
// file_exists of its own (platform_api.h).
#ifndef PLATFORM_FILE_H
#define PLATFORM_FILE_H

#include "engine/platform_api.h"

// The slots; platform_api.h documents each.
file_handle open_file(const char* path, u32 position, u32 flags);
void close_file(file_handle* file);
u32 read_file(file_handle* file, void* buffer, u64 size, u32 offset);
u32 write_file(file_handle* file, const void* buffer, u32 size, u32 offset);
u32 read_file_at_path(const char* path, void* buffer, u32 size, u32 offset);
u32 write_file_at_path(const char* path, const void* buffer, u32 size, u32 offset);
u32 list_directory(const char* pattern, dir_entry* entries, u32 capacity);
u32 file_exists(const char* path);
u32 file_changed(file_handle* file);
u64 file_time_at_path(const char* path, u32 kind);
u64 file_time_of_handle(void* handle, u32 kind);
u64 file_size(file_handle* file);
u64 file_size_at_path(const char* path);
u64 file_size_of_handle(void* handle);
bool32 delete_file(const char* path);
bool32 move_file(const char* from, const char* to);
file_error last_file_error(void);

// False for 0 and for the system's invalid-handle value (all ones).
bool32 handle_valid(void* handle);

// The by-path queries with a prefix joined in front of the name (no
// separator added). The slots pass an empty prefix.
u32 file_exists_with_prefix(const char* name, const char* prefix);
u64 file_time_with_prefix(const char* name, const char* prefix, u32 kind);
u64 file_size_with_prefix(const char* name, const char* prefix);

// What one look at a file's directory entry tells, the file left unopened:
// the look file_time_at_path takes its stamp from (Windows: FindFirstFileA;
// POSIX: statx). A file that is there is found whatever its times hold.
typedef struct file_entry {
    bool32 found;
    u64 last_write;  // as FILE_TIME_LAST_WRITE gives it
    u64 size;
    u64 other_time;  // Windows: its creation; POSIX: its status change
} file_entry;

// Looks up path's entry; false, with an entry zero throughout, when nothing
// is found there (or the path does not fit).
bool32 look_up_file_entry(const char* path, file_entry* entry);

// ---------------------------------------------------------------------------
// Each system's handles (file_<os>.cpp), beneath the record and by-path
// slots that file.cpp builds on them.

// Converts path, creates its parent directories and opens it as flags say;
// existing_only: a write open that must not create the file. The invalid
// handle on failure, which records its error.
void* open_handle_as(const char* path, u32 flags, bool32 existing_only);
void* open_handle(const char* path, u32 flags);
// Closes a handle; an invalid one is left alone.
void close_handle(void* handle);

// Transfers at an absolute offset, repeating short transfers until done, end
// of file or an error; 0 for an invalid handle. read_at refuses sizes of
// 0xFFFFFFFF and more and records a failed read; write_at records nothing.
u32 read_at(void* handle, void* buffer, u64 size, u32 offset);
u32 write_at(void* handle, const void* buffer, u32 size, u32 offset);

// Makes an open handle a record's; false when it can't be one (POSIX: a
// descriptor beyond those it tracks).
bool32 hand_out_handle(void* handle);
// The handle a record's services may use: the record's own while it is
// handed out, else the invalid one (POSIX tracks its descriptors, so a
// closed record's number reaches nothing opened later under it).
void* record_handle(const file_handle* file);
// Takes a handed-out handle back and closes it.
void take_back_handle(void* handle);

// Whether size bytes at buffer can be read, checked before a write_file_at_path
// truncates its file.
bool32 buffer_readable(const void* buffer, u32 size);
// Whether the record's handle field can be written: close_file clears it
// only then, so a record in read-only memory never faults the host.
bool32 record_writable(const file_handle* file);

// Sets the code last_file_error reports; each system's file layer maps its
// own errors onto the codes and leaves the value alone for the rest.
void record_file_error_code(u32 code);

#endif
