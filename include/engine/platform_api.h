// The services table: the module's one way to reach the operating system.
//
// The host fills one `platform_api` at start-up and passes its address to
// every `entry` call, unchanged across reloads. The slot order, argument
// order and types below are the contract between separately built host and
// module: a module works with every host that fills the table in this order.
// Nothing checks that both sides agree, so the records' layouts are pinned.
//
// Conventions shared by every slot:
// - Paths are zero-terminated 8-bit text with "/" or "\" separators (the
//   services turn "/" into "\" where they say so). A path longer than the
//   limit a slot names, or a null path, fails the way a missing file does;
//   a null record, block or entry array makes the slot do nothing and
//   return 0.
// - A failure never ends the host: the slot returns 0, null, false or an
//   all-zero record. Failed opens and reads record a coarse reason that
//   `last_file_error` reports; success never clears it.
// - Offsets and transfer sizes are 32-bit; `read_file` takes a 64-bit size
//   but refuses 0xFFFFFFFF and more.
// - Everything runs on the host's one thread, inside the module's `entry`.
#ifndef ENGINE_PLATFORM_API_H
#define ENGINE_PLATFORM_API_H

#include "engine/base/types.h"

// glibc's <fcntl.h> declares a `struct file_handle` of its own (for
// name_to_handle_at), which would clash with the record below in any module
// or host file that includes both. It is included here once under another
// name, so its later inclusions change nothing; code that needs glibc's
// record names it `struct system_file_handle`. Include this header (or
// engine/module.h) before <fcntl.h>.
#if defined(__linux__) && !defined(_WIN32)
#if defined(_FCNTL_H)
#error "include engine/module.h or engine/platform_api.h before <fcntl.h>: glibc's struct file_handle clashes with the services' file_handle"
#endif
#define file_handle system_file_handle
#include <fcntl.h>
#undef file_handle
#endif

// Longest path (without terminator) that `open_file`, `read_file_at_path`,
// `write_file_at_path`, `file_exists` and the directory slots accept.
#define PLATFORM_PATH_MAX 255
// Longest path the time and size queries, `list_directory`, `delete_file`
// and `move_file` accept (the system's own limit for 8-bit paths).
#define PLATFORM_QUERY_PATH_MAX 259

// ---------------------------------------------------------------------------
// Files

// `open_file` flags.
typedef enum file_open_flags {
    FILE_OPEN_READ = 1,   // read access; always granted, so this bit changes nothing
    FILE_OPEN_WRITE = 2,  // adds write access; creates or truncates unless KEEP
    FILE_OPEN_KEEP = 4,   // with WRITE: keep an existing file's contents, else create
} file_open_flags;

// Selector of the time-stamp queries; any other value yields 0.
typedef enum file_time_kind {
    FILE_TIME_LAST_ACCESS = 0,
    FILE_TIME_CREATION = 1,  // POSIX: birth time where the file system keeps one,
                             // else the last status change
    FILE_TIME_LAST_WRITE = 2,
} file_time_kind;

// A file time is the system's 64-bit count of 100-nanosecond intervals
// since 1 January 1601 UTC.

// An open file. `open_file` returns it by value; the other file slots take
// its address. A failed open gives a record that is zero throughout, on which
// every later operation returns 0.
typedef struct file_handle {
    char name[256];       // the path given to open_file, unchanged
    u32 position;         // offset just past the last transfer (set by open_file
                          // to its position argument); no service reads it
    u32 bytes_read;       // total read through read_file since the open (wraps)
    u32 bytes_written;    // total written through write_file since the open (wraps)
    void* handle;         // the system's file handle; 0 or all ones is invalid
    u64 last_write_time;  // what file_changed saw at its previous call; 0 before
} file_handle;

// One element of the array that `list_directory` fills.
typedef struct dir_entry {
    char name[256];    // the entry's own name, without its directory
    u32 size;          // low 32 bits of its size in bytes
    u32 is_directory;  // 1 for a directory, else 0
} dir_entry;

// Codes of `last_file_error`, each with its fixed message.
typedef enum file_error_code {
    FILE_ERROR_UNKNOWN = 0,            // "unknown error" (also: nothing failed yet)
    FILE_ERROR_PATH_NOT_FOUND = 1,     // "path not found"
    FILE_ERROR_ACCESS_DENIED = 2,      // "access denied"
    FILE_ERROR_SHARING_VIOLATION = 3,  // "sharing violation"
} file_error_code;

typedef struct file_error {
    u64 code;             // a file_error_code
    const char* message;  // constant text; never freed
} file_error;

// ---------------------------------------------------------------------------
// Memory

// `allocate_memory` flags; other bits are ignored.
typedef enum memory_flags {
    // End the block exactly where a no-access page begins, so the first
    // access past its end faults. The block is then aligned only as far as
    // its size allows.
    MEMORY_GUARD_PAGE = 1,
    // Scratch: memory the module rewrites every frame (a per-frame arena, a
    // staging buffer). The host's undo of a faulting frame neither copies
    // nor restores its bytes, which saves the copy's time and memory: after
    // a faulting frame it holds what that frame left, and a scratch block
    // the frame freed comes back zeroed. An addition of this host's; other
    // hosts ignore the bit.
    MEMORY_SCRATCH = 2,
} memory_flags;

