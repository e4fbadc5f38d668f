/* The arena record as a C module sees it. */
#include "base/arena.h"

size_t c_arena_size(void) { return sizeof(arena); }
size_t c_arena_used_offset(void) { return offsetof(arena, used); }
size_t c_arena_total_pushed_offset(void) { return offsetof(arena, total_pushed); }
