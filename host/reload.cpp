#include "host/reload.h"

#include <stdio.h>

#include "engine/base/memory.h"
#include "engine/base/number.h"
#include "engine/base/text.h"
#include "guard/fault.h"
#include "guard/history.h"
#include "carry/allocator.h"
#include "platform/clock.h"
#include "platform/memory.h"
#include "host/title.h"
#include "platform/file.h"
#include "platform/heap.h"
#include "platform/path.h"
#include "platform/system.h"

// A file that is there is present whatever its stamp holds: one stamp in
// 2^32 has a low half of 0, and such a build would never load.
bool32 module_needs_load(bool32 present, u64 current, bool32 recorded_present, u64 recorded) {
    if (!present) {
        return 0;
    }
    if (!recorded_present) {
        return 1;
    }
    return (u32)current != (u32)recorded || (u32)(current >> 32) != (u32)(recorded >> 32);
}

static const char* module_directory(const module_state* module) {
    return module->directory[0] ? module->directory : MODULE_DIRECTORY;
}

const char* module_file_path(const module_state* module) {
    return module->path[0] ? module->path : MODULE_PATH;
}

u64 module_file_time(const module_state* module) {
    return file_time_at_path(module_file_path(module), FILE_TIME_LAST_WRITE);
}

// The path of this host's copy number `copy` (1, 2, ...) in directory, with
// the system's separators (build_name.h).
static bool32 library_copy_path(char* out, u32 capacity, const char* directory,
                                const char* name, u32 copy) {
    char named[MODULE_PATH_CAPACITY];
    return build_copy_name(named, sizeof(named), name, process_id(), copy) &&
           system_path(out, capacity, directory, named);
}

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

static void copy_bounded(char* out, u32 capacity, const char* text) {
    u32 at = 0;
    for (; text[at] && at + 1 < capacity; ++at) {
        out[at] = text[at];
    }
    out[at] = 0;
}

// Copies the system may still hold (Windows keeps a failed load's file
// mapped for a while) are deleted at a later load.
static void delete_copy(module_state* module, const char* path) {
    if (!path[0] || delete_file(path)) {
        return;
    }
    for (u32 i = 0; i < MODULE_STALE_COPIES; ++i) {
        if (!module->stale[i][0]) {
            copy_text(module->stale[i], path);
            return;
        }
    }
}

// Copies that hosts which have ended left behind (a host is ended from
// outside as often as it closes): removed at the first load.
static void sweep_ended_hosts_copies(const char* directory, const char* name) {
    char named[MODULE_PATH_CAPACITY];
    char wildcard[MODULE_PATH_CAPACITY];
    char pattern[MODULE_PATH_CAPACITY];
    if (!join_path(named, sizeof(named), BUILD_COPY_PREFIX, name) ||
        !join_path(wildcard, sizeof(wildcard), named, ".*") ||
        !join_path(pattern, sizeof(pattern), directory, wildcard)) {
        return;
    }
    u32 length = text_length(named);
    static dir_entry entries[64];
    u32 count = list_directory(pattern, entries, 64);
    for (u32 i = 0; i < count; ++i) {
        u32 owner = build_copy_owner(entries[i].name, length + 1);
        char path[MODULE_PATH_CAPACITY];
        if (owner && owner != process_id() && !process_alive(owner) &&
            join_path(path, sizeof(path), directory, entries[i].name)) {
            delete_file(path);
        }
    }
}

static void sweep_stale_copies(module_state* module) {
    for (u32 i = 0; i < MODULE_STALE_COPIES; ++i) {
        if (module->stale[i][0] && delete_file(module->stale[i])) {
            module->stale[i][0] = 0;
        }
    }
}

typedef struct load_call {
    const char* path;
    const char* export_name;
    void* library;
    void* entry;
    void* sound;
    char reason[128];
} load_call;

static void load_guarded(void* argument) {
    load_call* call = (load_call*)argument;
    call->library = library_load(call->path, call->reason, sizeof(call->reason));
    if (call->library) {
        call->entry = library_symbol(call->library, call->export_name);
        call->sound = library_symbol(call->library, SOUND_EXPORT_NAME);
    }
}

static void free_guarded(void* argument) { library_free(argument); }

