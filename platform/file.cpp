#include "platform/file.h"

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
