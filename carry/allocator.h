// Which allocations are the module's. A module that keeps its whole state
// (engine/keep.h, ENGINE_KEEP_ALL) has its own calls of malloc, calloc,
// realloc, free, posix_memalign, aligned_alloc, memalign,
// malloc_usable_size, strdup, strndup and C++'s operator new and delete
// served by its heap (platform/heap.h); everything else (the host, the
// system's libraries, the C library allocating for itself) keeps the
// system's allocator. A free or realloc goes by the pointer: the heap's own
// to the heap, any other to the system, whoever calls.
//
// Its static destructors (and atexit handlers) are not run when its build
// goes, since the objects they would destroy live on in the next build.
//
// Each system hooks the calls its own way (allocator_<os>.cpp,
// exit_linux.cpp): Linux exports the functions from the host executable,
// which comes first in every library's symbol lookup; Windows binds the
// module's imports of the C runtime's (msvcrt.dll, the UCRT) to its own.
#ifndef CARRY_ALLOCATOR_H
#define CARRY_ALLOCATOR_H

#include "engine/base/types.h"

// Calls from code in [base, base + size) go to the heap: the running
// build's image, when it keeps its whole state. Null for none.
void allocator_route_image(const void* base, u64 size);

// While a build that keeps its whole state is being loaded (its
// constructors run): calls from the library loaded from path go to the
// heap, and its destructors are dropped. Null when the load is over.
void allocator_route_loading(const char* path);

// Whether the allocation calls can be routed here at all (the hooks are
// linked into this executable).
bool32 allocator_hooked(void);

// The module's exit, _exit, _Exit and quick_exit, whatever the build keeps:
// on the host's thread, while the host calls the module (entry,
// entry_sound, a build's start-up or shut-down), the call is left as a
// fault leaves it (guard/fault.h), with a FAULT_EXIT; the host decides what
// follows. A thread the module started ends instead of the process, said on
// standard error. Every other caller gets the C library's own. The running
// build is [base, base + size), null for none: set for every build once it
// is loaded (Windows binds its imports of the calls then).
void allocator_route_exits(const void* base, u64 size);

// Around every load (loading 1, then 0): Windows points the C runtimes'
// exports of the exit calls at the hooks, so the build's start-up's calls
// come there too. Nothing on Linux, where the hooks are always in place.
void allocator_exits_loading(bool32 loading);

// Threads the module's code started (pthread_create; on Windows also
// CreateThread and _beginthreadex) that still run. A build that keeps its
// whole state is not replaced while any does: it would run on in code the
// reload removes, on state being moved under it.
u32 allocator_module_threads(void);

#endif
