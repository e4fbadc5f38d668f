#include "platform/watch.h"

#include <fcntl.h>
#include <linux/userfaultfd.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

// From the kernel's own headers of 6.7 (older distributions lack them).
#ifndef UFFD_FEATURE_WP_UNPOPULATED
#define UFFD_FEATURE_WP_UNPOPULATED (1ull << 13)
#endif
#ifndef UFFD_FEATURE_WP_ASYNC
#define UFFD_FEATURE_WP_ASYNC (1ull << 15)
#endif
#ifndef UFFD_USER_MODE_ONLY
#define UFFD_USER_MODE_ONLY 1
#endif

typedef struct scan_region {
    u64 start;
    u64 end;
    u64 categories;
} scan_region;

typedef struct scan_request {
    u64 size;
    u64 flags;
    u64 start;
    u64 end;
    u64 walk_end;
    u64 vec;
    u64 vec_len;
    u64 max_pages;
    u64 category_inverted;
    u64 category_mask;
    u64 category_anyof_mask;
    u64 return_mask;
} scan_request;

#define SCAN_PAGEMAP _IOWR('f', 16, scan_request)
#define SCAN_IS_WRITTEN (1ull << 1)
#define SCAN_REGIONS 256

static int fault_file = -1;
static int pagemap_file = -1;
static u64 page_bytes;

static bool32 write_protect(void* pages, u64 length, bool32 on) {
    struct uffdio_writeprotect request;
    request.range.start = (u64)pages;
    request.range.len = length;
    request.mode = on ? UFFDIO_WRITEPROTECT_MODE_WP : 0;
    return ioctl(fault_file, UFFDIO_WRITEPROTECT, &request) == 0;
}

bool32 watch_add(void* pages, u64 length) {
    struct uffdio_register request;
    request.range.start = (u64)pages;
    request.range.len = length;
    request.mode = UFFDIO_REGISTER_MODE_WP;
    return ioctl(fault_file, UFFDIO_REGISTER, &request) == 0 && write_protect(pages, length, 1);
}

static void set_bits(u8* written, u64 first, u64 last) {
    for (u64 page = first; page < last; ++page) {
        written[page / 8] = (u8)(written[page / 8] | (1u << (page % 8)));
    }
}

bool32 watch_written(void* pages, u64 length, u8* written) {
    scan_region regions[SCAN_REGIONS];
    u64 start = (u64)pages;
    u64 end = start + length;
    while (start < end) {
        scan_request request = {};
        request.size = sizeof(request);
        request.start = start;
        request.end = end;
        request.vec = (u64)regions;
        request.vec_len = SCAN_REGIONS;
        request.category_mask = SCAN_IS_WRITTEN;
        request.return_mask = SCAN_IS_WRITTEN;
        long found = ioctl(pagemap_file, SCAN_PAGEMAP, &request);
        if (found < 0 || request.walk_end <= start) {
            return 0;
        }
        for (long i = 0; i < found; ++i) {
            set_bits(written, (regions[i].start - (u64)pages) / page_bytes,
                     (regions[i].end - (u64)pages) / page_bytes);
        }
        start = request.walk_end;
    }
    return 1;
}

bool32 watch_arm(void* pages, u64 length) { return write_protect(pages, length, 1); }

void watch_disarm(void* pages, u64 length) { write_protect(pages, length, 0); }

// One page, armed, written and read back: the kernel may know the calls
// and still not do all of it.
static bool32 watch_works(void) {
    u8* page = (u8*)mmap(NULL, page_bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                         -1, 0);
    if (page == MAP_FAILED) {
        return 0;
    }
    u8 before = 0;
    u8 after = 0;
    bool32 works = watch_add(page, page_bytes) && watch_written(page, page_bytes, &before);
    page[0] = 1;
    works = works && watch_written(page, page_bytes, &after) && before == 0 && after == 1;
    munmap(page, page_bytes);
    return works;
}

bool32 watch_start(char* reason, u32 capacity) {
    page_bytes = (u64)sysconf(_SC_PAGESIZE);
    // User-mode faults only is what an unprivileged process may ask for; in
    // asynchronous mode the kernel still resolves its own writes.
    fault_file = (int)syscall(SYS_userfaultfd, O_CLOEXEC | O_NONBLOCK | UFFD_USER_MODE_ONLY);
    if (fault_file >= 0) {
        struct uffdio_api api = {};
        api.api = UFFD_API;
        api.features = UFFD_FEATURE_WP_ASYNC | UFFD_FEATURE_WP_UNPOPULATED;
        pagemap_file = open("/proc/self/pagemap", O_RDONLY | O_CLOEXEC);
        if (ioctl(fault_file, UFFDIO_API, &api) == 0 && pagemap_file >= 0 && watch_works()) {
            return 1;
        }
    }
    snprintf(reason, capacity,
             "writes can't be watched here (it takes userfaultfd's asynchronous write-protect "
             "and PAGEMAP_SCAN, Linux 6.7 or later)");
    if (fault_file >= 0) {
        close(fault_file);
    }
    if (pagemap_file >= 0) {
        close(pagemap_file);
    }
    fault_file = pagemap_file = -1;
    return 0;
}
