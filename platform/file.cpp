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
