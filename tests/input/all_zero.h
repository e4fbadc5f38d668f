// Whether the controllers' places (or any block) hold nothing at all.
#ifndef TESTS_INPUT_ALL_ZERO_H
#define TESTS_INPUT_ALL_ZERO_H

#include <stddef.h>

static inline bool all_zero(const void* memory, size_t size) {
    const unsigned char* bytes = (const unsigned char*)memory;
    for (size_t i = 0; i < size; ++i) {
        if (bytes[i]) return false;
    }
    return true;
}

#endif
