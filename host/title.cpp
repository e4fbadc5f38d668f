#include "host/title.h"

#include <stdio.h>

#include "host/build_status.h"
#include "carry/state.h"

// Text building for the title: appends stay inside the title's capacity.
typedef struct title_text {
    char* text;
    u32 length;
    u32 capacity;
} title_text;

static void append(title_text* title, const char* text) {
    for (; *text && title->length + 1 < title->capacity; ++text) {
        title->text[title->length++] = *text;
    }
    title->text[title->length] = 0;
}

static void append_hex(title_text* title, u64 value, u32 min_digits) {
    char digits[17];
    u32 count = 0;
    do {
        digits[count++] = "0123456789ABCDEF"[value & 15];
        value >>= 4;
    } while (value || count < min_digits);
    char text[20] = "0x";
    for (u32 i = 0; i < count; ++i) {
        text[2 + i] = digits[count - 1 - i];
    }
    text[2 + count] = 0;
    append(title, text);
}

// Off while a title is made again after looking up a place faulted.
static bool32 places_looked_up = 1;

// "main.dll+0x1A2B", or the bare address outside every library.
static void append_place(title_text* title, u64 address, const module_fault* fault,
                         void* library) {
    char holder_name[64];
    u64 base = places_looked_up
                   ? fault_address_holder(address, library, holder_name, sizeof(holder_name))
                   : 0;
    const char* holder = holder_name;
    // Named when it was seen, by a library unloaded since.
    if (!base && address == fault->address && fault->holder_base) {
        base = fault->holder_base;
        holder = fault->holder;
    }
    if (base) {
        append(title, holder);
        append(title, "+");
        append_hex(title, address - base, 1);
    } else {
        append_hex(title, address, 1);
    }
}

static const char* access_words(u64 access) {
    switch (access) {
    case FAULT_ACCESS_WRITE: return " writing ";
    case FAULT_ACCESS_EXECUTE: return " executing ";
    default: return " reading ";
    }
}

// "the module called exit(3)".
static void append_exit(title_text* title, const module_fault* fault) {
    char status[16];
    snprintf(status, sizeof(status), "(%d)", (i32)fault->code);
    append(title, "the module called ");
    append(title, exit_call_name(fault->exit_call));
    append(title, status);
}

void exit_words(const module_fault* fault, char* out, u32 capacity) {
    title_text title = {out, 0, capacity};
    out[0] = 0;
    append_exit(&title, fault);
}

static void append_fault(title_text* title, const module_fault* fault, void* library) {
    if (fault->kind == FAULT_EXIT) {
        append_exit(title, fault);
        append(title, " at ");
        append_place(title, fault->address, fault, library);
        return;
    }
    char code[32];
    fault_code_text(fault->code, code, sizeof(code));
    // Through a pointer to what a reload removed: named by it.
    char removed[128];
    if (fault->kind == FAULT_ACCESS_VIOLATION &&
        state_removed_words(fault->target, fault->access == FAULT_ACCESS_EXECUTE, removed,
                            sizeof(removed))) {
        append(title, removed);
        append(title, " (");
        append(title, code);
        append(title, ")");
        if (fault->caller) {
            append(title, " called from ");
            append_place(title, fault->caller, fault, library);
        } else if (fault->access != FAULT_ACCESS_EXECUTE) {
            append(title, " at ");
            append_place(title, fault->address, fault, library);
        }
        return;
    }
    append(title, fault_name(fault->kind));
    append(title, " (");
    append(title, code);
    append(title, ")");
    if (fault->kind == FAULT_ACCESS_VIOLATION) {
        append(title, access_words(fault->access));
        append_hex(title, fault->target, 1);
    }
    append(title, " at ");
    append_place(title, fault->address, fault, library);
    if (fault->caller) {
        append(title, " called from ");
        append_place(title, fault->caller, fault, library);
    }
}

void describe_fault(const module_fault* fault, void* library, char* out, u32 capacity) {
    title_text title = {out, 0, capacity};
    out[0] = 0;
    append_fault(&title, fault, library);
}

void fault_title(module_fault* fault, void* library) {
    title_text title = {fault->title, 0, sizeof(fault->title)};
    append(&title, WINDOW_TITLE " - fault: ");
    append_fault(&title, fault, library);
    append(&title, " - rebuild to resume");
}

