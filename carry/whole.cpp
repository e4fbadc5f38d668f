#include "carry/whole.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "guard/build_name.h"
#include "guard/undo.h"
#include "carry/allocator.h"
#include "platform/clock.h"
#include "platform/heap.h"
#include "platform/memory.h"

bool32 whole_running(const whole_state* whole) { return whole->running; }

bool32 whole_before_load(whole_state* whole, const char* copy_path, void** slot) {
    bool32 keeps_all = image_keeps_all(copy_path);
    phase_mark("keeps all?");
    whole->loads_since += 1;
    if (keeps_all && whole->taken.taken && !whole->taken.words_found) {
        state_find_pointers(&whole->taken, slot);
    }
    phase_mark("forget ahead");
    // Found words wait where they are while the build loads: its start-up
    // may not write where an earlier build's objects were.
    if (keeps_all) {
        allocator_route_loading(copy_path);
        heap_fresh_only(1);
    }
    return keeps_all;
}

void whole_load_ended(void) {
    heap_fresh_only(0);
    allocator_route_loading(NULL);
}

// The kept objects, for the hashes.
static void set_hashed_objects(whole_state* whole) {
    free(whole->objects);
    whole->objects = (memory_range*)malloc((u64)whole->layout.kept_count * sizeof(memory_range) + 1);
    u32 count = 0;
    for (u32 i = 0; whole->objects && i < whole->layout.symbol_count; ++i) {
        const image_symbol* symbol = &whole->layout.symbols[i];
        if (symbol->kind == IMAGE_KEPT) {
            whole->objects[count].start = symbol->address;
            whole->objects[count].size = symbol->size;
            ++count;
        }
    }
    memory_set_whole(whole->objects, count);
}

static void drop_plan(whole_state* whole);
static void drop_next(whole_state* whole);
static void take_types(whole_state* whole, const char* copy_path);

void whole_loaded(whole_state* whole, void* library, const char* copy_path, void** slot) {
    whole->note[0] = 0;
    long_text_empty(&whole->line);
    image_free(&whole->layout);
    whole->running = 0;
    phase_mark("load");
    bool32 read = image_read(library, copy_path, &whole->layout);
    phase_mark("read image");
    if (!read || whole->layout.problem[0]) {
        // Its allocations still go to the heap, but nothing is carried.
        allocator_route_image((void*)whole->layout.base, whole->layout.size);
        // What a rebuild can mend is said so.
        const char* problem = whole->layout.problem[0] ? whole->layout.problem : "can't be read";
        bool32 symbols = strstr(problem, "symbol") || strstr(problem, "section");
        snprintf(whole->note, sizeof(whole->note), MODULE_NAME " %s: whole state can't be kept%s",
                 problem, symbols ? " - rebuild with symbols" : "");
        long_text_append(&whole->line, whole->note);
        state_clear(&whole->taken);
        state_clear(&whole->given);
        drop_next(whole);
        types_free(&whole->types);
        return;
    }
    whole->running = 1;
    whole->load_serial += 1;
    allocator_route_image((void*)whole->layout.base, whole->layout.size);
    set_hashed_objects(whole);
    // What was planned for another build (one that did not load) is let go.
    bool32 planned = whole->planned && whole->loads_since == 1;
    if (!planned) {
        drop_plan(whole);
    }
    if (planned && whole->taken.taken) {
        layout_execute(&whole->plan, whole->taken.values, whole->taken.layout.data.start,
                       whole->taken.values_size, slot,
                       whole->taken.words, whole->taken.word_count);
        // What a build that comes back after a fault takes from them.
        layout_move_values(&whole->plan, whole->given.values, whole->given.values_size);
        whole->taken.plan = &whole->plan;
        phase_mark("convert");
    }
    if (whole->taken.taken) {
        state_give(&whole->taken, whole->returning ? &whole->given : NULL, &whole->layout, slot,
                   whole->note, sizeof(whole->note), &whole->line);
    }
    whole->taken.plan = NULL;
    layout_free(&whole->plan);
    whole->planned = 0;
    phase_mark("give");
    take_types(whole, copy_path);
    phase_mark("types");
    // A build that came back has no previous build to go back to; a new one
    // keeps what it was given until it has proved itself.
    state_clear(&whole->given);
    if (!whole->returning) {
        // Its values alone: where its pointers lay is of no use later.
        whole->given = whole->taken;
        memset(&whole->taken, 0, sizeof(whole->taken));
        free(whole->given.words);
        whole->given.words = NULL;
        whole->given.word_count = whole->given.word_capacity = 0;
        whole->given.words_found = 0;
    }
    state_clear(&whole->taken);
    undo_set_image((void*)whole->layout.data.start, whole->layout.data.end - whole->layout.data.start);
}

