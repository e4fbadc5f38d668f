// The allocation calls, exported from the host executable (its link names
// them in a dynamic list): the dynamic linker looks in the executable first,
// so every library's malloc, the module's included, comes here. A call is
// the module's when it comes from the running build's code, or from the
// shared C++ runtime while the module's call runs on the host's thread
// (std::to_string, a string's operator+ and the like allocate from inside
// libstdc++.so); the system's own allocator is glibc's, under its __libc_
// names.
#include "carry/allocator.h"

#include <dlfcn.h>
#include <errno.h>
#include <link.h>
#include <new>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "carry/bad_alloc.h"
#include "guard/fault.h"
#include "platform/heap.h"

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* pointer);
}

static u64 route_base;
static u64 route_size;
static const char* volatile loading_path;

// The code of the shared C++ runtime's libraries, found when routing starts.
#define RUNTIME_RANGES 8
static u64 runtime_start[RUNTIME_RANGES];
static u64 runtime_end[RUNTIME_RANGES];
static u32 runtime_count;

static bool is_runtime(const char* path) {
    const char* name = strrchr(path, '/');
    name = name ? name + 1 : path;
    return strncmp(name, "libstdc++.so", 12) == 0 || strncmp(name, "libc++.so", 9) == 0 ||
           strncmp(name, "libc++abi.so", 12) == 0;
}

static int note_runtime(struct dl_phdr_info* info, size_t size, void* unused) {
    (void)size;
    (void)unused;
    if (!info->dlpi_name || !is_runtime(info->dlpi_name)) {
        return 0;
    }
    for (u32 i = 0; i < info->dlpi_phnum && runtime_count < RUNTIME_RANGES; ++i) {
        const ElfW(Phdr)* segment = &info->dlpi_phdr[i];
        if (segment->p_type == PT_LOAD && (segment->p_flags & PF_X)) {
            runtime_start[runtime_count] = info->dlpi_addr + segment->p_vaddr;
            runtime_end[runtime_count] = runtime_start[runtime_count] + segment->p_memsz;
            ++runtime_count;
        }
    }
    return 0;
}

static void find_runtimes(void) {
    runtime_count = 0;
    dl_iterate_phdr(note_runtime, NULL);
}

static bool from_runtime(u64 caller) {
    for (u32 i = 0; i < runtime_count; ++i) {
        if (caller - runtime_start[i] < runtime_end[i] - runtime_start[i]) {
            return true;
        }
    }
    return false;
}

bool32 allocator_hooked(void) { return 1; }

void allocator_route_image(const void* base, u64 size) {
    if (base) {
        find_runtimes();
    }
    route_base = (u64)base;
    route_size = base ? size : 0;
}

void allocator_route_loading(const char* path) {
    if (path) {
        find_runtimes();
    }
    loading_path = path;
}

