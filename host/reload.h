// Loading the module and swapping in new builds between frames.
//
// Every frame the host reads the module file's last-write time. A reading of
// a file that is there (whatever its stamp's halves hold) that differs from
// the newest stamp tried means a new build: when the file is a complete image it is copied to a name of
// its own (the loader knows a library by its path, and a copy that is still
// mapped cannot be replaced), the running build is unloaded, and then the
// copy is loaded, through the fault guard, before this frame's call. The old
// build always goes before the new one comes, so their constructors and
// destructors never overlap.
//
// - A failed copy leaves the stamp unrecorded and the running build loaded:
//   the next frame tries again.
// - A copy that does not load (a missing library, a start-up routine that
//   fails or faults, no "entry") records the stamp and names the reason in
//   the title: only a new file can load, so nothing is retried until then.
//   The build it was to replace is loaded again from its copy.
// - A build that loads becomes the running one. The good build it replaced
//   is the previous build while the new one is on probation, which lasts
//   until the next build loads: unloaded, but its copy kept on disk, so a
//   fault in the new build can load it again (fault.h). A build that faulted
//   is never kept.
// - A build that keeps its whole state is not replaced by one its state
//   can't be carried into exactly (whole_may_replace: objects of a type
//   that grew inside memory the program manages itself, say): the running
//   build goes on with all of it, the copy is deleted, and the title and
//   standard error say so once, "Engine - main.so waits: <why>
//   (alt+Backspace starts it afresh)". Only a new file is looked at again.
//   The chord (MODULE_AFRESH_CHORD) starts the program afresh with the
//   build that waits: nothing of the running build's state goes to it.
// A build loaded again starts with fresh static data, as after any reload.
// Copies are deleted once they are of no more use; one the system still
// holds is tried again at later loads.
#ifndef HOST_RELOAD_H
#define HOST_RELOAD_H

#include "guard/fault.h"
#include "carry/kept.h"
#include "carry/whole.h"
#include "host/os.h"
#include "platform/file.h"

#define MODULE_TITLE_CAPACITY FAULT_TITLE_CAPACITY
#define MODULE_STALE_COPIES 8
// The chord that lets a build that waits in, as the titles name it (the
// windows' pumps take it: chords.h).
#define MODULE_AFRESH_CHORD "alt+Backspace"
// Room for why a build waits, as whole_may_replace words it.
#define MODULE_WHY_CAPACITY 512

typedef struct module_build {
    void* library;        // the loaded copy, or null
    module_entry* entry;  // its "entry" export
    module_sound_entry* sound;  // its "entry_sound" export, or null (engine/sound.h)
    u64 time;             // the module file's stamp it was loaded from
    char copy_path[MODULE_PATH_CAPACITY];
} module_build;

typedef struct module_state {
    char directory[MODULE_PATH_CAPACITY];  // the build folder, absolute (module_locate)
    char path[MODULE_PATH_CAPACITY];       // the module file in it
    module_build running;   // called every frame unless `faulted`; null library when none
    module_build previous;  // the last good build, while `running` is on probation: not
                            // loaded, only its copy kept (no copy_path when there is none)
    bool32 faulted;         // running faulted with no previous build: not called again
    u64 time;               // the newest stamp tried (loaded or not)
    bool32 stamped;         // whether one was tried: `time` holds it
    u64 identity;           // that file's library_file_identity
    file_entry seen;        // the module file's entry at the last look that asked for
    u64 seen_identity;      // its identity, and that identity
    u32 too_long;           // the copy's path's length when it can't be formed, else 0
    void* slot;             // the module's own, kept across reloads
    u32 copies;             // copies made so far; numbers each copy's name
    u32 loads;              // new builds poll_module loaded; reload_previous adds none
    f64 whole_reload_ms;    // what the last reload of a whole-state build took; 0: none yet
    char stale[MODULE_STALE_COPIES][MODULE_PATH_CAPACITY];  // copies left to delete
    kept_set kept;          // the kept variables' values the last build that went left
    whole_state whole;      // a build's whole state (engine/keep.h, ENGINE_KEEP_ALL)
    u32 waiting_threads;    // threads of the running build's that hold a new one back (said)
    bool32 waiting;         // the file at `time` waits: the running build's state can't be
                            // carried into it exactly (said); the chord lets it in
    char kept_note[KEPT_NOTE_CAPACITY];  // what the last load did with them; "" for nothing
    long_text kept_line;    // the same, naming every one (the note names the first few)
    bool32 title_changed;   // a load event left a new title to show
    char title[MODULE_TITLE_CAPACITY];
    long_text title_line;   // its words naming everything, for standard error; empty
                            // when the title's own say it all
} module_state;

