#include "host/fault.h"

#include "engine/base/memory.h"
#include "host/undo.h"
#include "platform/memory.h"

const char* fault_name(fault_kind kind) {
    switch (kind) {
    case FAULT_ACCESS_VIOLATION: return "access violation";
    case FAULT_ILLEGAL_INSTRUCTION: return "illegal instruction";
    case FAULT_PRIVILEGED_INSTRUCTION: return "privileged instruction";
    case FAULT_INTEGER_DIVIDE: return "integer division by zero";
    case FAULT_INTEGER_OVERFLOW: return "integer overflow";
    case FAULT_FLOAT_DIVIDE: return "float division by zero";
    case FAULT_FLOAT_INVALID: return "float invalid operation";
    case FAULT_FLOAT_OVERFLOW: return "float overflow";
    case FAULT_FLOAT_UNDERFLOW: return "float underflow";
    case FAULT_FLOAT_DENORMAL: return "float denormal operand";
    case FAULT_FLOAT_INEXACT: return "float inexact result";
    case FAULT_FLOAT_STACK: return "float stack check";
    case FAULT_FLOAT_MULTIPLE_FAULTS: return "float multiple faults";
    case FAULT_FLOAT_MULTIPLE_TRAPS: return "float multiple traps";
    case FAULT_BREAKPOINT: return "breakpoint";
    case FAULT_STACK_OVERFLOW: return "stack overflow";
    case FAULT_MISALIGNMENT: return "datatype misalignment";
    case FAULT_BOUNDS: return "array bounds exceeded";
    case FAULT_IN_PAGE: return "in-page error";
    case FAULT_BUS_ERROR: return "bus error";
    case FAULT_BROKEN_INVARIANT: return "broken invariant";
    case FAULT_ABORT: return "abort";
    default: return "exception";
    }
}

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

