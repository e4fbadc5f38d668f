// The allocation calls reach the host through the module's import table.
// While a build that keeps its whole state loads, the C runtime's export
// table names the host's functions instead of its own, so the loader binds
// the build's imports to them and the allocations its start-up makes are
// seen too; once it is loaded, any import of it still bound to the
// runtime's own is bound over. A call is the module's when it comes from
// the running build's code, or from the build being loaded.
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "host/allocator.h"
#include "platform/heap.h"

#define RUNTIME_NAME "msvcrt.dll"
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
// The calls, and the runtime's own beside them.

typedef void* malloc_call(size_t);
typedef void* calloc_call(size_t, size_t);
typedef void* realloc_call(void*, size_t);
typedef void free_call(void*);
typedef size_t msize_call(void*);
typedef char* strdup_call(const char*);
typedef void* aligned_malloc_call(size_t, size_t);
typedef void* aligned_realloc_call(void*, size_t, size_t);

static struct {
    malloc_call* malloc;
    calloc_call* calloc;
    realloc_call* realloc;
    free_call* free;
    msize_call* msize;
    strdup_call* strdup;
    aligned_malloc_call* aligned_malloc;
    free_call* aligned_free;
    aligned_realloc_call* aligned_realloc;
} runtime;

static void* hook_malloc(size_t size) {
    return module_call(CALLER) ? heap_alloc(size) : runtime.malloc(size);
}

static void* hook_calloc(size_t count, size_t size) {
    return module_call(CALLER) ? heap_alloc_zeroed(count, size) : runtime.calloc(count, size);
}

static void* hook_realloc(void* pointer, size_t size) {
    if (heap_owns(pointer) || (!pointer && module_call(CALLER))) {
        return heap_realloc(pointer, size);
    }
    return runtime.realloc(pointer, size);
}

static void hook_free(void* pointer) {
    if (heap_owns(pointer)) {
        heap_free(pointer);
    } else {
        runtime.free(pointer);
    }
}

static size_t hook_msize(void* pointer) {
    return heap_owns(pointer) ? heap_usable_size(pointer) : runtime.msize(pointer);
}

static char* hook_strdup(const char* text) {
    if (!module_call(CALLER)) {
        return runtime.strdup(text);
    }
    size_t length = strlen(text);
    char* copy = (char*)heap_alloc(length + 1);
    if (copy) {
        memcpy(copy, text, length + 1);
    }
    return copy;
}

static void* hook_aligned_malloc(size_t size, size_t alignment) {
    return module_call(CALLER) ? heap_alloc_aligned(size, alignment)
                               : runtime.aligned_malloc(size, alignment);
}

static void hook_aligned_free(void* pointer) {
    if (heap_owns(pointer)) {
        heap_free(pointer);
    } else {
        runtime.aligned_free(pointer);
    }
}

// The heap's realloc keeps only its own alignment: a new block when that
// is not enough.
static void* hook_aligned_realloc(void* pointer, size_t size, size_t alignment) {
    if (!heap_owns(pointer) && (pointer || !module_call(CALLER))) {
        return runtime.aligned_realloc(pointer, size, alignment);
    }
    void* moved = heap_alloc_aligned(size, alignment);
    if (moved && pointer) {
        u64 had = heap_usable_size(pointer);
        memcpy(moved, pointer, had < size ? had : size);
        heap_free(pointer);
    }
    return moved;
}

typedef struct hook {
    const char* name;
    void* ours;
    void** runtime;
    u32 original;  // its export's address before it was patched
} hook;

static hook hooks[] = {
    {"malloc", (void*)hook_malloc, (void**)&runtime.malloc, 0},
    {"calloc", (void*)hook_calloc, (void**)&runtime.calloc, 0},
    {"realloc", (void*)hook_realloc, (void**)&runtime.realloc, 0},
    {"free", (void*)hook_free, (void**)&runtime.free, 0},
    {"_msize", (void*)hook_msize, (void**)&runtime.msize, 0},
    {"_strdup", (void*)hook_strdup, (void**)&runtime.strdup, 0},
    {"_aligned_malloc", (void*)hook_aligned_malloc, (void**)&runtime.aligned_malloc, 0},
    {"_aligned_free", (void*)hook_aligned_free, (void**)&runtime.aligned_free, 0},
    {"_aligned_realloc", (void*)hook_aligned_realloc, (void**)&runtime.aligned_realloc, 0},
};
#define HOOK_COUNT (sizeof(hooks) / sizeof(hooks[0]))

static const hook* hook_named(const char* name) {
    for (u32 i = 0; i < HOOK_COUNT; ++i) {
        if (strcmp(hooks[i].name, name) == 0) {
            return &hooks[i];
        }
    }
    return NULL;
}

// ---------------------------------------------------------------------------
// The runtime's export table, while a build loads. An export is an offset
// from the runtime's base, so each names a jump placed above the runtime,
// within reach of one.

static HMODULE runtime_module;
static u32* export_slots[HOOK_COUNT];
static u8* jumps;

