// The path operations over arbitrary bytes: the input is a path, optionally
// followed by a zero and a base directory. Every buffer is exactly as large
// as the operation's contract asks, so a write past it trips the address
// sanitizer.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "engine/base/path.h"
#include "engine/base/text.h"

static char* copy_into(const char* text, size_t room) {
    char* buffer = (char*)malloc(room);
    strcpy(buffer, text);
    return buffer;
}

static int component_is(const char* start, uint32_t length, const char* name) {
    return length == strlen(name) && memcmp(start, name, length) == 0;
}

static void check_split(const char* path) {
    const char *start, *file_name, *extension;
    path_split(path, &start, &file_name, &extension);
    const char* end = path + strlen(path);
    if (start != path || file_name < path || file_name > end) abort();
    if (extension < file_name || extension > end) abort();
    if (memchr(file_name, '/', end - file_name) || memchr(file_name, '\\', end - file_name)) abort();
}

static void check_components(const char* path, uint32_t length) {
    const char** starts = (const char**)malloc(sizeof(char*) * (length + 1));
    uint32_t* lengths = (uint32_t*)malloc(sizeof(uint32_t) * (length + 1));
    uint32_t count = 0;
    path_components(path, starts, lengths, &count, length + 1);
    uint32_t total = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (lengths[i] == 0 || starts[i] < path || starts[i] + lengths[i] > path + length) abort();
        if (i > 0 && starts[i] < starts[i - 1] + lengths[i - 1] + 1) abort();
        total += lengths[i];
    }
    if (total > length) abort();
    free(starts);
    free(lengths);
}

static void check_normalize(const char* path, uint32_t length) {
    char* buffer = copy_into(path, length + 3);  // two spare bytes and the terminator
    int32_t change = path_normalize(buffer);
    if ((int64_t)strlen(buffer) != (int64_t)length + change) abort();
    if (strchr(buffer, '\\')) abort();
    free(buffer);
}

static void check_resolve(const char* path, uint32_t length, const char* base) {
    // Room for every component of both, separators, a root and the "./"
    // that normalisation may add.
    size_t room = length + strlen(base) + 5;
    char* buffer = copy_into(path, room);
    int32_t change = path_resolve(buffer, base);
    uint32_t result = text_length(buffer);
    if ((int64_t)result != (int64_t)length + change) abort();
    if (length > PATH_RESOLVE_MAX_LENGTH && strcmp(buffer, path) != 0) abort();  // refused
    if (strcmp(buffer, path) != 0 && strstr(buffer, "//") == nullptr) {
        // Whatever was resolved holds no "." or ".." component. (A doubled
        // "/" glues itself to the next component, which is then no "..".)
        const char* starts[PATH_RESOLVE_MAX_COMPONENTS];
        uint32_t lengths[PATH_RESOLVE_MAX_COMPONENTS];
        uint32_t count = 0;
        path_components(buffer, starts, lengths, &count, PATH_RESOLVE_MAX_COMPONENTS);
        for (uint32_t i = 0; i < count; ++i) {
            if (component_is(starts[i], lengths[i], ".") ||
                component_is(starts[i], lengths[i], "..")) abort();
        }
    }
    free(buffer);
}

static void check_join(const char* first, const char* second) {
    size_t room = strlen(first) + strlen(second) + 2;
    char* out = (char*)malloc(room);
    uint32_t length = path_join(out, first, second);
    if (length != strlen(out) || length + 1 > room) abort();
    free(out);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 600) return 0;
    char* input = (char*)malloc(size + 2);
    memcpy(input, data, size);
    input[size] = 0;
    input[size + 1] = 0;
    const char* path = input;
    uint32_t length = text_length(path);
    const char* base = input + length + 1;  // empty when there is no zero

    check_split(path);
    check_components(path, length);
    check_normalize(path, length);
    check_resolve(path, length, base);
    check_join(path, base);
    free(input);
    return 0;
}
