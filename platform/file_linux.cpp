#include "platform/file_linux.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "engine/base/memory.h"
#include "engine/base/text.h"
#include "platform/path.h"

#define INVALID_HANDLE ((void*)(intptr_t)-1)

bool32 handle_valid(void* handle) { return handle != NULL && handle != INVALID_HANDLE; }

// The descriptor a handle holds, or -1 for a value no descriptor can have,
// so a module's stray number never reaches the system as a truncated one.
static int descriptor_of(void* handle) {
    intptr_t value = (intptr_t)handle;
    return handle_valid(handle) && value > 0 && value <= INT_MAX ? (int)value : -1;
}

static void* handle_of(int descriptor) {
    return descriptor < 0 ? INVALID_HANDLE : (void*)(intptr_t)descriptor;
}

void record_file_error(int system_error) {
    switch (system_error) {
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:
        record_file_error_code(FILE_ERROR_PATH_NOT_FOUND);
        break;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
        record_file_error_code(FILE_ERROR_ACCESS_DENIED);
        break;
    case EBUSY:
    case ETXTBSY:
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
        record_file_error_code(FILE_ERROR_SHARING_VIOLATION);
        break;
    default:
        break;
    }
}

// ---------------------------------------------------------------------------
// Descriptors the slots handed out. close_file, read_file and write_file act
// only on these, so a closed record or a stray number can't close or write a
// descriptor the host or the module opened later under the same number.

#define TRACKED_DESCRIPTORS 65536
static u64 handed_out[TRACKED_DESCRIPTORS / 64];

static bool32 is_handed_out(int descriptor) {
    return descriptor >= 0 && descriptor < TRACKED_DESCRIPTORS &&
           (handed_out[descriptor / 64] >> (descriptor % 64) & 1);
}

static void mark_handed_out(int descriptor, bool32 out) {
    u64 bit = 1ull << (descriptor % 64);
    handed_out[descriptor / 64] = out ? handed_out[descriptor / 64] | bit
                                      : handed_out[descriptor / 64] & ~bit;
}

// ---------------------------------------------------------------------------
// Opening.

void create_parent_directories(const char* path) {
    char parent[OPEN_PATH_CAPACITY];
    for (u32 i = 1; path[i] && i < sizeof(parent); ++i) {
        if (path[i] == '/') {
            copy_text_n(parent, path, i);
            mkdir(parent, 0777);
        }
    }
}

// Standard input, output and error keep their numbers: a file opened while
// one of them is closed moves to 3 or above.
static int above_standard_streams(int descriptor) {
    if (descriptor > 2) {
        return descriptor;
    }
    int moved = fcntl(descriptor, F_DUPFD_CLOEXEC, 3);
    int error = errno;
    close(descriptor);
    errno = error;
    return moved;
}

// Opens without waiting (a FIFO with no writer would block) and refuses
// directories as Windows does. Anything but a regular file stays
// non-blocking: a device or FIFO that never delivers (/dev/kmsg at its end)
// gives what it has and no more, instead of holding the frame for good.
static int open_file_descriptor(const char* path, int options) {
    int descriptor = open(path, options | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
    if (descriptor < 0) {
        return -1;
    }
    struct stat status;
    int error = fstat(descriptor, &status) != 0 ? errno : S_ISDIR(status.st_mode) ? EISDIR : 0;
    if (error) {
        close(descriptor);
        errno = error;
        return -1;
    }
    if (S_ISREG(status.st_mode)) {
        fcntl(descriptor, F_SETFL, fcntl(descriptor, F_GETFL) & ~O_NONBLOCK);
    }
    return above_standard_streams(descriptor);
}

// A directory is refused as access denied.
void* open_handle_as(const char* path, u32 flags, bool32 existing_only) {
    char converted[OPEN_PATH_CAPACITY];
    if (!system_path(converted, sizeof(converted), "", path)) {
        record_file_error(ENOENT);
        return INVALID_HANDLE;
    }
    create_parent_directories(converted);
    int options = O_RDONLY;
    if (flags & FILE_OPEN_WRITE) {
        options = O_RDWR | O_CREAT | ((flags & FILE_OPEN_KEEP) ? 0 : O_TRUNC);
        options = existing_only ? O_RDWR : options;
    }
    int descriptor = open_file_descriptor(converted, options);
    if (descriptor < 0) {
        record_file_error(errno);
    }
    return handle_of(descriptor);
}

void* open_handle(const char* path, u32 flags) { return open_handle_as(path, flags, 0); }

void close_handle(void* handle) {
    int descriptor = descriptor_of(handle);
    if (descriptor >= 0) {
        close(descriptor);
    }
}

// ---------------------------------------------------------------------------
// Transfers.

u32 read_at(void* handle, void* buffer, u64 size, u32 offset) {
    int descriptor = descriptor_of(handle);
    if (descriptor < 0 || size >= 0xFFFFFFFFu || (!buffer && size)) {
        return 0;
    }
    u64 done = 0;
    while (done < size) {
        ssize_t count = pread(descriptor, (u8*)buffer + done, (size_t)(size - done),
                              (off_t)offset + (off_t)done);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        // Nothing to read yet from a non-blocking device or FIFO counts as
        // its end for now, as a read past a file's end does.
        if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            record_file_error(errno);
        }
        if (count <= 0) {
            break;  // an error, or the end of the file
        }
        done += (u64)count;
    }
    return (u32)done;
}

