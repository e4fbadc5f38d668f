#include "platform/memory.h"

#include <windows.h>

// Asked once: under Wine each GetSystemInfo costs about as much as reading
// a page, and a reload's scans ask for every page.
u64 memory_page_size(void) {
    static u64 size;
    if (!size) {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        size = info.dwPageSize;
    }
    return size;
}

// The system rounds a reserving hint down to its allocation granularity and
// fails where the place is taken. Write watching is a property of the
// reservation, so it is asked for here.
u8* memory_map_pages(void* address, u64 length, bool32 watched) {
    DWORD type = MEM_RESERVE | MEM_COMMIT | (watched ? MEM_WRITE_WATCH : 0);
    return (u8*)VirtualAlloc(address, (SIZE_T)length, type, PAGE_READWRITE);
}

u8* memory_map_host_pages(u64 length) {
    void* pages = VirtualAlloc(NULL, (SIZE_T)length, MEM_RESERVE | MEM_COMMIT | MEM_TOP_DOWN,
                               PAGE_READWRITE);
    return pages ? (u8*)pages : memory_map_pages(NULL, length, 0);
}

bool32 memory_protect_no_access(void* pages, u64 length) {
    DWORD old_protection;
    return VirtualProtect(pages, (SIZE_T)length, PAGE_NOACCESS, &old_protection) != 0;
}

bool32 memory_pages_present(const void* pages, u64 length) {
    const DWORD writable = PAGE_READWRITE | PAGE_EXECUTE_READWRITE | PAGE_WRITECOPY;
    u64 at = (u64)pages;
    u64 end = at + length;
    while (at < end) {
        MEMORY_BASIC_INFORMATION about;
        if (!VirtualQuery((void*)at, &about, sizeof(about)) || about.State != MEM_COMMIT ||
            !(about.Protect & writable) || (about.Protect & PAGE_GUARD)) {
            return 0;
        }
        at = (u64)about.BaseAddress + about.RegionSize;
    }
    return 1;
}

// Windows can't tell which pages were touched cheaply: all of them count.
void memory_pages_resident(const void* pages, u64 length, u8* resident) {
    u64 page = memory_page_size();
    for (u64 i = 0; i * page < length; ++i) {
        resident[i] = 1;
    }
    (void)pages;
}

// An image's pages stay the image's: the undo compares them instead.
bool32 memory_make_anonymous(void* pages, u64 length) {
    (void)pages;
    (void)length;
    return 0;
}

void memory_unmap_pages(void* pages, u64 length) {
    (void)length;  // a release takes the whole reservation
    VirtualFree(pages, 0, MEM_RELEASE);
}

// The committed regions, walked with VirtualQuery.
u32 memory_mapped_ranges(memory_range* ranges, u32 capacity) {
    u32 count = 0;
    u64 at = 0x10000;
    MEMORY_BASIC_INFORMATION region;
    while (at < 0x7FFFFFFF0000ull && VirtualQuery((void*)at, &region, sizeof(region))) {
        u64 start = (u64)region.BaseAddress;
        u64 end = start + region.RegionSize;
        if (end <= at) {
            break;
        }
        if (region.State == MEM_COMMIT) {
            if (count && ranges[count - 1].start + ranges[count - 1].size == start) {
                ranges[count - 1].size += end - start;
            } else if (count < capacity) {
                ranges[count++] = {start, end - start};
            }
        }
        at = end;
    }
    return count;
}
