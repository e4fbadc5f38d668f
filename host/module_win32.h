// Loading the module and swapping in new builds between frames.
#ifndef HOST_MODULE_WIN32_H
#define HOST_MODULE_WIN32_H

#include <windows.h>

#include "host/module.h"

// Where the module lives, relative to the data directory.
#define MODULE_DIRECTORY "..\\build\\"
#define MODULE_NAME "main.dll"
#define MODULE_PATH MODULE_DIRECTORY MODULE_NAME
#define MODULE_EXPORT "entry"
// The host loads a copy, so that the build tool can overwrite the module
// file while the host runs.
#define MODULE_COPY_PREFIX "active_"

typedef struct module_state {
    HMODULE handle;       // the loaded copy, or null
    module_entry* entry;  // its "entry" export, or null: then no call is made
    u64 time;             // last-write time of the build that was loaded; 0 before any
    void* slot;           // the module's own, kept across reloads
} module_state;

// Frees the module in *handle_slot (when there is one), copies the file
// directory + name to directory + "active_" + name and loads that copy.
// Returns the address of export_name, or null. *handle_slot receives the new
// handle, null when the copy or the load failed.
module_entry* load_module(const char* name, const char* directory, const char* export_name,
                          HMODULE* handle_slot);

// The module file's last-write time as a 64-bit file time; 0 when absent.
u64 module_file_time(void);

// A reading is present when its low half is non-zero.
bool32 module_time_present(u64 time);

// Whether a reading calls for a load: it is present and differs from the
// recorded stamp of the loaded build (which is absent before the first load).
bool32 module_needs_load(u64 current, u64 recorded);

// Whether the file at path is a whole image: a PE file at least as long as
// its headers and every section say. A build still being written fails this.
bool32 module_file_complete(const char* path);

// The per-frame poll: loads the module when its file is new and complete.
// A failed copy or load leaves the stamp unrecorded, so the next frame tries
// again. Also used at start-up.
void poll_module(module_state* module);

#endif
