#include "platform/file_win32.h"

#include <windows.h>

#include "engine/base/memory.h"
#include "engine/base/text.h"
#include "platform/path.h"

bool32 handle_valid(void* handle) { return handle != NULL && handle != INVALID_HANDLE_VALUE; }

void record_file_error(u32 system_error) {
    switch (system_error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        record_file_error_code(FILE_ERROR_PATH_NOT_FOUND);
        break;
    case ERROR_ACCESS_DENIED:
        record_file_error_code(FILE_ERROR_ACCESS_DENIED);
        break;
    case ERROR_SHARING_VIOLATION:
        record_file_error_code(FILE_ERROR_SHARING_VIOLATION);
        break;
    default:
        break;
    }
}

void create_parent_directories(const char* path) {
    char parent[OPEN_PATH_CAPACITY];
    for (u32 i = 0; path[i] && i < sizeof(parent); ++i) {
        if (path[i] == '\\') {
            copy_text_n(parent, path, i);
            CreateDirectoryA(parent, NULL);
        }
    }
}

void* open_handle_as(const char* path, u32 flags, bool32 existing_only) {
    char converted[OPEN_PATH_CAPACITY];
    if (!system_path(converted, sizeof(converted), "", path)) {
        record_file_error(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    create_parent_directories(converted);
    DWORD access = GENERIC_READ;
    DWORD disposition = OPEN_EXISTING;
    if (flags & FILE_OPEN_WRITE) {
        access |= GENERIC_WRITE;
        disposition = (flags & FILE_OPEN_KEEP) ? OPEN_ALWAYS : CREATE_ALWAYS;
        disposition = existing_only ? OPEN_EXISTING : disposition;
    }
    HANDLE handle = CreateFileA(converted, access, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                disposition, FILE_ATTRIBUTE_NORMAL, NULL);
    if (!handle_valid(handle)) {
        record_file_error(GetLastError());
    }
    return handle;
}

void* open_handle(const char* path, u32 flags) { return open_handle_as(path, flags, 0); }

void close_handle(void* handle) {
    if (handle_valid(handle)) {
        CloseHandle(handle);
    }
}

// The offset counts from the start as an unsigned 32-bit value (a high part
// of 0 is passed), so offsets of 2 GiB and more land where they say instead
// of failing and leaving the pointer where the last transfer left it.
static bool32 seek_to(void* handle, u32 offset) {
    LONG high = 0;
    SetLastError(NO_ERROR);
    DWORD low = SetFilePointer(handle, (LONG)offset, &high, FILE_BEGIN);
    return low != INVALID_SET_FILE_POINTER || GetLastError() == NO_ERROR;
}

u32 read_at(void* handle, void* buffer, u64 size, u32 offset) {
    if (!handle_valid(handle) || size >= 0xFFFFFFFFu || !seek_to(handle, offset)) {
        return 0;
    }
    DWORD count = 0;
    if (!ReadFile(handle, buffer, (DWORD)size, &count, NULL)) {
        record_file_error(GetLastError());
    }
    return count;
}

u32 write_at(void* handle, const void* buffer, u32 size, u32 offset) {
    if (!handle_valid(handle) || !seek_to(handle, offset)) {
        return 0;
    }
    DWORD count = 0;
    WriteFile(handle, buffer, size, &count, NULL);
    return count;
}

// Every handle can be a record's, and a record's handle is its own.
bool32 hand_out_handle(void* handle) { return handle_valid(handle); }

void* record_handle(const file_handle* file) { return file->handle; }

void take_back_handle(void* handle) { close_handle(handle); }

bool32 record_writable(const file_handle* file) {
    const DWORD writing = PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE |
                          PAGE_EXECUTE_WRITECOPY;
    MEMORY_BASIC_INFORMATION info;
    if (!VirtualQuery(&file->handle, &info, sizeof(info)) || info.State != MEM_COMMIT) {
        return 0;
    }
    return (info.Protect & writing) && !(info.Protect & PAGE_GUARD);
}

// Committed pages that allow reading.
bool32 buffer_readable(const void* buffer, u32 size) {
    const DWORD reading = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                          PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    uintptr_t at = (uintptr_t)buffer;
    uintptr_t end = at + size;
    if (!buffer || end < at) {
        return 0;
    }
    while (at < end) {
        MEMORY_BASIC_INFORMATION info;
        if (!VirtualQuery((const void*)at, &info, sizeof(info)) || info.State != MEM_COMMIT ||
            (info.Protect & (PAGE_GUARD | PAGE_NOACCESS)) || !(info.Protect & reading)) {
            return 0;
        }
        at = (uintptr_t)info.BaseAddress + info.RegionSize;
    }
    return 1;
}

// Copies a found name into a 256-byte field, cut short rather than overrun.
static void copy_found_name(char* out, const char* found) {
    u32 length = text_length(found);
    copy_text_n(out, found, length < 255 ? length : 255);
}

u32 list_directory(const char* pattern, dir_entry* entries, u32 capacity) {
    if (!system_path_fits(pattern) || !entries) {
        return 0;
    }
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern, &found);
    if (!handle_valid(search)) {
        return 0;
    }
    u32 count = 0;
    do {
        if (count == capacity) {
            break;
        }
        dir_entry* entry = &entries[count];
        copy_found_name(entry->name, found.cFileName);
        entry->size = found.nFileSizeLow;
        entry->is_directory = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0;
        ++count;
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return count;
}

u32 file_exists_with_prefix(const char* name, const char* prefix) {
    char converted[OPEN_PATH_CAPACITY];
    if (!system_path(converted, sizeof(converted), prefix, name)) {
        return 0;
    }
    // The wide lookup, with room for the found path: the 8-bit one fails
    // once the working directory and a long relative name pass MAX_PATH.
    static WCHAR wide[OPEN_PATH_CAPACITY];
    static WCHAR found[32768];
    if (!MultiByteToWideChar(CP_ACP, 0, converted, -1, wide, OPEN_PATH_CAPACITY)) {
        return 0;
    }
    return SearchPathW(NULL, wide, NULL, 32768, found, NULL) != 0 ? 1 : 0;
}

static u64 file_time_value(FILETIME time) {
    return ((u64)time.dwHighDateTime << 32) | time.dwLowDateTime;
}

// The time stamp that kind selects, or 0 for an unknown kind.
static u64 select_file_time(u32 kind, FILETIME access, FILETIME creation, FILETIME write) {
    switch (kind) {
    case FILE_TIME_LAST_ACCESS:
        return file_time_value(access);
    case FILE_TIME_CREATION:
        return file_time_value(creation);
    case FILE_TIME_LAST_WRITE:
        return file_time_value(write);
    default:
        return 0;
    }
}

// The entry a search of prefix + name finds first; false when none.
static bool32 find_entry(const char* name, const char* prefix, WIN32_FIND_DATAA* found) {
    char converted[QUERY_PATH_CAPACITY];
    if (!system_path(converted, sizeof(converted), prefix, name)) {
        return 0;
    }
    HANDLE search = FindFirstFileA(converted, found);
    if (!handle_valid(search)) {
        return 0;
    }
    FindClose(search);
    return 1;
}

u64 file_time_with_prefix(const char* name, const char* prefix, u32 kind) {
    WIN32_FIND_DATAA found;
    if (!find_entry(name, prefix, &found)) {
        return 0;
    }
    return select_file_time(kind, found.ftLastAccessTime, found.ftCreationTime,
                            found.ftLastWriteTime);
}

bool32 look_up_file_entry(const char* path, file_entry* entry) {
    fill_bytes(entry, 0, sizeof(*entry));
    WIN32_FIND_DATAA found;
    if (!path || !find_entry(path, "", &found)) {
        return 0;
    }
    entry->found = 1;
    entry->last_write = file_time_value(found.ftLastWriteTime);
    entry->size = ((u64)found.nFileSizeHigh << 32) | found.nFileSizeLow;
    entry->other_time = file_time_value(found.ftCreationTime);
    return 1;
}

// The by-handle queries ask for just the times or the size: the full
// information query gives the same values but under Wine costs a thousand
// times as much (over a millisecond), and file_changed runs every frame.
u64 file_time_of_handle(void* handle, u32 kind) {
    FILETIME creation, access, write;
    if (!handle_valid(handle) || !GetFileTime(handle, &creation, &access, &write)) {
        return 0;
    }
    return select_file_time(kind, access, creation, write);
}

// A closed or failed record has no time to compare and is left as it is.

u64 file_size_of_handle(void* handle) {
    LARGE_INTEGER size;
    if (!handle_valid(handle) || !GetFileSizeEx(handle, &size)) {
        return 0;
    }
    return (u64)size.QuadPart;
}

u64 file_size_with_prefix(const char* name, const char* prefix) {
    char converted[QUERY_PATH_CAPACITY];
    if (!system_path(converted, sizeof(converted), prefix, name)) {
        return 0;
    }
    // Shares reading only: a file someone is writing is refused.
    HANDLE handle = CreateFileA(converted, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, NULL);
    if (!handle_valid(handle)) {
        return 0;
    }
    u64 size = file_size_of_handle(handle);
    CloseHandle(handle);
    return size;
}

bool32 delete_file(const char* path) { return system_path_fits(path) && DeleteFileA(path); }

bool32 move_file(const char* from, const char* to) {
    return system_path_fits(from) && system_path_fits(to) && MoveFileA(from, to);
}

// ---------------------------------------------------------------------------
// Whole-file operations and directory scanning: no slot exposes them.

// Reads size bytes in pieces that ReadFile can take; false on a failed read.
static bool32 read_whole(HANDLE handle, u8* data, u64 size) {
    while (size > 0) {
        DWORD piece = size > 0x40000000u ? 0x40000000u : (DWORD)size;
        DWORD count = 0;
        if (!ReadFile(handle, data, piece, &count, NULL)) {
            return 0;
        }
        if (count == 0) {
            return 1;  // the file shrank under us: keep what was there
        }
        data += count;
        size -= count;
    }
    return 1;
}

entire_file read_entire_file(const char* name, const char* prefix) {
    entire_file result = {NULL, 0, 0};
    record_file_error_code(FILE_ERROR_UNKNOWN);
    char converted[QUERY_PATH_CAPACITY];
    if (!system_path(converted, sizeof(converted), prefix, name)) {
        record_file_error(ERROR_PATH_NOT_FOUND);
        return result;
    }
    HANDLE handle = CreateFileA(converted, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, NULL);
    if (!handle_valid(handle)) {
        record_file_error(GetLastError());
        return result;
    }
    result.size = file_size_of_handle(handle);
    result.data = VirtualAlloc(NULL, result.size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (!result.data) {
        record_file_error(GetLastError());
    } else if (!seek_to(handle, 0) || !read_whole(handle, (u8*)result.data, result.size)) {
        record_file_error(GetLastError());
    }
    CloseHandle(handle);
    return result;
}

u32 write_entire_file(const char* name, const char* prefix, const void* buffer, u32 size) {
    char converted[QUERY_PATH_CAPACITY];
    if (!system_path(converted, sizeof(converted), prefix, name)) {
        record_file_error(ERROR_PATH_NOT_FOUND);
        return 0;
    }
    HANDLE handle = CreateFileA(converted, GENERIC_WRITE, FILE_SHARE_WRITE, NULL, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, NULL);
    if (!handle_valid(handle)) {
        record_file_error(GetLastError());
        return 0;
    }
    u32 count = write_at(handle, buffer, size, 0);
    CloseHandle(handle);
    return count;
}

u32 append_at_end(void* handle, const void* buffer, u32 size) {
    if (!handle_valid(handle)) {
        return 0;
    }
    SetFilePointer(handle, 0, NULL, FILE_END);
    DWORD count = 0;
    WriteFile(handle, buffer, size, &count, NULL);
    return count;
}

static bool32 is_dot_entry(const char* name) {
    return text_equal(name, ".") || text_equal(name, "..");
}

static void forward_slashes(char* text) {
    for (; *text; ++text) {
        if (*text == '\\') {
            *text = '/';
        }
    }
}

u32 first_directory_entry(char* buffer, const char* directory) {
    u32 length = copy_text(buffer, directory);
    for (u32 i = 0; i < length; ++i) {
        if (buffer[i] == '/') {
            buffer[i] = '\\';
        }
    }
    if (length == 0 || buffer[length - 1] != '\\') {
        buffer[length++] = '\\';
    }
    copy_text(buffer + length, "*");
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(buffer, &found);
    if (!handle_valid(search)) {
        buffer[0] = 0;
        return 0;
    }
    // The dot entries are skipped by name: a drive's root has none, and
    // the system promises no order.
    bool32 more = 1;
    while (more && is_dot_entry(found.cFileName)) {
        more = FindNextFileA(search, &found);
    }
    FindClose(search);
    if (!more) {
        buffer[0] = 0;
        return 0;
    }
    copy_found_name(buffer + length, found.cFileName);
    forward_slashes(buffer);
    return text_length(buffer);
}
