// A module whose entry writes its build's version into the slot
// (version 0: a build without "entry"). Its start-up and shut-down append
// "+<version>" and "-<version>" to lifecycle.log in the working directory,
// so a test sees the order builds were loaded and unloaded in.
#include "engine/module.h"

#include <stdio.h>

static void note(const char* event) {
    FILE* log = fopen("lifecycle.log", "ab");
    if (log) {
        fprintf(log, "%s%d", event, TEST_MODULE_VERSION);
        fclose(log);
    }
}

struct lifecycle {
    lifecycle() { note("+"); }
    ~lifecycle() { note("-"); }
};
static lifecycle noted;

#if TEST_MODULE_KEEPS_ALL
ENGINE_KEEP_ALL;
int kept_number = 7;
#endif

#if TEST_MODULE_VERSION == 0
// This build exports something else.
extern "C" ENTRY_EXPORT_ATTRIBUTE int not_the_entry(void) { return 0; }
#else

ENTRY_EXPORT void entry(u64, u64, i32*, back_buffer*, struct input_state*, f32,
                        struct platform_api*, void** module_slot) {
    *(u64*)module_slot = TEST_MODULE_VERSION;
}
#endif