static bool starts_with(const char* text, const char* prefix) {
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

// A build being loaded runs from its sealed copy, "/proc/<pid>/fd/<n>"
// (library_linux.cpp), or from its copy's path.
static bool from_loading_build(const void* caller) {
    const char* path = loading_path;
    Dl_info info;
    if (!path || !dladdr(caller, &info) || !info.dli_fname) {
        return false;
    }
    char sealed[32];
    snprintf(sealed, sizeof(sealed), "/proc/%d/fd/", (int)getpid());
    return strcmp(info.dli_fname, path) == 0 || starts_with(info.dli_fname, sealed);
}

static bool module_call(const void* caller) {
    if ((u64)caller - route_base < route_size) {
        return true;
    }
    if (!route_size && !loading_path) {
        return false;
    }
    if (from_runtime((u64)caller)) {
        return guard_call_in_progress_here();
    }
    return loading_path && from_loading_build(caller);
}

#define CALLER __builtin_return_address(0)

// ---------------------------------------------------------------------------
// The C library's calls.

extern "C" {

__attribute__((visibility("default"))) void* malloc(size_t size) {
    return module_call(CALLER) ? heap_alloc(size) : __libc_malloc(size);
}

__attribute__((visibility("default"))) void* calloc(size_t count, size_t size) {
    return module_call(CALLER) ? heap_alloc_zeroed(count, size) : __libc_calloc(count, size);
}

__attribute__((visibility("default"))) void free(void* pointer) {
    if (heap_owns(pointer)) {
        heap_free(pointer);
    } else {
        __libc_free(pointer);
    }
}

__attribute__((visibility("default"))) void* realloc(void* pointer, size_t size) {
    if (heap_owns(pointer) || (!pointer && module_call(CALLER))) {
        return heap_realloc(pointer, size);
    }
    return __libc_realloc(pointer, size);
}

__attribute__((visibility("default"))) void* memalign(size_t alignment, size_t size) {
    return module_call(CALLER) ? heap_alloc_aligned(size, alignment)
                               : __libc_memalign(alignment, size);
}

__attribute__((visibility("default"))) void* aligned_alloc(size_t alignment, size_t size) {
    return module_call(CALLER) ? heap_alloc_aligned(size, alignment)
                               : __libc_memalign(alignment, size);
}

__attribute__((visibility("default"))) int posix_memalign(void** out, size_t alignment,
                                                          size_t size) {
    if (!alignment || (alignment & (alignment - 1)) || alignment % sizeof(void*)) {
        return EINVAL;
    }
    void* pointer = module_call(CALLER) ? heap_alloc_aligned(size, alignment)
                                        : __libc_memalign(alignment, size);
    if (!pointer) {
        return ENOMEM;
    }
    *out = pointer;
    return 0;
}

__attribute__((visibility("default"))) size_t malloc_usable_size(void* pointer) {
    if (heap_owns(pointer)) {
        return heap_usable_size(pointer);
    }
    typedef size_t usable_size_call(void*);
    static usable_size_call* system_call;
    if (!system_call) {
        system_call = (usable_size_call*)dlsym(RTLD_NEXT, "malloc_usable_size");
    }
    return system_call ? system_call(pointer) : 0;
}

static char* duplicate(const char* text, size_t length, bool module) {
    char* copy = (char*)(module ? heap_alloc(length + 1) : __libc_malloc(length + 1));
    if (copy) {
        memcpy(copy, text, length);
        copy[length] = 0;
    }
    return copy;
}

__attribute__((visibility("default"))) char* strdup(const char* text) {
    return duplicate(text, strlen(text), module_call(CALLER));
}

__attribute__((visibility("default"))) char* strndup(const char* text, size_t most) {
    return duplicate(text, strnlen(text, most), module_call(CALLER));
}

// Static destructors and atexit handlers of a build that keeps its whole
// state are dropped: the objects they destroy live on in the next build.
__attribute__((visibility("default"))) int __cxa_atexit(void (*function)(void*),
                                                        void* argument, void* library) {
    if (module_call(CALLER)) {
        return 0;
    }
    typedef int atexit_call(void (*)(void*), void*, void*);
    static atexit_call* system_call;
    if (!system_call) {
        system_call = (atexit_call*)dlsym(RTLD_NEXT, "__cxa_atexit");
    }
    return system_call ? system_call(function, argument, library) : -1;
}
}

// ---------------------------------------------------------------------------
// Threads the module starts, counted while they run (their cleanup runs on
// a return, pthread_exit and cancellation alike).

static u32 module_threads;

u32 allocator_module_threads(void) { return __atomic_load_n(&module_threads, __ATOMIC_ACQUIRE); }

typedef struct thread_start {
    void* (*start)(void*);
    void* argument;
} thread_start;

static void thread_ended(void* unused) {
    (void)unused;
    __atomic_sub_fetch(&module_threads, 1, __ATOMIC_RELEASE);
}

static void* run_module_thread(void* argument) {
    thread_start start = *(thread_start*)argument;
    __libc_free(argument);
    void* result;
    pthread_cleanup_push(thread_ended, NULL);
    result = start.start(start.argument);
    pthread_cleanup_pop(1);
    return result;
}

extern "C" __attribute__((visibility("default"))) int pthread_create(
    pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*), void* argument) {
    typedef int create_call(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static create_call* system_call;
    if (!system_call) {
        system_call = (create_call*)dlsym(RTLD_NEXT, "pthread_create");
    }
    if (!system_call) {
        return EAGAIN;
    }
    thread_start* started = module_call(CALLER) ? (thread_start*)__libc_malloc(sizeof(*started))
                                                : NULL;
    if (!started) {
        return system_call(thread, attributes, start, argument);
    }
    *started = {start, argument};
    __atomic_add_fetch(&module_threads, 1, __ATOMIC_RELEASE);
    int result = system_call(thread, attributes, run_module_thread, started);
    if (result != 0) {
        __atomic_sub_fetch(&module_threads, 1, __ATOMIC_RELEASE);
        __libc_free(started);
    }
    return result;
}

// ---------------------------------------------------------------------------
// C++'s, with the language's contract for every caller: when nothing is
// left, the new handler is called (std::set_new_handler) and the
// allocation tried again; without one the throwing forms throw
// std::bad_alloc and the nothrow forms return null (bad_alloc.h). Only the
// failure costs more than the allocation.

// One try: the module's heap for the module's calls, else the system's.
static void* try_new(size_t size, size_t alignment, bool module) {
    if (module) {
        return alignment ? heap_alloc_aligned(size, alignment) : heap_alloc(size);
    }
    size = size ? size : 1;
    return alignment ? __libc_memalign(alignment, size) : __libc_malloc(size);
}

__attribute__((noinline, cold)) static void* new_failed(size_t size, size_t alignment,
                                                        bool module, bool nothrow) {
    for (;;) {
        std::new_handler handler = std::get_new_handler();
        if (!handler) {
            if (nothrow) {
                return NULL;
            }
            allocator_throw_bad_alloc();
        }
        if (!nothrow) {
            handler();
        } else if (!allocator_call_new_handler(handler)) {
            return NULL;
        }
        void* pointer = try_new(size, alignment, module);
        if (pointer) {
            return pointer;
        }
    }
}

static inline void* new_from(const void* caller, size_t size, size_t alignment, bool nothrow) {
    bool module = module_call(caller);
    void* pointer = try_new(size, alignment, module);
    if (__builtin_expect(pointer != NULL, 1)) {
        return pointer;
    }
    return new_failed(size, alignment, module, nothrow);
}

static void release(void* pointer) { free(pointer); }

__attribute__((visibility("default"))) void* operator new(size_t size) {
    return new_from(CALLER, size, 0, false);
}
__attribute__((visibility("default"))) void* operator new[](size_t size) {
    return new_from(CALLER, size, 0, false);
}
__attribute__((visibility("default"))) void* operator new(size_t size,
                                                          const std::nothrow_t&) noexcept {
    return new_from(CALLER, size, 0, true);
}
__attribute__((visibility("default"))) void* operator new[](size_t size,
                                                            const std::nothrow_t&) noexcept {
    return new_from(CALLER, size, 0, true);
}
__attribute__((visibility("default"))) void* operator new(size_t size,
                                                          std::align_val_t alignment) {
    return new_from(CALLER, size, (size_t)alignment, false);
}
__attribute__((visibility("default"))) void* operator new[](size_t size,
                                                            std::align_val_t alignment) {
    return new_from(CALLER, size, (size_t)alignment, false);
}
__attribute__((visibility("default"))) void* operator new(size_t size, std::align_val_t alignment,
                                                          const std::nothrow_t&) noexcept {
    return new_from(CALLER, size, (size_t)alignment, true);
}
__attribute__((visibility("default"))) void* operator new[](size_t size,
                                                            std::align_val_t alignment,
                                                            const std::nothrow_t&) noexcept {
    return new_from(CALLER, size, (size_t)alignment, true);
}

__attribute__((visibility("default"))) void operator delete(void* pointer) noexcept {
    release(pointer);
}
__attribute__((visibility("default"))) void operator delete[](void* pointer) noexcept {
    release(pointer);
}
__attribute__((visibility("default"))) void operator delete(void* pointer, size_t) noexcept {
    release(pointer);
}
__attribute__((visibility("default"))) void operator delete[](void* pointer, size_t) noexcept {
    release(pointer);
}
__attribute__((visibility("default"))) void operator delete(void* pointer,
                                                            const std::nothrow_t&) noexcept {
    release(pointer);
}
__attribute__((visibility("default"))) void operator delete[](void* pointer,
                                                              const std::nothrow_t&) noexcept {
    release(pointer);
}
__attribute__((visibility("default"))) void operator delete(void* pointer,
                                                            std::align_val_t) noexcept {
    release(pointer);
}
__attribute__((visibility("default"))) void operator delete[](void* pointer,
                                                              std::align_val_t) noexcept {
    release(pointer);
}
__attribute__((visibility("default"))) void operator delete(void* pointer, size_t,
                                                            std::align_val_t) noexcept {
    release(pointer);
}
__attribute__((visibility("default"))) void operator delete[](void* pointer, size_t,
                                                              std::align_val_t) noexcept {
    release(pointer);
}
