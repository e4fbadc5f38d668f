// The tables the readers and the reload build as they go: room for `needed`
// items of `size` bytes, doubling (a table that grows item by item costs
// a copy of each only about once).
#ifndef CARRY_GROW_H
#define CARRY_GROW_H

#include "engine/base/types.h"

// False, with the table as it was, when there is no memory.
bool32 grow_table(void** items, u64* capacity, u64 needed, u64 size);

#endif
