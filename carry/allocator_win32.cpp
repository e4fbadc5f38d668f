// The allocation calls reach the host through the module's import table.
// While a build that keeps its whole state loads, the C runtimes' export
// tables name the host's functions instead of their own, so the loader
// binds the build's imports to them and the allocations its start-up makes
// are seen too; once it is loaded, any import of it still bound to a
// runtime's own is bound over. A call is the module's when it comes from
// the running build's code, or from the build being loaded. MinGW builds
// use one of two runtimes: msvcrt.dll, or the UCRT (ucrtbase.dll, which
// the build imports through the api-ms-win-crt-* sets); each has its own
// heap, so each has its own hooks, which give what is not the module's to
// the runtime it was meant for.
//
// The exit calls (exit, _exit, _Exit, quick_exit) are bound the same way
// for every build, whole state or not, and for every load: the module's
// call leaves the module's call as a fault does (guard/fault.h) instead of
// ending the host.
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "carry/allocator.h"
#include "guard/fault.h"
#include "platform/heap.h"

#define CALLER __builtin_return_address(0)

static u64 route_base;
static u64 route_size;
static const char* volatile loading_path;
static u64 loading_base;
static u64 loading_size;

bool32 allocator_hooked(void) { return 1; }

static u64 image_size(const void* base) {
    const IMAGE_DOS_HEADER* dos = (const IMAGE_DOS_HEADER*)base;
    const IMAGE_NT_HEADERS64* nt = (const IMAGE_NT_HEADERS64*)((const u8*)base + dos->e_lfanew);
    return nt->OptionalHeader.SizeOfImage;
}

static const char* file_part(const char* path) {
    const char* part = path;
    for (const char* at = path; *at; ++at) {
        if (*at == '\\' || *at == '/') {
            part = at + 1;
        }
    }
    return part;
}

// The build being loaded is the library whose file has its copy's name;
// once found, its range answers.
static bool from_loading_build(const void* caller) {
    const char* path = loading_path;
    if (!path) {
        return false;
    }
    if (loading_size) {
        return (u64)caller - loading_base < loading_size;
    }
    HMODULE module = NULL;
    char name[MAX_PATH];
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            (LPCSTR)caller, &module) ||
        !GetModuleFileNameA(module, name, sizeof(name)) ||
        lstrcmpiA(file_part(name), file_part(path)) != 0) {
        return false;
    }
    loading_base = (u64)module;
    loading_size = image_size(module);
    return true;
}

static bool module_call(const void* caller) {
    return (u64)caller - route_base < route_size || (loading_path && from_loading_build(caller));
}

// ---------------------------------------------------------------------------
// The calls, and each runtime's own beside them.

typedef void* malloc_call(size_t);
typedef void* calloc_call(size_t, size_t);
typedef void* realloc_call(void*, size_t);
typedef void free_call(void*);
typedef size_t msize_call(void*);
typedef char* strdup_call(const char*);
typedef void* aligned_malloc_call(size_t, size_t);
typedef void* aligned_realloc_call(void*, size_t, size_t);
typedef void exit_function(int);
typedef unsigned __stdcall thread_function(void*);
typedef uintptr_t begin_thread_call(void*, unsigned, thread_function*, void*, unsigned, unsigned*);

enum {
    CALL_MALLOC,
    CALL_CALLOC,
    CALL_REALLOC,
    CALL_FREE,
    CALL_MSIZE,
    CALL_STRDUP,
    CALL_ALIGNED_MALLOC,
    CALL_ALIGNED_FREE,
    CALL_ALIGNED_REALLOC,
    CALL_BEGIN_THREAD,
    // Every runtime has those above; of these, each has those it has, in
    // the order of EXIT_CALL_*.
    CALL_EXIT,
    CALL__EXIT,
    CALL__EXIT_UPPER,
    CALL_QUICK_EXIT,
    CALL_COUNT
};
#define CALL_ALLOCATIONS CALL_EXIT

static const char* const call_names[CALL_COUNT] = {
    "malloc", "calloc", "realloc", "free", "_msize", "_strdup",
    "_aligned_malloc", "_aligned_free", "_aligned_realloc", "_beginthreadex",
    "exit", "_exit", "_Exit", "quick_exit"};

