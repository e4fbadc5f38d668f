#include "guard/build_name.h"

#include "engine/base/text.h"

u32 build_copy_name_length(const char* name) {
    return text_length(BUILD_COPY_PREFIX) + text_length(name) + 2 * (1 + BUILD_COPY_DIGITS);
}

// "." and the number, zero-padded to its digits.
static u32 append_number(char* out, u32 value) {
    out[0] = '.';
    for (u32 i = BUILD_COPY_DIGITS; i > 0; --i, value /= 10) {
        out[i] = (char)('0' + value % 10);
    }
    out[1 + BUILD_COPY_DIGITS] = 0;
    return 1 + BUILD_COPY_DIGITS;
}

bool32 build_copy_name(char* out, u32 capacity, const char* name, u32 process, u32 copy) {
    out[0] = 0;
    if ((u64)build_copy_name_length(name) >= capacity) {
        return 0;
    }
    u32 at = copy_text(out, BUILD_COPY_PREFIX);
    at += copy_text(out + at, name);
    at += append_number(out + at, process);
    append_number(out + at, copy);
    return 1;
}

bool32 is_build_copy_name(const char* file_name) {
    const char* prefix = BUILD_COPY_PREFIX MODULE_NAME ".";
    for (; *prefix; ++prefix, ++file_name) {
        char c = *file_name;
        // Windows' names don't tell case apart.
#ifdef _WIN32
        c = c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c;
#endif
        if (c != *prefix) {
            return 0;
        }
    }
    return 1;
}

u32 build_copy_owner(const char* file_name, u32 prefix_length) {
    u32 owner = 0;
    const char* at = file_name + prefix_length;
    for (; *at >= '0' && *at <= '9'; ++at) {
        owner = owner * 10 + (u32)(*at - '0');
    }
    return *at == '.' ? owner : 0;
}
