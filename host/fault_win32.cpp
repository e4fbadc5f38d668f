#include "host/fault_win32.h"

#include <float.h>
#include <malloc.h>

#include "base/fatal.h"
#include "platform/system_win32.h"

// How the guard works: guarded_entry_call captures its own context just
// before it calls entry. A fault during the call is sent back there by
// rewriting the faulting thread's context: the captured context, unwound by
// one frame, is the state right after guarded_entry_call returns, with 0 as
// its result. Only the stack below that frame is abandoned.
static CONTEXT resume_context;
static volatile LONG call_in_progress;
static DWORD host_thread;
static module_fault* recording;
static LPTOP_LEVEL_EXCEPTION_FILTER previous_filter;

// Processor faults that a bug in the module raises. Other codes (debugger
// output, C++ exceptions, thread names) are raised and handled on purpose.
static bool is_processor_fault(u32 code) {
    switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_OVERFLOW:
    case EXCEPTION_FLT_UNDERFLOW:
    case EXCEPTION_FLT_DENORMAL_OPERAND:
    case EXCEPTION_FLT_INEXACT_RESULT:
    case EXCEPTION_FLT_STACK_CHECK:
    case STATUS_FLOAT_MULTIPLE_FAULTS:
    case STATUS_FLOAT_MULTIPLE_TRAPS:
    case EXCEPTION_BREAKPOINT:
    case EXCEPTION_STACK_OVERFLOW:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_IN_PAGE_ERROR:
        return true;
    default:
        return false;
    }
}

const char* fault_name(u32 code) {
    switch (code) {
    case EXCEPTION_ACCESS_VIOLATION: return "access violation";
    case EXCEPTION_ILLEGAL_INSTRUCTION: return "illegal instruction";
    case EXCEPTION_PRIV_INSTRUCTION: return "privileged instruction";
    case EXCEPTION_INT_DIVIDE_BY_ZERO: return "integer division by zero";
    case EXCEPTION_INT_OVERFLOW: return "integer overflow";
    case EXCEPTION_FLT_DIVIDE_BY_ZERO: return "float division by zero";
    case EXCEPTION_FLT_INVALID_OPERATION: return "float invalid operation";
    case EXCEPTION_FLT_OVERFLOW: return "float overflow";
    case EXCEPTION_FLT_UNDERFLOW: return "float underflow";
    case EXCEPTION_FLT_DENORMAL_OPERAND: return "float denormal operand";
    case EXCEPTION_FLT_INEXACT_RESULT: return "float inexact result";
    case EXCEPTION_FLT_STACK_CHECK: return "float stack check";
    case STATUS_FLOAT_MULTIPLE_FAULTS: return "float multiple faults";
    case STATUS_FLOAT_MULTIPLE_TRAPS: return "float multiple traps";
    case EXCEPTION_BREAKPOINT: return "breakpoint";
    case EXCEPTION_STACK_OVERFLOW: return "stack overflow";
    case EXCEPTION_DATATYPE_MISALIGNMENT: return "datatype misalignment";
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED: return "array bounds exceeded";
    case EXCEPTION_IN_PAGE_ERROR: return "in-page error";
    default: return "exception";
    }
}

// Whether this exception interrupted the module's call on the host's thread
// and is ours to catch: a debugger, when present, decides instead.
static bool during_module_call(void) {
    return call_in_progress && GetCurrentThreadId() == host_thread && !IsDebuggerPresent();
}

static bool within(u64 value, u64 low, u64 high) { return value >= low && value < high; }

// GCC takes the segment-relative read in NtCurrentTeb for an out-of-bounds
// array access.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
#endif
static void* thread_frame_list(void) { return ((NT_TIB*)NtCurrentTeb())->ExceptionList; }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

// Whether a handler of the module's own, or of a system function it called,
// stands between the fault and guarded_entry_call: then the usual dispatch
// goes first, and the unhandled-exception filter catches what it leaves.
// Walks the frames with the unwind tables; a frame that cannot be walked
// (corrupt stack, code without tables) means nobody could handle it.
static bool handler_between(const CONTEXT* fault_context) {
    static CONTEXT walk;
    walk = *fault_context;
    u64 low = walk.Rsp;
    u64 high = resume_context.Rsp;
    // The system's own guarded regions (Wine keeps them in the thread's
    // frame list) count when they were pushed during the call.
    if (within((u64)thread_frame_list(), low, high)) {
        return true;
    }
    for (u32 depth = 0; depth < 4096; ++depth) {
        if (!within(walk.Rsp, low, high)) {
            return false;
        }
        DWORD64 image_base = 0;
        PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(walk.Rip, &image_base, NULL);
        u64 previous = walk.Rsp;
        if (!function) {
            // A leaf: its return address is at the stack pointer.
            walk.Rip = *(DWORD64*)walk.Rsp;
            walk.Rsp += 8;
            continue;
        }
        const u8* unwind = (const u8*)(image_base + function->UnwindData);
        u32 frame_register = unwind[3] & 0x0F;
        if (frame_register && !within((&walk.Rax)[frame_register], low, high)) {
            return false;
        }
        void* handler_data = NULL;
        DWORD64 establisher = 0;
        if (RtlVirtualUnwind(UNW_FLAG_EHANDLER, image_base, walk.Rip, function, &walk,
                             &handler_data, &establisher, NULL)) {
            return within(establisher, low, high);
        }
        if (walk.Rsp <= previous) {
            return false;
        }
    }
    return false;
}

