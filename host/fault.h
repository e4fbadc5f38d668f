// Surviving a fault inside the module's entry, its start-up and its shut-down.
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
// While the last good build is kept (see reload.h), a fault in the build
// that replaced it rolls back instead: the faulted build is unloaded, the
// frame's writes are undone (undo.h), and the previous build is loaded again
// from its copy and called in the same frame and from then on. A frame that
// can't be fully undone is said so in the title, and no build is called on
// that memory until a new one loads. Loading and unloading run through the same guard,
// so a fault in a constructor, DllMain or a destructor is survived too.
//
// The window titles, one per event:
//  - a fault with no previous build to go back to (no marker otherwise):
//    "Engine - fault: access violation (0xC0000005) writing 0x0 at main.dll+0x1A2B - rebuild to resume"
//  - a fault in the build on probation, the previous one running again:
//    "Engine - fault in the new build: access violation (SIGSEGV) writing 0x0 at main.so+0x1A2B - running the previous build"
//  - a new build that did not load (the running build, if any, carries on):
//    "Engine - the new build did not load: <reason> - rebuild to retry", the
//    reason one of "missing library libfoo.so", "start-up routine failed",
//    "fault in start-up: <fault as above>", "no entry export", or the
//    system's own words;
//  - a fault in an old build's destructors while it was unloaded:
//    "Engine - fault while unloading the old build: <fault as above>".
// A fatal stop of the base library (ud2) is named "broken invariant";
// abort() in the module, and a C++ exception that leaves entry (which ends
// in abort), "abort".
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
    FAULT_BROKEN_INVARIANT,  // a fatal stop (ud2), not some other illegal instruction
    FAULT_ABORT,             // abort(), and so a C++ exception nothing caught
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
    u64 build_time;      // the stamp of the build that faulted
    // The library holding address, named when the fault was seen: a build
    // that failed to load is gone by the time its title is made.
    u64 holder_base;
    char holder[64];
    char title[MODULE_TITLE_CAPACITY];  // the window title naming the fault
} module_fault;

// The fault's name ("access violation", "stack overflow", ...), or
// "exception" for FAULT_OTHER.
const char* fault_name(fault_kind kind);

// Shows the title a load event left, then calls the running build's entry
// with a fresh copy of the back buffer record, unless that build faulted.
// A fault rolls back to the previous build, which is called at once, or,
// with none, is held: the build is not called again until a new one loads.
void call_module(module_fault* fault, module_state* module, host_window* window, i32* running,
                 const back_buffer* buffer, back_buffer* buffer_copy, input_state* input,
                 f32 frame_seconds, platform_api* services);

// Shows the back buffer; while a fault is held, a copy of it with a marker
// (a magenta frame and cross) composed in `marked`, so the pixels the next
// build finds are as the faulted one left them.
void show_back_buffer(host_window* window, bool32 fault_held, const back_buffer* buffer,
                      back_buffer* marked);

// The title for a fault, for example
// "Engine - fault: access violation (0xC0000005) writing 0x0 at main.dll+0x1A2B - rebuild to resume".
// library is the loaded build; addresses are named by the library that
// holds them, the build by the module file's own name, or given whole.
void fault_title(module_fault* fault, void* library);

// The fault in the title's words, without "Engine - ": "access violation
// (SIGSEGV) writing 0x0 at main.so+0x1A2B".
void describe_fault(const module_fault* fault, void* library, char* out, u32 capacity);

// The title after a rollback (see above), into fault->title.
void rollback_title(module_fault* fault, void* library);

// The title when the faulting frame could not be undone (a block's place
// taken, no memory for a copy), into fault->title: "Engine - fault: <fault>
// - module memory could not be put back as the frame found it".
void unrestored_title(module_fault* fault, void* library);

// The window title is the host's name, then what loop editing is doing,
// then the latest load or fault event:
// "Engine - loop 37/120 - fault: access violation ...". Without loop editing
// it is the event's title as above. A null window (headless) has none.
//
// An event's title, beginning with "Engine".
void title_show_event(host_window* window, const char* title);
// What loop editing is doing ("recording", "loop 37/120"); "" while live.
void title_show_loop(host_window* window, const char* state);

// "Engine - the new build did not load: <reason> - rebuild to retry".
void load_failure_title(char* out, u32 capacity, const char* reason);

// "Engine - fault while unloading the old build: <fault>".
void unload_fault_title(char* out, u32 capacity, const module_fault* fault);

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

// Calls a host function (loading or unloading a library) through the same
// guard: 1 when it returned, 0 when a fault sent it back, with fault as
// above. Where the system's loader catches a fault in the library's start-up
// or shut-down itself (Windows), the call returns and fault still holds what
// was seen; fault->kind is FAULT_NONE when nothing was.
typedef void host_function(void* argument);
bool32 guarded_host_call(module_fault* fault, host_function* function, void* argument);

// The system's code in the title's words: "0xC0000005", "SIGSEGV".
void fault_code_text(u32 code, char* out, u32 capacity);

// The file name (without directory) of the library holding address, and its
// base; 0 when no library holds it. The loaded build, and every copy of a
// build, is named MODULE_NAME.
u64 fault_address_holder(u64 address, void* library, char* name, u32 capacity);

#endif
