#include "platform/path.h"

#include "engine/base/memory.h"
#include "engine/base/text.h"

bool32 system_path(char* out, u32 capacity, const char* prefix, const char* name) {
    fill_bytes(out, 0, capacity);
    if (!prefix || !name) {
        return 0;
    }
    // Measured in 64 bits so that two long texts can't wrap into a fit.
    u64 length = (u64)text_length(prefix) + text_length(name);
    if (length >= capacity) {
        return 0;
    }
    concat_text_checked(out, prefix, name);
    for (char* c = out; *c; ++c) {
        if (*c == FOREIGN_SEPARATOR) {
            *c = SYSTEM_SEPARATOR;
        }
    }
    return 1;
}

bool32 system_path_fits(const char* path) {
    return path && text_length(path) <= PLATFORM_QUERY_PATH_MAX;
}
