#include "platform/system.h"

#include "engine/base/memory.h"
#include "engine/base/path.h"

// Truncates towards zero; values beyond the 32-bit range stop at its ends
// and NaN gives 0. Worked on the bit pattern alone: any floating-point
// instruction on the value (even a comparison) would trap on a denormal or
// a NaN while the module has floating-point exceptions enabled.
i32 truncate_to_i32(f32 value) {
    u32 bits;
    copy_bytes(&bits, &value, sizeof(bits));
    bool32 negative = bits >> 31;
    u32 exponent = (bits >> 23) & 0xFF;
    u32 mantissa = bits & 0x7FFFFF;
    if (exponent == 0xFF && mantissa != 0) {
        return 0;  // NaN
    }
    if (exponent < 127) {
        return 0;  // below 1 in size: zeros, denormals and fractions
    }
    if (exponent >= 127 + 31) {
        return negative ? INT32_MIN : INT32_MAX;  // 2^31 and beyond, infinities
    }
    u32 shift = exponent - 127;  // 0 to 30: the value is below 2^31
    u32 whole = mantissa | 0x800000;
    u32 magnitude = shift >= 23 ? whole << (shift - 23) : whole >> (23 - shift);
    return negative ? -(i32)magnitude : (i32)magnitude;
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

// A share ("\\server\share") or a "\\?\" form keeps its leading pair, as
// "//": collapsed to one it would name a folder of the current drive.
void normalize_working_directory(char* buffer, u32 capacity) {
    if (!buffer || !normalize_fits(buffer, capacity)) {
        return;
    }
    if (buffer[0] == '\\' && buffer[1] == '\\') {
        path_normalize(buffer + 1);
        buffer[0] = '/';
        return;
    }
    path_normalize(buffer);
}
