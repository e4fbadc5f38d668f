// What the test modules share: appending a line to their log in the working
// directory (opened and closed each time, so the test reads whole lines
// while the host runs), and reading a number from the environment.
#ifndef TESTS_E2E_MODULES_LOG_WIN32_H
#define TESTS_E2E_MODULES_LOG_WIN32_H

#include <windows.h>

#include <stdlib.h>

static inline void append_log(const char* name, const char* line, int length) {
    HANDLE file = CreateFileA(name, FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD written = 0;
    WriteFile(file, line, (DWORD)length, &written, NULL);
    CloseHandle(file);
}

// The variable's value as a decimal number; 0 when it is not set.
static inline u64 environment_number(const char* name) {
    char text[32] = {0};
    if (!GetEnvironmentVariableA(name, text, sizeof(text))) {
        return 0;
    }
    return (u64)_strtoui64(text, NULL, 10);
}

#endif