u32 write_at(void* handle, const void* buffer, u32 size, u32 offset) {
    int descriptor = descriptor_of(handle);
    if (descriptor < 0 || (!buffer && size)) {
        return 0;
    }
    u64 done = 0;
    while (done < size) {
        ssize_t count = pwrite(descriptor, (const u8*)buffer + done, (size_t)(size - done),
                               (off_t)offset + (off_t)done);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            break;
        }
        done += (u64)count;
    }
    return (u32)done;
}

// ---------------------------------------------------------------------------
// Records.

bool32 hand_out_handle(void* handle) {
    int descriptor = descriptor_of(handle);
    if (descriptor < 0 || descriptor >= TRACKED_DESCRIPTORS) {
        return 0;
    }
    mark_handed_out(descriptor, 1);
    return 1;
}

void* record_handle(const file_handle* file) {
    return is_handed_out(descriptor_of(file->handle)) ? file->handle : INVALID_HANDLE;
}

void take_back_handle(void* handle) {
    int descriptor = descriptor_of(handle);
    if (is_handed_out(descriptor)) {
        mark_handed_out(descriptor, 0);
        close(descriptor);
    }
}

// The kernel is asked to write the handle's own value back; where it won't
// say, the record is taken as writable, as it always was.
bool32 record_writable(const file_handle* file) {
    void* handle = file->handle;
    struct iovec local = {&handle, sizeof(handle)};
    struct iovec remote = {(void*)&file->handle, sizeof(handle)};
    ssize_t written = process_vm_writev(getpid(), &local, 1, &remote, 1, 0);
    return written == (ssize_t)sizeof(handle) || (written < 0 && (errno == ENOSYS || errno == EPERM));
}

// The kernel is asked to copy one byte of every page they touch. Where it
// won't say (the call is not allowed), the write goes ahead as it always did.
bool32 buffer_readable(const void* buffer, u32 size) {
    uintptr_t at = (uintptr_t)buffer;
    uintptr_t end = at + size;
    if (!buffer || end < at) {
        return 0;
    }
    const uintptr_t page = (uintptr_t)sysconf(_SC_PAGESIZE);
    char sink[64];
    struct iovec local = {sink, 0};
    struct iovec remote[64];
    while (at < end) {
        u32 count = 0;
        for (; count < 64 && at < end; ++count) {
            remote[count].iov_base = (void*)at;
            remote[count].iov_len = 1;
            at = (at / page + 1) * page;
        }
        local.iov_len = count;
        ssize_t copied = process_vm_readv(getpid(), &local, 1, remote, count, 0);
        if (copied < 0 && (errno == ENOSYS || errno == EPERM)) {
            return 1;
        }
        if (copied != (ssize_t)count) {
            return 0;
        }
    }
    return 1;
}

// ---------------------------------------------------------------------------
// Listing.

// Copies a found name into a 256-byte field, cut short rather than overrun.
static void copy_found_name(char* out, const char* found) {
    u32 length = text_length(found);
    copy_text_n(out, found, length < 255 ? length : 255);
}

// Fills one entry; the size and kind of what a symbolic link points to, or
// of the link itself when it points nowhere.
static void fill_entry(dir_entry* entry, const char* name, int directory, const char* path) {
    fill_bytes(entry, 0, sizeof(*entry));
    copy_found_name(entry->name, name);
    struct stat status;
    if (fstatat(directory, path, &status, 0) == 0 ||
        fstatat(directory, path, &status, AT_SYMLINK_NOFOLLOW) == 0) {
        entry->size = (u32)status.st_size;
        entry->is_directory = S_ISDIR(status.st_mode) ? 1 : 0;
    }
}

static bool32 has_wildcards(const char* pattern) {
    for (; *pattern; ++pattern) {
        if (*pattern == '*' || *pattern == '?') {
            return 1;
        }
    }
    return 0;
}

