// Surviving a fault inside the module's entry.
//
// A half-finished edit that dereferences null must not end the session. The
// host calls entry through call_module: when the call raises a processor
// fault (access violation, illegal instruction, division by zero, a trapped
// floating-point operation, a breakpoint with no debugger, a stack overflow)
// the thread is sent back to the point just after the call, the
// floating-point control word is put back as it was before the call, and the
// build is marked as faulted. The host then stops calling that build, names
// the fault in the window title and draws a marker over the image, until a
// new build is loaded; that build is called again with everything the host
// owns (slot, input, back buffer, running flag) untouched.
//
// Handlers of the module's own (or of the system's, for example in
// IsBadReadPtr) get the fault first; only a fault nobody handles stops the
// build. With a debugger attached nothing is caught: faults and debug_break
// reach the debugger as usual.
#ifndef HOST_FAULT_WIN32_H
#define HOST_FAULT_WIN32_H

#include <windows.h>

#include "host/back_buffer_win32.h"
#include "host/module_win32.h"
#include "input/input.h"
#include "platform/platform_api.h"

// What the last fault left; code 0 while the loaded build has not faulted.
typedef struct module_fault {
    u32 code;            // the exception code
    u64 address;         // where it was raised
    u64 access;          // access violations: 0 read, 1 write, 8 execute
    u64 target;          // access violations: the address that was accessed
    u64 caller;          // a call through a bad pointer: the return address
    u64 build_time;      // module_state.time of the build that faulted
    char title[192];     // the window title naming the fault
    char host_title[64]; // the title it replaced, put back for the next build
} module_fault;

// Installs the handlers. Once, at start-up, on the thread that calls entry.
void fault_handling_start(void);

// Calls module->entry with the frame's arguments unless the loaded build has
// faulted. A newly loaded build clears the fault and the title. After a
// fault the window title names it; see fault_title.
void call_module(module_fault* fault, module_state* module, HWND window, i32* running,
                 back_buffer* buffer_copy, input_state* input, f32 frame_seconds,
                 platform_api* services);

// Blits the back buffer as every frame does; while a fault is held, with a
// marker over the image (a magenta frame and cross), composed off screen so
// the window never shows the one without the other. The pixels are not
// touched: the next build finds the image as the faulted one left it.
void show_back_buffer(const module_fault* fault, back_buffer* buffer, BITMAPINFO* header,
                      HDC device_context);

// The title for a fault, for example
// "Engine - fault: access violation (0xC0000005) writing 0x0 at main.dll+0x1A2B - rebuild to resume".
// module_base is the loaded build's handle; other addresses are named by the
// module that holds them, or given whole.
void fault_title(module_fault* fault, HMODULE module_base);

// The fault's name ("access violation", "stack overflow", ...), or
// "exception" for a code without one.
const char* fault_name(u32 code);

// Calls entry with the arguments through the fault guard: returns 1 when the
// call returned, 0 when a fault sent it back (fault then holds what it was).
// Apart from call_module for the benchmark and tests.
bool32 guarded_entry_call(module_fault* fault, module_entry* entry, i32* running,
                          back_buffer* buffer_copy, input_state* input, f32 frame_seconds,
                          platform_api* services, void** module_slot);

#endif
