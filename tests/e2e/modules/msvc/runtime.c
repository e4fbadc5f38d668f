/* What the C runtime gives every MSVC-built module and this one, built
 * without any, gives itself: the marker the compiler asks for once floating
 * point is used, and the copy and fill it may call for by itself. */
#include <stddef.h>

int _fltused = 0;

void* memset(void* target, int value, size_t count) {
    unsigned char* at = (unsigned char*)target;
    while (count--) {
        *at++ = (unsigned char)value;
    }
    return target;
}

void* memcpy(void* target, const void* source, size_t count) {
    unsigned char* to = (unsigned char*)target;
    const unsigned char* from = (const unsigned char*)source;
    while (count--) {
        *to++ = *from++;
    }
    return target;
}
