// The module's state, whole: every live block from the memory service (its
// place, size, flags and bytes), the slot's value and the placement cursor.
// Everything a module keeps across frames lives there, so putting a snapshot
// back puts the module back to the moment it was taken.
//
// Putting back: blocks allocated since are freed; blocks freed since are
// reserved again at their own place (the memory service takes an address);
// every block gets its bytes back. When a place is taken by something other
// than a block allocated since, nothing is written and the reason is given.
//
// Only the host's thread touches module memory, and only between frames.
#ifndef LOOP_SNAPSHOT_H
#define LOOP_SNAPSHOT_H

#include "platform/memory.h"

typedef struct snapshot {
    memory_block_record* blocks;  // as memory_block_at gave them, oldest first
    u32 block_count;
    u64 block_capacity;  // bytes held for blocks
    u8* bytes;           // each block's usable pages, one after another
    u64 byte_count;
    u64 byte_capacity;
    void* slot;
    void* placement;
} snapshot;

// Takes the snapshot, reusing the memory of an earlier one; false (the old
// snapshot gone) when there is no memory for it.
bool32 snapshot_take(snapshot* shot, void* slot);

// Puts the snapshot back and sets *slot. False with the reason in words when
// a freed block's place can't be had again: then no byte is written and the
// slot and blocks are left as they were (but for blocks allocated since that
// lay on such a place).
bool32 snapshot_restore(const snapshot* shot, void** slot, char* reason, u32 capacity);

// Gives back the snapshot's memory.
void snapshot_free(snapshot* shot);

// The usable bytes of a block: its pages up to the guard page.
u64 block_usable_bytes(const memory_block_record* block);

// A 64-bit hash of the module's state as it is now: the slot's value, every
// live block's size and bytes, and the kept variables' (memory.h). Two runs that place
// their blocks alike and write the same bytes hash alike.
u64 module_memory_hash(void* slot);

// A 64-bit hash of bytes, 8 at a time; seed chains calls.
u64 hash_bytes(const void* bytes, u64 count, u64 seed);

#endif