typedef struct runtime {
    const char* name;  // the library whose exports are patched
    HMODULE module;
    void* own[CALL_COUNT];   // the runtime's functions
    void* ours[CALL_COUNT];  // the hooks that stand for them
    u32* export_slots[CALL_COUNT];
    u32 originals[CALL_COUNT];  // the exports before they were patched
    u8* jumps;
    bool32 tried, ready;
} runtime;

#define RUNTIME_COUNT 2
static runtime runtimes[RUNTIME_COUNT];

#define OWN(type, call) ((type*)runtimes[n].own[call])

static void* route_malloc(const void* caller, u32 n, size_t size) {
    return module_call(caller) ? heap_alloc(size) : OWN(malloc_call, CALL_MALLOC)(size);
}

static void* route_calloc(const void* caller, u32 n, size_t count, size_t size) {
    return module_call(caller) ? heap_alloc_zeroed(count, size)
                               : OWN(calloc_call, CALL_CALLOC)(count, size);
}

static void* route_realloc(const void* caller, u32 n, void* pointer, size_t size) {
    if (heap_owns(pointer) || (!pointer && module_call(caller))) {
        return heap_realloc(pointer, size);
    }
    return OWN(realloc_call, CALL_REALLOC)(pointer, size);
}

static void route_free(u32 n, void* pointer, u32 call) {
    if (heap_owns(pointer)) {
        heap_free(pointer);
    } else {
        OWN(free_call, call)(pointer);
    }
}

static size_t route_msize(u32 n, void* pointer) {
    return heap_owns(pointer) ? heap_usable_size(pointer) : OWN(msize_call, CALL_MSIZE)(pointer);
}

static char* route_strdup(const void* caller, u32 n, const char* text) {
    if (!module_call(caller)) {
        return OWN(strdup_call, CALL_STRDUP)(text);
    }
    size_t length = strlen(text);
    char* copy = (char*)heap_alloc(length + 1);
    if (copy) {
        memcpy(copy, text, length + 1);
    }
    return copy;
}

static void* route_aligned_malloc(const void* caller, u32 n, size_t size, size_t alignment) {
    return module_call(caller) ? heap_alloc_aligned(size, alignment)
                               : OWN(aligned_malloc_call, CALL_ALIGNED_MALLOC)(size, alignment);
}

// The heap's realloc keeps only its own alignment: a new block when that
// is not enough.
static void* route_aligned_realloc(const void* caller, u32 n, void* pointer, size_t size,
                                   size_t alignment) {
    if (!heap_owns(pointer) && (pointer || !module_call(caller))) {
        return OWN(aligned_realloc_call, CALL_ALIGNED_REALLOC)(pointer, size, alignment);
    }
    void* moved = heap_alloc_aligned(size, alignment);
    if (moved && pointer) {
        u64 had = heap_usable_size(pointer);
        memcpy(moved, pointer, had < size ? had : size);
        heap_free(pointer);
    }
    return moved;
}

// ---------------------------------------------------------------------------
// The exit calls of every build.

static u64 exits_base;
static u64 exits_size;

// The module's: on the host's thread, its call is left. A thread of the
// module's own ends instead of the process.
static void route_exit(const void* caller, u32 n, u32 call, int status) {
    fault_leave_for_exit(call - CALL_EXIT, status, (u64)caller);
    if ((u64)caller - exits_base < exits_size && !fault_on_host_thread()) {
        fprintf(stderr, "Engine: a thread of the module called %s(%d): that thread ends, the "
                        "host goes on\n", exit_call_name(call - CALL_EXIT), status);
        ExitThread((DWORD)status);
    }
    exit_function* own = OWN(exit_function, call);
    if (own) {
        own(status);
    }
    ExitProcess((UINT)status);
}

// ---------------------------------------------------------------------------
// Threads the module starts: a handle of each kept until it has ended.

#define THREADS_MAX 256
static SRWLOCK threads_lock = SRWLOCK_INIT;
static HANDLE threads[THREADS_MAX];
static u32 thread_count;
static bool32 threads_overflowed;

static void note_thread(HANDLE thread) {
    HANDLE copy = NULL;
    AcquireSRWLockExclusive(&threads_lock);
    if (thread_count < THREADS_MAX &&
        DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &copy, SYNCHRONIZE,
                        FALSE, 0)) {
        threads[thread_count++] = copy;
    } else {
        threads_overflowed = 1;  // counts as running for good: never moved under
    }
    ReleaseSRWLockExclusive(&threads_lock);
}