bool32 copy_build(module_state* module, const char* directory, const char* name,
                  const char* source, char* copy_path) {
    if (module->copies == 0) {
        sweep_ended_hosts_copies(directory, name);
    }
    sweep_stale_copies(module);
    u32 copy = module->copies + 1;
    if (!library_copy_path(copy_path, MODULE_PATH_CAPACITY, directory, name, copy)) {
        return 0;
    }
    module->copies = copy;
    // A half-made copy is not loaded: the next frame copies again.
    if (!library_copy(source, copy_path)) {
        delete_copy(module, copy_path);
        return 0;
    }
    return 1;
}

load_outcome load_copy(module_state* module, const char* copy_path, const char* export_name,
                       module_build* build, char* reason, u32 capacity) {
    fill_bytes(build, 0, sizeof(*build));
    reason[0] = 0;
    load_call call = {};
    call.path = copy_path;
    call.export_name = export_name;
    module_fault fault = {};
    bool32 keeps_all = whole_before_load(&module->whole, copy_path, &module->slot);
    phase_mark("route loading");
    allocator_exits_loading(1);
    bool32 returned = guarded_host_call(&fault, load_guarded, &call);
    allocator_exits_loading(0);
    whole_load_ended();
    phase_mark("load");
    if (!returned || (!call.library && fault.kind != FAULT_NONE)) {
        char described[MODULE_TITLE_CAPACITY];
        describe_fault(&fault, NULL, described, sizeof(described));
        copy_bounded(reason, capacity, "fault in start-up: ");
        copy_bounded(reason + text_length(reason), capacity - text_length(reason), described);
        // A library left half-loaded by the fault stays mapped: only its
        // file goes.
        delete_copy(module, copy_path);
        return LOAD_FAILED;
    }
    if (!call.library) {
        copy_bounded(reason, capacity, call.reason);
        delete_copy(module, copy_path);
        return LOAD_FAILED;
    }
    build->library = call.library;
    build->entry = (module_entry*)call.entry;
    build->sound = (module_sound_entry*)call.sound;
    copy_text(build->copy_path, copy_path);
    if (!build->entry) {
        copy_bounded(reason, capacity, "no entry export");
        unload_build(module, build, &fault);
        return LOAD_FAILED;
    }
    // Its kept variables take the values the last build left, and are
    // undone with the module's blocks from its first frame on. A build that
    // keeps its whole state takes them with the rest.
    module->kept_note[0] = 0;
    long_text_empty(&module->kept_line);
    bool32 whole_given = keeps_all && module->whole.taken.taken;
    if (keeps_all) {
        whole_loaded(&module->whole, build->library, build->copy_path, &module->slot);
        copy_text(module->kept_note, module->whole.note);
        long_text_append(&module->kept_line, long_text_view(&module->whole.line));
    }
    if (module->kept.count && !(whole_given && whole_running(&module->whole))) {
        // After what the whole state's reading said, if anything.
        char kept[sizeof(module->kept_note)];
        library_image image = build_image(build);
        kept_give(&module->kept, &image, kept, sizeof(kept));
        u32 at = text_length(module->kept_note);
        if (at && kept[0]) {
            at = note_append(module->kept_note, sizeof(module->kept_note), at, "; ");
            long_text_append(&module->kept_line, "; ");
        }
        note_append(module->kept_note, sizeof(module->kept_note), at, kept);
        long_text_append(&module->kept_line, kept);
    }
    phase_mark("give");
    static engine_kept table[4096];
    library_image image = build_image(build);
    memory_set_kept(table, kept_table(&image, table, 4096), image.base, image.size);
    allocator_route_exits(image.base, image.size);
    phase_mark("kept table");
    return LOAD_DONE;
}

load_outcome load_build(module_state* module, const char* directory, const char* name,
                        const char* export_name, module_build* build, char* reason,
                        u32 capacity) {
    fill_bytes(build, 0, sizeof(*build));
    reason[0] = 0;
    char module_path[MODULE_PATH_CAPACITY];
    char copy_path[MODULE_PATH_CAPACITY];
    if (!join_path(module_path, sizeof(module_path), directory, name) ||
        !copy_build(module, directory, name, module_path, copy_path)) {
        return LOAD_RETRY;
    }
    return load_copy(module, copy_path, export_name, build, reason, capacity);
}

