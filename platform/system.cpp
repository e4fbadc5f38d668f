#include "platform/system.h"

#include "base/path.h"

// Truncates towards zero; values beyond the 32-bit range stop at its ends
// and NaN gives 0, so no conversion can raise an invalid-operation trap
// while the module has floating-point exceptions enabled.
i32 truncate_to_i32(f32 value) {
    if (!(value == value)) {
        return 0;
    }
    if (value <= -2147483648.0f) {
        return INT32_MIN;
    }
    if (value >= 2147483648.0f) {
        return INT32_MAX;
    }
    return (i32)value;
}

// Whether path_normalize may run on buffer without touching a byte past
// capacity: the text must end inside the buffer, and a bare name (no
// separator, not starting with ".") needs room for the "./" it gains.
static bool32 normalize_fits(const char* buffer, u32 capacity) {
    u32 length = 0;
    while (length < capacity && buffer[length]) {
        ++length;
    }
    if (length == capacity) {
        return 0;
    }
    bool32 bare = buffer[0] != '.';
    for (u32 i = 0; i < length; ++i) {
        if (buffer[i] == '/' || buffer[i] == '\\') {
            bare = 0;
        }
    }
    return !bare || (u64)length + 3 <= capacity;
}

void normalize_working_directory(char* buffer, u32 capacity) {
    if (buffer && normalize_fits(buffer, capacity)) {
        path_normalize(buffer);
    }
}