u32 allocator_module_threads(void) {
    AcquireSRWLockExclusive(&threads_lock);
    for (u32 i = 0; i < thread_count;) {
        if (WaitForSingleObject(threads[i], 0) == WAIT_OBJECT_0) {
            CloseHandle(threads[i]);
            threads[i] = threads[--thread_count];
        } else {
            ++i;
        }
    }
    u32 running = thread_count + (threads_overflowed ? 1 : 0);
    ReleaseSRWLockExclusive(&threads_lock);
    return running;
}

static uintptr_t route_begin_thread(const void* caller, u32 n, void* security, unsigned stack,
                                    thread_function* start, void* argument, unsigned flags,
                                    unsigned* id) {
    uintptr_t thread = OWN(begin_thread_call, CALL_BEGIN_THREAD)(security, stack, start,
                                                                 argument, flags, id);
    if (thread && module_call(caller)) {
        note_thread((HANDLE)thread);
    }
    return thread;
}

static HANDLE WINAPI hook_create_thread(SECURITY_ATTRIBUTES* security, SIZE_T stack,
                                        LPTHREAD_START_ROUTINE start, void* argument,
                                        DWORD flags, DWORD* id) {
    HANDLE thread = CreateThread(security, stack, start, argument, flags, id);
    if (thread && module_call(CALLER)) {
        note_thread(thread);
    }
    return thread;
}

// Each runtime's hooks: the caller is taken where the module's call lands.
#define RUNTIME_HOOKS(n)                                                                  \
    static void* malloc_##n(size_t a) { return route_malloc(CALLER, n, a); }             \
    static void* calloc_##n(size_t a, size_t b) { return route_calloc(CALLER, n, a, b); } \
    static void* realloc_##n(void* a, size_t b) { return route_realloc(CALLER, n, a, b); } \
    static void free_##n(void* a) { route_free(n, a, CALL_FREE); }                       \
    static size_t msize_##n(void* a) { return route_msize(n, a); }                       \
    static char* strdup_##n(const char* a) { return route_strdup(CALLER, n, a); }        \
    static void* aligned_malloc_##n(size_t a, size_t b) {                                \
        return route_aligned_malloc(CALLER, n, a, b);                                    \
    }                                                                                    \
    static void aligned_free_##n(void* a) { route_free(n, a, CALL_ALIGNED_FREE); }       \
    static void* aligned_realloc_##n(void* a, size_t b, size_t c) {                      \
        return route_aligned_realloc(CALLER, n, a, b, c);                                \
    }                                                                                    \
    static uintptr_t begin_thread_##n(void* a, unsigned b, thread_function* c, void* d,   \
                                      unsigned e, unsigned* f) {                         \
        return route_begin_thread(CALLER, n, a, b, c, d, e, f);                          \
    }                                                                                    \
    static void exit_##n(int a) { route_exit(CALLER, n, CALL_EXIT, a); }                 \
    static void exit_low_##n(int a) { route_exit(CALLER, n, CALL__EXIT, a); }            \
    static void exit_upper_##n(int a) { route_exit(CALLER, n, CALL__EXIT_UPPER, a); }    \
    static void quick_exit_##n(int a) { route_exit(CALLER, n, CALL_QUICK_EXIT, a); }
