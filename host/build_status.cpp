#include "host/build_status.h"

#include "engine/base/memory.h"
#include "engine/base/text.h"

// The line that starts at `at`, without the "\n" or "\r\n" that ends it: its
// length, and in *next where the following one starts (size when none does).
static u32 line_at(const char* text, u32 size, u32 at, u32* next) {
    u32 end = at;
    while (end < size && text[end] != '\n') {
        ++end;
    }
    *next = end < size ? end + 1 : size;
    if (end > at && text[end - 1] == '\r') {
        --end;
    }
    return end - at;
}

static bool32 line_is(const char* line, u32 length, const char* word) {
    return length == text_length(word) && bytes_equal(line, word, length);
}

// How many of the first count bytes to keep so that a UTF-8 character the
// cut falls into is left out whole.
static u32 whole_characters(const char* text, u32 count) {
    u32 start = count;
    while (start > 0 && count - start < 3 && ((u8)text[start - 1] & 0xC0) == 0x80) {
        --start;
    }
    if (start == 0) {
        return count;
    }
    u8 lead = (u8)text[start - 1];
    u32 length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    return count - (start - 1) < length ? start - 1 : count;
}

// Appends length bytes of text after what part holds, cut to its capacity,
// control characters (a title shows them as boxes, or ends at a zero) as
// spaces.
static void append(char* part, u32 capacity, const char* text, u32 length) {
    u32 at = text_length(part);
    u32 room = capacity - 1 - at;
    u32 count = length <= room ? length : whole_characters(text, room);
    for (u32 i = 0; i < count; ++i) {
        u8 c = (u8)text[i];
        part[at++] = c < 0x20 || c == 0x7F ? ' ' : (char)c;
    }
    part[at] = 0;
}

static void append_text(char* part, u32 capacity, const char* text) {
    append(part, capacity, text, text_length(text));
}

void build_status_parse(const char* text, u32 size, char* part, u32 capacity) {
    if (!capacity) {
        return;
    }
    part[0] = 0;
    u32 next = 0;
    u32 length = line_at(text, size, 0, &next);
    if (line_is(text, length, "building")) {
        append_text(part, capacity, "building...");
        return;
    }
    if (!line_is(text, length, "failed")) {
        return;
    }
    append_text(part, capacity, "build failed");
    u32 after = 0;
    u32 message = line_at(text, size, next, &after);
    if (message) {
        append_text(part, capacity, ": ");
        append(part, capacity, text + next, message);
    }
}

// The module file's path with the suffix; false when it does not fit.
static bool32 status_path(const module_state* module, char* path, u32 capacity) {
    const char* module_path = module_file_path(module);
    if (text_length(module_path) + sizeof(BUILD_STATUS_SUFFIX) > capacity) {
        return 0;
    }
    concat_text_checked(path, module_path, BUILD_STATUS_SUFFIX);
    return 1;
}

bool32 build_status_poll(build_status* status, const module_state* module) {
    bool32 changed = 0;
    if (module->loads != status->loads) {
        status->loads = module->loads;
        changed = status->part[0] != 0;
        status->part[0] = 0;
    }
    char path[MODULE_PATH_CAPACITY];
    u64 identity = status_path(module, path, sizeof(path)) ? library_file_glance(path) : 0;
    if (identity == status->identity) {
        return changed;
    }
    // A file replaced between the look and the read is read again next
    // frame: its identity differs from the one recorded here.
    status->identity = identity;
    char text[BUILD_STATUS_READ];
    u32 size = identity ? read_regular_file(path, text, sizeof(text)) : 0;
    char part[BUILD_STATUS_CAPACITY];
    build_status_parse(text, size, part, sizeof(part));
    changed = changed || !text_equal(part, status->part);
    copy_text(status->part, part);
    return changed;
}
