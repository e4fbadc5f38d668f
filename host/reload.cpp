#include "host/reload.h"

#include "base/text.h"
#include "platform/file.h"

bool32 module_time_present(u64 time) { return (u32)time != 0; }

bool32 module_needs_load(u64 current, u64 recorded) {
    if (!module_time_present(current)) {
        return 0;
    }
    if (!module_time_present(recorded)) {
        return 1;
    }
    return (u32)current != (u32)recorded || (u32)(current >> 32) != (u32)(recorded >> 32);
}

u64 module_file_time(void) { return file_time_at_path(MODULE_PATH, FILE_TIME_LAST_WRITE); }

// Joins two texts into out; false, with out empty, when they don't fit.
static bool32 join_path(char* out, u32 capacity, const char* a, const char* b) {
    out[0] = 0;
    u64 length = (u64)text_length(a) + text_length(b);
    if (length >= capacity) {
        return 0;
    }
    concat_text_checked(out, a, b);
    return 1;
}

module_entry* load_module(module_state* module, const char* directory, const char* name,
                          const char* export_name) {
    char module_path[MODULE_PATH_CAPACITY];
    char copy_path[MODULE_PATH_CAPACITY];
    u32 load = module->loads + 1;
    bool32 named = library_copy_path(copy_path, sizeof(copy_path), directory, name, load);
    if (module->library) {
        library_free(module->library);
        module->library = NULL;
        // Where each load has a copy of its own, the old one is no longer
        // mapped once freed.
        if (named && !text_equal(copy_path, module->copy_path)) {
            delete_file(module->copy_path);
        }
    }
    // A failed copy would leave an older build under the copy's name; loading
    // that would pass an old build off as the new one.
    if (!join_path(module_path, sizeof(module_path), directory, name) ||
        !named ||
        !library_copy(module_path, copy_path)) {
        return NULL;
    }
    module->library = library_load(copy_path);
    if (!module->library) {
        return NULL;
    }
    module->loads = load;
    copy_text(module->copy_path, copy_path);
    return (module_entry*)library_symbol(module->library, export_name);
}

void poll_module(module_state* module) {
    u64 current = module_file_time();
    if (!module_needs_load(current, module->time) || !library_file_complete(MODULE_PATH)) {
        return;
    }
    module->entry = load_module(module, MODULE_DIRECTORY, MODULE_NAME, MODULE_EXPORT);
    // A build that loaded without an "entry" export is recorded too: trying it
    // again every frame would not give it one.
    if (module->library) {
        module->time = current;
    }
}
