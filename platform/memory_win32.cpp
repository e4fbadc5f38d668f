#include "platform/memory.h"

#include <windows.h>

static u32 page_size(void) {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize;
}

static void* allocate_guarded(u32 size, void* address) {
    u64 page = page_size();
    u64 pages = size / page + 1;
    // The region, guard page included, must be describable in 32 bits.
    if ((pages + 1) * page > 0xFFFFFFFFu) {
        return NULL;
    }
    u8* base = (u8*)VirtualAlloc(address, (SIZE_T)((pages + 1) * page), MEM_RESERVE | MEM_COMMIT,
                                 PAGE_READWRITE);
    if (!base) {
        return NULL;
    }
    u8* guard = base + pages * page;
    DWORD old_protection;
    if (!VirtualProtect(guard, (SIZE_T)page, PAGE_NOACCESS, &old_protection)) {
        VirtualFree(base, 0, MEM_RELEASE);
        return NULL;
    }
    return guard - size;
}

memory_block allocate_memory(u32 size, void* address, u32 flags) {
    memory_block block;
    block.size = size;
    block.reserved = 0;
    if (flags & MEMORY_GUARD_PAGE) {
        block.memory = allocate_guarded(size, address);
    } else {
        block.memory = VirtualAlloc(address, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    }
    return block;
}

// Whether memory is where an allocate_memory block of that size starts: at
// its region's base (plain), or right before a no-access page of the same
// region (guarded). Anything else is not released, so a stray record can't
// take away pages the host or another block owns.
static bool32 block_start(u8* memory, u64 size, void** region) {
    MEMORY_BASIC_INFORMATION info;
    if (!VirtualQuery(memory, &info, sizeof(info)) || info.State != MEM_COMMIT) {
        return 0;
    }
    *region = info.AllocationBase;
    if (memory == (u8*)info.AllocationBase) {
        return 1;
    }
    MEMORY_BASIC_INFORMATION guard;
    u8* end = memory + size;
    return (u64)end % page_size() == 0 && VirtualQuery(end, &guard, sizeof(guard)) &&
           guard.AllocationBase == info.AllocationBase && guard.Protect == PAGE_NOACCESS;
}

void free_memory(memory_block* block) {
    void* region = NULL;
    if (block && block->memory && block_start((u8*)block->memory, block->size, &region)) {
        VirtualFree(region, 0, MEM_RELEASE);
    }
}
