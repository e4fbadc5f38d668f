// The guard on Linux (x86-64): sigsetjmp just before the call, siglongjmp
// from the signal handler, which runs on a stack of its own so that a
// module that overflowed the thread's stack can still be sent back.
//
// With a debugger attached the kernel stops the thread for the tracer
// before any handler runs, so every fault, and the SIGTRAP of a breakpoint
// instruction (debug_break) alike, reaches the debugger first (seen with
// gdb: "Program received signal SIGTRAP" just past the int3). Only what the
// debugger passes on comes here: gdb passes SIGSEGV, SIGFPE and the like,
// but not SIGTRAP, so after a debug_break the call simply goes on.
#include "guard/fault.h"
#include "guard/alignment_check.h"
#include "guard/build_name.h"

#include <dlfcn.h>
#include <fenv.h>
#include <link.h>
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>
#include <xmmintrin.h>

#include "engine/base/fatal.h"
#include "engine/base/number.h"
#include "engine/base/text.h"

#if !defined(__linux__) || !defined(__x86_64__)
#error "reads the x86-64 Linux signal context"
#endif

// x86-64 trap numbers and flags as the signal context presents them.
#define TRAP_GENERAL_PROTECTION 13
#define TRAP_PAGE_FAULT 14
#define TRAP_X87 16
#define PAGE_FAULT_WRITE 0x2
#define PAGE_FAULT_FETCH 0x10
#define DENORMAL_FLAG 0x2       // x87 status and control words, MXCSR
#define MXCSR_DENORMAL_MASK 0x100
#define INT3 0xCC

#define HANDLER_STACK_BYTES (64 * 1024)
// A fault this far below the stack's lowest page counts as an overflow: a
// frame larger than a page skips past the limit without touching it, and the
// kernel keeps a gap this wide free below the main thread's stack.
#define OVERFLOW_REACH (1024 * 1024)

// SIGABRT: the module's abort(), which an exception that leaves entry
// uncaught ends in too.
static const int guarded_signals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGABRT};
#define GUARDED_SIGNAL_COUNT (sizeof(guarded_signals) / sizeof(guarded_signals[0]))

static sigjmp_buf resume_point;
static volatile sig_atomic_t call_in_progress;
static module_fault* volatile recording;
static pthread_t host_thread;
static pid_t host_process;
static u64 stack_low;
static u64 stack_high;
static u64 overflow_reach;
static struct sigaction previous_actions[GUARDED_SIGNAL_COUNT];
static bool32 started;

// What the module may leave changed in the thread's floating-point state.
// glibc's fenv_t holds the x87 environment and MXCSR; the raw control words
// are put back too, so that does not rest on the C library.
typedef struct float_state {
    fenv_t environment;
    u32 mxcsr;
    u16 x87_control;
} float_state;

// Static rather than a local of the guard: nothing after sigsetjmp's second
// return then depends on what the call left in registers.
static float_state float_before_call;

// The module's own floating-point state between its calls. The host's code
// (SDL, Xlib, the C library) runs with the state it started with, so a
// module that unmasks exceptions can't make the host trap; the module finds
// its settings again at its next call, as the services promise.
static float_state module_float;
static bool32 module_float_kept;

static void save_float_state(float_state* state) {
    fegetenv(&state->environment);
    state->mxcsr = _mm_getcsr();
    __asm__ volatile("fnstcw %0" : "=m"(state->x87_control));
}

static void restore_float_state(const float_state* state) {
    // The saved status word replaces flags the fault left pending, which the
    // next x87 instruction would otherwise trap on.
    fesetenv(&state->environment);
    _mm_setcsr(state->mxcsr);
    __asm__ volatile("fldcw %0" : : "m"(state->x87_control));
}

static bool within(u64 value, u64 low, u64 high) { return value >= low && value < high; }

static u32 signal_slot(int signal) {
    for (u32 i = 0; i < GUARDED_SIGNAL_COUNT; ++i) {
        if (guarded_signals[i] == signal) {
            return i;
        }
    }
    fatal_stop();
}