static bool32 unload_library(module_state* module, module_build* build, module_fault* fault) {
    if (!build->library) {
        return 1;
    }
    // What the history kept of the build's own data goes with it.
    if (memory_kept_count() || whole_running(&module->whole)) {
        history_forget_memory();
    }
    memory_set_kept(NULL, 0, NULL, 0);
    allocator_route_exits(NULL, 0);
    phase_mark("forget history");
    bool32 whole = whole_running(&module->whole);
    whole_before_unload(&module->whole);
    phase_mark("take");
    // What its runtime frees as it goes holds no pointers after (heap.h).
    heap_clear_frees(whole);
    bool32 returned = guarded_host_call(fault, free_guarded, build->library);
    heap_clear_frees(0);
    phase_mark("unload");
    build->library = NULL;
    build->entry = NULL;
    build->sound = NULL;
    return returned && fault->kind == FAULT_NONE;
}

bool32 unload_build(module_state* module, module_build* build, module_fault* fault) {
    bool32 clean = unload_library(module, build, fault);
    // Once unloaded nothing maps the copy; after a fault it may still be
    // mapped, which only Windows minds, and it is tried again later.
    delete_copy(module, build->copy_path);
    fill_bytes(build, 0, sizeof(*build));
    return clean;
}

// Room for any working directory the system gives, so a long one is told
// by its length rather than refused unread.
#define WORKING_DIRECTORY_CAPACITY 4096

// A load event's title is ready to show (call_module.h), with line the words
// that name everything when they say more than the title's.
static void title_changes(module_state* module, const char* line) {
    module->title_changed = 1;
    long_text_empty(&module->title_line);
    if (line) {
        long_text_append(&module->title_line, line);
    }
}

static void say_too_long(module_state* module, u32 length) {
    module->too_long = length;
    snprintf(module->title, sizeof(module->title),
             WINDOW_TITLE " - the module path is too long for the copy the host loads: "
                          "%u characters", length);
    title_changes(module, NULL);
}

void module_locate_from(module_state* module, const char* working_directory) {
    module->directory[0] = 0;
    module->path[0] = 0;
    module->too_long = 0;
    // The root's own "/" is the one a POSIX working directory drops.
    const char* here = working_directory[0] ? working_directory : "/";
    static char directory[WORKING_DIRECTORY_CAPACITY + sizeof(MODULE_DIRECTORY)];
    if (!system_path_from(directory, sizeof(directory), here, MODULE_DIRECTORY)) {
        return;
    }
    u64 copy_length = (u64)text_length(directory) + build_copy_name_length(MODULE_NAME);
    if (copy_length >= MODULE_PATH_CAPACITY) {
        say_too_long(module, (u32)copy_length);
        return;
    }
    copy_text(module->directory, directory);
    concat_text_checked(module->path, directory, MODULE_NAME);
}

void module_locate(module_state* module) {
    static char here[WORKING_DIRECTORY_CAPACITY];
    u32 length = get_working_directory(here, sizeof(here));
    if (length && length < sizeof(here)) {
        module_locate_from(module, here);
        return;
    }
    module->directory[0] = 0;
    module->path[0] = 0;
    module->too_long = 0;
    // Longer than any path this host forms (the count includes the
    // terminator): nothing can load.
    if (length) {
        say_too_long(module, length - 1 + build_copy_name_length(MODULE_NAME));
    }
}

bool32 reload_previous(module_state* module) {
    module_build* previous = &module->previous;
    char copy_path[MODULE_PATH_CAPACITY];
    char reason[MODULE_TITLE_CAPACITY];
    module_build build;
    if (!previous->copy_path[0] ||
        !copy_build(module, module_directory(module), MODULE_NAME, previous->copy_path,
                    copy_path)) {
        return 0;
    }
    whole_returning(&module->whole, 1);
    load_outcome outcome = load_copy(module, copy_path, MODULE_EXPORT, &build, reason,
                                     sizeof(reason));
    whole_returning(&module->whole, 0);
    if (outcome != LOAD_DONE) {
        return 0;
    }
    build.time = previous->time;
    delete_copy(module, previous->copy_path);
    fill_bytes(previous, 0, sizeof(*previous));
    module->running = build;
    module->faulted = 0;
    return 1;
}

library_image build_image(const module_build* build) {
    library_image image;
    library_image_of(build->library, build->copy_path, &image);
    return image;
}

