#include "guard/build_name.h"

#include "engine/base/number.h"
#include "engine/base/text.h"

bool32 build_copy_name(char* out, u32 capacity, const char* name, u32 process, u32 copy) {
    char suffix[32];
    u32 length = 0;
    suffix[length++] = '.';
    length += print_u32(suffix + length, process);
    suffix[length++] = '.';
    length += print_u32(suffix + length, copy);
    suffix[length] = 0;
    out[0] = 0;
    u64 named_length = (u64)text_length(BUILD_COPY_PREFIX) + text_length(name) + length;
    if (named_length >= capacity) {
        return 0;
    }
    u32 at = copy_text(out, BUILD_COPY_PREFIX);
    at += copy_text(out + at, name);
    copy_text(out + at, suffix);
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
