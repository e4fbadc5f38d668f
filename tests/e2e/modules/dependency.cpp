// A library a test module depends on, kept where the host's loader never
// looks, so that the module that needs it fails to load.
#include "engine/module.h"

extern "C" ENTRY_EXPORT_ATTRIBUTE int faulter_dependency(void) { return 7; }
