// Surviving a fault inside the module's entry.
//
// A half-finished edit that dereferences null must not end the session. The
// host calls entry through call_module: when the call raises a processor
// fault (access violation, illegal instruction, division by zero, a trapped
// floating-point operation, a breakpoint with no debugger, a stack overflow)
// the thread is sent back to the point just after the call, the
// floating-point state is put back as it was before the call, and the build
// is marked as faulted. The host then stops calling that build, names the
// fault in the window title and shows a marker over the image, until a new
// build is loaded; that build is called with everything the host owns (slot,
// input, back buffer, running flag) untouched.
//
// Handlers of the module's own get the fault first where the system lets
// them (Windows: the module's exception handlers; POSIX: a signal handler
// the module installed stays installed only until the host's guard is). With
// a debugger attached nothing is caught: faults and debug_break reach the
// debugger as usual.
#ifndef HOST_FAULT_H
#define HOST_FAULT_H

#include "host/reload.h"

// What kind of fault a build raised, the same words on every system.
typedef enum fault_kind {
    FAULT_NONE,
    FAULT_ACCESS_VIOLATION,
    FAULT_ILLEGAL_INSTRUCTION,
    FAULT_PRIVILEGED_INSTRUCTION,
    FAULT_INTEGER_DIVIDE,
    FAULT_INTEGER_OVERFLOW,
    FAULT_FLOAT_DIVIDE,
    FAULT_FLOAT_INVALID,
    FAULT_FLOAT_OVERFLOW,
    FAULT_FLOAT_UNDERFLOW,
    FAULT_FLOAT_DENORMAL,
    FAULT_FLOAT_INEXACT,
    FAULT_FLOAT_STACK,
    FAULT_FLOAT_MULTIPLE_FAULTS,
    FAULT_FLOAT_MULTIPLE_TRAPS,
    FAULT_BREAKPOINT,
    FAULT_STACK_OVERFLOW,
    FAULT_MISALIGNMENT,
    FAULT_BOUNDS,
    FAULT_IN_PAGE,
    FAULT_BUS_ERROR,
    FAULT_OTHER,
} fault_kind;

// How an access violation touched memory.
#define FAULT_ACCESS_READ 0
#define FAULT_ACCESS_WRITE 1
#define FAULT_ACCESS_EXECUTE 8

// What the last fault left; kind FAULT_NONE while the loaded build has not
// faulted.
typedef struct module_fault {
    fault_kind kind;
    u32 code;            // the system's own: an exception code or a signal number
    u64 address;         // where it was raised
    u64 access;          // access violations: FAULT_ACCESS_*
    u64 target;          // access violations: the address that was accessed
    u64 caller;          // a call through a bad pointer: the return address
    u64 build_time;      // module_state.time of the build that faulted
    char title[192];     // the window title naming the fault
} module_fault;

// The fault's name ("access violation", "stack overflow", ...), or
// "exception" for FAULT_OTHER.
const char* fault_name(fault_kind kind);

// Calls module->entry with the frame's arguments unless the loaded build has
// faulted. A newly loaded build clears the fault and the title. After a
// fault the window title names it; see fault_title.
void call_module(module_fault* fault, module_state* module, host_window* window, i32* running,
                 back_buffer* buffer_copy, input_state* input, f32 frame_seconds,
                 platform_api* services);

// Shows the back buffer; while a fault is held, a copy of it with a marker
// (a magenta frame and cross) composed in `marked`, so the pixels the next
// build finds are as the faulted one left them.
void show_back_buffer(host_window* window, const module_fault* fault, const back_buffer* buffer,
                      back_buffer* marked);

// The title for a fault, for example
// "Engine - fault: access violation (0xC0000005) writing 0x0 at main.dll+0x1A2B - rebuild to resume".
// library is the loaded build; addresses are named by the library that
// holds them, the build by the module file's own name, or given whole.
void fault_title(module_fault* fault, void* library);

// Draws the marker into the image.
void draw_fault_marker(back_buffer* buffer);

// ---------------------------------------------------------------------------
// Each system's guard: fault_<os>.cpp.

// Installs the handlers. Once, at start-up, on the thread that calls entry.
void fault_handling_start(void);

// Calls entry with the arguments through the guard: returns 1 when the call
// returned, 0 when a fault sent it back, with fault holding what it was and
// the thread's floating-point state (and, after a stack overflow, its stack
// guard) put back as before the call.
bool32 guarded_entry_call(module_fault* fault, module_entry* entry, i32* running,
                          back_buffer* buffer_copy, input_state* input, f32 frame_seconds,
                          platform_api* services, void** module_slot);

// The system's code in the title's words: "0xC0000005", "SIGSEGV".
void fault_code_text(u32 code, char* out, u32 capacity);

// The file name (without directory) of the library holding address, and its
// base; 0 when no library holds it. The loaded build is named MODULE_NAME.
u64 fault_address_holder(u64 address, void* library, char* name, u32 capacity);

#endif