// hlt, cli, sti, in and out, and the two-byte system instructions: user mode
// gets a general-protection fault for them, which Linux sends as SIGSEGV.
static bool privileged_opcode(const u8* at) {
    u8 first = at[0];
    if (first == 0xF4 || first == 0xFA || first == 0xFB || (first >= 0xE4 && first <= 0xE7) ||
        (first >= 0xEC && first <= 0xEF)) {
        return true;
    }
    if (first != 0x0F) {
        return false;
    }
    u8 second = at[1];
    return second == 0x06 || second == 0x08 || second == 0x09 || second == 0x30 ||
           second == 0x32 || (second >= 0x20 && second <= 0x23);
}

static fault_kind segv_kind(const siginfo_t* info, const ucontext_t* context) {
    const greg_t* registers = context->uc_mcontext.gregs;
    if (registers[REG_TRAPNO] == TRAP_GENERAL_PROTECTION) {
        return privileged_opcode((const u8*)registers[REG_RIP]) ? FAULT_PRIVILEGED_INSTRUCTION
                                                                : FAULT_ACCESS_VIOLATION;
    }
    u64 target = (u64)info->si_addr;
    return within(target, stack_low - overflow_reach, stack_low) ? FAULT_STACK_OVERFLOW
                                                                  : FAULT_ACCESS_VIOLATION;
}

// Linux reports a trapped denormal operand as underflow; the flag tells them
// apart, in the unit that trapped.
static bool denormal_trapped(const ucontext_t* context) {
    const struct _libc_fpstate* fpu = context->uc_mcontext.fpregs;
    if (!fpu) {
        return false;
    }
    if (context->uc_mcontext.gregs[REG_TRAPNO] == TRAP_X87) {
        return (fpu->swd & DENORMAL_FLAG) && !(fpu->cwd & DENORMAL_FLAG);
    }
    return (fpu->mxcsr & DENORMAL_FLAG) && !(fpu->mxcsr & MXCSR_DENORMAL_MASK);
}

static fault_kind fpe_kind(int code, const ucontext_t* context) {
    switch (code) {
    case FPE_INTDIV: return FAULT_INTEGER_DIVIDE;
    case FPE_INTOVF: return FAULT_INTEGER_OVERFLOW;
    case FPE_FLTDIV: return FAULT_FLOAT_DIVIDE;
    case FPE_FLTINV: return FAULT_FLOAT_INVALID;
    case FPE_FLTOVF: return FAULT_FLOAT_OVERFLOW;
    case FPE_FLTUND:
        return denormal_trapped(context) ? FAULT_FLOAT_DENORMAL : FAULT_FLOAT_UNDERFLOW;
    case FPE_FLTRES: return FAULT_FLOAT_INEXACT;
    case FPE_FLTSUB: return FAULT_BOUNDS;
    default: return FAULT_OTHER;
    }
}

// ud2, what fatal_stop compiles to. The processor decoded both bytes to
// reject them, so they can be read.
static bool fatal_stop_at(const u8* at) { return at[0] == 0x0F && at[1] == 0x0B; }

static fault_kind kind_of(int signal, const siginfo_t* info, const ucontext_t* context) {
    if (signal == SIGTRAP) {
        return FAULT_BREAKPOINT;
    }
    if (signal == SIGABRT) {
        return FAULT_ABORT;
    }
    // Raised by a call (raise, kill), not by an instruction.
    if (info->si_code <= 0) {
        return FAULT_OTHER;
    }
    switch (signal) {
    case SIGSEGV: return segv_kind(info, context);
    case SIGBUS: return info->si_code == BUS_ADRALN ? FAULT_MISALIGNMENT : FAULT_BUS_ERROR;
    case SIGILL:
        if (info->si_code == ILL_PRVOPC || info->si_code == ILL_PRVREG) {
            return FAULT_PRIVILEGED_INSTRUCTION;
        }
        return fatal_stop_at((const u8*)context->uc_mcontext.gregs[REG_RIP])
                   ? FAULT_BROKEN_INVARIANT
                   : FAULT_ILLEGAL_INSTRUCTION;
    case SIGFPE: return fpe_kind(info->si_code, context);
    default: return FAULT_OTHER;
    }
}

