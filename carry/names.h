// What a reload says of a build's objects and functions, by name, as a user
// reads them. Names come from keys (image.h, kept.h): "<file>:<function>:
// <name>" for a function's static, "<file>:<name>" for a file's own,
// "<name>" for the rest, where function and name may be C++ linkage names.
// A name reads demangled ("_ZN4game5probeEm": "game::probe(unsigned long)"),
// a function's static under its function ("probe()::count"), and a file's
// static with its file's own name where a list holds two of one name
// ("p_user.c:plr").
#ifndef CARRY_NAMES_H
#define CARRY_NAMES_H

#include "engine/base/types.h"

// Text as long as it needs to be (standard error's line names everything).
typedef struct long_text {
    char* text;  // null until something is written
    u64 length;
    u64 capacity;
} long_text;

void long_text_append(long_text* text, const char* more);
// Empty again, its memory kept.
void long_text_empty(long_text* text);
void long_text_free(long_text* text);
// The text, "" while none was written.
const char* long_text_view(const long_text* text);

// A count as a user reads it: 2143 as "2,143" (out: room for 27 bytes).
void name_count(char* out, u64 value);

// The key's name as a user reads it, with its file's name before a file's
// static when with_file is set.
void name_readable(const char* key, bool32 with_file, char* out, u32 capacity);

// Names in the order they were added, each with words that follow it ("player" " (changed size)").
typedef struct name_entry {
    char* key;
    const char* words;  // static text
} name_entry;

typedef struct name_list {
    name_entry* entries;
    u32 count;
    u32 capacity;
} name_list;

// Adds a name (none when there is no memory for it).
void name_list_add(name_list* list, const char* key, const char* words);
bool32 name_list_has(const name_list* list, const char* key);
void name_list_free(name_list* list);

// Appends the list, "a, b (changed size), c": with limit 0 every name;
// otherwise at most `most` names within about `limit` characters, and
// " and 7 more" for the rest.
void name_list_write(const name_list* list, u32 most, u32 limit, long_text* out);

#endif
