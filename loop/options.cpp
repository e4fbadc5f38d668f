#include "loop/options.h"

#include <stdio.h>
#include <string.h>

#include "engine/base/memory.h"

const char* const host_usage =
    "usage: engine [--record FILE | --replay FILE [--loop | --headless]] [--hashes FILE] "
    "[--check FILE] [--no-undo] [--history SECONDS] [--history-memory MIB] [--sound FILE.wav]";

static const char** file_option(host_options* options, const char* name) {
    if (strcmp(name, "--record") == 0) return &options->record;
    if (strcmp(name, "--replay") == 0) return &options->replay;
    if (strcmp(name, "--hashes") == 0) return &options->hashes;
    if (strcmp(name, "--check") == 0) return &options->check;
    if (strcmp(name, "--sound") == 0) return &options->sound;
    return NULL;
}

static bool32 combination_valid(const host_options* options, char* reason, u32 capacity) {
    const char* wrong = NULL;
    if (options->record && options->replay) {
        wrong = "--record and --replay don't go together";
    } else if (options->loop && !options->replay) {
        wrong = "--loop needs --replay FILE";
    } else if (options->headless && !options->replay) {
        wrong = "--headless needs --replay FILE";
    } else if (options->headless && options->loop) {
        wrong = "--headless ends after the replay; it does not take --loop";
    }
    if (wrong) {
        snprintf(reason, capacity, "%s", wrong);
    }
    return wrong == NULL;
}

// A whole number from 0 to most; false for anything else.
static bool32 read_count(const char* text, u32 most, u32* value) {
    u64 number = 0;
    if (!text[0]) {
        return 0;
    }
    for (; *text; ++text) {
        if (*text < '0' || *text > '9' || (number = number * 10 + (u64)(*text - '0')) > most) {
            return 0;
        }
    }
    *value = (u32)number;
    return 1;
}

static u32* count_option(host_options* options, const char* name, u32* most) {
    if (strcmp(name, "--history") == 0) {
        *most = 3600;
        return &options->history_seconds;
    }
    if (strcmp(name, "--history-memory") == 0) {
        *most = 1u << 20;
        return &options->history_mebibytes;
    }
    return NULL;
}

bool32 parse_options(host_options* options, int count, char** arguments, char* reason,
                     u32 capacity) {
    fill_bytes(options, 0, sizeof(*options));
    options->history_seconds = HISTORY_SECONDS_DEFAULT;
    options->history_mebibytes = HISTORY_MEBIBYTES_DEFAULT;
    for (int i = 0; i < count; ++i) {
        const char* name = arguments[i];
        const char** file = file_option(options, name);
        u32 most = 0;
        u32* number = count_option(options, name, &most);
        if (number) {
            if (i + 1 >= count || !read_count(arguments[i + 1], most, number)) {
                snprintf(reason, capacity, "%s needs a whole number from 0 to %u", name, most);
                return 0;
            }
            ++i;
        } else if (file) {
            if (i + 1 >= count || arguments[i + 1][0] == 0) {
                snprintf(reason, capacity, "%s needs a file name", name);
                return 0;
            }
            if (*file) {
                snprintf(reason, capacity, "%s is given twice", name);
                return 0;
            }
            *file = arguments[++i];
        } else if (strcmp(name, "--loop") == 0) {
            options->loop = 1;
        } else if (strcmp(name, "--headless") == 0) {
            options->headless = 1;
        } else if (strcmp(name, "--no-undo") == 0) {
            options->no_undo = 1;
        } else if (name[0] == '-') {
            snprintf(reason, capacity, "unknown option %s", name);
            return 0;
        }
        // Other words are left alone, as the host always has.
    }
    return combination_valid(options, reason, capacity);
}