// Records the fault and rewrites the thread's context so that it carries on
// as if guarded_entry_call had returned 0.
static void send_back(EXCEPTION_POINTERS* pointers) {
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    module_fault* fault = recording;
    fault->code = record->ExceptionCode;
    fault->address = (u64)record->ExceptionAddress;
    fault->access = record->NumberParameters >= 2 ? record->ExceptionInformation[0] : 0;
    fault->target = record->NumberParameters >= 2 ? record->ExceptionInformation[1] : 0;
    // Jumping to a bad address says nothing about where from; the call that
    // went there has just pushed its return address.
    bool bad_call = fault->code == EXCEPTION_ACCESS_VIOLATION && fault->access == 8 &&
                    fault->target == fault->address;
    u64 stack = pointers->ContextRecord->Rsp;
    fault->caller = bad_call && stack < resume_context.Rsp ? *(u64*)stack : 0;

    static CONTEXT resume;
    resume = resume_context;
    DWORD64 image_base = 0;
    PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(resume.Rip, &image_base, NULL);
    // guarded_entry_call makes a call, so it has unwind data; never a leaf.
    fatal_assert(function != NULL);
    void* handler_data = NULL;
    DWORD64 establisher = 0;
    RtlVirtualUnwind(UNW_FLAG_NHANDLER, image_base, resume.Rip, function, &resume, &handler_data,
                     &establisher, NULL);
    resume.Rax = 0;
    call_in_progress = 0;
    *pointers->ContextRecord = resume;
}

static LONG CALLBACK first_chance(EXCEPTION_POINTERS* pointers) {
    u32 code = pointers->ExceptionRecord->ExceptionCode;
    if (!during_module_call() || !is_processor_fault(code)) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    // An overflowed stack leaves no room for the usual dispatch.
    if (code != EXCEPTION_STACK_OVERFLOW && handler_between(pointers->ContextRecord)) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    send_back(pointers);
    return EXCEPTION_CONTINUE_EXECUTION;
}

static LONG WINAPI unhandled(EXCEPTION_POINTERS* pointers) {
    if (!during_module_call()) {
        return previous_filter ? previous_filter(pointers) : EXCEPTION_CONTINUE_SEARCH;
    }
    send_back(pointers);
    // The dispatch refuses to continue from these; leave it behind instead.
    if (pointers->ExceptionRecord->ExceptionFlags & EXCEPTION_NONCONTINUABLE) {
        RtlRestoreContext(pointers->ContextRecord, NULL);
    }
    return EXCEPTION_CONTINUE_EXECUTION;
}

// Stack kept free for the handler when the module overflows the stack.
#define STACK_GUARANTEE (32 * 1024)

void fault_handling_start(void) {
    host_thread = GetCurrentThreadId();
    ULONG guarantee = STACK_GUARANTEE;
    SetThreadStackGuarantee(&guarantee);
    AddVectoredExceptionHandler(1, first_chance);
    previous_filter = SetUnhandledExceptionFilter(unhandled);
}

// Not inlined: the resume point is the return from this function's own frame.
__declspec(noinline) bool32 guarded_entry_call(module_fault* fault, module_entry* entry,
                                               i32* running, back_buffer* buffer_copy,
                                               input_state* input, f32 frame_seconds,
                                               platform_api* services, void** module_slot) {
    recording = fault;
    RtlCaptureContext(&resume_context);
    call_in_progress = 1;
    entry(0, 0, running, buffer_copy, input, frame_seconds, services, module_slot);
    call_in_progress = 0;
    return 1;
}

// Puts back what the fault may have left half-changed on the host's side.
static void restore_after_fault(const module_fault* fault, unsigned int float_word) {
    _clearfp();
    _control87(float_word, FLOAT_EXCEPTION_MASKS | _MCW_RC);
    if (fault->code == EXCEPTION_STACK_OVERFLOW) {
        // The guard page went with the overflow; without it the next one
        // would run past the stack.
        _resetstkoflw();
    }
}