// Returned by `allocate_memory`; the module owns it until `free_memory`.
typedef struct memory_block {
    void* memory;  // first usable byte, zeroed pages; null when the allocation failed
    u64 size;      // the size asked for, also on failure
    u64 reserved;  // always 0
} memory_block;

// ---------------------------------------------------------------------------
// The services, one type per slot.

// 0: opens or creates the file as the flags say, creating missing parent
// directories first (for reads too). `position` must not exceed the file's
// size at the open (0 when the open creates or truncates); otherwise, and on
// any failure, the record is all zero. A refused position records
// FILE_ERROR_UNKNOWN and leaves the file untouched: a truncating open is not
// made, and a KEEP open creates no file.
typedef file_handle open_file_service(const char* path, u32 position, u32 flags);
// 1: closes the record's handle and clears it to 0, so every slot then
// treats the record as closed; the other fields are left as they were.
typedef void close_file_service(file_handle* file);
// 2: reads size bytes at the absolute offset; fewer at the end of the file.
// Sets position to offset + bytes read and adds them to bytes_read, also
// when nothing was read. A size of 0xFFFFFFFF or more reads nothing.
typedef u32 read_file_service(file_handle* file, void* buffer, u64 size, u32 offset);
// 3: writes size bytes at the absolute offset; updates position and
// bytes_written like read_file. A failed write records no error.
typedef u32 write_file_service(file_handle* file, const void* buffer, u32 size, u32 offset);
// 4: opens an existing file for reading, reads at the offset, closes.
typedef u32 read_file_at_path_service(const char* path, void* buffer, u32 size, u32 offset);
// 5: creates or truncates the file, writes at the offset, closes. Bytes
// before a non-zero offset read back as zeros. A null buffer, or one whose
// bytes can't all be read, is refused before the file is touched.
typedef u32 write_file_at_path_service(const char* path, const void* buffer, u32 size,
                                       u32 offset);
// 6: fills entries with the matches of a search pattern such as "dir/*",
// passed to the system unchanged; "." and ".." come as directories where
// the directory has them. Writes at most capacity entries; returns how many.
// POSIX: only the last component may hold "*" and "?", the only wildcards
// (as on Windows), and "*.*" matches every name.
typedef u32 list_directory_service(const char* pattern, dir_entry* entries, u32 capacity);
// 7: 1 when the system's search-path lookup finds the file (the executable's
// directory, the working directory, system directories, PATH), else 0.
// POSIX: the executable's directory, the working directory, then PATH; a
// path that is absolute or starts with "./" or "../" is checked as it
// stands. Directories count as found there too.
typedef u32 file_exists_service(const char* path);
// 8: 2 when the file's last-write time differs from the one seen at the
// previous call on this record, else 0; the first call only records it. A
// closed or failed record gives 0 and is left as it was.
typedef u32 file_changed_service(file_handle* file);
// 9: the chosen time stamp of the file the path names; 0 if nothing matches.
typedef u64 file_time_at_path_service(const char* path, u32 kind);
// 10: the chosen time stamp of an open file, by its bare system handle.
typedef u64 file_time_of_handle_service(void* handle, u32 kind);
// 11: size of the open file, all 64 bits.
typedef u64 file_size_service(file_handle* file);
// 12: size of the named file; 0 when it can't be opened for shared reading
// (Windows: so 0 while anyone holds it open for writing; POSIX has no
// sharing modes).
typedef u64 file_size_at_path_service(const char* path);
// 13: size of an open file, by its bare system handle.
typedef u64 file_size_of_handle_service(void* handle);
// 14: deletes the file (not a directory); path passed unchanged (POSIX: "\"
// turned into "/").
typedef bool32 delete_file_service(const char* path);
// 15: moves or renames the file or directory, never replacing an existing
// target; paths passed unchanged (POSIX: "\" turned into "/").
typedef bool32 move_file_service(const char* from, const char* to);

// 16: places the mouse cursor at a client-area position, x from the left
// edge, y upwards from the bottom edge, both truncated towards zero.
typedef void set_cursor_position_service(f32 x, f32 y);
// 17: the performance counter's current value.
typedef u64 get_counter_service(void);
// 18: seconds from start to end, two get_counter readings, start first.
typedef f32 seconds_between_service(u64 start, u64 end);
// 19: fresh zeroed read-write pages; address is a placement hint (may be
// null); flags are memory_flags.
typedef memory_block allocate_memory_service(u32 size, void* address, u32 flags);
// 20: gives back everything the block's allocation reserved, once, when
// `memory` and `size` are those of a live block from slot 19; anything else
// (null, freed already, the back buffer's pixels) is left alone. The record
// is not changed.
typedef void free_memory_service(memory_block* block);
// 21: sends the text, unchanged and without a line end, to a debugger.
typedef void debug_print_service(const char* message);
// 22: raises a breakpoint trap at the call; returns when a debugger resumes.
typedef void debug_break_service(void);
// 23: clears pending floating-point exceptions and masks all of them.
typedef void disable_float_exceptions_service(void);
// 24: clears pending floating-point exceptions and unmasks invalid
// operation, denormal operand, divide-by-zero, overflow and underflow.
typedef void enable_float_exceptions_service(void);
// 25: writes the working directory, with "/" separators, into buffer.
// Returns the system's count: the length written, or (buffer null or too
// small) the size needed with the terminator, buffer unchanged; 0 on
// failure.
typedef u32 get_working_directory_service(char* buffer, u32 capacity);
// 26: changes the working directory.
typedef bool32 set_working_directory_service(const char* path);
// 27: creates one directory; its parent must exist.
typedef bool32 make_directory_service(const char* path);
// 28: removes one empty directory.
typedef bool32 remove_directory_service(const char* path);
// 29: the last recorded file error; reading it does not reset it.
typedef file_error last_file_error_service(void);

