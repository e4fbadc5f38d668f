#include "carry/names.h"

#include <cxxabi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>


void long_text_append(long_text* text, const char* more) {
    u64 length = strlen(more);
    if (text->length + length + 1 > text->capacity) {
        u64 grown = text->capacity ? text->capacity * 2 : 256;
        while (grown < text->length + length + 1) {
            grown *= 2;
        }
        char* moved = (char*)realloc(text->text, grown);
        if (!moved) {
            return;
        }
        text->text = moved;
        text->capacity = grown;
    }
    memcpy(text->text + text->length, more, length + 1);
    text->length += length;
}

void long_text_empty(long_text* text) {
    text->length = 0;
    if (text->text) {
        text->text[0] = 0;
    }
}

void long_text_free(long_text* text) {
    free(text->text);
    memset(text, 0, sizeof(*text));
}

const char* long_text_view(const long_text* text) { return text->text ? text->text : ""; }

// A C++ linkage name demangled, else the name as it is.
static void readable_part(const char* name, u64 length, char* out, u32 capacity) {
    char mangled[1024];
    snprintf(mangled, sizeof(mangled), "%.*s", (int)length, name);
    int status = -1;
    char* text = strncmp(mangled, "_Z", 2) == 0
                     ? abi::__cxa_demangle(mangled, NULL, NULL, &status)
                     : NULL;
    snprintf(out, capacity, "%s", text && status == 0 ? text : mangled);
    free(text);
}

// A file's name has a dot or a folder in it; a function's never.
static bool names_a_file(const char* part, u64 length) {
    for (u64 i = 0; i < length; ++i) {
        if (part[i] == '.' || part[i] == '/' || part[i] == '\\') {
            return true;
        }
    }
    return false;
}

void name_readable(const char* key, bool32 with_file, char* out, u32 capacity) {
    out[0] = 0;
    const char* name = strrchr(key, ':');
    if (!name) {
        readable_part(key, strlen(key), out, capacity);
        return;
    }
    // "<file>:<name>" or "<file>:<function>:<name>"; a Windows file may
    // have a drive's colon in it.
    const char* file_end = name;
    const char* function = NULL;
    for (const char* at = name - 1; at >= key; --at) {
        if (*at == ':') {
            if (!names_a_file(at + 1, (u64)(name - at - 1))) {
                function = at + 1;
                file_end = at;
            }
            break;
        }
    }
    u32 at = 0;
    if (with_file) {
        const char* base = key;
        for (const char* c = key; c < file_end; ++c) {
            base = *c == '/' || *c == '\\' ? c + 1 : base;
        }
        at = (u32)snprintf(out, capacity, "%.*s:", (int)(file_end - base), base);
    }
    char part[1024];
    if (function && at < capacity) {
        readable_part(function, (u64)(name - function), part, sizeof(part));
        at += (u32)snprintf(out + at, capacity - at, "%s::", part);
    }
    if (at < capacity) {
        readable_part(name + 1, strlen(name + 1), part, sizeof(part));
        snprintf(out + at, capacity - at, "%s", part);
    }
}

// ---------------------------------------------------------------------------
// Lists.

bool32 name_list_has(const name_list* list, const char* key) {
    for (u32 i = 0; i < list->count; ++i) {
        if (strcmp(list->entries[i].key, key) == 0) {
            return 1;
        }
    }
    return 0;
}

void name_list_add(name_list* list, const char* key, const char* words) {
    if (list->count == list->capacity) {
        u32 grown = list->capacity ? list->capacity * 2 : 16;
        void* moved = realloc(list->entries, grown * sizeof(name_entry));
        if (!moved) {
            return;
        }
        list->entries = (name_entry*)moved;
        list->capacity = grown;
    }
    char* copy = strdup(key);
    if (!copy) {
        return;
    }
    list->entries[list->count].key = copy;
    list->entries[list->count].words = words ? words : "";
    list->count += 1;
}

void name_list_free(name_list* list) {
    for (u32 i = 0; i < list->count; ++i) {
        free(list->entries[i].key);
    }
    free(list->entries);
    memset(list, 0, sizeof(*list));
}

typedef struct shown_name {
    char text[256];
} shown_name;

static const shown_name* sorting;

static int by_text(const void* a, const void* b) {
    u32 x = *(const u32*)a;
    u32 y = *(const u32*)b;
    int order = strcmp(sorting[x].text, sorting[y].text);
    return order ? order : (x > y) - (x < y);
}

// Each entry's name, with its file where another has the same name.
static shown_name* show_names(const name_list* list) {
    shown_name* names = (shown_name*)malloc((u64)list->count * sizeof(shown_name) + 1);
    u32* order = (u32*)malloc((u64)list->count * sizeof(u32) + 1);
    if (!names || !order) {
        free(names);
        free(order);
        return NULL;
    }
    for (u32 i = 0; i < list->count; ++i) {
        name_readable(list->entries[i].key, 0, names[i].text, sizeof(names[i].text));
        order[i] = i;
    }
    sorting = names;
    qsort(order, list->count, sizeof(u32), by_text);
    // Where two read alike, both are named with their files; order[] is
    // used up for it, as a mark for each entry.
    u32 previous_shared = 0;
    for (u32 i = 0; i < list->count; ++i) {
        bool shared = i + 1 < list->count &&
                      strcmp(names[order[i]].text, names[order[i + 1]].text) == 0;
        u32 entry = order[i];
        order[i] = (shared || previous_shared) ? entry + 1 : 0;
        previous_shared = shared;
    }
    for (u32 i = 0; i < list->count; ++i) {
        if (order[i]) {
            name_readable(list->entries[order[i] - 1].key, 1, names[order[i] - 1].text,
                          sizeof(names[0].text));
        }
    }
    free(order);
    return names;
}

void name_list_write(const name_list* list, u32 most, u32 limit, long_text* out) {
    shown_name* names = show_names(list);
    if (!names) {
        return;
    }
    u32 shown = 0;
    u64 used = 0;
    // Room kept for " and 12345 more".
    const u64 more_room = 16;
    for (; shown < list->count && (!limit || shown < most); ++shown) {
        char item[300];
        snprintf(item, sizeof(item), "%s%s%s", shown ? ", " : "", names[shown].text,
                 list->entries[shown].words);
        u64 length = strlen(item);
        u64 room = shown + 1 < list->count ? more_room : 0;
        if (limit && used + length + room > limit) {
            if (shown == 0) {
                // One name at least, cut.
                u64 keep = limit > room + 3 ? limit - room - 3 : 1;
                item[keep < length ? keep : length] = 0;
                long_text_append(out, item);
                long_text_append(out, "...");
                shown = 1;
            }
            break;
        }
        long_text_append(out, item);
        used += length;
    }
    if (shown < list->count) {
        char more[32];
        snprintf(more, sizeof(more), " and %u more", list->count - shown);
        long_text_append(out, more);
    }
    free(names);
}

void name_count(char* out, u64 value) {
    char digits[32];
    int count = snprintf(digits, sizeof(digits), "%llu", (unsigned long long)value);
    u32 at = 0;
    for (int i = 0; i < count; ++i) {
        if (i && (count - i) % 3 == 0) {
            out[at++] = ',';
        }
        out[at++] = digits[i];
    }
    out[at] = 0;
}
