// Loading the module and swapping in new builds between frames.
//
// Every frame the host reads the module file's last-write time. A present
// reading (low half non-zero) that differs from the loaded build's stamp
// means a new build: when the file is a complete image the old library is
// freed, the file is copied, the copy is loaded and its "entry" looked up,
// all before this frame's call. A failed copy or load leaves the stamp
// unrecorded, so the next frame tries again; a build that loaded without an
// "entry" is recorded, since trying again would not give it one. The host
// never calls a null entry.
#ifndef HOST_RELOAD_H
#define HOST_RELOAD_H

#include "host/os.h"

typedef struct module_state {
    void* library;        // the loaded copy, or null
    module_entry* entry;  // its "entry" export, or null: then no call is made
    u64 time;             // last-write time of the build that was loaded; 0 before any
    void* slot;           // the module's own, kept across reloads
    u32 loads;            // libraries loaded so far; names each load's copy
    char copy_path[MODULE_PATH_CAPACITY];  // the loaded copy's file
} module_state;

// A reading is present when its low half is non-zero.
bool32 module_time_present(u64 time);

// Whether a reading calls for a load: it is present and differs from the
// recorded stamp of the loaded build (which is absent before the first load).
bool32 module_needs_load(u64 current, u64 recorded);

// The module file's last-write time as a 64-bit file time; 0 when absent.
// The same reading the file-time service gives for the module's path.
u64 module_file_time(void);

// Frees the loaded library (when there is one), copies directory + name to
// this load's copy and loads that. Returns the address of export_name, or
// null; module->library is null when the copy or the load failed.
module_entry* load_module(module_state* module, const char* directory, const char* name,
                          const char* export_name);

// The per-frame poll: loads the module when its file is new and complete.
// Also used at start-up.
void poll_module(module_state* module);

#endif
