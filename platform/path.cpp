#include "platform/path.h"

#include "engine/base/memory.h"
#include "engine/base/text.h"

// Characters before the terminator, but no more than limit are looked at:
// a module's text may be longer than 32 bits can count, and a length taken
// modulo 2^32 could pass for one that fits.
static u64 length_up_to(const char* text, u64 limit) {
    u64 length = 0;
    while (length < limit && text[length]) {
        ++length;
    }
    return length;
}

bool32 system_path(char* out, u32 capacity, const char* prefix, const char* name) {
    fill_bytes(out, 0, capacity);
    if (!prefix || !name) {
        return 0;
    }
    u64 length = length_up_to(prefix, capacity);
    length += length_up_to(name, capacity - length);
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
    return path && length_up_to(path, PLATFORM_QUERY_PATH_MAX + 1) <= PLATFORM_QUERY_PATH_MAX;
}
