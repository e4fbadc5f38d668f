// The memory services (slots 19 and 20): whole pages from the system.
#ifndef PLATFORM_MEMORY_WIN32_H
#define PLATFORM_MEMORY_WIN32_H

#include "platform/platform_api.h"

// Reserves and commits zeroed read-write pages for size bytes at the hinted
// address (null: the system chooses). With MEMORY_GUARD_PAGE the region has
// size / page + 1 usable pages followed by one no-access page, and the block
// ends right where that page begins. Any failure, or a guarded size whose
// region would not fit in 32 bits, gives a null `memory` and reserves
// nothing; `size` is the size asked for either way.
memory_block allocate_memory(u32 size, void* address, u32 flags);

// Releases the whole region the block came from, the guard page included.
// A null `memory`, or an address that is not where one of this service's
// blocks starts, is left alone.
void free_memory(memory_block* block);

#endif
