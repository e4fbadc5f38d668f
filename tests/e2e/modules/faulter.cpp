// A test module that faults on purpose. FAULT_KIND (a build define) picks
// the fault; FAULT_KIND 0 never faults. The fault comes in the frame given by
// FAULTER_AT (frames counted across builds from 1), or with FAULTER_KEY=1
// the first frame in which the F key goes down.
//
// Every frame, before faulting, it draws the recorder's pattern (lower half
// red, upper half green, a blue square at the bottom-left) and appends a line
// to "frames.log": the kind, the frame, the addresses it received, the
// floating-point control state it found (compared only within one host) and
// the time F12 has spent up, which the host advances once per frame, so two
// calls in one frame log the same value.
//
// Kinds that exist on one system only:
// - FAULT_HANDLED_PROBE touches a no-access page in a way the system itself
//   catches, which must not count as a fault: Windows' IsBadReadPtr, which
//   handles the access violation inside the call; on POSIX a system call
//   handed the page, which the kernel answers with EFAULT and no signal.
// - FAULT_UNDER_HANDLER (Windows only) faults below a frame that has an
//   exception handler of its own, which declines. POSIX has no such chain:
//   signal handlers belong to the process, not to a frame, so a module that
//   installs one replaces the host's guard rather than standing before it.
// - FAULT_BUS_ERROR (POSIX only) touches a mapped page beyond the end of its
//   file: SIGBUS, which Windows has no counterpart for (a mapping there
//   never reaches past its file).
// - FAULT_ABORT calls abort(); FAULT_THROW throws a C++ exception that
//   nothing in the module catches, which ends in abort() too.
//
// FAULT_EXIT calls one of the calls that end a program, as "exit.txt" asks
// when it comes to it: "<call> <status>", the call 0 for exit, 1 _exit, 2
// _Exit, 3 quick_exit (Windows: UCRT builds only); exit(3) without the
// file. Call 4 (POSIX) forks a child that calls _exit with the status, and
// runs on once it has ended, its status noted in "children.log"; call 5
// starts a thread that calls exit with the status, once, and runs on once
// it has ended, noting "thread=1" there. FAULT_EXIT_IN_SOUND does
// that in its entry_sound.
//
// FAULT_TRUNCATE_COPIES opens every copy of the module in the build folder
// for writing, which truncates it, and runs on: the code it runs from must
// not be one of them.
//
// Kinds that fault outside entry, whatever FAULTER_AT says:
// - FAULT_IN_CONSTRUCTOR: a static object's constructor writes to null, as
//   the library loads (on Windows inside DllMain), so the build never loads.
// - FAULT_IN_DESTRUCTOR: a static object's destructor writes to null, as the
//   library is unloaded.
// - FAULT_EXIT_IN_CONSTRUCTOR and FAULT_EXIT_IN_DESTRUCTOR call exit there
//   as "exit.txt" asks.
// FAULTER_DEPENDENCY=1 makes the build call into a library of its own that
// the tests never put where the loader looks. Every build notes its start-up
// and shut-down in "lifecycle.log". FAULTER_CHDIR=1 makes the first build
// move the working directory into "deeper" (so its logs go there too).
// The contract first: on Linux it must come before <fcntl.h>.
#include "engine/base/fatal.h"
#include "engine/module.h"
#include "engine/input.h"
#include "engine/platform_api.h"
#include "engine/sound.h"
#include "log.h"

#include <float.h>
#include <stdio.h>
#include <stdlib.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <errno.h>
#include <fcntl.h>
#include <fenv.h>
#include <sys/mman.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xmmintrin.h>
#endif

#ifndef FAULT_KIND
#define FAULT_KIND 0
#endif

