// Another file of the keeper module, keeping a variable of the same name.
#include "engine/module.h"

static ENGINE_KEEP(u64, count, 0);

u64 other_count(void) { return count; }
void other_step(u64 by) { count += by; }
