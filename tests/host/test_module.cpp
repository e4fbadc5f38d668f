// A module whose entry writes its build's version into the slot
// (version 0: a build without "entry").
#include "host/module.h"

#if TEST_MODULE_VERSION == 0
// This build exports something else.
extern "C" ENTRY_EXPORT_ATTRIBUTE int not_the_entry(void) { return 0; }
#else

ENTRY_EXPORT void entry(u64, u64, i32*, back_buffer*, struct input_state*, f32,
                        struct platform_api*, void** module_slot) {
    *(u64*)module_slot = TEST_MODULE_VERSION;
}
#endif