// Whether a reading calls for a load: the file is there (present), and no
// stamp was tried yet or the reading differs from the newest one tried in
// its low half or its high half.
bool32 module_needs_load(bool32 present, u64 current, bool32 recorded_present, u64 recorded);

// Fixes where the module is: the build folder beside the working directory
// at start-up, as an absolute path, so a module that changes the working
// directory does not stop its own reloads. Its root stays as the working
// directory has it (a drive, a share, a "\\?\" form). Without a working
// directory the relative MODULE_DIRECTORY is used. When the path of the copy
// the host loads would not fit in MODULE_PATH_CAPACITY nothing can load:
// standard error and the title say so once, with the length it would have:
// "Engine - the module path is too long for the copy the host loads: 262
// characters", and the poll does nothing.
void module_locate(module_state* module);

// module_locate from a working directory as get_working_directory gives it.
void module_locate_from(module_state* module, const char* working_directory);

// The module file's path: the located one, else the relative MODULE_PATH.
const char* module_file_path(const module_state* module);

// The module file's last-write time as a 64-bit file time; 0 when absent.
// The same reading the file-time service gives for the module's path.
u64 module_file_time(const module_state* module);

typedef enum load_outcome {
    LOAD_RETRY,   // not copied: try again next frame
    LOAD_FAILED,  // copied but not loaded: reason says why
    LOAD_DONE,    // build holds the loaded library and its entry
} load_outcome;

// Copies the file at source to a copy of its own, named for directory and
// name, into copy_path (MODULE_PATH_CAPACITY bytes); false when the copy is
// incomplete.
bool32 copy_build(module_state* module, const char* directory, const char* name,
                  const char* source, char* copy_path);

// Loads a copy through the fault guard, looking up export_name inside the
// guard too (a resolver runs module code). Nothing already loaded is
// touched; a copy that does not load is deleted.
load_outcome load_copy(module_state* module, const char* copy_path, const char* export_name,
                       module_build* build, char* reason, u32 capacity);

// copy_build of directory + name, then load_copy.
load_outcome load_build(module_state* module, const char* directory, const char* name,
                        const char* export_name, module_build* build, char* reason,
                        u32 capacity);

// Unloads the build through the fault guard and deletes its copy; false when
// its shut-down faulted (fault says how; the copy stays mapped then).
struct module_fault;
bool32 unload_build(module_state* module, module_build* build, struct module_fault* fault);

// Where a loaded build lies and its kept variables' table; all zero when
// that can't be told.
library_image build_image(const module_build* build);

// Loads the previous build again from its kept copy as the running build,
// and forgets the previous one; false, with nothing running, when there is
// none or it does not load.
bool32 reload_previous(module_state* module);

// The per-frame poll: loads the module when its file is new and complete.
// New means a stamp that differs, or the same stamp on a file that is not
// the one tried (`cp -p` keeps stamps). The poll looks at the file's entry
// once a frame (module_file_time's look, which also tells its size and
// another time: Windows its creation, POSIX its status change), and asks
// for the file's identity (which opens it) only when that entry changed: a
// file rewritten in place with its stamp, size and that time kept is not
// seen as new. Also used at start-up.
void poll_module(module_state* module);

// The same poll in a frame that can give the reload spare_ms without being
// late. A build that keeps its whole state can take a while to reload (its
// pointers are found and moved): when the last such reload took more than
// half of that, or none was timed yet, a new build is left for a later poll. The frame polls
// again as its wait starts, and the wait takes the reload in. True when a
// build was left; with MODULE_SPARE_ALL none is.
#define MODULE_SPARE_ALL 1e300
bool32 poll_module_within(module_state* module, f64 spare_ms);

// The chord's work: the program starts afresh with the build that waits,
// copied again from the module file; the running build goes as at any
// reload, and nothing of its state is given to the new one. Said: "Engine -
// main.so started afresh". Nothing happens when no build waits.
void start_afresh(module_state* module);

#endif