void rollback_title(module_fault* fault, void* library) {
    title_text title = {fault->title, 0, sizeof(fault->title)};
    append(&title, WINDOW_TITLE " - fault in the new build: ");
    append_fault(&title, fault, library);
    append(&title, " - running the previous build");
}

void unrestored_title(module_fault* fault, void* library) {
    title_text title = {fault->title, 0, sizeof(fault->title)};
    append(&title, WINDOW_TITLE " - fault: ");
    append_fault(&title, fault, library);
    append(&title, " - module memory could not be put back as the frame found it");
}

void load_failure_title(char* out, u32 capacity, const char* reason) {
    title_text title = {out, 0, capacity};
    append(&title, WINDOW_TITLE " - the new build did not load: ");
    append(&title, reason);
    append(&title, " - rebuild to retry");
}

void unload_fault_title(char* out, u32 capacity, const module_fault* fault) {
    title_text title = {out, 0, capacity};
    append(&title, WINDOW_TITLE " - fault while unloading the old build: ");
    append_fault(&title, fault, NULL);
}

// An event's title without the name it begins with; "" for one without.
static const char* after_name(const char* event) {
    for (const char* name = WINDOW_TITLE; *name; ++name, ++event) {
        if (*event != *name) {
            return "";
        }
    }
    return event;
}

void compose_title(char* out, u32 capacity, const char* loop, const char* build,
                   const char* event) {
    title_text title = {out, 0, capacity};
    out[0] = 0;
    if (!loop[0] && !build[0]) {
        append(&title, event[0] ? event : WINDOW_TITLE);
        return;
    }
    append(&title, WINDOW_TITLE);
    const char* parts[] = {loop, build};
    for (const char* part : parts) {
        if (part[0]) {
            append(&title, " - ");
            append(&title, part);
        }
    }
    append(&title, after_name(event));
}

// The title's parts, kept to compose it anew when any of them changes.
static char event_title[MODULE_TITLE_CAPACITY];
static char loop_title[160];  // rewind's too (rewind.h)
static char build_title[BUILD_STATUS_CAPACITY];

static void show_title(host_window* window) {
    if (!window) {
        return;
    }
    char composed[sizeof(loop_title) + sizeof(build_title) + sizeof(event_title) + 8];
    compose_title(composed, sizeof(composed), loop_title, build_title, event_title);
    window_set_title(window, composed);
}

void title_show_event(host_window* window, const char* title) {
    title_text kept = {event_title, 0, sizeof(event_title)};
    append(&kept, title);
    show_title(window);
}

void title_say_line(const char* words) {
    fprintf(stderr, WINDOW_TITLE ": %s\n", words);
}

void title_report_event(host_window* window, const char* title, const char* line) {
    title_show_event(window, title);
    const char* words = after_name(title);
    if (line && line[0]) {
        title_say_line(line);
    } else if (words[0] == ' ' && words[1] == '-' && words[2] == ' ' && words[3]) {
        title_say_line(words + 3);
    }
}

void title_show_loop(host_window* window, const char* state) {
    title_text kept = {loop_title, 0, sizeof(loop_title)};
    append(&kept, state);
    show_title(window);
}

void title_show_build(host_window* window, const char* part) {
    title_text kept = {build_title, 0, sizeof(build_title)};
    append(&kept, part);
    show_title(window);
}

typedef void title_maker(module_fault* fault, void* library);

typedef struct title_call {
    title_maker* make;
    module_fault* fault;
    void* library;
} title_call;

static void make_title(void* argument) {
    title_call* call = (title_call*)argument;
    call->make(call->fault, call->library);
}

// Naming a place reads the libraries' tables, which the faulting module may
// have broken as well (a loaded file cut short): the title is made through
// the guard, and made again with bare addresses when that faults.
void make_title_guarded(title_maker* make, module_fault* fault, void* library) {
    title_call call = {make, fault, library};
    module_fault inner = {};
    if (guarded_host_call(&inner, make_title, &call) && inner.kind == FAULT_NONE) {
        return;
    }
    places_looked_up = 0;
    make(fault, library);
    places_looked_up = 1;
}
