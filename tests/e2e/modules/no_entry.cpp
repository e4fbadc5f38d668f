// A test module that loads but exports no "entry".
#include "host/module.h"

ENTRY_EXPORT int not_the_entry(void) { return 42; }
