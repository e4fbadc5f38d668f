#include "platform/watch.h"

#include <stdio.h>
#include <windows.h>

#define ADDRESSES 512

static u64 page_bytes;

bool32 watch_add(void* pages, u64 length) { return watch_arm(pages, length); }

bool32 watch_written(void* pages, u64 length, u8* written) {
    void* addresses[ADDRESSES];
    u8* start = (u8*)pages;
    u8* end = start + length;
    while (start < end) {
        ULONG_PTR count = ADDRESSES;
        ULONG granularity = 0;
        if (GetWriteWatch(0, start, (SIZE_T)(end - start), addresses, &count, &granularity) != 0) {
            return 0;
        }
        for (ULONG_PTR i = 0; i < count; ++i) {
            u64 page = (u64)((u8*)addresses[i] - (u8*)pages) / page_bytes;
            written[page / 8] = (u8)(written[page / 8] | (1u << (page % 8)));
        }
        if (count < ADDRESSES) {
            break;
        }
        start = (u8*)addresses[ADDRESSES - 1] + page_bytes;
    }
    return 1;
}

bool32 watch_arm(void* pages, u64 length) { return ResetWriteWatch(pages, (SIZE_T)length) == 0; }

void watch_disarm(void* pages, u64 length) {
    (void)pages;
    (void)length;
}

bool32 watch_start(char* reason, u32 capacity) {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    page_bytes = info.dwPageSize;
    u8* page = (u8*)VirtualAlloc(NULL, page_bytes, MEM_RESERVE | MEM_COMMIT | MEM_WRITE_WATCH,
                                 PAGE_READWRITE);
    u8 written = 0;
    bool32 works = page && watch_arm(page, page_bytes);
    if (works) {
        page[0] = 1;
        works = watch_written(page, page_bytes, &written) && written == 1;
    }
    if (page) {
        VirtualFree(page, 0, MEM_RELEASE);
    }
    if (!works) {
        snprintf(reason, capacity, "writes can't be watched here (MEM_WRITE_WATCH)");
    }
    return works;
}