// After int3 the instruction pointer is one past it.
static u64 breakpoint_address(const siginfo_t* info, u64 ip) {
    return info->si_code == SI_KERNEL && *(const u8*)(ip - 1) == INT3 ? ip - 1 : ip;
}

static void record_access(module_fault* fault, const siginfo_t* info, const ucontext_t* context) {
    const greg_t* registers = context->uc_mcontext.gregs;
    if (registers[REG_TRAPNO] != TRAP_PAGE_FAULT) {
        // A general-protection fault (a non-canonical address) names no
        // address; all ones, as Windows reports it.
        fault->access = FAULT_ACCESS_READ;
        fault->target = ~0ull;
        return;
    }
    u64 error = (u64)registers[REG_ERR];
    fault->access = error & PAGE_FAULT_FETCH   ? FAULT_ACCESS_EXECUTE
                    : error & PAGE_FAULT_WRITE ? FAULT_ACCESS_WRITE
                                               : FAULT_ACCESS_READ;
    fault->target = (u64)info->si_addr;
    // Jumping to a bad address says nothing about where from; a call that
    // went there has just pushed its return address.
    u64 stack = (u64)registers[REG_RSP];
    if (fault->access == FAULT_ACCESS_EXECUTE && fault->target == fault->address &&
        within(stack, stack_low, stack_high - 8)) {
        fault->caller = *(const u64*)stack;
    }
}

static void record_fault(module_fault* fault, int signal, const siginfo_t* info,
                         const ucontext_t* context) {
    u64 ip = (u64)context->uc_mcontext.gregs[REG_RIP];
    fault->kind = kind_of(signal, info, context);
    fault->code = (u32)signal;
    fault->address = fault->kind == FAULT_BREAKPOINT ? breakpoint_address(info, ip) : ip;
    fault->access = 0;
    fault->target = 0;
    fault->caller = 0;
    if (signal == SIGSEGV && info->si_code > 0 && fault->kind != FAULT_PRIVILEGED_INSTRUCTION) {
        record_access(fault, info, context);
    }
}

// Not the module's fault: gone to whoever had the signal before the guard.
static void pass_on(int signal, siginfo_t* info, void* context) {
    const struct sigaction* before = &previous_actions[signal_slot(signal)];
    if (before->sa_flags & SA_SIGINFO) {
        before->sa_sigaction(signal, info, context);
        return;
    }
    if (before->sa_handler != SIG_DFL && before->sa_handler != SIG_IGN) {
        before->sa_handler(signal);
        return;
    }
    bool sent = info->si_code <= 0;
    if (before->sa_handler == SIG_IGN && sent) {
        return;
    }
    // The default: returning re-executes the faulting instruction, and the
    // process ends there as it would have without the guard (the kernel
    // ignores SIG_IGN for a fault too). A trap or a sent signal does not
    // come again by itself.
    struct sigaction fallback = {};
    fallback.sa_handler = SIG_DFL;
    sigaction(signal, &fallback, NULL);
    if (signal == SIGTRAP || sent) {
        raise(signal);
    }
}

// Set while the handler records a fault of the module's: a fault in that
// stretch is the host's own.
static volatile sig_atomic_t handling;

// A fault inside the handler itself: said plainly, with only what a handler
// may call, and the process then ends the default way.
static void handler_faulted(int signal, siginfo_t* info) {
    char line[160];
    char code[16];
    fault_code_text((u32)signal, code, sizeof(code));
    u32 at = copy_text(line, "Engine: ");
    at += copy_text(line + at, code);
    at += copy_text(line + at, " inside the host's own fault handling, at address 0x");
    at += print_hex32(line + at, (u32)((u64)info->si_addr >> 32));
    at += print_hex32(line + at, (u32)(u64)info->si_addr);
    at += copy_text(line + at, "; the host ends\n");
    ssize_t written = write(STDERR_FILENO, line, at);
    (void)written;
    struct sigaction fallback = {};
    fallback.sa_handler = SIG_DFL;
    sigaction(signal, &fallback, NULL);
}

