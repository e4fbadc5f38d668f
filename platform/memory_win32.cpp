#include "platform/memory.h"

#include <windows.h>

u64 memory_page_size(void) {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize;
}

// The system rounds a reserving hint down to its allocation granularity and
// fails where the place is taken. Write watching is a property of the
// reservation, so it is asked for here.
u8* memory_map_pages(void* address, u64 length, bool32 watched) {
    DWORD type = MEM_RESERVE | MEM_COMMIT | (watched ? MEM_WRITE_WATCH : 0);
    return (u8*)VirtualAlloc(address, (SIZE_T)length, type, PAGE_READWRITE);
}

bool32 memory_protect_no_access(void* pages, u64 length) {
    DWORD old_protection;
    return VirtualProtect(pages, (SIZE_T)length, PAGE_NOACCESS, &old_protection) != 0;
}

void memory_unmap_pages(void* pages, u64 length) {
    (void)length;  // a release takes the whole reservation
    VirtualFree(pages, 0, MEM_RELEASE);
}
