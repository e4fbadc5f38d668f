// Write watching: which pages of a block were written since they were last
// armed, learned without changing the pages' protection. Every way of
// writing the module has (its own system calls, its threads, the services, a
// debugger's pokes) works as it would without watching, and nothing the
// module or a debugger sees raises a signal or an exception.
//
// Linux: userfaultfd in asynchronous write-protect mode (the kernel resolves
// each first write to an armed page itself, its own writes included) and
// PAGEMAP_SCAN to read the written pages back; Linux 6.7 or later.
// Windows: blocks reserved with MEM_WRITE_WATCH (memory_map_pages), read
// back with GetWriteWatch and armed again with ResetWriteWatch.
//
// A page stays "written" until it is armed again. Ranges are whole pages of
// one block's usable part (never its guard page).
#ifndef PLATFORM_WATCH_H
#define PLATFORM_WATCH_H

#include "engine/base/types.h"

// Once, before the first block is watched: false, with the reason in words,
// when this system can't watch writes; then nothing else here is called.
bool32 watch_start(char* reason, u32 capacity);

// Starts watching a block's pages, all armed. False when it can't.
bool32 watch_add(void* pages, u64 length);

// Sets the bit of each page written since it was last armed in `written`
// (bit i % 8 of byte i / 8 for page i), which the caller has zeroed. False
// when the system could not tell.
bool32 watch_written(void* pages, u64 length, u8* written);

// Arms pages again: their next write is seen.
bool32 watch_arm(void* pages, u64 length);

// Stops seeing writes to pages until they are armed again, so writing them
// costs nothing (a page the undo copies every frame anyway). Windows keeps
// them written instead.
void watch_disarm(void* pages, u64 length);

#endif
