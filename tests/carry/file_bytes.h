// What the readers' tests share: a file's bytes, read whole, for libelf to
// read from memory (the host's headers own the name fcntl.h's file_handle).
#ifndef TESTS_CARRY_FILE_BYTES_H
#define TESTS_CARRY_FILE_BYTES_H

#include <stdio.h>

#include <string>

// False when the file can't be opened.
static inline bool file_bytes(const char* path, std::string* out) {
    FILE* in = fopen(path, "rb");
    if (!in) {
        return false;
    }
    out->clear();
    char block[65536];
    for (size_t got; (got = fread(block, 1, sizeof(block), in)) > 0;) {
        out->append(block, got);
    }
    fclose(in);
    return true;
}

#endif
