// A test module that faults on purpose. FAULT_KIND (a build define) picks
// the fault; FAULT_KIND 0 never faults. The fault comes in the frame given by
// FAULTER_AT (frames counted across builds from 1), or with FAULTER_KEY=1
// the first frame in which the F key goes down.
//
// Every frame, before faulting, it draws the recorder's pattern (lower half
// red, upper half green, a blue square at the bottom-left) and appends a line
// to "frames.log": the kind, the frame, the addresses it received and the
// floating-point control word it found.
#include <windows.h>

#include <float.h>
#include <stdio.h>

#include "host/module.h"
#include "tests/e2e/modules/log_win32.h"
#include "input/input.h"
#include "platform/platform_api.h"

#ifndef FAULT_KIND
#define FAULT_KIND 0
#endif

enum {
    FAULT_NONE,
    FAULT_WRITE_NULL,
    FAULT_ILLEGAL_INSTRUCTION,
    FAULT_INTEGER_DIVIDE,
    FAULT_FLOAT_DIVIDE,
    FAULT_BREAKPOINT,
    FAULT_STACK_OVERFLOW,
    FAULT_CALL_NULL,
    // Not a fault: probes a no-access page through a system function that
    // handles the access violation itself.
    FAULT_HANDLED_PROBE,
    // A null write below a frame with an exception handler of its own (a
    // C++ cleanup, built with exceptions on), which declines the fault.
    FAULT_UNDER_HANDLER,
};

typedef struct faulter_state {
    u64 frames;
    u64 magic;  // written once; a later build checks it is still there
} faulter_state;

#define FAULTER_MAGIC 0x5107AB1E5107AB1Eull

static void draw_pattern(back_buffer* buffer) {
    for (u32 y = 0; y < buffer->height; ++y) {
        u32* row = buffer->pixels + (u64)y * buffer->pitch;
        u32 colour = y < buffer->height / 2 ? 0xFF0000u : 0x00FF00u;
        for (u32 x = 0; x < buffer->width; ++x) {
            row[x] = (x < 20 && y < 20) ? 0x0000FFu : colour;
        }
    }
}

static volatile int zero_int = 0;
static volatile float zero_float = 0.0f;
static volatile float sink_float;
static volatile int sink_int;

// Each level keeps a page on the stack, so the recursion cannot be folded.
static __declspec(noinline) int recurse(int depth) {
    // Far deeper than any stack; only there so the recursion has an end.
    if (depth > (1 << 30)) {
        return 0;
    }
    volatile char page[4096];
    page[0] = (char)depth;
    page[4095] = (char)depth;
    return recurse(depth + 1) + page[0] + page[4095];
}

static void write_null(void) { *(volatile int*)(u64)zero_int = 1; }
static void (*volatile write_null_indirect)(void) = write_null;

struct counted_cleanup {
    ~counted_cleanup() { sink_int = sink_int + 1; }
};

// With exceptions on, the call may throw, so this frame gets a handler.
static __declspec(noinline) void write_null_under_cleanup(void) {
    counted_cleanup cleanup;
    write_null_indirect();
}

static void fault(platform_api* services) {
    switch (FAULT_KIND) {
    case FAULT_WRITE_NULL:
        write_null();
        break;
    case FAULT_UNDER_HANDLER:
        write_null_under_cleanup();
        break;
    case FAULT_ILLEGAL_INSTRUCTION:
        __builtin_trap();
        break;
    case FAULT_INTEGER_DIVIDE:
        sink_int = 7 / zero_int;
        break;
    case FAULT_FLOAT_DIVIDE:
        services->enable_float_exceptions();
        sink_float = 1.0f / zero_float;
        break;
    case FAULT_BREAKPOINT:
        services->debug_break();
        break;
    case FAULT_STACK_OVERFLOW:
        sink_int = recurse(0);
        break;
    case FAULT_CALL_NULL: {
        void (*volatile nothing)(void) = NULL;
        nothing();
        break;
    }
    default:
        break;
    }
}

// IsBadReadPtr on a no-access page: the system catches the access itself.
static int probe_no_access_page(void) {
    static void* page;
    if (!page) {
        page = VirtualAlloc(NULL, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_NOACCESS);
    }
    return IsBadReadPtr(page, 1) ? 1 : 0;
}

static bool f_key_pressed(const input_state* input) {
    const button_state* key = &input->buttons[KEY_F];
    return key->is_down && key->transitions > 0;
}

extern "C" __declspec(dllexport) void entry(u64 zero_a, u64 zero_b, i32* running,
                                            back_buffer* buffer, struct input_state* input,
                                            f32 frame_seconds, struct platform_api* services,
                                            void** module_slot) {
    (void)zero_a;
    (void)zero_b;
    (void)frame_seconds;
    if (!*module_slot) {
        *module_slot = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(faulter_state));
        ((faulter_state*)*module_slot)->magic = FAULTER_MAGIC;
    }
    faulter_state* state = (faulter_state*)*module_slot;
    state->frames += 1;
    if (buffer->pixels) {
        draw_pattern(buffer);
    }
    int probe = FAULT_KIND == FAULT_HANDLED_PROBE ? probe_no_access_page() : -1;
    static const u64 fault_at = environment_number("FAULTER_AT");
    static const u64 on_key = environment_number("FAULTER_KEY");
    bool faulting = FAULT_KIND != FAULT_NONE &&
                    ((fault_at && state->frames >= fault_at) || (on_key && f_key_pressed(input)));

    char line[512];
    int length = snprintf(
        line, sizeof(line),
        "v=%d f=%llu magic=%d fault=%d probe=%d fpcw=%x w=%u h=%u run=%p runv=%d in=%p "
        "svc=%p slot=%p keyf=%u\n",
        FAULT_KIND, (unsigned long long)state->frames, state->magic == FAULTER_MAGIC,
        faulting ? 1 : 0, probe, _control87(0, 0), buffer->width, buffer->height,
        (void*)running, *running, (void*)input, (void*)services, (void*)module_slot,
        input->buttons[KEY_F].transitions);
    append_log("frames.log", line, length);
    if (faulting) {
        fault(services);
    }
}
