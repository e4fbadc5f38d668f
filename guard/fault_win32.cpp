#include <windows.h>

#include <float.h>
#include <malloc.h>
#include <signal.h>
#include <stdio.h>

#include "engine/base/fatal.h"
#include "guard/alignment_check.h"
#include "guard/fault.h"
#include "guard/build_name.h"
#include "platform/system.h"

// How the guard works: call_with_resume_point captures its own context just
// before it calls entry. A fault during the call is sent back there by
// rewriting the faulting thread's context: the captured context, unwound by
// one frame, is the state right after call_with_resume_point returns, with 0
// as its result. Only the stack below that frame is abandoned.
static CONTEXT resume_context;
static volatile LONG call_in_progress;
static DWORD host_thread;
static module_fault* recording;
// A host function (the loader) is in progress rather than entry.
static volatile LONG host_call_in_progress;
static LPTOP_LEVEL_EXCEPTION_FILTER previous_filter;

// abort() in the module, turned into an exception the guard catches
// (on_abort): the code Windows gives a program ended by a fatal exit.
#define ABORT_EXCEPTION 0x40000015u
// The module's exit (fault_leave_for_exit), raised as an exception of our
// own so that it leaves a call the way a fault does.
#define EXIT_EXCEPTION 0xE0455849u

// Processor faults that a bug in the module raises, and its abort(). Other
// codes (debugger output, C++ exceptions, thread names) are raised and
// handled on purpose.
static bool is_processor_fault(u32 code) {
    switch (code) {
    case ABORT_EXCEPTION:
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

static fault_kind fault_kind_of(u32 code) {
    switch (code) {
    case EXCEPTION_ACCESS_VIOLATION: return FAULT_ACCESS_VIOLATION;
    case EXCEPTION_ILLEGAL_INSTRUCTION: return FAULT_ILLEGAL_INSTRUCTION;
    case EXCEPTION_PRIV_INSTRUCTION: return FAULT_PRIVILEGED_INSTRUCTION;
    case EXCEPTION_INT_DIVIDE_BY_ZERO: return FAULT_INTEGER_DIVIDE;
    case EXCEPTION_INT_OVERFLOW: return FAULT_INTEGER_OVERFLOW;
    case EXCEPTION_FLT_DIVIDE_BY_ZERO: return FAULT_FLOAT_DIVIDE;
    case EXCEPTION_FLT_INVALID_OPERATION: return FAULT_FLOAT_INVALID;
    case EXCEPTION_FLT_OVERFLOW: return FAULT_FLOAT_OVERFLOW;
    case EXCEPTION_FLT_UNDERFLOW: return FAULT_FLOAT_UNDERFLOW;
    case EXCEPTION_FLT_DENORMAL_OPERAND: return FAULT_FLOAT_DENORMAL;
    case EXCEPTION_FLT_INEXACT_RESULT: return FAULT_FLOAT_INEXACT;
    case EXCEPTION_FLT_STACK_CHECK: return FAULT_FLOAT_STACK;
    case STATUS_FLOAT_MULTIPLE_FAULTS: return FAULT_FLOAT_MULTIPLE_FAULTS;
    case STATUS_FLOAT_MULTIPLE_TRAPS: return FAULT_FLOAT_MULTIPLE_TRAPS;
    case EXCEPTION_BREAKPOINT: return FAULT_BREAKPOINT;
    case EXCEPTION_STACK_OVERFLOW: return FAULT_STACK_OVERFLOW;
    case EXCEPTION_DATATYPE_MISALIGNMENT: return FAULT_MISALIGNMENT;
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED: return FAULT_BOUNDS;
    case EXCEPTION_IN_PAGE_ERROR: return FAULT_IN_PAGE;
    case ABORT_EXCEPTION: return FAULT_ABORT;
    default: return FAULT_OTHER;
    }
}

// ud2, what fatal_stop compiles to. The processor decoded both bytes to
// reject them, so they can be read.
static fault_kind classify(u32 code, const void* address) {
    fault_kind kind = fault_kind_of(code);
    const u8* at = (const u8*)address;
    if (kind == FAULT_ILLEGAL_INSTRUCTION && at && at[0] == 0x0F && at[1] == 0x0B) {
        return FAULT_BROKEN_INVARIANT;
    }
    return kind;
}

// Whether this exception interrupted the module's call on the host's thread
// and is ours to catch: a debugger, when present, decides instead.
static bool during_module_call(void) {
    return call_in_progress && GetCurrentThreadId() == host_thread && !IsDebuggerPresent();
}

bool32 guard_call_in_progress_here(void) {
    return call_in_progress && GetCurrentThreadId() == host_thread;
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
// stands between the fault and call_with_resume_point: then the usual dispatch
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

static void record_exception(module_fault* fault, EXCEPTION_POINTERS* pointers) {
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    fault->code = record->ExceptionCode;
    fault->kind = classify(fault->code, record->ExceptionAddress);
    fault->address = (u64)record->ExceptionAddress;
    fault->access = record->NumberParameters >= 2 ? record->ExceptionInformation[0] : 0;
    fault->target = record->NumberParameters >= 2 ? record->ExceptionInformation[1] : 0;
    // Jumping to a bad address says nothing about where from; the call that
    // went there has just pushed its return address.
    bool bad_call = fault->kind == FAULT_ACCESS_VIOLATION && fault->access == FAULT_ACCESS_EXECUTE &&
                    fault->target == fault->address;
    u64 stack = pointers->ContextRecord->Rsp;
    fault->caller = bad_call && stack < resume_context.Rsp ? *(u64*)stack : 0;
}

// Rewrites the thread's context so that it carries on as if
// call_with_resume_point had returned 0.
static void resume_after_call(EXCEPTION_POINTERS* pointers) {
    static CONTEXT resume;
    resume = resume_context;
    DWORD64 image_base = 0;
    PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(resume.Rip, &image_base, NULL);
    // call_with_resume_point makes a call, so it has unwind data; never a leaf.
    fatal_assert(function != NULL);
    void* handler_data = NULL;
    DWORD64 establisher = 0;
    RtlVirtualUnwind(UNW_FLAG_NHANDLER, image_base, resume.Rip, function, &resume, &handler_data,
                     &establisher, NULL);
    resume.Rax = 0;
    call_in_progress = 0;
    *pointers->ContextRecord = resume;
}

// Records the fault and leaves the call.
static void send_back(EXCEPTION_POINTERS* pointers) {
    record_exception(recording, pointers);
    resume_after_call(pointers);
}

// Set while a fault of the module's is being sent back: a fault in that
// stretch is the host's own.
static volatile LONG handling;

// A fault inside the handler itself: said plainly on standard error, and
// left to the system, which ends the process.
static void handler_faulted(EXCEPTION_POINTERS* pointers) {
    char line[160];
    char code[16];
    fault_code_text(pointers->ExceptionRecord->ExceptionCode, code, sizeof(code));
    int length = snprintf(line, sizeof(line),
                          "Engine: %s inside the host's own fault handling, at address %p; "
                          "the host ends\n",
                          code, pointers->ExceptionRecord->ExceptionAddress);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), line, (DWORD)length, &written, NULL);
}

extern "C" LONG CALLBACK engine_first_chance(EXCEPTION_POINTERS* pointers) {
    if (handling && GetCurrentThreadId() == host_thread) {
        handler_faulted(pointers);
        return EXCEPTION_CONTINUE_SEARCH;
    }
    u32 code = pointers->ExceptionRecord->ExceptionCode;
    // The module's exit, recorded already, leaves even under a debugger and
    // past the module's own handlers (nothing may come back from it); only
    // the loader, when it called the module, fails its load first.
    if (code == EXIT_EXCEPTION && call_in_progress && GetCurrentThreadId() == host_thread) {
        if (host_call_in_progress && handler_between(pointers->ContextRecord)) {
            return EXCEPTION_CONTINUE_SEARCH;
        }
        handling = 1;
        resume_after_call(pointers);
        handling = 0;
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    if (!during_module_call() || !is_processor_fault(code)) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    // An overflowed stack leaves no room for the usual dispatch.
    if (code != EXCEPTION_STACK_OVERFLOW && handler_between(pointers->ContextRecord)) {
        // The loader catches a fault in DllMain itself and fails the load,
        // unmapping the library: what it was is named now.
        if (host_call_in_progress) {
            record_exception(recording, pointers);
            recording->holder_base = fault_address_holder(
                recording->address, NULL, recording->holder, sizeof(recording->holder));
        }
        return EXCEPTION_CONTINUE_SEARCH;
    }
    handling = 1;
    send_back(pointers);
    handling = 0;
    return EXCEPTION_CONTINUE_EXECUTION;
}

// What the system calls first clears the alignment-check flag (the module
// may have set it) before any code of the handler runs.
extern "C" LONG CALLBACK engine_first_chance_entry(EXCEPTION_POINTERS* pointers);
__asm__(".text\n"
        ".p2align 4\n"
        ".def engine_first_chance_entry; .scl 3; .type 32; .endef\n"
        "engine_first_chance_entry:\n" ALIGNMENT_CHECK_TRAMPOLINE("engine_first_chance"));

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

// The C runtime's abort() raises SIGABRT and then ends the process. During
// the module's call the signal becomes an exception instead, which the guard
// catches like any fault; otherwise abort() goes on as usual. The runtime
// resets the handler before each call, so it is set again each time.
static void on_abort(int signal_number) {
    if (during_module_call()) {
        ::signal(signal_number, on_abort);
        RaiseException(ABORT_EXCEPTION, EXCEPTION_NONCONTINUABLE, 0, NULL);
    }
}

// Stack kept free for the handler when the module overflows the stack.
#define STACK_GUARANTEE (32 * 1024)

void fault_handling_start(void) {
    host_thread = GetCurrentThreadId();
    ULONG guarantee = STACK_GUARANTEE;
    SetThreadStackGuarantee(&guarantee);
    AddVectoredExceptionHandler(1, engine_first_chance_entry);
    previous_filter = SetUnhandledExceptionFilter(unhandled);
    ::signal(SIGABRT, on_abort);
}

// Puts back what the fault may have left half-changed on the host's side.
static void restore_after_fault(fault_kind kind, unsigned int float_word) {
    _clearfp();
    _control87(float_word, FLOAT_EXCEPTION_MASKS | _MCW_RC);
    if (kind == FAULT_STACK_OVERFLOW) {
        // The guard page went with the overflow; without it the next one
        // would run past the stack.
        _resetstkoflw();
    }
}

// Not inlined: the resume point is the return from this function's own
// frame. For a host function, the loader running a library's DllMain,
// constructors and destructors (host 1), or a call of the module (host 0).
__declspec(noinline) static bool32 host_call_with_resume_point(module_fault* fault,
                                                               host_function* function,
                                                               void* argument, LONG host) {
    recording = fault;
    RtlCaptureContext(&resume_context);
    call_in_progress = 1;
    host_call_in_progress = host;
    function(argument);
    clear_alignment_check();
    host_call_in_progress = 0;
    call_in_progress = 0;
    volatile bool32 returned = 1;
    return returned;
}

bool32 guarded_host_call(module_fault* fault, host_function* function, void* argument) {
    fault->kind = FAULT_NONE;
    unsigned int float_word = _control87(0, 0);
    if (host_call_with_resume_point(fault, function, argument, 1)) {
        _clearfp();
        _control87(float_word, FLOAT_EXCEPTION_MASKS | _MCW_RC);
        return 1;
    }
    host_call_in_progress = 0;
    restore_after_fault(fault->kind, float_word);
    return 0;
}

// The module's floating-point state stays its own, as after entry.
bool32 guarded_module_call(module_fault* fault, host_function* function, void* argument) {
    unsigned int float_word = _control87(0, 0);
    if (host_call_with_resume_point(fault, function, argument, 0)) {
        return 1;
    }
    restore_after_fault(fault->kind, float_word);
    return 0;
}

void fault_leave_for_exit(u32 call, i32 status, u64 address) {
    if (!call_in_progress || GetCurrentThreadId() != host_thread) {
        return;
    }
    fault_set_exit(recording, call, status, address);
    // A build that exits as it loads is gone by the time it is named.
    if (host_call_in_progress) {
        recording->holder_base = fault_address_holder(address, NULL, recording->holder,
                                                      sizeof(recording->holder));
    }
    RaiseException(EXIT_EXCEPTION, EXCEPTION_NONCONTINUABLE, 0, NULL);
    fatal_stop();
}

bool32 fault_on_host_thread(void) { return host_thread && GetCurrentThreadId() == host_thread; }

void fault_code_text(u32 code, char* out, u32 capacity) {
    static const char digits[] = "0123456789ABCDEF";
    char text[11] = "0x";
    for (u32 i = 0; i < 8; ++i) {
        text[2 + i] = digits[(code >> (28 - 4 * i)) & 15];
    }
    text[10] = 0;
    u32 at = 0;
    for (; capacity && at + 1 < capacity && text[at]; ++at) {
        out[at] = text[at];
    }
    if (capacity) {
        out[at] = 0;
    }
}

// The file name of the module holding address and its base, or 0.
u64 fault_address_holder(u64 address, void* library, char* name, u32 capacity) {
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
    if (holder == (HMODULE)library) {
        // The host runs a copy; the programmer knows the build by its own name.
        file = MODULE_NAME;
    } else if (GetModuleFileNameA(holder, path, sizeof(path))) {
        for (const char* at = path; *at; ++at) {
            if (*at == '\\' || *at == '/') {
                file = at + 1;
            }
        }
        if (is_build_copy_name(file)) {
            file = MODULE_NAME;
        }
    }
    u32 at = 0;
    for (; at + 1 < capacity && file[at]; ++at) {
        name[at] = file[at];
    }
    if (capacity) {
        name[at] = 0;
    }
    return (u64)holder;
}