// The table, in its fixed order.
typedef struct platform_api {
    open_file_service* open_file;                                // 0
    close_file_service* close_file;                              // 1
    read_file_service* read_file;                                // 2
    write_file_service* write_file;                              // 3
    read_file_at_path_service* read_file_at_path;                // 4
    write_file_at_path_service* write_file_at_path;              // 5
    list_directory_service* list_directory;                      // 6
    file_exists_service* file_exists;                            // 7
    file_changed_service* file_changed;                          // 8
    file_time_at_path_service* file_time_at_path;                // 9
    file_time_of_handle_service* file_time_of_handle;            // 10
    file_size_service* file_size;                                // 11
    file_size_at_path_service* file_size_at_path;                // 12
    file_size_of_handle_service* file_size_of_handle;            // 13
    delete_file_service* delete_file;                            // 14
    move_file_service* move_file;                                // 15
    set_cursor_position_service* set_cursor_position;            // 16
    get_counter_service* get_counter;                            // 17
    seconds_between_service* seconds_between;                    // 18
    allocate_memory_service* allocate_memory;                    // 19
    free_memory_service* free_memory;                            // 20
    debug_print_service* debug_print;                            // 21
    debug_break_service* debug_break;                            // 22
    disable_float_exceptions_service* disable_float_exceptions;  // 23
    enable_float_exceptions_service* enable_float_exceptions;    // 24
    get_working_directory_service* get_working_directory;        // 25
    set_working_directory_service* set_working_directory;        // 26
    make_directory_service* make_directory;                      // 27
    remove_directory_service* remove_directory;                  // 28
    last_file_error_service* last_file_error;                    // 29
} platform_api;

// The layouts, pinned for C modules as well as C++ ones.
#define PLATFORM_PIN(name, condition) LAYOUT_PIN(LAYOUT_JOIN(platform_, name), condition)
PLATFORM_PIN(contract_is_64_bit, sizeof(void*) == 8);
PLATFORM_PIN(file_handle_size, sizeof(file_handle) == 288);
PLATFORM_PIN(file_handle_position, offsetof(file_handle, position) == 256);
PLATFORM_PIN(file_handle_bytes_read, offsetof(file_handle, bytes_read) == 260);
PLATFORM_PIN(file_handle_bytes_written, offsetof(file_handle, bytes_written) == 264);
PLATFORM_PIN(file_handle_handle, offsetof(file_handle, handle) == 272);
PLATFORM_PIN(file_handle_last_write_time, offsetof(file_handle, last_write_time) == 280);
PLATFORM_PIN(dir_entry_size, sizeof(dir_entry) == 264);
PLATFORM_PIN(dir_entry_size_field, offsetof(dir_entry, size) == 256);
PLATFORM_PIN(dir_entry_is_directory, offsetof(dir_entry, is_directory) == 260);
PLATFORM_PIN(file_error_size, sizeof(file_error) == 16);
PLATFORM_PIN(file_error_message, offsetof(file_error, message) == 8);
PLATFORM_PIN(memory_block_size, sizeof(memory_block) == 24);
PLATFORM_PIN(memory_block_size_field, offsetof(memory_block, size) == 8);
PLATFORM_PIN(memory_block_reserved, offsetof(memory_block, reserved) == 16);
PLATFORM_PIN(flag_words_are_32_bit, sizeof(file_open_flags) == 4 &&
                                        sizeof(file_time_kind) == 4 &&
                                        sizeof(memory_flags) == 4);
PLATFORM_PIN(memory_flag_bits, MEMORY_GUARD_PAGE == 1 && MEMORY_SCRATCH == 2);
PLATFORM_PIN(thirty_slots_nothing_else, sizeof(platform_api) == 30 * sizeof(void*));
PLATFORM_PIN(slot_17_get_counter, offsetof(platform_api, get_counter) == 17 * 8);
PLATFORM_PIN(slot_23_masks_float_exceptions,
             offsetof(platform_api, disable_float_exceptions) == 23 * 8);
PLATFORM_PIN(slot_29_last_file_error, offsetof(platform_api, last_file_error) == 29 * 8);
#undef PLATFORM_PIN

#endif
