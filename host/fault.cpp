#include "host/fault.h"

#include "base/memory.h"

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
    default: return "exception";
    }
}

void call_module(module_fault* fault, module_state* module, host_window* window, i32* running,
                 back_buffer* buffer_copy, input_state* input, f32 frame_seconds,
                 platform_api* services) {
    if (fault->kind != FAULT_NONE && module->time != fault->build_time) {
        fault->kind = FAULT_NONE;
        window_set_title(window, WINDOW_TITLE);
    }
    if (!module->entry || fault->kind != FAULT_NONE) {
        return;
    }
    if (guarded_entry_call(fault, module->entry, running, buffer_copy, input, frame_seconds,
                           services, &module->slot)) {
        return;
    }
    fault->build_time = module->time;
    fault_title(fault, module->library);
    window_set_title(window, fault->title);
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

// "main.dll+0x1A2B", or the bare address outside every library.
static void append_place(title_text* title, u64 address, void* library) {
    char holder_name[64];
    u64 base = fault_address_holder(address, library, holder_name, sizeof(holder_name));
    if (base) {
        append(title, holder_name);
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

void fault_title(module_fault* fault, void* library) {
    title_text title = {fault->title, 0, sizeof(fault->title)};
    char code[32];
    fault_code_text(fault->code, code, sizeof(code));
    append(&title, WINDOW_TITLE " - fault: ");
    append(&title, fault_name(fault->kind));
    append(&title, " (");
    append(&title, code);
    append(&title, ")");
    if (fault->kind == FAULT_ACCESS_VIOLATION) {
        append(&title, access_words(fault->access));
        append_hex(&title, fault->target, 1);
    }
    append(&title, " at ");
    append_place(&title, fault->address, library);
    if (fault->caller) {
        append(&title, " called from ");
        append_place(&title, fault->caller, library);
    }
    append(&title, " - rebuild to resume");
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

void show_back_buffer(host_window* window, const module_fault* fault, const back_buffer* buffer,
                      back_buffer* marked) {
    if (fault->kind == FAULT_NONE || !buffer->pixels || !buffer->width || !buffer->height ||
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
