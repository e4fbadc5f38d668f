#include "host/allocator.h"

// A program without the hooks (Windows so far, the unit tests, the
// benchmarks of the core) routes nothing: these give way to each system's
// hooks where they are linked (allocator_<os>.cpp).
#ifdef _WIN32
#define HOOKABLE
#else
#define HOOKABLE __attribute__((weak))
#endif
HOOKABLE void allocator_route_image(const void* base, u64 size) {
    (void)base;
    (void)size;
}

HOOKABLE void allocator_route_loading(const char* path) { (void)path; }

HOOKABLE bool32 allocator_hooked(void) { return 0; }