void call_module(module_fault* fault, module_state* module, HWND window, i32* running,
                 back_buffer* buffer_copy, input_state* input, f32 frame_seconds,
                 platform_api* services) {
    if (fault->code && module->time != fault->build_time) {
        fault->code = 0;
        SetWindowTextA(window, fault->host_title);
    }
    if (!module->entry || fault->code) {
        return;
    }
    unsigned int float_word = _control87(0, 0);
    if (guarded_entry_call(fault, module->entry, running, buffer_copy, input, frame_seconds,
                           services, &module->slot)) {
        return;
    }
    restore_after_fault(fault, float_word);
    fault->build_time = module->time;
    GetWindowTextA(window, fault->host_title, sizeof(fault->host_title));
    fault_title(fault, module->handle);
    SetWindowTextA(window, fault->title);
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

// The file name of the module holding address and its base, or 0.
static u64 holding_module(u64 address, HMODULE loaded, char* name, u32 capacity) {
    HMODULE holder = NULL;
    // A null address would name the executable.
    if (!address ||
        !GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            (LPCSTR)address, &holder) ||
        !holder) {
        return 0;
    }
    char path[MAX_PATH] = {0};
    const char* file = path;
    if (holder == loaded) {
        // The host runs a copy; the programmer knows the build by its own name.
        file = MODULE_NAME;
    } else if (GetModuleFileNameA(holder, path, sizeof(path))) {
        for (const char* at = path; *at; ++at) {
            if (*at == '\\' || *at == '/') {
                file = at + 1;
            }
        }
    }
    title_text out = {name, 0, capacity};
    append(&out, file);
    return (u64)holder;
}

// "main.dll+0x1A2B", or the bare address outside every module.
static void append_place(title_text* title, u64 address, HMODULE module_base) {
    char holder_name[64];
    u64 base = holding_module(address, module_base, holder_name, sizeof(holder_name));
    if (base) {
        append(title, holder_name);
        append(title, "+");
        append_hex(title, address - base, 1);
    } else {
        append_hex(title, address, 1);
    }
}

void fault_title(module_fault* fault, HMODULE module_base) {
    title_text title = {fault->title, 0, sizeof(fault->title)};
    append(&title, "Engine - fault: ");
    append(&title, fault_name(fault->code));
    append(&title, " (");
    append_hex(&title, fault->code, 8);
    append(&title, ")");
    if (fault->code == EXCEPTION_ACCESS_VIOLATION) {
        append(&title, fault->access == 1 ? " writing " : fault->access == 8 ? " executing " : " reading ");
        append_hex(&title, fault->target, 1);
    }
    append(&title, " at ");
    append_place(&title, fault->address, module_base);
    if (fault->caller) {
        append(&title, " called from ");
        append_place(&title, fault->caller, module_base);
    }
    append(&title, " - rebuild to resume");
}

#define MARKER_COLOUR RGB(255, 0, 255)
#define MARKER_EDGE 12
#define MARKER_LINE 7

// Draws the marker: a frame and a cross, a few one-pixel lines side by side.
static void draw_marker(HDC device_context, LONG w, LONG h) {
    // The device context's own brush and pen: nothing to create or free.
    HGDIOBJ old_brush = SelectObject(device_context, GetStockObject(DC_BRUSH));
    HGDIOBJ old_pen = SelectObject(device_context, GetStockObject(DC_PEN));
    SetDCBrushColor(device_context, MARKER_COLOUR);
    SetDCPenColor(device_context, MARKER_COLOUR);
    HBRUSH brush = (HBRUSH)GetStockObject(DC_BRUSH);
    RECT edges[4] = {{0, 0, w, MARKER_EDGE},
                     {0, h - MARKER_EDGE, w, h},
                     {0, 0, MARKER_EDGE, h},
                     {w - MARKER_EDGE, 0, w, h}};
    for (u32 i = 0; i < 4; ++i) {
        FillRect(device_context, &edges[i], brush);
    }
    for (LONG offset = -MARKER_LINE / 2; offset <= MARKER_LINE / 2; ++offset) {
        MoveToEx(device_context, offset, 0, NULL);
        LineTo(device_context, w + offset, h);
        MoveToEx(device_context, w + offset, 0, NULL);
        LineTo(device_context, offset, h);
    }
    SelectObject(device_context, old_brush);
    SelectObject(device_context, old_pen);
}

void show_back_buffer(const module_fault* fault, back_buffer* buffer, BITMAPINFO* header,
                      HDC device_context) {
    if (!fault->code || !buffer->width || !buffer->height) {
        blit_back_buffer(buffer, header, device_context);
        return;
    }
    // Composed off screen and shown in one copy, so the window never shows
    // the image without its marker. Made on the first fault, kept after.
    static HDC composed;
    static HBITMAP bitmap;
    static u32 width, height;
    if (!composed) {
        composed = CreateCompatibleDC(device_context);
    }
    if (!bitmap || width != buffer->width || height != buffer->height) {
        HBITMAP fresh = CreateCompatibleBitmap(device_context, (int)buffer->width,
                                               (int)buffer->height);
        if (!composed || !fresh) {
            blit_back_buffer(buffer, header, device_context);
            return;
        }
        SelectObject(composed, fresh);
        if (bitmap) {
            DeleteObject(bitmap);
        }
        bitmap = fresh;
        width = buffer->width;
        height = buffer->height;
    }
    blit_back_buffer(buffer, header, composed);
    draw_marker(composed, (LONG)width, (LONG)height);
    BitBlt(device_context, 0, 0, (int)width, (int)height, composed, 0, 0, SRCCOPY);
}
