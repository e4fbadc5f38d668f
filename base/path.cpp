#include "engine/base/path.h"

#include "engine/base/fatal.h"
#include "engine/base/memory.h"
#include "engine/base/text.h"

void path_split(const char* path, const char** out_start,
                const char** out_file_name, const char** out_extension) {
    const char* file_name = path;
    const char* extension = nullptr;
    const char* p = path;
    for (; *p; ++p) {
        if (*p == '/' || *p == '\\') {
            file_name = p + 1;
            extension = nullptr;  // a dot in a directory starts no extension
        } else if (*p == '.') {
            extension = p + 1;
        }
    }
    *out_start = path;
    *out_file_name = file_name;
    *out_extension = extension ? extension : p;
}

// Removes `count` characters at `at`, moving the rest (terminator included)
// left. `length` is the path's length before the removal.
static void remove_chars(char* path, u32 length, u32 at, u32 count) {
    move_bytes(path + at, path + at + count, length + 1 - at - count);
}

static u32 convert_backslashes(char* path, u32 length) {
    for (u32 i = 0; i < length; ++i) {
        if (path[i] != '\\') continue;
        path[i] = '/';
        if (path[i + 1] == '\\') {
            remove_chars(path, length, i + 1, 1);
            length -= 1;
        }
    }
    return length;
}

static u32 prefix_bare_name(char* path, u32 length) {
    const char* start;
    const char* file_name;
    const char* extension;
    path_split(path, &start, &file_name, &extension);
    if (file_name != start || path[0] == '.') return length;
    move_bytes(path + 2, path, (u64)length + 1);
    path[0] = '.';
    path[1] = '/';
    return length + 2;
}

static u32 drop_parent_current(char* path, u32 length) {
    static const char pattern[] = ".././";
    u32 i = 0;
    while (i + 5 <= length) {
        if (bytes_equal(path + i, pattern, 5)) {
            remove_chars(path, length, i + 3, 2);
            length -= 2;
            i += 4;  // the character right after the kept "../" is not tried
        } else {
            i += 1;
        }
    }
    return length;
}

i32 path_normalize(char* path) {
    u32 old_length = text_length(path);
    u32 length = convert_backslashes(path, old_length);
    length = prefix_bare_name(path, length);
    if (length > 0 && path[length - 1] == '/') {
        path[--length] = 0;
    }
    length = drop_parent_current(path, length);
    return (i32)(length - old_length);
}

// Like path_components, but refuses (returns 0, count unchanged in meaning)
// instead of stopping when the lists are full.
static bool32 list_components(const char* path, const char** starts,
                              u32* lengths, u32* count, u32 capacity) {
    u32 n = *count;
    const char* run = path;
    for (const char* p = path;; ++p) {
        bool32 at_end = (*p == 0);
        if (!at_end && *p != '/') continue;
        if (p == run) {
            // A "/" ending an empty run starts the next component instead.
            if (at_end) break;
            continue;
        }
        if (n >= capacity) return 0;
        starts[n] = run;
        lengths[n] = (u32)(p - run);
        n += 1;
        if (at_end) break;
        run = p + 1;
    }
    *count = n;
    return 1;
}

void path_components(const char* path, const char** starts, u32* lengths,
                     u32* count, u32 capacity) {
    fatal_assert(list_components(path, starts, lengths, count, capacity));
}

u32 path_join(char* out, const char* first, const char* second) {
    u32 length = copy_text(out, first);
    if (length > 0 && out[length - 1] != '/') {
        out[length++] = '/';
    }
    return length + copy_text(out + length, second);
}

static bool32 component_is(const char* start, u32 length, const char* name) {
    return bytes_equal_counted(start, name, length, text_length(name));
}

i32 path_resolve(char* path, const char* base) {
    enum { CAPACITY = PATH_RESOLVE_MAX_COMPONENTS };
    char copy[256];
    u32 old_length = text_length(path);
    if (old_length > PATH_RESOLVE_MAX_LENGTH) return 0;
    copy_text(copy, path);
    path_normalize(copy);

    const char* starts[CAPACITY];
    u32 lengths[CAPACITY];
    u32 count = 0;
    if (copy[0] == '.' && !list_components(base, starts, lengths, &count, CAPACITY)) {
        return 0;
    }
    if (!list_components(copy, starts, lengths, &count, CAPACITY)) return 0;

    // A leading "/" on the first component is the root: keep it apart so
    // that ".." never removes it.
    bool32 rooted = 0;
    if (count > 0 && starts[0][0] == '/' && lengths[0] > 1) {
        rooted = 1;
        starts[0] += 1;
        lengths[0] -= 1;
    }

    const char* kept_starts[CAPACITY];
    u32 kept_lengths[CAPACITY];
    u32 kept = 0;
    for (u32 i = 0; i < count; ++i) {
        if (component_is(starts[i], lengths[i], "..")) {
            if (kept > 0) kept -= 1;  // nothing left to remove: dropped
        } else if (!component_is(starts[i], lengths[i], ".")) {
            kept_starts[kept] = starts[i];
            kept_lengths[kept] = lengths[i];
            kept += 1;
        }
    }

    u32 length = 0;
    if (rooted && kept > 0) path[length++] = '/';
    for (u32 i = 0; i < kept; ++i) {
        if (i > 0) path[length++] = '/';
        copy_bytes(path + length, kept_starts[i], kept_lengths[i]);
        length += kept_lengths[i];
    }
    path[length] = 0;
    return (i32)(length - old_length);
}
