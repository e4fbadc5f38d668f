#include <sys/mman.h>

#include "host/os.h"

// Anonymous pages come zeroed, so a new image is black.
void* pages_allocate(u64 bytes) {
    if (bytes == 0) {
        return NULL;
    }
    void* memory = mmap(NULL, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return memory == MAP_FAILED ? NULL : memory;
}

void pages_free(void* memory, u64 bytes) {
    if (memory) {
        munmap(memory, bytes);
    }
}
