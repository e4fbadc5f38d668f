#include "platform/file.h"

#include "engine/base/memory.h"
#include "engine/base/text.h"

// The code of the last recorded error; 0 at start.
static u32 last_file_error_code;

static const file_error file_errors[] = {
    {FILE_ERROR_UNKNOWN, "unknown error"},
    {FILE_ERROR_PATH_NOT_FOUND, "path not found"},
    {FILE_ERROR_ACCESS_DENIED, "access denied"},
    {FILE_ERROR_SHARING_VIOLATION, "sharing violation"},
};

void record_file_error_code(u32 code) { last_file_error_code = code; }

file_error last_file_error(void) {
    file_error result = file_errors[0];
    for (u32 i = 0; i < sizeof(file_errors) / sizeof(file_errors[0]); ++i) {
        if ((u32)file_errors[i].code == last_file_error_code) {
            result = file_errors[i];
        }
    }
    return result;
}

// The slots that are the same on every system, over each system's queries.

u32 file_exists(const char* path) { return file_exists_with_prefix(path, ""); }

u64 file_time_at_path(const char* path, u32 kind) {
    return file_time_with_prefix(path, "", kind);
}

u32 file_changed(file_handle* file) {
    if (!file || !handle_valid(file->handle)) {
        return 0;
    }
    u64 time = file_time_of_handle(file->handle, FILE_TIME_LAST_WRITE);
    u32 changed = (file->last_write_time != 0 && file->last_write_time != time) ? 2 : 0;
    file->last_write_time = time;
    return changed;
}

u64 file_size(file_handle* file) { return file ? file_size_of_handle(file->handle) : 0; }

u64 file_size_at_path(const char* path) { return file_size_with_prefix(path, ""); }

// ---------------------------------------------------------------------------
// The record and by-path slots, over each system's handles.

file_handle open_file(const char* path, u32 position, u32 flags) {
    file_handle file;
    fill_bytes(&file, 0, sizeof(file));
    // A truncating open leaves nothing to stand on past 0: refuse it before
    // the file is touched, so a call that fails loses no data.
    // A position that can't be stood on is no reason the system knows,
    // so it is recorded as unknown rather than leaving an older reason.
    bool32 truncates = (flags & FILE_OPEN_WRITE) && !(flags & FILE_OPEN_KEEP);
    if (truncates && position > 0) {
        record_file_error_code(FILE_ERROR_UNKNOWN);
        return file;
    }
    // A file the open would create is empty, so past 0 only an existing
    // one can do: nothing is created for an open that is then refused.
    void* handle = open_handle_as(path, flags, position > 0);
    if (!handle_valid(handle)) {
        return file;
    }
    // A position past the end would make the record claim bytes that
    // aren't there; such an open fails like any other.
    bool32 past_end = position > 0 && file_size_of_handle(handle) < position;
    if (past_end || !hand_out_handle(handle)) {
        close_handle(handle);
        record_file_error_code(FILE_ERROR_UNKNOWN);
        return file;
    }
    copy_text(file.name, path);
    file.position = position;
    file.handle = handle;
    return file;
}

// A null record is the one bad record a service can recognise: the record
// services treat it as a failed open's record and do nothing. The handle is
// cleared where the record can be written, so once the system reuses its
// number the closed record reaches nothing.
void close_file(file_handle* file) {
    if (!file) {
        return;
    }
    void* handle = record_handle(file);
    if (handle_valid(handle)) {
        take_back_handle(handle);
    }
    if (record_writable(file)) {
        file->handle = NULL;
    }
}

u32 read_file(file_handle* file, void* buffer, u64 size, u32 offset) {
    if (!file) {
        return 0;
    }
    u32 count = read_at(record_handle(file), buffer, size, offset);
    file->position = offset + count;
    file->bytes_read += count;
    return count;
}

u32 write_file(file_handle* file, const void* buffer, u32 size, u32 offset) {
    if (!file) {
        return 0;
    }
    u32 count = write_at(record_handle(file), buffer, size, offset);
    file->position = offset + count;
    file->bytes_written += count;
    return count;
}

u32 read_file_at_path(const char* path, void* buffer, u32 size, u32 offset) {
    void* handle = open_handle(path, FILE_OPEN_READ);
    u32 count = read_at(handle, buffer, size, offset);
    close_handle(handle);
    return count;
}

// A write that can't happen is refused before the open truncates the file.
// With a size of 0 there is nothing to read, whatever the buffer: the file
// is created or truncated as asked.
u32 write_file_at_path(const char* path, const void* buffer, u32 size, u32 offset) {
    if (size > 0 && !buffer_readable(buffer, size)) {
        return 0;
    }
    void* handle = open_handle(path, FILE_OPEN_WRITE);
    u32 count = write_at(handle, buffer, size, offset);
    close_handle(handle);
    return count;
}