static void append_fault(title_text* title, const module_fault* fault, void* library) {
    char code[32];
    fault_code_text(fault->code, code, sizeof(code));
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

// The two parts of the title, kept to compose it anew when either changes.
static char event_title[MODULE_TITLE_CAPACITY];
static char loop_title[96];

static void show_title(host_window* window) {
    if (!window) {
        return;
    }
    char composed[MODULE_TITLE_CAPACITY + 128];
    title_text title = {composed, 0, sizeof(composed)};
    if (!loop_title[0]) {
        append(&title, event_title[0] ? event_title : WINDOW_TITLE);
    } else {
        append(&title, WINDOW_TITLE " - ");
        append(&title, loop_title);
        // The event's title without the name it begins with.
        u32 name = sizeof(WINDOW_TITLE) - 1;
        append(&title, bytes_equal(event_title, WINDOW_TITLE, name) ? event_title + name : "");
    }
    window_set_title(window, composed);
}

void title_show_event(host_window* window, const char* title) {
    title_text kept = {event_title, 0, sizeof(event_title)};
    append(&kept, title);
    show_title(window);
}

void title_show_loop(host_window* window, const char* state) {
    title_text kept = {loop_title, 0, sizeof(loop_title)};
    append(&kept, state);
    show_title(window);
}

// Calls the running build; false when it faulted.
static bool32 call_running(module_fault* fault, module_state* module, i32* running,
                           const back_buffer* buffer, back_buffer* buffer_copy,
                           input_state* input, f32 frame_seconds, platform_api* services) {
    *buffer_copy = *buffer;
    undo_begin_frame(&module->slot);
    if (guarded_entry_call(fault, module->running.entry, running, buffer_copy, input,
                           frame_seconds, services, &module->slot)) {
        undo_commit();
        return 1;
    }
    fault->build_time = module->running.time;
    return 0;
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
static void make_title_guarded(title_maker* make, module_fault* fault, void* library) {
    title_call call = {make, fault, library};
    module_fault inner = {};
    if (guarded_host_call(&inner, make_title, &call) && inner.kind == FAULT_NONE) {
        return;
    }
    places_looked_up = 0;
    make(fault, library);
    places_looked_up = 1;
}

// With no build to go back to, the faulted one is held: not called again.
static void hold_fault(module_fault* fault, module_state* module, host_window* window) {
    module->faulted = 1;
    make_title_guarded(fault_title, fault, module->running.library);
    title_show_event(window, fault->title);
}

// Memory that could not be put back is said plainly, and no build runs on it
// until a new one is loaded.
static void hold_unrestored(module_fault* fault, module_state* module, host_window* window) {
    module->faulted = 1;
    make_title_guarded(unrestored_title, fault, module->running.library);
    title_show_event(window, fault->title);
}

// Back to the previous build, loaded again from its copy after the faulted
// one is unloaded. The frame is undone after the unload, so whatever the
// faulted build's shut-down wrote is undone too.
static bool32 roll_back(module_fault* fault, module_state* module, host_window* window) {
    make_title_guarded(rollback_title, fault, module->running.library);
    module_build faulted = module->running;
    fill_bytes(&module->running, 0, sizeof(module->running));
    // Its shut-down may fault as well; the title already says what matters.
    module_fault unloading = {};
    unload_build(module, &faulted, &unloading);
    if (!undo_rollback()) {
        hold_unrestored(fault, module, window);
        return 0;
    }
    if (!reload_previous(module)) {
        hold_fault(fault, module, window);
        return 0;
    }
    title_show_event(window, fault->title);
    return 1;
}

void call_module(module_fault* fault, module_state* module, host_window* window, i32* running,
                 const back_buffer* buffer, back_buffer* buffer_copy, input_state* input,
                 f32 frame_seconds, platform_api* services) {
    if (module->title_changed) {
        module->title_changed = 0;
        title_show_event(window, module->title);
    }
    if (!module->running.entry || module->faulted) {
        return;
    }
    if (call_running(fault, module, running, buffer, buffer_copy, input, frame_seconds,
                     services)) {
        return;
    }
    if (!module->previous.copy_path[0]) {
        if (undo_rollback()) {
            hold_fault(fault, module, window);
        } else {
            hold_unrestored(fault, module, window);
        }
        return;
    }
    // The previous build is called in this same frame.
    if (!roll_back(fault, module, window)) {
        return;
    }
    module_fault again = {};
    if (!call_running(&again, module, running, buffer, buffer_copy, input, frame_seconds,
                      services)) {
        *fault = again;
        if (undo_rollback()) {
            hold_fault(fault, module, window);
        } else {
            hold_unrestored(fault, module, window);
        }
    }
}

#define MARKER_COLOUR 0xFF00FFu
#define MARKER_EDGE 12
#define MARKER_LINE 7

static void fill_rows(back_buffer* buffer, u32 x0, u32 x1, u32 y0, u32 y1) {
    for (u32 y = y0; y < y1 && y < buffer->height; ++y) {
        u32* row = buffer->pixels + (u64)y * buffer->pitch;
        for (u32 x = x0; x < x1 && x < buffer->width; ++x) {
            row[x] = MARKER_COLOUR;
        }
    }
}

void draw_fault_marker(back_buffer* buffer) {
    u32 w = buffer->width;
    u32 h = buffer->height;
    if (!buffer->pixels || !w || !h) {
        return;
    }
    u32 edge = MARKER_EDGE;
    fill_rows(buffer, 0, w, 0, edge);
    fill_rows(buffer, 0, w, h > edge ? h - edge : 0, h);
    fill_rows(buffer, 0, edge, 0, h);
    fill_rows(buffer, w > edge ? w - edge : 0, w, 0, h);
    // The two diagonals, a few pixels thick, row by row.
    for (u32 y = 0; y < h; ++y) {
        i64 across = (i64)((u64)y * w / h);
        i64 ends[2] = {across, (i64)w - 1 - across};
        for (u32 i = 0; i < 2; ++i) {
            i64 from = ends[i] - MARKER_LINE / 2;
            i64 to = ends[i] + MARKER_LINE / 2 + 1;
            fill_rows(buffer, from < 0 ? 0 : (u32)from, to < 0 ? 0 : (u32)to, y, y + 1);
        }
    }
}

// Makes marked an image of buffer's size; false when its pixels can't be had.
static bool32 fit_marked(back_buffer* marked, const back_buffer* buffer) {
    if (marked->pixels && marked->width == buffer->width && marked->height == buffer->height) {
        return 1;
    }
    if (marked->memory) {
        pages_free(marked->memory, (u64)marked->allocated_pixels * 4);
    }
    fill_bytes(marked, 0, sizeof(*marked));
    void* memory = pages_allocate((u64)buffer->allocated_pixels * 4);
    if (!memory) {
        return 0;
    }
    *marked = *buffer;
    marked->memory = memory;
    marked->pixels = (u32*)memory + buffer->pitch;
    return 1;
}

void show_back_buffer(host_window* window, bool32 fault_held, const back_buffer* buffer,
                      back_buffer* marked) {
    if (!fault_held || !buffer->pixels || !buffer->width || !buffer->height ||
        !fit_marked(marked, buffer)) {
        window_show(window, buffer);
        return;
    }
    // Composed apart and shown in one copy, so the window never shows the
    // image without its marker and the pixels stay as the build left them.
    copy_bytes(marked->pixels, buffer->pixels, (u64)buffer->pitch * buffer->height * 4);
    draw_fault_marker(marked);
    window_show(window, marked);
}