// The name pattern in fnmatch's language with only "*" and "?" special, as
// Windows has them: every other character is escaped, so "[" stays itself.
// "*.*" matches every name, dot or not, as on Windows.
static void escape_pattern(char* out, const char* pattern) {
    if (text_equal(pattern, "*.*")) {
        pattern = "*";
    }
    for (; *pattern; ++pattern) {
        if (*pattern != '*' && *pattern != '?') {
            *out++ = '\\';
        }
        *out++ = *pattern;
    }
    *out = 0;
}

u32 list_directory(const char* pattern, dir_entry* entries, u32 capacity) {
    char converted[QUERY_PATH_CAPACITY];
    if (!entries || capacity == 0 || !system_path(converted, sizeof(converted), "", pattern)) {
        return 0;
    }
    char* separator = text_end(converted);
    while (separator > converted && separator[-1] != '/') {
        --separator;
    }
    const char* name_pattern = separator;
    if (!*name_pattern) {
        return 0;
    }
    if (!has_wildcards(name_pattern)) {
        struct stat status;
        if (lstat(converted, &status) != 0) {
            return 0;
        }
        fill_entry(&entries[0], name_pattern, AT_FDCWD, converted);
        return 1;
    }
    // The directory: what comes before the last separator ("/" for a name at
    // the root), or the working directory when there is none.
    const char* directory = ".";
    if (separator > converted) {
        directory = separator - 1 == converted ? "/" : converted;
        separator[-1] = 0;
    }
    char escaped[2 * QUERY_PATH_CAPACITY];
    escape_pattern(escaped, name_pattern);
    DIR* search = opendir(directory);
    if (!search) {
        return 0;
    }
    u32 count = 0;
    struct dirent* found;
    while (count < capacity && (found = readdir(search)) != NULL) {
        if (fnmatch(escaped, found->d_name, 0) == 0) {
            fill_entry(&entries[count++], found->d_name, dirfd(search), found->d_name);
        }
    }
    closedir(search);
    return count;
}

// ---------------------------------------------------------------------------
// Existence: the stand-in for Windows' search-path lookup.

static bool32 entry_exists(const char* path) {
    struct stat status;
    return stat(path, &status) == 0;
}

// Whether directory (length characters) + "/" + name exists.
static bool32 exists_in(const char* directory, u32 length, const char* name) {
    char joined[PATH_MAX];
    u32 name_length = text_length(name);
    if (length == 0) {
        directory = ".";
        length = 1;
    }
    if ((u64)length + 1 + name_length >= sizeof(joined)) {
        return 0;
    }
    copy_bytes(joined, directory, length);
    joined[length] = '/';
    copy_text(joined + length + 1, name);
    return entry_exists(joined);
}

// The executable's directory, read once; the empty text when unknown.
static const char* executable_directory(u32* length) {
    static char directory[PATH_MAX];
    static u32 directory_length;
    static bool32 known;
    if (!known) {
        known = 1;
        ssize_t count = readlink("/proc/self/exe", directory, sizeof(directory) - 1);
        if (count > 0 && count < (ssize_t)sizeof(directory) - 1) {
            directory[count] = 0;
            while (count > 0 && directory[count - 1] != '/') {
                --count;
            }
            directory_length = count > 1 ? (u32)count - 1 : (u32)count;
        }
    }
    *length = directory_length;
    return directory;
}

static bool32 names_working_directory(const char* path) {
    return path[0] == '.' && (path[1] == '/' || path[1] == 0 ||
                              (path[1] == '.' && (path[2] == '/' || path[2] == 0)));
}

static bool32 exists_on_search_path(const char* name) {
    const char* path = getenv("PATH");
    while (path && *path) {
        const char* end = path;
        while (*end && *end != ':') {
            ++end;
        }
        if (exists_in(path, (u32)(end - path), name)) {
            return 1;
        }
        path = *end ? end + 1 : end;
    }
    return 0;
}

