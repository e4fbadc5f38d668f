// What the test modules share: appending a line to their log in the working
// directory (opened and closed each time, so the test reads whole lines
// while the host runs), reading a number from the environment, and keeping
// their state where a reload doesn't reach it. The C library only, so one
// source builds for both hosts.
#ifndef TESTS_E2E_MODULES_LOG_H
#define TESTS_E2E_MODULES_LOG_H

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include "engine/module.h"

// One write per line: a reader never sees half of one unless the write
// itself was cut short, and then the line has no end yet.
static inline void append_log(const char* name, const char* line, int length) {
    FILE* file = fopen(name, "ab");
    if (!file) {
        return;
    }
    if (length > 0) {
        fwrite(line, 1, (size_t)length, file);
    }
    fclose(file);
}

// One formatted line, its line end added, cut at 2 KiB.
static inline void append_log_line(const char* name, const char* format, va_list arguments) {
    char line[2048];
    int length = vsnprintf(line, sizeof(line) - 1, format, arguments);
    if (length < 0 || length > (int)sizeof(line) - 2) {
        length = (int)sizeof(line) - 2;
    }
    line[length++] = '\n';
    append_log(name, line, length);
}

// The variable's value as a decimal number; 0 when it is not set.
static inline u64 environment_number(const char* name) {
    const char* text = getenv(name);
    return text ? (u64)strtoull(text, NULL, 10) : 0;
}

// The slot's record, made zeroed in the first frame through the host's own
// memory service: it outlives every build, as the slot does.
static inline void* slot_state(void** module_slot, platform_api* services, u32 size) {
    if (!*module_slot) {
        *module_slot = services->allocate_memory(size, NULL, 0).memory;
    }
    return *module_slot;
}

#endif