// Macros rather than an enumeration: the preprocessor picks the code that
// one kind needs.
#define FAULT_NONE 0
#define FAULT_WRITE_NULL 1
#define FAULT_ILLEGAL_INSTRUCTION 2
#define FAULT_INTEGER_DIVIDE 3
#define FAULT_FLOAT_DIVIDE 4
#define FAULT_BREAKPOINT 5
#define FAULT_STACK_OVERFLOW 6
#define FAULT_CALL_NULL 7
#define FAULT_HANDLED_PROBE 8
#define FAULT_UNDER_HANDLER 9
#define FAULT_READ_BAD 10
#define FAULT_BUS_ERROR 11
#define FAULT_BROKEN_INVARIANT 12
#define FAULT_IN_CONSTRUCTOR 13
#define FAULT_IN_DESTRUCTOR 14
#define FAULT_ABORT 15
#define FAULT_THROW 16
#define FAULT_FREE_OWN_BLOCK 17
#define FAULT_ALIGNMENT_MISALIGNED 18
#define FAULT_ALIGNMENT_NULL 19
#define FAULT_TRUNCATE_COPIES 20
#define FAULT_ALIGNMENT_RETURN 21
#define FAULT_EXIT 22
#define FAULT_EXIT_IN_CONSTRUCTOR 23
#define FAULT_EXIT_IN_DESTRUCTOR 24
#define FAULT_EXIT_IN_SOUND 25

#if defined(_WIN32) && FAULT_KIND == FAULT_BUS_ERROR
#error "a bus error is a POSIX fault"
#endif
#if !defined(_WIN32) && FAULT_KIND == FAULT_UNDER_HANDLER
#error "a frame's own exception handler is a Windows fault"
#endif

#ifdef _WIN32
#define NOINLINE __declspec(noinline)
#else
#define NOINLINE __attribute__((noinline))
#endif

// Near null, but not null: the title must name the address itself.
#define BAD_READ_ADDRESS 0x10

