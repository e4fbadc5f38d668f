#include "host/undo.h"

#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

u64 undo_page_size(void) { return (u64)sysconf(_SC_PAGESIZE); }

bool32 undo_protect(void* address, u64 bytes, u32 access) {
    int protection = access == UNDO_ACCESS_READ_WRITE ? PROT_READ | PROT_WRITE
                     : access == UNDO_ACCESS_READ     ? PROT_READ
                                                      : PROT_NONE;
    return mprotect(address, bytes, protection) == 0;
}

// The kernel names the tracer in /proc/self/status; 0 when there is none.
bool32 undo_debugger_attached(void) {
    int file = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (file < 0) {
        return 0;
    }
    char text[4096];
    ssize_t length = read(file, text, sizeof(text) - 1);
    close(file);
    if (length <= 0) {
        return 0;
    }
    text[length] = 0;
    const char* field = strstr(text, "TracerPid:");
    if (!field) {
        return 0;
    }
    for (field += 10; *field == ' ' || *field == '\t'; ++field) {
    }
    return *field >= '1' && *field <= '9';
}