u32 file_exists_with_prefix(const char* name, const char* prefix) {
    char converted[OPEN_PATH_CAPACITY];
    if (!system_path(converted, sizeof(converted), prefix, name) || !converted[0]) {
        return 0;
    }
    if (converted[0] == '/' || names_working_directory(converted)) {
        return entry_exists(converted);
    }
    u32 length = 0;
    const char* executable = executable_directory(&length);
    bool32 found = (length > 0 && exists_in(executable, length, converted)) ||
                   entry_exists(converted) || exists_on_search_path(converted);
    return found ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Times and sizes.

// Seconds between 1601-01-01 and 1970-01-01, both UTC.
#define UNIX_EPOCH_IN_FILE_TIME_SECONDS 11644473600ll

// 100-nanosecond intervals since 1601; 0 for anything before it.
static u64 file_time(i64 seconds, u32 nanoseconds) {
    if (seconds < -UNIX_EPOCH_IN_FILE_TIME_SECONDS) {
        return 0;
    }
    return ((u64)seconds + UNIX_EPOCH_IN_FILE_TIME_SECONDS) * 10000000u + nanoseconds / 100;
}

static u64 statx_file_time(struct statx_timestamp stamp) {
    return file_time(stamp.tv_sec, stamp.tv_nsec);
}

// Creation is the birth time where the file system keeps one, else the
// status-change time, the closest the system has.
static u64 select_file_time(u32 kind, const struct statx* status) {
    switch (kind) {
    case FILE_TIME_LAST_ACCESS:
        return statx_file_time(status->stx_atime);
    case FILE_TIME_CREATION:
        return statx_file_time((status->stx_mask & STATX_BTIME) ? status->stx_btime
                                                                : status->stx_ctime);
    case FILE_TIME_LAST_WRITE:
        return statx_file_time(status->stx_mtime);
    default:
        return 0;
    }
}

static u64 time_of(int directory, const char* path, int options, u32 kind) {
    struct statx status;
    if (kind > FILE_TIME_LAST_WRITE ||
        statx(directory, path, options, STATX_BASIC_STATS | STATX_BTIME, &status) != 0) {
        return 0;
    }
    return select_file_time(kind, &status);
}

u64 file_time_with_prefix(const char* name, const char* prefix, u32 kind) {
    char converted[QUERY_PATH_CAPACITY];
    if (!system_path(converted, sizeof(converted), prefix, name) || !converted[0]) {
        return 0;
    }
    return time_of(AT_FDCWD, converted, 0, kind);
}

bool32 look_up_file_entry(const char* path, file_entry* entry) {
    fill_bytes(entry, 0, sizeof(*entry));
    char converted[QUERY_PATH_CAPACITY];
    struct statx status;
    if (!system_path(converted, sizeof(converted), "", path) || !converted[0] ||
        statx(AT_FDCWD, converted, 0, STATX_BASIC_STATS, &status) != 0) {
        return 0;
    }
    entry->found = 1;
    entry->last_write = statx_file_time(status.stx_mtime);
    entry->size = status.stx_size;
    entry->other_time = statx_file_time(status.stx_ctime);
    return 1;
}

u64 file_time_of_handle(void* handle, u32 kind) {
    int descriptor = descriptor_of(handle);
    return descriptor < 0 ? 0 : time_of(descriptor, "", AT_EMPTY_PATH, kind);
}

// A closed or failed record has no time to compare and is left as it is.

u64 file_size_of_handle(void* handle) {
    int descriptor = descriptor_of(handle);
    struct stat status;
    if (descriptor < 0 || fstat(descriptor, &status) != 0) {
        return 0;
    }
    return (u64)status.st_size;
}

// Opens for reading as Windows does; there are no sharing modes to refuse a
// file someone is writing.
u64 file_size_with_prefix(const char* name, const char* prefix) {
    char converted[QUERY_PATH_CAPACITY];
    if (!system_path(converted, sizeof(converted), prefix, name)) {
        return 0;
    }
    int descriptor = open_file_descriptor(converted, O_RDONLY);
    if (descriptor < 0) {
        return 0;
    }
    u64 size = file_size_of_handle(handle_of(descriptor));
    close(descriptor);
    return size;
}

// ---------------------------------------------------------------------------
// Deleting and moving.

bool32 delete_file(const char* path) {
    char converted[QUERY_PATH_CAPACITY];
    return system_path(converted, sizeof(converted), "", path) && unlink(converted) == 0;
}

// Where the file system can't refuse to replace in the rename itself: a
// hard link refuses an existing target; a directory (no hard links) is
// checked first.
static bool32 move_without_replacing(const char* from, const char* to) {
    if (link(from, to) == 0) {
        if (unlink(from) == 0) {
            return 1;
        }
        unlink(to);
        return 0;
    }
    struct stat status;
    return errno != EEXIST && lstat(to, &status) != 0 && errno == ENOENT &&
           rename(from, to) == 0;
}

// Like MoveFileA: an existing target is never replaced.
bool32 move_file(const char* from, const char* to) {
    char source[QUERY_PATH_CAPACITY];
    char target[QUERY_PATH_CAPACITY];
    if (!system_path(source, sizeof(source), "", from) ||
        !system_path(target, sizeof(target), "", to)) {
        return 0;
    }
    if (renameat2(AT_FDCWD, source, AT_FDCWD, target, RENAME_NOREPLACE) == 0) {
        return 1;
    }
    return (errno == EINVAL || errno == ENOSYS) && move_without_replacing(source, target);
}