typedef struct faulter_state {
    u64 frames;
    u64 magic;  // written once; a later build checks it is still there
    memory_block own;  // the state's own block, for a build that frees it through this
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
static volatile u64 bad_read_address = BAD_READ_ADDRESS;
static volatile float zero_float = 0.0f;
static volatile float sink_float;
static volatile int sink_int;

// Each level keeps a page on the stack, so the recursion cannot be folded.
static NOINLINE int recurse(int depth) {
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

// Sets the alignment-check flag: where the system checks alignment, every
// misaligned access from here on faults, in whatever code runs.
static void set_alignment_check(void) {
    __asm__ volatile("pushfq\n\torq $0x40000, (%%rsp)\n\tpopfq" : : : "memory", "cc");
}

static volatile u64 aligned_words[2];

// Each build's start-up and shut-down, in order, as lines of
// "lifecycle.log": "+<kind>" and "-<kind>".
static void note_lifecycle(char event) {
    char line[16];
    append_log("lifecycle.log", line, snprintf(line, sizeof(line), "%c%d\n", event, FAULT_KIND));
}
struct lifecycle {
    lifecycle() { note_lifecycle('+'); }
    ~lifecycle() { note_lifecycle('-'); }
};
static lifecycle noted;

#if FAULT_KIND == FAULT_IN_CONSTRUCTOR
struct faults_when_made {
    faults_when_made() { write_null(); }
};
static faults_when_made made;
#endif

#ifdef _WIN32
static DWORD WINAPI exit_in_thread(void* status) {
    exit((int)(u64)status);
}
#else
static void* exit_in_thread(void* status) {
    exit((int)(u64)status);
}
#endif

static void exit_in_a_thread(int status) {
    static bool started;
    if (started) {
        return;
    }
    started = true;
    void* argument = (void*)(u64)status;
#ifdef _WIN32
    HANDLE thread = CreateThread(NULL, 0, exit_in_thread, argument, 0, NULL);
    bool ended = thread && WaitForSingleObject(thread, 10000) == WAIT_OBJECT_0;
#else
    pthread_t thread;
    bool ended = pthread_create(&thread, NULL, exit_in_thread, argument) == 0 &&
                 pthread_join(thread, NULL) == 0;
#endif
    append_log("children.log", ended ? "thread=1\n" : "thread=0\n", 9);
}

// As the test asked, through the call it named.
static void exit_as_asked(void) {
    int call = 0;
    int status = 3;
    FILE* asked = fopen("exit.txt", "r");
    if (asked) {
        if (fscanf(asked, "%d %d", &call, &status) != 2) {
            call = 0;
            status = 3;
        }
        fclose(asked);
    }
    switch (call) {
    case 1: _exit(status); break;
    case 2: _Exit(status); break;
#if !defined(_WIN32) || defined(_UCRT)
    case 3: quick_exit(status); break;  // msvcrt.dll has none
#endif
#ifndef _WIN32
    case 4: {
        pid_t child = fork();
        if (child == 0) {
            _exit(status);
        }
        int ended = 0;
        char line[64];
        if (child > 0 && waitpid(child, &ended, 0) == child && WIFEXITED(ended)) {
            append_log("children.log", line,
                       snprintf(line, sizeof(line), "status=%d\n", WEXITSTATUS(ended)));
        }
        return;
    }
#endif
    case 5:
        exit_in_a_thread(status);
        return;
    default: exit(status); break;
    }
}

#if FAULT_KIND == FAULT_EXIT_IN_CONSTRUCTOR
struct exits_when_made {
    exits_when_made() { exit_as_asked(); }
};
static exits_when_made exit_made;
#endif

#if FAULT_KIND == FAULT_EXIT_IN_DESTRUCTOR
struct exits_when_unmade {
    ~exits_when_unmade() { exit_as_asked(); }
};
static exits_when_unmade exit_unmade;
#endif

#if FAULT_KIND == FAULT_IN_DESTRUCTOR
struct faults_when_unmade {
    ~faults_when_unmade() { write_null(); }
};
static faults_when_unmade unmade;
#endif

#if FAULTER_DEPENDENCY
extern "C" int faulter_dependency(void);
#endif

#if FAULT_KIND == FAULT_UNDER_HANDLER
static void (*volatile write_null_indirect)(void) = write_null;

struct counted_cleanup {
    ~counted_cleanup() { sink_int = sink_int + 1; }
};

// Built with exceptions on, the call may throw, so this frame gets a handler.
static NOINLINE void write_null_under_cleanup(void) {
    counted_cleanup cleanup;
    write_null_indirect();
}
#endif

#if FAULT_KIND == FAULT_BUS_ERROR
// One page mapped over an empty file: the page has no bytes behind it.
static void touch_past_end_of_file(void) {
    const char* name = "faulter_bus_error.bin";
    int file = open(name, O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (file < 0) {
        return;
    }
    void* page = mmap(NULL, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, file, 0);
    close(file);
    unlink(name);
    if (page != MAP_FAILED) {
        *(volatile int*)page = 1;
    }
}
#endif

#if FAULT_KIND == FAULT_THROW
// Built with exceptions on; nothing in the module catches it, so it leaves
// entry.
static NOINLINE void throw_out(void) { throw zero_int + 1; }
#endif

static void fault(platform_api* services, faulter_state* state) {
    switch (FAULT_KIND) {
    case FAULT_FREE_OWN_BLOCK:
        // The record lies inside the block it frees.
        state->own.memory = state;
        state->own.size = sizeof(*state);
        services->free_memory(&state->own);
        write_null();
        break;
    case FAULT_ALIGNMENT_MISALIGNED:
        set_alignment_check();
        sink_int = *(volatile int*)((volatile u8*)aligned_words + 1);
        break;
    case FAULT_ALIGNMENT_NULL:
        set_alignment_check();
        write_null();
        break;
    case FAULT_ALIGNMENT_RETURN:
        set_alignment_check();
        break;
    case FAULT_ABORT:
        abort();
        break;
    case FAULT_EXIT:
        exit_as_asked();
        break;
#if FAULT_KIND == FAULT_THROW
    case FAULT_THROW:
        throw_out();
        break;
#endif
    case FAULT_WRITE_NULL:
        write_null();
        break;
    case FAULT_READ_BAD:
        sink_int = *(volatile int*)bad_read_address;
        break;
#if FAULT_KIND == FAULT_UNDER_HANDLER
    case FAULT_UNDER_HANDLER:
        write_null_under_cleanup();
        break;
#endif
#if FAULT_KIND == FAULT_BUS_ERROR
    case FAULT_BUS_ERROR:
        touch_past_end_of_file();
        break;
#endif
    case FAULT_ILLEGAL_INSTRUCTION:
        // ud1: undefined, but not the ud2 of a fatal stop.
        __asm__ volatile(".byte 0x0f, 0xb9, 0xc0");
        break;
    case FAULT_BROKEN_INVARIANT:
        fatal_assert(zero_int != 0);
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
    case FAULT_TRUNCATE_COPIES: {
        static dir_entry copies[16];
        u32 count = services->list_directory("../build/active_*", copies, 16);
        for (u32 i = 0; i < count; ++i) {
            char path[300];
            snprintf(path, sizeof(path), "../build/%s", copies[i].name);
            file_handle file = services->open_file(path, 0, FILE_OPEN_WRITE);
            services->close_file(&file);
        }
        break;
    }
    default:
        break;
    }
}

// 1 when the system caught the access to a no-access page itself.
static int probe_no_access_page(void) {
#ifdef _WIN32
    static void* page;
    if (!page) {
        page = VirtualAlloc(NULL, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_NOACCESS);
    }
    return IsBadReadPtr(page, 1) ? 1 : 0;
#else
    static void* page = MAP_FAILED;
    static int pipe_ends[2] = {-1, -1};
    if (page == MAP_FAILED) {
        page = mmap(NULL, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    }
    if (pipe_ends[1] < 0 && pipe(pipe_ends) != 0) {
        return 0;
    }
    // The kernel reads the byte to put it in the pipe, and reports the fault.
    return page != MAP_FAILED && write(pipe_ends[1], page, 1) < 0 && errno == EFAULT ? 1 : 0;
#endif
}

// The thread's floating-point control state: which exceptions are masked and
// how it rounds, without the flags that arithmetic leaves behind.
static u32 float_control(void) {
#ifdef _WIN32
    return _control87(0, 0);
#else
    return (_mm_getcsr() & ~0x3Fu) | (u32)fegetexcept() << 16;
#endif
}

static bool f_key_pressed(const input_state* input) {
    const button_state* key = &input->buttons[KEY_F];
    return key->is_down && key->transitions > 0;
}

ENTRY_EXPORT void entry(u64 zero_a, u64 zero_b, i32* running, back_buffer* buffer,
                        struct input_state* input, f32 frame_seconds,
                        struct platform_api* services, void** module_slot) {
    (void)zero_a;
    (void)zero_b;
    (void)frame_seconds;
    bool first = !*module_slot;
    faulter_state* state =
        (faulter_state*)slot_state(module_slot, services, sizeof(faulter_state));
    if (first) {
        state->magic = FAULTER_MAGIC;
        // FAULTER_CHDIR=1: the module moves the working directory one level
        // down, where "../build" is no longer the host's build folder.
        if (environment_number("FAULTER_CHDIR")) {
            services->make_directory("deeper");
            services->set_working_directory("deeper");
        }
    }
    state->frames += 1;
    if (buffer->pixels) {
        draw_pattern(buffer);
    }
    int probe = FAULT_KIND == FAULT_HANDLED_PROBE ? probe_no_access_page() : -1;
    static const u64 fault_at = environment_number("FAULTER_AT");
    static const u64 on_key = environment_number("FAULTER_KEY");
#if FAULTER_DEPENDENCY
    sink_int = faulter_dependency();
#endif
    bool faulting = FAULT_KIND != FAULT_NONE && FAULT_KIND != FAULT_HANDLED_PROBE &&
                    FAULT_KIND != FAULT_IN_DESTRUCTOR && FAULT_KIND != FAULT_EXIT_IN_DESTRUCTOR &&
                    FAULT_KIND != FAULT_EXIT_IN_SOUND &&
                    ((fault_at && state->frames >= fault_at) || (on_key && f_key_pressed(input)));

    char line[512];
    int length = snprintf(
        line, sizeof(line),
        "v=%d f=%llu magic=%d fault=%d probe=%d fpcw=%x w=%u h=%u run=%p runv=%d in=%p "
        "svc=%p slot=%p keyf=%u held=%.6f\n",
        FAULT_KIND, (unsigned long long)state->frames, state->magic == FAULTER_MAGIC,
        faulting ? 1 : 0, probe, float_control(), buffer->width, buffer->height,
        (void*)running, *running, (void*)input, (void*)services, (void*)module_slot,
        input->buttons[KEY_F].transitions, (double)input->buttons[KEY_F12].durations[0]);
    append_log("frames.log", line, length);
    if (faulting) {
        fault(services, state);
    }
}

#if FAULT_KIND == FAULT_EXIT_IN_SOUND
// Exits in the frame FAULTER_AT asks for, after entry has run.
ENTRY_EXPORT void entry_sound(sound_buffer* sound, platform_api* services, void** module_slot) {
    (void)sound;
    faulter_state* state =
        (faulter_state*)slot_state(module_slot, services, sizeof(faulter_state));
    static const u64 exit_at = environment_number("FAULTER_AT");
    if (exit_at && state->frames >= exit_at) {
        exit_as_asked();
    }
}
#endif