// What the signal action points at (handler_entry below) clears the
// alignment-check flag before anything else runs: the module may have set
// it, and the handler's own unaligned stores would fault.
extern "C" void engine_fault_handler(int signal, siginfo_t* info, void* context) {
    if (handling && pthread_equal(pthread_self(), host_thread)) {
        handler_faulted(signal, info);
        return;
    }
    bool from_elsewhere = info->si_code <= 0 && info->si_pid != getpid();
    // pthread_self only reads the thread pointer: safe here.
    if (!call_in_progress || !pthread_equal(pthread_self(), host_thread) || from_elsewhere) {
        pass_on(signal, info, context);
        return;
    }
    call_in_progress = 0;
    handling = 1;
    record_fault(recording, signal, info, (const ucontext_t*)context);
    handling = 0;
    siglongjmp(resume_point, 1);
}

extern "C" void engine_fault_entry(int signal, siginfo_t* info, void* context);
__asm__(".text\n"
        ".p2align 4\n"
        ".type engine_fault_entry, @function\n"
        "engine_fault_entry:\n" ALIGNMENT_CHECK_TRAMPOLINE("engine_fault_handler")
        ".size engine_fault_entry, . - engine_fault_entry\n");

static void note_host_stack(void) {
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) {
        return;
    }
    void* low = NULL;
    size_t size = 0;
    size_t guard = 0;
    pthread_attr_getstack(&attributes, &low, &size);
    pthread_attr_getguardsize(&attributes, &guard);
    pthread_attr_destroy(&attributes);
    stack_low = (u64)low;
    stack_high = stack_low + size;
    overflow_reach = guard > OVERFLOW_REACH ? guard : OVERFLOW_REACH;
}

// With a page below it kept inaccessible, so that a handler that runs out of
// stack stops the process instead of writing over other memory.
static void give_handler_a_stack(void) {
    static u8* memory;
    u64 page = (u64)sysconf(_SC_PAGESIZE);
    if (!memory) {
        void* pages = mmap(NULL, HANDLER_STACK_BYTES + page, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        fatal_assert(pages != MAP_FAILED);
        fatal_assert(mprotect(pages, page, PROT_NONE) == 0);
        memory = (u8*)pages;
    }
    stack_t stack = {};
    stack.ss_sp = memory + page;
    stack.ss_size = HANDLER_STACK_BYTES;
    fatal_assert(sigaltstack(&stack, NULL) == 0);
}

void fault_handling_start(void) {
    host_thread = pthread_self();
    host_process = getpid();
    note_host_stack();
    give_handler_a_stack();
    struct sigaction action = {};
    action.sa_sigaction = engine_fault_entry;
    // NODEFER: siglongjmp leaves the handler without the kernel unblocking.
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    // Another start takes the signals back but keeps the first record, so a
    // handler installed since is never where host faults go.
    for (u32 i = 0; i < GUARDED_SIGNAL_COUNT; ++i) {
        struct sigaction before;
        fatal_assert(sigaction(guarded_signals[i], &action, &before) == 0);
        if (!started) {
            previous_actions[i] = before;
        }
    }
    started = 1;
}

// Not inlined: after siglongjmp this frame's own epilogue puts back the
// caller's registers, whatever the module did to them. The module's
// floating-point state is its own between its calls.
__attribute__((noinline)) bool32 guarded_module_call(module_fault* fault, host_function* function,
                                                     void* argument) {
    save_float_state(&float_before_call);
    if (module_float_kept) {
        restore_float_state(&module_float);
    }
    recording = fault;
    // 1: the mask comes back as it was, with the signal unblocked.
    if (sigsetjmp(resume_point, 1)) {
        restore_float_state(&float_before_call);
        clear_alignment_check();
        return 0;
    }
    call_in_progress = 1;
    function(argument);
    clear_alignment_check();
    call_in_progress = 0;
    save_float_state(&module_float);
    module_float_kept = 1;
    restore_float_state(&float_before_call);
    return 1;
}

// The same guard around a host function (the loader, which runs the
// library's constructors and destructors). A fault leaves the loader's own
// lock taken by this thread, which it takes recursively, and the library
// mapped.
__attribute__((noinline)) bool32 guarded_host_call(module_fault* fault, host_function* function,
                                                   void* argument) {
    save_float_state(&float_before_call);
    fault->kind = FAULT_NONE;
    recording = fault;
    if (sigsetjmp(resume_point, 1)) {
        restore_float_state(&float_before_call);
        clear_alignment_check();
        return 0;
    }
    call_in_progress = 1;
    function(argument);
    clear_alignment_check();
    call_in_progress = 0;
    restore_float_state(&float_before_call);
    return 1;
}

// Out of the module's exit as out of a fault: the guard's resume point
// puts back what the call may have changed. A child the module forked
// inherits the call in progress, and ends as it asks.
void fault_leave_for_exit(u32 call, i32 status, u64 address) {
    if (!call_in_progress || !fault_on_host_thread()) {
        return;
    }
    call_in_progress = 0;
    fault_set_exit(recording, call, status, address);
    siglongjmp(resume_point, 1);
}

bool32 fault_on_host_thread(void) {
    return started && pthread_equal(pthread_self(), host_thread) && getpid() == host_process;
}

bool32 guard_call_in_progress_here(void) { return call_in_progress && fault_on_host_thread(); }

// Appends within capacity, always terminated.
static u32 append(char* out, u32 capacity, u32 length, const char* text) {
    for (; *text && length + 1 < capacity; ++text) {
        out[length++] = *text;
    }
    out[length] = 0;
    return length;
}

static const char* signal_name(u32 code) {
    switch (code) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGILL: return "SIGILL";
    case SIGFPE: return "SIGFPE";
    case SIGTRAP: return "SIGTRAP";
    case SIGABRT: return "SIGABRT";
    default: return NULL;
    }
}

