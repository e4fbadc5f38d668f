// A test module whose faulting frame writes everywhere it can first. Its
// state lives behind the slot: a frame count, a 1 MiB block it fills with
// the count every frame, a spare block filled once, a scratch block
// (MEMORY_SCRATCH) it fills with the count every frame, and 300 small
// blocks filled once. Each frame it logs what it finds (before writing) to
// "frames.log": the count, whether the block holds that count throughout,
// the slot, whether the spare and the small blocks are intact, the scratch
// block's first byte, and whether a read with the system's own call into
// the block brought the file "source.bin" (from the data directory).
//
// Built with UNDOER_FAULTS=1, in frame UNDOER_AT (from the environment) it
// also: reads the file into the block with the system's own call; lets a
// thread of its own fill the block; frees the spare and allocates a block at
// its address (logging whether it got it); frees the 300 small blocks;
// points the slot at a fresh block; writes 0xEE to the scratch block; and
// writes to null.
#include "engine/module.h"
#include "engine/platform_api.h"
#include "log.h"

#include <string.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>
#endif

#ifndef UNDOER_FAULTS
#define UNDOER_FAULTS 0
#endif

#define BLOCK_BYTES (1u << 20)
#define SPARE_BYTES 10000u
#define SPARE_VALUE 0x5A
#define SCRATCH_BYTES 65536u
#define SMALL_BLOCKS 300u
#define SOURCE_BYTES 5000u

typedef struct undoer_state {
    u64 frames;
    u8* block;
    memory_block spare;
    memory_block scratch;
    memory_block small[SMALL_BLOCKS];
} undoer_state;

static volatile int* volatile null_pointer;

static int uniform(const u8* bytes, u64 count, u8 value) {
    for (u64 i = 0; i < count; ++i) {
        if (bytes[i] != value) {
            return 0;
        }
    }
    return 1;
}

// The system's own read, bypassing the services: what a library the
// module uses would do.
static u32 system_read(const char* path, void* buffer, u32 size) {
#ifdef _WIN32
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    DWORD count = 0;
    if (file == INVALID_HANDLE_VALUE || !ReadFile(file, buffer, size, &count, NULL)) {
        count = 0;
    }
    CloseHandle(file);
    return count;
#else
    int file = open(path, O_RDONLY);
    ssize_t count = file < 0 ? -1 : read(file, buffer, size);
    close(file);
    return count < 0 ? 0 : (u32)count;
#endif
}

static int source_read_whole(u8* buffer) {
    if (system_read("source.bin", buffer, SOURCE_BYTES) != SOURCE_BYTES) {
        return 0;
    }
    for (u32 i = 0; i < SOURCE_BYTES; ++i) {
        if (buffer[i] != (u8)(i * 7 + 3)) {
            return 0;
        }
    }
    return 1;
}

static undoer_state* thread_state;

#ifdef _WIN32
static DWORD WINAPI fill_from_thread(void*) {
    memset(thread_state->block, 0xAB, BLOCK_BYTES);
    return 0;
}
static void run_thread(void) {
    HANDLE thread = CreateThread(NULL, 0, fill_from_thread, NULL, 0, NULL);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}
#else
static void* fill_from_thread(void*) {
    memset(thread_state->block, 0xAB, BLOCK_BYTES);
    return NULL;
}
static void run_thread(void) {
    pthread_t thread;
    if (pthread_create(&thread, NULL, fill_from_thread, NULL) == 0) {
        pthread_join(thread, NULL);
    }
}
#endif

static void make_state(undoer_state* state, platform_api* services) {
    state->block = (u8*)services->allocate_memory(BLOCK_BYTES, NULL, 0).memory;
    state->spare = services->allocate_memory(SPARE_BYTES, NULL, MEMORY_GUARD_PAGE);
    memset(state->spare.memory, SPARE_VALUE, SPARE_BYTES);
    state->scratch = services->allocate_memory(SCRATCH_BYTES, NULL, MEMORY_SCRATCH);
    for (u32 i = 0; i < SMALL_BLOCKS; ++i) {
        state->small[i] = services->allocate_memory(100 + i, NULL, 0);
        memset(state->small[i].memory, (int)(i + 1), 100 + i);
    }
}

static int small_intact(const undoer_state* state) {
    for (u32 i = 0; i < SMALL_BLOCKS; ++i) {
        if (!uniform((const u8*)state->small[i].memory, 100 + i, (u8)(i + 1))) {
            return 0;
        }
    }
    return 1;
}

// The faulting frame's writes, everywhere, then the fault.
static void write_everywhere_and_fault(undoer_state* state, platform_api* services,
                                       void** module_slot) {
    char line[64];
    int read = source_read_whole(state->block + 4096 - 10);
    thread_state = state;
    run_thread();
    memory_block old = state->spare;
    services->free_memory(&state->spare);
    // The region's start: the guarded block ends at its guard page.
    void* region = (void*)((u64)old.memory & ~(u64)4095);
    memory_block again = services->allocate_memory(SPARE_BYTES, region, MEMORY_GUARD_PAGE);
    if (again.memory) {
        memset(again.memory, 0x11, SPARE_BYTES);
    }
    for (u32 i = 0; i < SMALL_BLOCKS; ++i) {
        services->free_memory(&state->small[i]);
    }
    memset(state->scratch.memory, 0xEE, SCRATCH_BYTES);
    append_log("faulting.log", line,
               snprintf(line, sizeof(line), "read=%d thread=%d again=%d\n", read,
                        uniform(state->block + 8192, BLOCK_BYTES - 8192, 0xAB),
                        again.memory == old.memory));
    *module_slot = services->allocate_memory(sizeof(undoer_state), NULL, 0).memory;
    *null_pointer = 1;
}

ENTRY_EXPORT void entry(u64, u64, i32*, back_buffer*, input_state*, f32, platform_api* services,
                        void** module_slot) {
    undoer_state* state = (undoer_state*)slot_state(module_slot, services, sizeof(undoer_state));
    if (!state->block) {
        make_state(state, services);
    }
    char line[240];
    int length = snprintf(
        line, sizeof(line), "v=%d seen=%llu block=%d slot=%p spare=%d small=%d scratch=%d\n",
        UNDOER_FAULTS, (unsigned long long)state->frames,
        uniform(state->block, BLOCK_BYTES, (u8)state->frames), (void*)state,
        uniform((const u8*)state->spare.memory, SPARE_BYTES, SPARE_VALUE), small_intact(state),
        ((u8*)state->scratch.memory)[0]);
    append_log("frames.log", line, length);
    state->frames += 1;
    memset(state->block, (u8)state->frames, BLOCK_BYTES);
    memset(state->scratch.memory, (u8)state->frames, SCRATCH_BYTES);
    if (UNDOER_FAULTS && state->frames == environment_number("UNDOER_AT")) {
        write_everywhere_and_fault(state, services, module_slot);
    }
}