void whole_returning(whole_state* whole, bool32 returning) { whole->returning = returning; }

void whole_before_unload(whole_state* whole) {
    allocator_route_image(NULL, 0);
    if (!whole->running) {
        return;
    }
    undo_set_image(NULL, 0);
    memory_set_whole(NULL, 0);
    state_take(&whole->taken, &whole->layout);
    image_disarm_destructors(&whole->layout);
    image_free(&whole->layout);
    whole->running = 0;
}

void whole_snapshot(const whole_state* whole, state_taken* taken) {
    state_clear(taken);
    if (whole->running) {
        state_take(taken, &whole->layout);
        taken->build = whole->load_serial;
    }
}

void whole_put_back(whole_state* whole, state_taken* taken, void** slot) {
    if (!taken->taken || !whole->running) {
        return;
    }
    if (taken->build == whole->load_serial) {
        // Page by page where they differ: the span may hold read-only
        // sections between writable ones (PE), which never do.
        u8* data = (u8*)whole->layout.data.start;
        for (u64 at = 0; at < taken->values_size; at += 4096) {
            u64 length = taken->values_size - at < 4096 ? taken->values_size - at : 4096;
            if (memcmp(data + at, taken->values + at, length) != 0) {
                memcpy(data + at, taken->values + at, length);
            }
        }
        return;
    }
    char note[WHOLE_NOTE_CAPACITY];
    state_give(taken, NULL, &whole->layout, slot, note, sizeof(note), NULL);
}

static void drop_plan(whole_state* whole) {
    if (whole->planned) {
        layout_cancel(&whole->plan);
    }
    layout_free(&whole->plan);
    whole->planned = 0;
    whole->taken.plan = NULL;
}

static void drop_next(whole_state* whole) {
    drop_plan(whole);
    types_free(&whole->next_types);
    whole->next_read = 0;
}

bool32 whole_may_replace(whole_state* whole, const char* copy_path, void** slot, char* why,
                         u32 capacity) {
    if (capacity) {
        why[0] = 0;
    }
    whole->waits_for_loop = 0;
    drop_next(whole);
    if (!whole->running || !whole->types.type_count || !image_keeps_all(copy_path) ||
        !types_read_file(copy_path, &whole->next_types)) {
        return 1;
    }
    whole->next_read = 1;
    whole->loads_since = 0;
    if (!layout_compare(&whole->plan, &whole->types, &whole->next_types)) {
        layout_free(&whole->plan);
        return 1;
    }
    if (whole->snapshot_held && !whole->returning) {
        snprintf(why, capacity, "%s changed its layout while loop editing holds the state in the "
                                "old one - it comes in once loop editing is off (alt+L)",
                 layout_changed_name(&whole->plan));
        drop_next(whole);
        whole->waits_for_loop = 1;
        return 0;
    }
    if (!layout_prepare(&whole->plan, &whole->layout, slot, why, capacity)) {
        drop_next(whole);
        return 0;
    }
    whole->planned = 1;
    return 1;
}

// The loaded build's types: read before it was let in, or now.
static void take_types(whole_state* whole, const char* copy_path) {
    type_graph next;
    memset(&next, 0, sizeof(next));
    if (whole->next_read && whole->loads_since == 1) {
        next = whole->next_types;
        memset(&whole->next_types, 0, sizeof(whole->next_types));
    } else if (!types_read_file(copy_path, &next)) {
        memset(&next, 0, sizeof(next));
    }
    types_free(&whole->next_types);
    types_free(&whole->types);
    whole->types = next;
    whole->next_read = 0;
}

void whole_start_afresh(whole_state* whole) {
    drop_next(whole);
    state_clear(&whole->taken);
    state_clear(&whole->given);
}