void fault_code_text(u32 code, char* out, u32 capacity) {
    if (!capacity) {
        return;
    }
    const char* name = signal_name(code);
    if (name) {
        append(out, capacity, 0, name);
        return;
    }
    char digits[11];
    u32 at = sizeof(digits) - 1;
    digits[at] = 0;
    do {
        digits[--at] = (char)('0' + code % 10);
        code /= 10;
    } while (code);
    append(out, capacity, append(out, capacity, 0, "signal "), digits + at);
}

static const char* file_part(const char* path) {
    const char* file = path ? path : "";
    for (const char* at = file; *at; ++at) {
        if (*at == '/') {
            file = at + 1;
        }
    }
    return file;
}

static bool is_loaded_build(void* library, const struct link_map* holder) {
    struct link_map* map = NULL;
    return library && holder && dlinfo(library, RTLD_DI_LINKMAP, &map) == 0 && map == holder;
}

static bool starts_with(const char* text, const char* prefix) {
    for (; *prefix; ++prefix, ++text) {
        if (*text != *prefix) {
            return false;
        }
    }
    return true;
}

// "active_main.so.<pid>.<n>", or the sealed copy a build runs from,
// "/proc/<pid>/fd/<n>" (library_linux.cpp): a copy of a build, loaded or
// half-loaded.
static bool is_build_copy(const char* path) {
    char sealed[32] = "/proc/";
    u32 at = 6 + print_u32(sealed + 6, (u32)getpid());
    copy_text(sealed + at, "/fd/");
    return is_build_copy_name(file_part(path)) || starts_with(path, sealed);
}

u64 fault_address_holder(u64 address, void* library, char* name, u32 capacity) {
    if (capacity) {
        name[0] = 0;
    }
    Dl_info info;
    struct link_map* holder = NULL;
    if (!address || !dladdr1((void*)address, &info, (void**)&holder, RTLD_DL_LINKMAP) ||
        !info.dli_fbase) {
        return 0;
    }
    // The host runs a copy under another name; the programmer knows the
    // build by its own.
    const char* file = file_part(info.dli_fname);
    if (is_loaded_build(library, holder) || is_build_copy(info.dli_fname)) {
        file = MODULE_NAME;
    }
    if (capacity) {
        append(name, capacity, 0, file);
    }
    return (u64)info.dli_fbase;
}
