#include <windows.h>

#include "host/os.h"

// Committed only, at an address of the system's choosing; fresh pages are
// zero, so a new image is black.
void* pages_allocate(u64 bytes) {
    return VirtualAlloc(NULL, (SIZE_T)bytes, MEM_COMMIT, PAGE_READWRITE);
}

void pages_free(void* memory, u64 bytes) {
    (void)bytes;
    if (memory) {
        VirtualFree(memory, 0, MEM_RELEASE);
    }
}