// The running build goes before a new one comes. A good one becomes the
// previous build, its copy kept; one that faulted is gone for good.
static void retire_running(module_state* module) {
    module_build old = module->running;
    fill_bytes(&module->running, 0, sizeof(module->running));
    if (old.library) {
        library_image image = build_image(&old);
        kept_take(&module->kept, &image);
    }
    module_fault fault = {};
    if (!unload_library(module, &old, &fault)) {
        unload_fault_title(module->title, sizeof(module->title), &fault);
    }
    if (!old.copy_path[0]) {
        return;
    }
    if (module->faulted) {
        delete_copy(module, old.copy_path);
        module->faulted = 0;
        return;
    }
    delete_copy(module, module->previous.copy_path);
    module->previous = old;
}

static bool32 same_entry(const file_entry* a, const file_entry* b) {
    return a->found == b->found && a->last_write == b->last_write && a->size == b->size &&
           a->other_time == b->other_time;
}

// This frame's look at the module file, and its identity: the one recorded
// while the entry is as it was, else asked anew between two looks, so the
// stamp and the identity are of one file. False when the file changed
// between the looks: the next frame looks again.
static bool32 look_at_module(module_state* module, file_entry* entry, u64* identity) {
    const char* path = module_file_path(module);
    look_up_file_entry(path, entry);
    if (!entry->found) {
        fill_bytes(&module->seen, 0, sizeof(module->seen));  // a file that comes back is new
        *identity = 0;
        return 1;
    }
    if (same_entry(entry, &module->seen)) {
        *identity = module->seen_identity;
        return 1;
    }
    *identity = library_file_identity(path);
    file_entry again;
    look_up_file_entry(path, &again);
    if (!same_entry(&again, entry)) {
        return 0;
    }
    module->seen = *entry;
    module->seen_identity = *identity;
    return 1;
}

// A build that keeps its whole state is not replaced while threads it
// started run: they would run on in code the reload removes. Said once for
// each count.
static bool32 threads_hold_back(module_state* module) {
    u32 threads = whole_running(&module->whole) ? allocator_module_threads() : 0;
    if (threads && threads != module->waiting_threads) {
        snprintf(module->title, sizeof(module->title),
                 WINDOW_TITLE " - the new build waits: %u thread%s the running build started "
                              "still run%s",
                 threads, threads == 1 ? "" : "s", threads == 1 ? "s" : "");
        title_changes(module, NULL);
    }
    module->waiting_threads = threads;
    return threads != 0;
}

// The running build goes and the copy comes in its place, from this frame
// on. afresh: the words that say the program started afresh with it, when
// nothing of the running build's state is to go to it.
static void load_new_build(module_state* module, const char* copy_path, const char* afresh) {
    retire_running(module);
    if (afresh) {
        whole_start_afresh(&module->whole);
        kept_clear(&module->kept);
    }
    module_build build;
    char reason[MODULE_TITLE_CAPACITY];
    if (load_copy(module, copy_path, MODULE_EXPORT, &build, reason, sizeof(reason)) == LOAD_DONE) {
        build.time = module->time;
        module->running = build;
        module->loads += 1;
        if (module->kept_note[0] || afresh) {
            long_text line = {};
            long_text_append(&line, afresh ? afresh : "");
            long_text_append(&line, afresh && module->kept_note[0] ? "; " : "");
            long_text_append(&line, long_text_view(&module->kept_line));
            snprintf(module->title, sizeof(module->title), WINDOW_TITLE " - %s%s%s",
                     afresh ? afresh : "", afresh && module->kept_note[0] ? "; " : "",
                     module->kept_note);
            title_changes(module, long_text_view(&line));
            long_text_free(&line);
        }
        return;
    }
    load_failure_title(module->title, sizeof(module->title), reason);
    reload_previous(module);
}

// The title's words for a build that waits, cut so the chord still shows;
// the line names all of why.
static void say_waiting(module_state* module, const char* why) {
    static const char before[] = WINDOW_TITLE " - " MODULE_NAME " waits: ";
    static const char after[] = " (" MODULE_AFRESH_CHORD " starts it afresh)";
    u32 room = (u32)(sizeof(module->title) - sizeof(before) - sizeof(after) + 1);
    char cut[MODULE_TITLE_CAPACITY];
    copy_bounded(cut, room + 1, why);
    if (text_length(why) > room) {
        copy_text(cut + room - 3, "...");
    }
    snprintf(module->title, sizeof(module->title), "%s%s%s", before, cut, after);
    long_text line = {};
    long_text_append(&line, MODULE_NAME " waits: ");
    long_text_append(&line, why);
    long_text_append(&line, after);
    title_changes(module, long_text_view(&line));
    long_text_free(&line);
}

