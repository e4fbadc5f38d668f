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

#ifdef _WIN32
static bool32 is_separator(char c) { return c == '/' || c == '\\'; }
#else
static bool32 is_separator(char c) { return c == '/'; }
#endif

// Where the component that starts at `at` ends, past the separator after it.
static u32 past_component(const char* path, u32 at) {
    while (path[at] && !is_separator(path[at])) {
        ++at;
    }
    return is_separator(path[at]) ? at + 1 : at;
}

#ifdef _WIN32
static bool32 is_drive(const char* path) {
    char c = (char)(path[0] | 0x20);
    return c >= 'a' && c <= 'z' && path[1] == ':';
}

// After "\\?\" or "\\.\": a drive, "UNC\server\share\", or a volume's or
// device's name.
static u32 device_root_length(const char* path) {
    const char* rest = path + 4;
    if (is_drive(rest)) {
        return is_separator(rest[2]) ? 7 : 6;
    }
    bool32 unc = (rest[0] | 0x20) == 'u' && (rest[1] | 0x20) == 'n' && (rest[2] | 0x20) == 'c' &&
                 is_separator(rest[3]);
    if (unc) {
        return past_component(path, past_component(path, 8));
    }
    return past_component(path, 4);
}

u32 system_root_length(const char* path) {
    if (!path) {
        return 0;
    }
    if (is_drive(path)) {
        return is_separator(path[2]) ? 3 : 2;
    }
    if (!is_separator(path[0])) {
        return 0;
    }
    if (!is_separator(path[1])) {
        return 1;
    }
    if ((path[2] == '?' || path[2] == '.') && is_separator(path[3])) {
        return device_root_length(path);
    }
    return past_component(path, past_component(path, 2));  // a share
}
#else
u32 system_root_length(const char* path) { return path && path[0] == '/' ? 1 : 0; }
#endif

static bool32 component_is(const char* start, const char* name) {
    u32 at = 0;
    for (; name[at]; ++at) {
        if (start[at] != name[at]) {
            return 0;
        }
    }
    return !start[at] || is_separator(start[at]);
}

// The end of directory once its last component is taken off, its root kept.
static u64 parent_end(const char* directory, u64 end, u32 root) {
    while (end > root && !is_separator(directory[end - 1])) {
        --end;
    }
    while (end > root && is_separator(directory[end - 1])) {
        --end;
    }
    return end;
}

bool32 system_path_from(char* out, u32 capacity, const char* directory, const char* relative) {
    fill_bytes(out, 0, capacity);
    if (!directory || !relative) {
        return 0;
    }
    u32 root = system_root_length(directory);
    u64 end = length_up_to(directory, capacity);
    if (end >= capacity) {
        return 0;
    }
    while (end > root && is_separator(directory[end - 1])) {
        --end;
    }
    for (;;) {
        bool32 up = component_is(relative, "..");
        if (!up && !component_is(relative, ".")) {
            break;
        }
        if (up) {
            end = parent_end(directory, end, root);
        }
        relative += past_component(relative, 0);
    }
    bool32 separate = end > 0 && !is_separator(directory[end - 1]) && relative[0];
    u64 length = end + separate + length_up_to(relative, capacity);
    if (length >= capacity) {
        return 0;
    }
    copy_bytes(out, directory, end);
    if (separate) {
        out[end] = SYSTEM_SEPARATOR;
    }
    copy_text(out + end + separate, relative);
    for (char* c = out; *c; ++c) {
        if (*c == FOREIGN_SEPARATOR) {
            *c = SYSTEM_SEPARATOR;
        }
    }
    return 1;
}