#define RUNTIME_HOOK_LIST(n)                                                              \
    {(void*)malloc_##n, (void*)calloc_##n, (void*)realloc_##n, (void*)free_##n,           \
     (void*)msize_##n, (void*)strdup_##n, (void*)aligned_malloc_##n,                      \
     (void*)aligned_free_##n, (void*)aligned_realloc_##n, (void*)begin_thread_##n,       \
     (void*)exit_##n, (void*)exit_low_##n, (void*)exit_upper_##n, (void*)quick_exit_##n}
RUNTIME_HOOKS(0)
RUNTIME_HOOKS(1)

static void* const hook_lists[RUNTIME_COUNT][CALL_COUNT] = {RUNTIME_HOOK_LIST(0),
                                                             RUNTIME_HOOK_LIST(1)};
static const char* const runtime_names[RUNTIME_COUNT] = {"msvcrt.dll", "ucrtbase.dll"};

static i32 call_named(const char* name) {
    for (u32 i = 0; i < CALL_COUNT; ++i) {
        if (strcmp(call_names[i], name) == 0) {
            return (i32)i;
        }
    }
    return -1;
}

// Which runtime an import library name stands for, or -1.
static i32 runtime_of_import(const char* library) {
    if (lstrcmpiA(library, "msvcrt.dll") == 0) {
        return 0;
    }
    if (lstrcmpiA(library, "ucrtbase.dll") == 0 || _strnicmp(library, "api-ms-win-crt-", 15) == 0) {
        return 1;
    }
    return -1;
}

// ---------------------------------------------------------------------------
// A runtime's export table, while a build loads. An export is an offset
// from the runtime's base, so each names a jump placed above the runtime,
// within reach of one.

// Loaded (the UCRT before any build brought it), with its functions found.
static bool32 find_runtime(runtime* each, u32 n) {
    if (each->module) {
        return 1;
    }
    each->name = runtime_names[n];
    HMODULE module = GetModuleHandleA(each->name);
    if (!module) {
        module = LoadLibraryA(each->name);
    }
    if (!module) {
        return 0;
    }
    for (u32 i = 0; i < CALL_COUNT; ++i) {
        each->own[i] = (void*)GetProcAddress(module, call_names[i]);
        each->ours[i] = hook_lists[n][i];
        if (!each->own[i] && i < CALL_ALLOCATIONS) {
            return 0;
        }
    }
    each->module = module;
    return 1;
}

// Room for the jumps: the first free page after the runtime's image.
static u8* place_jumps(u64 base) {
    u64 reach = base + 0xFFFF0000ull;
    for (u64 at = (base + image_size((void*)base) + 0xFFFF) & ~0xFFFFull; at < reach; at += 0x10000) {
        void* page = VirtualAlloc((void*)at, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
        if (page) {
            return (u8*)page;
        }
    }
    return NULL;
}

static bool32 make_jumps(runtime* each) {
    u8* page = place_jumps((u64)each->module);
    if (!page) {
        return 0;
    }
    for (u32 i = 0; i < CALL_COUNT; ++i) {
        static const u8 jump[6] = {0xFF, 0x25, 0, 0, 0, 0};  // jmp [rip + 0]
        memcpy(page + i * 16, jump, sizeof(jump));
        memcpy(page + i * 16 + 6, &each->ours[i], 8);
    }
    DWORD was;
    VirtualProtect(page, 4096, PAGE_EXECUTE_READ, &was);
    FlushInstructionCache(GetCurrentProcess(), page, 4096);
    each->jumps = page;
    return 1;
}

static const IMAGE_DATA_DIRECTORY* directory_of(u64 base, u32 entry) {
    const IMAGE_DOS_HEADER* dos = (const IMAGE_DOS_HEADER*)base;
    const IMAGE_NT_HEADERS64* nt = (const IMAGE_NT_HEADERS64*)(base + dos->e_lfanew);
    return &nt->OptionalHeader.DataDirectory[entry];
}

static bool32 find_exports(runtime* each) {
    u64 base = (u64)each->module;
    const IMAGE_DATA_DIRECTORY* directory = directory_of(base, IMAGE_DIRECTORY_ENTRY_EXPORT);
    if (!directory->VirtualAddress) {
        return 0;
    }
    const IMAGE_EXPORT_DIRECTORY* exports = (const IMAGE_EXPORT_DIRECTORY*)(base + directory->VirtualAddress);
    const u32* names = (const u32*)(base + exports->AddressOfNames);
    const u16* ordinals = (const u16*)(base + exports->AddressOfNameOrdinals);
    u32* functions = (u32*)(base + exports->AddressOfFunctions);
    u32 found = 0;
    for (u32 i = 0; i < exports->NumberOfNames; ++i) {
        i32 call = call_named((const char*)(base + names[i]));
        if (call >= 0 && ordinals[i] < exports->NumberOfFunctions && !each->export_slots[call]) {
            each->export_slots[call] = &functions[ordinals[i]];
            each->originals[call] = functions[ordinals[i]];
            found += call < CALL_ALLOCATIONS;
        }
    }
    return found == CALL_ALLOCATIONS;
}

static bool32 runtime_ready(runtime* each, u32 n) {
    if (!each->tried) {
        each->tried = 1;
        each->ready = find_runtime(each, n) && make_jumps(each) && find_exports(each);
        if (!each->ready && each->module) {
            fprintf(stderr, "Engine: the calls of %s can't be routed while a build loads: "
                            "its start-up allocates from the system, and its exit ends the "
                            "host\n", each->name);
        }
    }
    return each->ready;
}

static void set_export(u32* slot, u32 value) {
    DWORD was;
    if (VirtualProtect(slot, 4, PAGE_READWRITE, &was)) {
        *slot = value;
        VirtualProtect(slot, 4, was, &was);
    }
}

// The exports of calls [first, last) name the hooks, or their own again.
static void patch_exports(u32 first, u32 last, bool32 ours) {
    for (u32 n = 0; n < RUNTIME_COUNT; ++n) {
        runtime* each = &runtimes[n];
        if (!runtime_ready(each, n)) {
            continue;
        }
        u64 base = (u64)each->module;
        for (u32 i = first; i < last; ++i) {
            if (each->export_slots[i]) {
                set_export(each->export_slots[i], ours ? (u32)((u64)(each->jumps + i * 16) - base)
                                                       : each->originals[i]);
            }
        }
    }
}

void allocator_route_loading(const char* path) {
    loading_size = 0;
    loading_base = 0;
    loading_path = path;
    patch_exports(0, CALL_ALLOCATIONS, path != NULL);
}

void allocator_exits_loading(bool32 loading) { patch_exports(CALL_EXIT, CALL_COUNT, loading); }

// ---------------------------------------------------------------------------
// The running build's imports.

// Binds each import of library named in names to the function beside it.
static void bind_library(u64 base, const IMAGE_IMPORT_DESCRIPTOR* library,
                         const char* const* wanted, void* const* ours, u32 count) {
    const IMAGE_THUNK_DATA64* names = (const IMAGE_THUNK_DATA64*)(base + library->OriginalFirstThunk);
    IMAGE_THUNK_DATA64* bound = (IMAGE_THUNK_DATA64*)(base + library->FirstThunk);
    for (; names->u1.AddressOfData; ++names, ++bound) {
        if (IMAGE_SNAP_BY_ORDINAL64(names->u1.Ordinal)) {
            continue;
        }
        const IMAGE_IMPORT_BY_NAME* name = (const IMAGE_IMPORT_BY_NAME*)(base + names->u1.AddressOfData);
        u32 call = 0;
        while (call < count && strcmp(wanted[call], (const char*)name->Name) != 0) {
            ++call;
        }
        DWORD was;
        if (call < count && bound->u1.Function != (u64)ours[call] &&
            VirtualProtect(&bound->u1.Function, 8, PAGE_READWRITE, &was)) {
            bound->u1.Function = (u64)ours[call];
            VirtualProtect(&bound->u1.Function, 8, was, &was);
        }
    }
}

// Binds the imports of calls [first, last), and CreateThread with threads.
static void bind_imports(u64 base, u32 first, u32 last, bool32 threads) {
    const IMAGE_DATA_DIRECTORY* directory = directory_of(base, IMAGE_DIRECTORY_ENTRY_IMPORT);
    if (!directory->VirtualAddress) {
        return;
    }
    for (const IMAGE_IMPORT_DESCRIPTOR* library =
             (const IMAGE_IMPORT_DESCRIPTOR*)(base + directory->VirtualAddress);
         library->Name; ++library) {
        const char* name = (const char*)(base + library->Name);
        i32 n = runtime_of_import(name);
        if (!library->OriginalFirstThunk) {
            continue;
        }
        if (n >= 0 && find_runtime(&runtimes[n], (u32)n)) {
            bind_library(base, library, call_names + first, runtimes[n].ours + first,
                         last - first);
        }
        if (threads && lstrcmpiA(name, "kernel32.dll") == 0) {
            static const char* const create[] = {"CreateThread"};
            static void* const ours[] = {(void*)hook_create_thread};
            bind_library(base, library, create, ours, 1);
        }
    }
}

void allocator_route_image(const void* base, u64 size) {
    route_base = (u64)base;
    route_size = base ? size : 0;
    if (base) {
        bind_imports((u64)base, 0, CALL_ALLOCATIONS, 1);
    }
}

void allocator_route_exits(const void* base, u64 size) {
    exits_base = (u64)base;
    exits_size = base ? size : 0;
    if (base) {
        bind_imports((u64)base, CALL_EXIT, CALL_COUNT, 0);
    }
}
