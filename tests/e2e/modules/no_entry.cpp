// A test module that loads but exports no "entry".
#include "engine/module.h"

ENTRY_EXPORT int not_the_entry(void) { return 42; }
