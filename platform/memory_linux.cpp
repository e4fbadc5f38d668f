#include "platform/memory.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/sysinfo.h>
#include <unistd.h>

u64 memory_page_size(void) { return (u64)sysconf(_SC_PAGESIZE); }

// A hint is taken only where it is free and on a page boundary: like
// VirtualAlloc at a taken address, anything else fails rather than landing
// elsewhere (a kernel that knows no MAP_FIXED_NOREPLACE takes the address as
// a mere hint, hence the check). Any anonymous mapping can be watched: the
// watch registers it itself (watch_linux.cpp).
u8* memory_map_pages(void* address, u64 length, bool32 watched) {
    (void)watched;
    int options = MAP_PRIVATE | MAP_ANONYMOUS | (address ? MAP_FIXED_NOREPLACE : 0);
    void* pages = mmap(address, length, PROT_READ | PROT_WRITE, options, -1, 0);
    if (pages == MAP_FAILED) {
        return NULL;
    }
    if (address && pages != address) {
        munmap(pages, length);
        return NULL;
    }
    return (u8*)pages;
}

// The host's pages come from an area of their own, each place used once,
// above AddressSanitizer's heap and below where the system maps libraries;
// anywhere the system likes when that fails.
#define HOST_PAGES_BASE 0x0000680000000000ull
#define HOST_PAGES_END 0x0000700000000000ull

u8* memory_map_host_pages(u64 length) {
    static u64 cursor = HOST_PAGES_BASE;
    u64 page = memory_page_size();
    u64 span = (length + page - 1) / page * page + page;
    for (u32 tries = 0; tries < 4; ++tries) {
        u64 place = __atomic_fetch_add(&cursor, span, __ATOMIC_RELAXED);
        if (place + span > HOST_PAGES_END) {
            break;
        }
        u8* pages = memory_map_pages((void*)place, length, 0);
        if (pages) {
            return pages;
        }
    }
    return memory_map_pages(NULL, length, 0);
}

bool32 memory_protect_no_access(void* pages, u64 length) {
    return mprotect(pages, length, PROT_NONE) == 0;
}

bool32 memory_pages_present(const void* pages, u64 length) {
    // mincore fails with ENOMEM when any page of the range is unmapped; the
    // residency it reports is not wanted.
    u64 page = memory_page_size();
    static unsigned char residency[4096];
    u64 chunk = sizeof(residency) * page;
    for (u64 at = 0; at < length; at += chunk) {
        u64 count = length - at < chunk ? length - at : chunk;
        if (mincore((void*)((u64)pages + at), count, residency) != 0) {
            return 0;
        }
    }
    return 1;
}

// mincore tells what is in memory, which is what was touched while nothing
// is swapped out; with swap, a page out there would pass for one never
// touched (and its bytes for zeros), so the page map's present and swapped
// bits answer instead. They count the watch's markers on untouched pages
// as swapped too: more is copied, nothing is lost.
static bool32 swap_in_use(void) {
    struct sysinfo info;
    return sysinfo(&info) != 0 || info.totalswap != 0;
}

static bool32 mapped_or_swapped(u64 first, u64 count, u8* resident) {
    static int pagemap = -2;
    if (pagemap == -2) {
        pagemap = open("/proc/self/pagemap", O_RDONLY | O_CLOEXEC);
    }
    u64 entries[512];
    for (u64 done = 0; done < count;) {
        u64 step = count - done < 512 ? count - done : 512;
        off_t at = (off_t)((first + done) * 8);
        if (pagemap < 0 || pread(pagemap, entries, step * 8, at) != (ssize_t)(step * 8)) {
            return 0;
        }
        for (u64 i = 0; i < step; ++i) {
            resident[done + i] = (entries[i] >> 62) != 0;
        }
        done += step;
    }
    return 1;
}

void memory_pages_resident(const void* pages, u64 length, u8* resident) {
    u64 count = (length + memory_page_size() - 1) / memory_page_size();
    if (swap_in_use()) {
        if (!mapped_or_swapped((u64)pages / memory_page_size(), count, resident)) {
            memset(resident, 1, count);  // can't tell: all count
        }
        return;
    }
    if (mincore((void*)pages, length, resident) != 0) {
        memset(resident, 1, count);
        return;
    }
    for (u64 i = 0; i < count; ++i) {
        resident[i] &= 1;
    }
}

// Only the host's thread runs while this is done (between frames, at a load):
// nothing reads the pages between the unmap and the copy back.
bool32 memory_make_anonymous(void* pages, u64 length) {
    void* saved = mmap(NULL, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (saved == MAP_FAILED) {
        return 0;
    }
    memcpy(saved, pages, length);
    void* fresh = mmap(pages, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED,
                       -1, 0);
    bool32 made = fresh == pages;
    if (made) {
        memcpy(pages, saved, length);
    }
    munmap(saved, length);
    return made;
}

void memory_unmap_pages(void* pages, u64 length) { munmap(pages, length); }

// /proc/self/maps, whose lines are sorted by address.
u32 memory_mapped_ranges(memory_range* ranges, u32 capacity) {
    FILE* maps = fopen("/proc/self/maps", "r");
    if (!maps) {
        return 0;
    }
    u32 count = 0;
    char line[512];
    while (fgets(line, sizeof(line), maps)) {
        char* end = NULL;
        u64 start = strtoull(line, &end, 16);
        u64 stop = end && *end == '-' ? strtoull(end + 1, NULL, 16) : 0;
        if (stop <= start) {
            continue;
        }
        if (count && ranges[count - 1].start + ranges[count - 1].size == start) {
            ranges[count - 1].size += stop - start;
        } else if (count < capacity) {
            ranges[count++] = {start, stop - start};
        }
    }
    fclose(maps);
    return count;
}
