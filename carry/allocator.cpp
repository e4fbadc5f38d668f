#include "carry/allocator.h"

// A Linux program without the hooks (the unit tests, the benchmarks of the
// core) routes nothing: these give way to the hooks where the host links
// them (allocator_linux.cpp). Windows always has its own
// (allocator_win32.cpp), which act only when told to.
#define HOOKABLE __attribute__((weak))
HOOKABLE void allocator_route_image(const void* base, u64 size) {
    (void)base;
    (void)size;
}

HOOKABLE void allocator_route_loading(const char* path) { (void)path; }

HOOKABLE bool32 allocator_hooked(void) { return 0; }

HOOKABLE u32 allocator_module_threads(void) { return 0; }

HOOKABLE void allocator_route_exits(const void* base, u64 size) {
    (void)base;
    (void)size;
}

// The exported hooks (exit_linux.cpp) are always in place.
void allocator_exits_loading(bool32 loading) { (void)loading; }
