// The fault guard: calling into the module, or loading and unloading it,
// so that a processor fault (access violation, illegal instruction, division
// by zero, a trapped floating-point operation, a breakpoint with no
// debugger, a stack overflow, abort()), and the module's own call of exit
// and its kin (fault_leave_for_exit), sends the thread back to the point
// just after the call instead of ending the host, with the floating-point
// state put back and what the fault was in a module_fault. What the host
// does then (undo the frame, roll back, hold the build, name it in the
// title) is call_module's (host/call_module.h).
//
// Handlers of the module's own get the fault first where the system lets
// them (Windows: the module's exception handlers; POSIX: a signal handler
// the module installed stays installed only until the host's guard is). With
// a debugger attached nothing is caught on Windows: faults and debug_break
// reach the debugger as usual; gdb on Linux sees every signal first and
// passes it on.
#ifndef GUARD_FAULT_H
#define GUARD_FAULT_H

#include "engine/module.h"

#define FAULT_TITLE_CAPACITY 192

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
    FAULT_EXIT,              // the module called exit or its kin: code is the status
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
    u32 code;            // the system's own: an exception code or a signal number;
                         // FAULT_EXIT: the status the module gave
    u32 exit_call;       // FAULT_EXIT: which call (EXIT_CALL_*)
    u64 address;         // where it was raised
    u64 access;          // access violations: FAULT_ACCESS_*
    u64 target;          // access violations: the address that was accessed
    u64 caller;          // a call through a bad pointer: the return address
    u64 build_time;      // the stamp of the build that faulted
    // The library holding address, named when the fault was seen: a build
    // that failed to load is gone by the time its title is made.
    u64 holder_base;
    char holder[64];
    char title[FAULT_TITLE_CAPACITY];  // the window title naming the fault
} module_fault;

// The fault's name ("access violation", "stack overflow", ...), or
// "exception" for FAULT_OTHER.
const char* fault_name(fault_kind kind);

// The calls that end a program, as a FAULT_EXIT names them.
typedef enum exit_call {
    EXIT_CALL_EXIT,
    EXIT_CALL__EXIT,        // _exit
    EXIT_CALL__EXIT_UPPER,  // _Exit
    EXIT_CALL_QUICK_EXIT,
    EXIT_CALL_COUNT,
} exit_call;

// "exit", "_exit", "_Exit" or "quick_exit".
const char* exit_call_name(u32 call);

// Calls entry with the arguments through guarded_module_call (below).
bool32 guarded_entry_call(module_fault* fault, module_entry* entry, i32* running,
                          back_buffer* buffer_copy, input_state* input, f32 frame_seconds,
                          platform_api* services, void** module_slot);

// ---------------------------------------------------------------------------
// Each system's guard: fault_<os>.cpp (fault_linux.cpp, fault_win32.cpp).

// Installs the handlers. Once, at start-up, on the thread that calls entry.
void fault_handling_start(void);

// Calls a function that calls the module (entry, entry_sound) through the
// guard: returns 1 when it returned, 0 when a fault sent it back, with fault
// holding what it was and the thread's floating-point state (and, after a
// stack overflow, its stack guard) put back as before the call. The
// module's own floating-point state carries on from one such call to the
// next.
typedef void host_function(void* argument);
bool32 guarded_module_call(module_fault* fault, host_function* function, void* argument);

// Calls a host function (loading or unloading a library) through the same
// guard: 1 when it returned, 0 when a fault sent it back, with fault as
// above. Where the system's loader catches a fault in the library's start-up
// or shut-down itself (Windows), the call returns and fault still holds what
// was seen; fault->kind is FAULT_NONE when nothing was.
bool32 guarded_host_call(module_fault* fault, host_function* function, void* argument);

// The module called exit or its kin (carry/allocator.h's hooks), which
// never return. When a guarded call (module or host) is in progress on this
// thread, it is left as a fault leaves it, with a fault of kind FAULT_EXIT,
// the status as its code and address the place of the call, and this does
// not return. Otherwise it returns, and the caller decides.
void fault_leave_for_exit(u32 call, i32 status, u64 address);

// Whether this is the thread the guard calls the module on.
bool32 fault_on_host_thread(void);

// Fills in a FAULT_EXIT (both systems' guards).
void fault_set_exit(module_fault* fault, u32 call, i32 status, u64 address);
// Whether the calling thread is inside one of the calls above: the
// module's code, or a build's start-up or shut-down, may be running below.
bool32 guard_call_in_progress_here(void);

// The system's code in the title's words: "0xC0000005", "SIGSEGV".
void fault_code_text(u32 code, char* out, u32 capacity);

// The file name (without directory) of the library holding address, and its
// base; 0 when no library holds it. The loaded build, and every copy of a
// build, is named MODULE_NAME.
u64 fault_address_holder(u64 address, void* library, char* name, u32 capacity);

#endif