static bool32 find_runtime(void) {
    if (runtime_module) {
        return 1;
    }
    HMODULE module = GetModuleHandleA(RUNTIME_NAME);
    if (!module) {
        return 0;
    }
    for (u32 i = 0; i < HOOK_COUNT; ++i) {
        *hooks[i].runtime = (void*)GetProcAddress(module, hooks[i].name);
        if (!*hooks[i].runtime) {
            return 0;
        }
    }
    runtime_module = module;
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

static bool32 make_jumps(u64 base) {
    if (jumps) {
        return 1;
    }
    u8* page = place_jumps(base);
    if (!page) {
        return 0;
    }
    for (u32 i = 0; i < HOOK_COUNT; ++i) {
        static const u8 jump[6] = {0xFF, 0x25, 0, 0, 0, 0};  // jmp [rip + 0]
        memcpy(page + i * 16, jump, sizeof(jump));
        memcpy(page + i * 16 + 6, &hooks[i].ours, 8);
    }
    DWORD was;
    VirtualProtect(page, 4096, PAGE_EXECUTE_READ, &was);
    FlushInstructionCache(GetCurrentProcess(), page, 4096);
    jumps = page;
    return 1;
}

static bool32 find_exports(u64 base) {
    const IMAGE_DOS_HEADER* dos = (const IMAGE_DOS_HEADER*)base;
    const IMAGE_NT_HEADERS64* nt = (const IMAGE_NT_HEADERS64*)(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY* directory = &nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (!directory->VirtualAddress) {
        return 0;
    }
    const IMAGE_EXPORT_DIRECTORY* exports = (const IMAGE_EXPORT_DIRECTORY*)(base + directory->VirtualAddress);
    const u32* names = (const u32*)(base + exports->AddressOfNames);
    const u16* ordinals = (const u16*)(base + exports->AddressOfNameOrdinals);
    u32* functions = (u32*)(base + exports->AddressOfFunctions);
    u32 found = 0;
    for (u32 i = 0; i < exports->NumberOfNames; ++i) {
        const hook* named = hook_named((const char*)(base + names[i]));
        if (named && ordinals[i] < exports->NumberOfFunctions) {
            u32 index = (u32)(named - hooks);
            export_slots[index] = &functions[ordinals[i]];
            hooks[index].original = functions[ordinals[i]];
            ++found;
        }
    }
    return found == HOOK_COUNT;
}

static void set_export(u32 index, u32 value) {
    DWORD was;
    if (VirtualProtect(export_slots[index], 4, PAGE_READWRITE, &was)) {
        *export_slots[index] = value;
        VirtualProtect(export_slots[index], 4, was, &was);
    }
}

static bool32 exports_ready(void) {
    static bool32 ready, tried;
    if (!tried) {
        tried = 1;
        ready = find_runtime() && make_jumps((u64)runtime_module) &&
                find_exports((u64)runtime_module);
        if (!ready) {
            fprintf(stderr, "Engine: the allocations of " RUNTIME_NAME " can't be routed while a "
                            "build loads: its start-up allocates from the system\n");
        }
    }
    return ready;
}

static void patch_exports(bool32 ours) {
    if (!exports_ready()) {
        return;
    }
    u64 base = (u64)runtime_module;
    for (u32 i = 0; i < HOOK_COUNT; ++i) {
        set_export(i, ours ? (u32)((u64)(jumps + i * 16) - base) : hooks[i].original);
    }
}

void allocator_route_loading(const char* path) {
    loading_size = 0;
    loading_base = 0;
    loading_path = path;
    patch_exports(path != NULL);
}

// ---------------------------------------------------------------------------
// The running build's imports.

static void bind_imports(u64 base) {
    if (!find_runtime()) {
        return;
    }
    const IMAGE_DOS_HEADER* dos = (const IMAGE_DOS_HEADER*)base;
    const IMAGE_NT_HEADERS64* nt = (const IMAGE_NT_HEADERS64*)(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY* directory = &nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (!directory->VirtualAddress) {
        return;
    }
    for (const IMAGE_IMPORT_DESCRIPTOR* library =
             (const IMAGE_IMPORT_DESCRIPTOR*)(base + directory->VirtualAddress);
         library->Name; ++library) {
        if (lstrcmpiA((const char*)(base + library->Name), RUNTIME_NAME) != 0 ||
            !library->OriginalFirstThunk) {
            continue;
        }
        const IMAGE_THUNK_DATA64* names = (const IMAGE_THUNK_DATA64*)(base + library->OriginalFirstThunk);
        IMAGE_THUNK_DATA64* bound = (IMAGE_THUNK_DATA64*)(base + library->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++bound) {
            if (IMAGE_SNAP_BY_ORDINAL64(names->u1.Ordinal)) {
                continue;
            }
            const IMAGE_IMPORT_BY_NAME* name = (const IMAGE_IMPORT_BY_NAME*)(base + names->u1.AddressOfData);
            const hook* named = hook_named((const char*)name->Name);
            DWORD was;
            if (named && bound->u1.Function != (u64)named->ours &&
                VirtualProtect(&bound->u1.Function, 8, PAGE_READWRITE, &was)) {
                bound->u1.Function = (u64)named->ours;
                VirtualProtect(&bound->u1.Function, 8, was, &was);
            }
        }
    }
}

void allocator_route_image(const void* base, u64 size) {
    route_base = (u64)base;
    route_size = base ? size : 0;
    if (base) {
        bind_imports((u64)base);
    }
}
