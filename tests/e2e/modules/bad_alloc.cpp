// A test module that asks for more memory than any machine has, every
// frame, and carries on as C++ lets a program: it catches std::bad_alloc,
// sees its new handler called, and gets null from the nothrow forms and
// from the C library's calls. Built with exceptions; BAD_ALLOC_KEEP_ALL=1
// keeps its whole state (so its allocations go to the host's heap).
//
// Each frame appends to "frames.log": "v=" the build (0 plain, 1 whole
// state), the frame, and for each check 1 when it held:
//   caught    new char[2^50] threw std::bad_alloc
//   aligned   the same with 64-byte alignment
//   handler   how many times the new handler was called before the throw
//             (it stays installed for two calls, so 2 shows the retry)
//   nothrow   new (std::nothrow) char[2^50] gave null
//   nothrow_handler  ... after calling the handler once
//   nothrow_throwing ... when the handler threw std::bad_alloc itself
//   c_calls   malloc, calloc, realloc and aligned_alloc gave null, and
//             realloc left its block as it was
//   small     the address of an ordinary new int, which works after all that
#include <new>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "engine/keep.h"
#include "engine/module.h"
#include "log.h"

#if BAD_ALLOC_KEEP_ALL
ENGINE_KEEP_ALL;
#endif

// Not a constant the compiler could judge.
static volatile size_t huge = (size_t)1 << 50;
static volatile size_t largest = SIZE_MAX;
static void* volatile sink;

static int handler_calls;

static void handler_twice(void) {
    if (++handler_calls == 2) {
        std::set_new_handler(nullptr);
    }
}

static void handler_once(void) {
    ++handler_calls;
    std::set_new_handler(nullptr);
}

static void handler_throwing(void) {
    ++handler_calls;
    throw std::bad_alloc();
}

static int caught(void) {
    try {
        sink = new char[huge];
    } catch (const std::bad_alloc&) {
        return 1;
    }
    return 0;
}

static int caught_aligned(void) {
    try {
        sink = new (std::align_val_t(64)) char[huge];
    } catch (const std::bad_alloc&) {
        return 1;
    }
    return 0;
}

// How many calls of the handler came before the throw; -1 for no throw.
static int handler_called(void) {
    handler_calls = 0;
    std::set_new_handler(handler_twice);
    int thrown = caught();
    std::set_new_handler(nullptr);
    return thrown ? handler_calls : -1;
}

static int nothrow_null(std::new_handler handler, int calls) {
    handler_calls = 0;
    std::set_new_handler(handler);
    char* pointer = new (std::nothrow) char[huge];
    std::set_new_handler(nullptr);
    return !pointer && handler_calls == calls;
}

static void* aligned_huge(void) {
#ifdef _WIN32
    return _aligned_malloc(huge, 64);
#else
    return aligned_alloc(64, huge);
#endif
}

static int c_calls_null(void) {
    char* block = (char*)malloc(16);
    if (!block) {
        return 0;
    }
    memcpy(block, "kept", 5);
    int nulls = !malloc(huge) && !malloc(largest) && !calloc(huge, huge) &&
                !calloc(huge, 1) && !aligned_huge() && !realloc(block, huge);
    int kept = strcmp(block, "kept") == 0;
    free(block);
    return nulls && kept;
}

ENTRY_EXPORT void entry(u64 zero_a, u64 zero_b, i32* running, back_buffer* buffer,
                        input_state* input, f32 frame_seconds, platform_api* services,
                        void** module_slot) {
    (void)zero_a, (void)zero_b, (void)running, (void)buffer, (void)input;
    (void)frame_seconds, (void)services, (void)module_slot;
    static u64 frame;
    ++frame;
    int* small = new int(7);
    char line[512];
    int length = snprintf(
        line, sizeof(line),
        "v=%d f=%llu caught=%d aligned=%d handler=%d nothrow=%d nothrow_handler=%d "
        "nothrow_throwing=%d c_calls=%d small=%p seven=%d\n",
        BAD_ALLOC_KEEP_ALL, (unsigned long long)frame, caught(), caught_aligned(),
        handler_called(), nothrow_null(nullptr, 0), nothrow_null(handler_once, 1),
        nothrow_null(handler_throwing, 1), c_calls_null(), (void*)small, *small);
    delete small;
    append_log("frames.log", line, length);
}