// Whether the running build's state can't go into the copy exactly: then it
// goes on with all of it, the copy goes, and that is said. Asked before the
// running build is unloaded, which the carrying needs.
static bool32 layouts_hold_back(module_state* module, const char* copy_path) {
    module->waiting = 0;
    char why[MODULE_WHY_CAPACITY];
    if (!module->running.library ||
        whole_may_replace(&module->whole, copy_path, &module->slot, why, sizeof(why))) {
        return 0;
    }
    delete_copy(module, copy_path);
    module->waiting = 1;
    say_waiting(module, why[0] ? why : "its state can't be carried over");
    return 1;
}

// Whether a reload of the running build's whole state is left to a later
// poll with more to spare. The last reload's time only foretells this one's
// (the heap grows, caches go cold), so it has to fit twice.
static bool32 reload_waits_for_time(const module_state* module, f64 spare_ms) {
    if (spare_ms >= MODULE_SPARE_ALL || !whole_running(&module->whole)) {
        return 0;
    }
    return module->whole_reload_ms == 0.0 || module->whole_reload_ms * 2.0 > spare_ms;
}

bool32 poll_module_within(module_state* module, f64 spare_ms) {
    if (module->too_long) {
        return 0;
    }
    file_entry entry;
    u64 identity = 0;
    if (!look_at_module(module, &entry, &identity)) {
        return 0;
    }
    u64 current = entry.last_write;
    bool32 same_stamp_other_file = entry.found && module->stamped && current == module->time &&
                                   identity != module->identity;
    if (!module_needs_load(entry.found, current, module->stamped, module->time) &&
        !same_stamp_other_file) {
        return 0;
    }
    // A build that can never load is said so at once; the running one is
    // left alone.
    char reason[MODULE_TITLE_CAPACITY];
    if (library_file_foreign(module_file_path(module), reason, sizeof(reason))) {
        module->waiting = 0;
        module->time = current;
        module->stamped = 1;
        module->identity = identity;
        load_failure_title(module->title, sizeof(module->title), reason);
        title_changes(module, NULL);
        return 0;
    }
    if (!library_file_complete(module_file_path(module)) || threads_hold_back(module)) {
        return 0;
    }
    if (reload_waits_for_time(module, spare_ms)) {
        return 1;
    }
    bool32 whole = whole_running(&module->whole);
    i64 start = read_counter();
    phase_begin("reload");
    // The copy first: while it can't be made, the running build runs on.
    char copy_path[MODULE_PATH_CAPACITY];
    if (!copy_build(module, module_directory(module), MODULE_NAME, module_file_path(module),
                    copy_path)) {
        return 0;
    }
    phase_mark("copy");
    module->time = current;
    module->stamped = 1;
    module->identity = identity;
    if (layouts_hold_back(module, copy_path)) {
        return 0;
    }
    phase_mark("compare layouts");
    copy_text(module->title, WINDOW_TITLE);
    title_changes(module, NULL);
    load_new_build(module, copy_path, NULL);
    if (whole) {
        module->whole_reload_ms = (f64)(read_counter() - start) * 1000.0 / (f64)counter_frequency;
    }
    return 0;
}

void poll_module(module_state* module) { (void)poll_module_within(module, MODULE_SPARE_ALL); }

void start_afresh(module_state* module) {
    if (!module->waiting) {
        return;
    }
    // Only the file that waits: one written since is the poll's to look at.
    file_entry entry;
    u64 identity = 0;
    if (!look_at_module(module, &entry, &identity) || !entry.found ||
        entry.last_write != module->time || identity != module->identity ||
        !library_file_complete(module_file_path(module))) {
        return;
    }
    char copy_path[MODULE_PATH_CAPACITY];
    if (!copy_build(module, module_directory(module), MODULE_NAME, module_file_path(module),
                    copy_path)) {
        return;
    }
    module->waiting = 0;
    load_new_build(module, copy_path, MODULE_NAME " started afresh");
}
