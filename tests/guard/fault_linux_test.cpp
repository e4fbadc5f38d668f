// The fault guard in-process on Linux: calls that return, calls that fault
// in each way, the caller's state and the float environment after a
// recovery, signals that are not the module's, and the names of codes and
// of the libraries that hold an address. Not under AddressSanitizer, which
// owns SIGSEGV and the handler's stack.
#include <dlfcn.h>
#include <fenv.h>
#include <link.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xmmintrin.h>

#include <gtest/gtest.h>

#include "guard/build_name.h"
#include "guard/fault.h"
#include "tests/guard/guard_test.h"

// Entries that fault at a known place: their first instruction, or a label.
extern "C" {
__attribute__((visibility("hidden"))) module_entry fault_test_int3;
__attribute__((visibility("hidden"))) module_entry fault_test_ud2;
__attribute__((visibility("hidden"))) module_entry fault_test_ud1;
__attribute__((visibility("hidden"))) module_entry fault_test_hlt;
__attribute__((visibility("hidden"))) module_entry fault_test_misaligned;
__attribute__((visibility("hidden"))) void fault_test_misaligned_load(void);
}
__asm__(".pushsection .text\n"
        ".globl fault_test_int3, fault_test_ud2, fault_test_ud1, fault_test_hlt\n"
        ".globl fault_test_misaligned, fault_test_misaligned_load\n"
        ".hidden fault_test_int3, fault_test_ud2, fault_test_ud1, fault_test_hlt\n"
        ".hidden fault_test_misaligned, fault_test_misaligned_load\n"
        "fault_test_int3:\n\tint3\n\tret\n"
        "fault_test_ud2:\n\tud2\n"
        // ud1 %eax, %eax: undefined too, but not what a fatal stop compiles to.
        "fault_test_ud1:\n\t.byte 0x0f, 0xb9, 0xc0\n"
        "fault_test_hlt:\n\thlt\n\tret\n"
        // Alignment checking on, then a 4-byte read one byte past an
        // 8-byte boundary.
        "fault_test_misaligned:\n\tpushfq\n\torq $0x40000, (%rsp)\n\tpopfq\n"
        "\tsubq $24, %rsp\n\tmovq %rsp, %rax\n\tandq $-8, %rax\n"
        "fault_test_misaligned_load:\n\tmovl 1(%rax), %eax\n\taddq $24, %rsp\n\tret\n"
        ".popsection\n");

namespace {

volatile float zero_float = 0.0f;
volatile float tiny_float = 1e-30f;
volatile float huge_float = 1e30f;
volatile float denormal_float = 1e-40f;
volatile long double zero_long = 0.0L;
volatile float float_sink;
volatile long double long_sink;
volatile int int_sink;
volatile u8* volatile fault_at;  // the address the access entries touch

#define ENTRY_PARAMETERS u64, u64, i32*, back_buffer*, input_state*, f32, platform_api*, void**

void read_at(ENTRY_PARAMETERS) { int_sink = *fault_at; }
void write_at(ENTRY_PARAMETERS) { *fault_at = 1; }

void call_null(ENTRY_PARAMETERS) {
    void (*volatile nowhere)(void) = nullptr;
    nowhere();
    int_sink = 1;  // not a tail call: the call pushes its return address
}

// Flags left set by earlier tests would not trap but would confuse the checks.
void unmask(int exceptions) {
    feclearexcept(FE_ALL_EXCEPT);
    feenableexcept(exceptions);
}

void float_divide(ENTRY_PARAMETERS) {
    unmask(FE_DIVBYZERO);
    float_sink = 1.0f / zero_float;
}
void float_invalid(ENTRY_PARAMETERS) {
    unmask(FE_INVALID);
    float_sink = zero_float / zero_float;
}
void float_overflow(ENTRY_PARAMETERS) {
    unmask(FE_OVERFLOW);
    float_sink = huge_float * huge_float;
}
void float_underflow(ENTRY_PARAMETERS) {
    unmask(FE_UNDERFLOW);
    float_sink = tiny_float * tiny_float;
}
void float_inexact(ENTRY_PARAMETERS) {
    unmask(FE_INEXACT);
    float_sink = 1.0f / (zero_float + 3.0f);
}
void float_denormal(ENTRY_PARAMETERS) {
    feclearexcept(FE_ALL_EXCEPT);
    _mm_setcsr(_mm_getcsr() & ~0x100u);  // the C library has no name for this mask
    float_sink = denormal_float * 2.0f;
}
// The x87 unit traps at its next instruction, with the flag left pending.
void x87_divide(ENTRY_PARAMETERS) {
    unmask(FE_DIVBYZERO);
    long_sink = 1.0L / zero_long;
    long_sink = long_sink + 1.0L;
}

void read_non_canonical(ENTRY_PARAMETERS) { int_sink = *(volatile int*)0x8000000000000000ull; }

__attribute__((noinline)) int deeper(int depth) {
    volatile char page[4096];
    page[0] = (char)depth;
    return depth > (1 << 30) ? 0 : deeper(depth + 1) + page[0];
}

void overflow(ENTRY_PARAMETERS) { int_sink = deeper(0); }

// A page that reads past the end of the file it maps: SIGBUS.
volatile u8* page_past_file_end(void) {
    char path[] = "/tmp/fault_test_XXXXXX";
    int file = mkstemp(path);
    if (file < 0) {
        return nullptr;
    }
    unlink(path);
    long page = sysconf(_SC_PAGESIZE);
    u8* pages = nullptr;
    if (ftruncate(file, page) == 0) {
        void* mapped = mmap(nullptr, 2 * page, PROT_READ, MAP_SHARED, file, 0);
        pages = mapped == MAP_FAILED ? nullptr : (u8*)mapped;
    }
    close(file);
    return pages ? pages + page : nullptr;
}

volatile u8* fresh_page(int protection) {
    void* page = mmap(nullptr, 4096, protection, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return page == MAP_FAILED ? nullptr : (volatile u8*)page;
}

// The handler that had SIGTRAP before the guard: breakpoints outside the
// call go there.
volatile sig_atomic_t traps_before_guard;
void count_trap(int) { traps_before_guard = traps_before_guard + 1; }

}  // namespace

void start_guard(void) {
    static bool started;
    if (started) {
        return;
    }
    struct sigaction counting = {};
    counting.sa_handler = count_trap;
    sigaction(SIGTRAP, &counting, nullptr);
    fault_handling_start();
    started = true;
}

namespace {

bool signal_blocked(int signal) {
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    return sigismember(&mask, signal) == 1;
}

u16 x87_control_word(void) {
    u16 word = 0;
    __asm__ volatile("fnstcw %0" : "=m"(word));
    return word;
}

u64 flags_register(void) {
    u64 flags = 0;
    __asm__ volatile("pushfq\n\tpopq %0" : "=r"(flags));
    return flags;
}

// Where the fault must be reported: [at, at + span).
#define EXACT 1
#define IN_FUNCTION 256

TEST_F(guard_test, each_fault_comes_back_as_0_with_its_kind_code_and_address) {
    volatile u8* read_only = fresh_page(PROT_READ);
    ASSERT_NE(read_only, nullptr);
    volatile u8* past_end = page_past_file_end();
    ASSERT_NE(past_end, nullptr);
    // Unmapped last, so that no mapping here takes its place.
    volatile u8* unmapped = fresh_page(PROT_READ);
    ASSERT_NE(unmapped, nullptr);
    munmap((void*)unmapped, 4096);
    struct {
        const char* what;
        module_entry* entry;
        volatile u8* touches;
        fault_kind kind;
        int signal;
        const void* at;
        u64 span;
    } cases[] = {
        {"null write", write_null, nullptr, FAULT_ACCESS_VIOLATION, SIGSEGV,
         (void*)write_null, IN_FUNCTION},
        {"unmapped read", read_at, unmapped, FAULT_ACCESS_VIOLATION, SIGSEGV,
         (void*)read_at, IN_FUNCTION},
        {"read-only write", write_at, read_only, FAULT_ACCESS_VIOLATION, SIGSEGV,
         (void*)write_at, IN_FUNCTION},
        {"non-canonical read", read_non_canonical, nullptr, FAULT_ACCESS_VIOLATION, SIGSEGV,
         (void*)read_non_canonical, IN_FUNCTION},
        {"null call", call_null, nullptr, FAULT_ACCESS_VIOLATION, SIGSEGV, nullptr, EXACT},
        {"read past a file's end", read_at, past_end, FAULT_BUS_ERROR, SIGBUS,
         (void*)read_at, IN_FUNCTION},
        {"misaligned read", fault_test_misaligned, nullptr, FAULT_MISALIGNMENT, SIGBUS,
         (void*)fault_test_misaligned_load, EXACT},
        {"integer division", divide_by_zero, nullptr, FAULT_INTEGER_DIVIDE, SIGFPE,
         (void*)divide_by_zero, IN_FUNCTION},
        {"float division", float_divide, nullptr, FAULT_FLOAT_DIVIDE, SIGFPE,
         (void*)float_divide, IN_FUNCTION},
        {"float invalid", float_invalid, nullptr, FAULT_FLOAT_INVALID, SIGFPE,
         (void*)float_invalid, IN_FUNCTION},
        {"float overflow", float_overflow, nullptr, FAULT_FLOAT_OVERFLOW, SIGFPE,
         (void*)float_overflow, IN_FUNCTION},
        {"float underflow", float_underflow, nullptr, FAULT_FLOAT_UNDERFLOW, SIGFPE,
         (void*)float_underflow, IN_FUNCTION},
        {"float inexact", float_inexact, nullptr, FAULT_FLOAT_INEXACT, SIGFPE,
         (void*)float_inexact, IN_FUNCTION},
        {"float denormal", float_denormal, nullptr, FAULT_FLOAT_DENORMAL, SIGFPE,
         (void*)float_denormal, IN_FUNCTION},
        {"x87 division", x87_divide, nullptr, FAULT_FLOAT_DIVIDE, SIGFPE,
         (void*)x87_divide, IN_FUNCTION},
        // A fatal stop is a broken invariant; other undefined opcodes are not.
        {"ud2", fault_test_ud2, nullptr, FAULT_BROKEN_INVARIANT, SIGILL,
         (void*)fault_test_ud2, EXACT},
        {"ud1", fault_test_ud1, nullptr, FAULT_ILLEGAL_INSTRUCTION, SIGILL,
         (void*)fault_test_ud1, EXACT},
        {"hlt", fault_test_hlt, nullptr, FAULT_PRIVILEGED_INSTRUCTION, SIGSEGV,
         (void*)fault_test_hlt, EXACT},
        {"int3", fault_test_int3, nullptr, FAULT_BREAKPOINT, SIGTRAP,
         (void*)fault_test_int3, EXACT},
        {"stack overflow", overflow, nullptr, FAULT_STACK_OVERFLOW, SIGSEGV,
         (void*)deeper, IN_FUNCTION},
    };
    // Twice over: the same signal again finds the handler installed and
    // the signal unblocked; a second overflow is caught like the first.
    for (u32 round = 0; round < 2; ++round) {
        for (auto& one : cases) {
            fault = {};
            fault_at = one.touches;
            EXPECT_EQ(call(one.entry), 0u) << one.what;
            EXPECT_EQ(fault.kind, one.kind) << one.what << ": " << fault_name(fault.kind);
            EXPECT_EQ(fault.code, (u32)one.signal) << one.what;
            EXPECT_GE(fault.address, (u64)one.at) << one.what;
            EXPECT_LT(fault.address, (u64)one.at + one.span) << one.what;
            EXPECT_FALSE(signal_blocked(one.signal)) << one.what;
            EXPECT_EQ(flags_register() & 0x40000u, 0u) << one.what << ": alignment check left on";
        }
    }
    munmap((void*)read_only, 4096);
    munmap((void*)(past_end - 4096), 2 * 4096);
    // The guard is still in place for the next call.
    EXPECT_EQ(call(returning), 1u);
    EXPECT_EQ(slot, (void*)0x5107);
}

TEST_F(guard_test, access_violations_say_how_and_where) {
    call(write_null);
    EXPECT_EQ(fault.access, (u64)FAULT_ACCESS_WRITE);
    EXPECT_EQ(fault.target, 0u);
    EXPECT_EQ(fault.caller, 0u);

    volatile u8* unmapped = fresh_page(PROT_READ);
    ASSERT_NE(unmapped, nullptr);
    munmap((void*)unmapped, 4096);
    fault_at = unmapped + 12;
    call(read_at);
    EXPECT_EQ(fault.access, (u64)FAULT_ACCESS_READ);
    EXPECT_EQ(fault.target, (u64)(unmapped + 12));

    // A general-protection fault names no address.
    call(read_non_canonical);
    EXPECT_EQ(fault.access, (u64)FAULT_ACCESS_READ);
    EXPECT_EQ(fault.target, ~0ull);

    // A call through null: executing 0, called from inside call_null.
    fault = {};
    call(call_null);
    EXPECT_EQ(fault.access, (u64)FAULT_ACCESS_EXECUTE);
    EXPECT_EQ(fault.target, 0u);
    EXPECT_EQ(fault.address, 0u);
    EXPECT_GT(fault.caller, (u64)call_null);
    EXPECT_LT(fault.caller, (u64)call_null + IN_FUNCTION);

    // Other faults leave the access fields clear.
    call(divide_by_zero);
    EXPECT_EQ(fault.kind, FAULT_INTEGER_DIVIDE);
    EXPECT_EQ(fault.target, 0u);
    EXPECT_EQ(fault.caller, 0u);
}

void change_everything_and_divide(ENTRY_PARAMETERS) {
    fesetround(FE_TOWARDZERO);
    _mm_setcsr(_mm_getcsr() | 0x8040u);  // flush-to-zero, denormals-are-zero
    feenableexcept(FE_DIVBYZERO | FE_INVALID);
    float_sink = 1.0f / zero_float;
}

TEST_F(guard_test, the_float_environment_is_put_back_after_a_fault) {
    fedisableexcept(FE_ALL_EXCEPT);
    feclearexcept(FE_ALL_EXCEPT);
    fesetround(FE_UPWARD);
    feraiseexcept(FE_INEXACT);
    u32 mxcsr = _mm_getcsr();
    u16 x87_word = x87_control_word();
    EXPECT_EQ(call(change_everything_and_divide), 0u);
    EXPECT_EQ(fault.kind, FAULT_FLOAT_DIVIDE);
    EXPECT_EQ(_mm_getcsr(), mxcsr);
    EXPECT_EQ(x87_control_word(), x87_word);
    EXPECT_EQ(fegetround(), FE_UPWARD);
    EXPECT_EQ(fegetexcept(), 0);
    EXPECT_EQ(fetestexcept(FE_ALL_EXCEPT), FE_INEXACT);

    // The x87 unit too: nothing pending for its next instruction.
    EXPECT_EQ(call(x87_divide), 0u);
    EXPECT_EQ(x87_control_word(), x87_word);
    long_sink = 1.0L / zero_long;
    EXPECT_EQ(fetestexcept(FE_DIVBYZERO), FE_DIVBYZERO);
    fesetround(FE_TONEAREST);
    feclearexcept(FE_ALL_EXCEPT);
}

u32 mxcsr_seen_in_entry;

void unmask_divide_and_return(ENTRY_PARAMETERS) {
    mxcsr_seen_in_entry = _mm_getcsr();
    feenableexcept(FE_DIVBYZERO);
}

void look_at_float_state(ENTRY_PARAMETERS) { mxcsr_seen_in_entry = _mm_getcsr(); }

void mask_everything_and_return(ENTRY_PARAMETERS) { fedisableexcept(FE_ALL_EXCEPT); }

TEST_F(guard_test, the_modules_float_settings_stay_its_own_between_calls) {
    fedisableexcept(FE_ALL_EXCEPT);
    feclearexcept(FE_ALL_EXCEPT);
    u32 host_mxcsr = _mm_getcsr();
    EXPECT_EQ(call(unmask_divide_and_return), 1u);
    // The host's code runs on with everything masked ...
    EXPECT_EQ(_mm_getcsr(), host_mxcsr);
    EXPECT_EQ(fegetexcept(), 0);
    float_sink = 1.0f / zero_float;
    // ... and the module finds divide-by-zero unmasked at its next call.
    EXPECT_EQ(call(look_at_float_state), 1u);
    EXPECT_EQ(mxcsr_seen_in_entry & 0x200u, 0u);
    EXPECT_EQ(call(mask_everything_and_return), 1u);
    EXPECT_EQ(call(look_at_float_state), 1u);
    EXPECT_EQ(mxcsr_seen_in_entry & 0x1F80u, 0x1F80u);
    feclearexcept(FE_ALL_EXCEPT);
}

// A child that the guard wrongly kept alive ends by SIGALRM, not by hanging.
void child_start(void) {
    struct rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    alarm(10);
}

// Runs body in a child process; its wait status.
int child_status(void (*body)(void)) {
    pid_t child = fork();
    if (child == 0) {
        child_start();
        body();
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return status;
}

bool ended_by(int status, int signal) { return WIFSIGNALED(status) && WTERMSIG(status) == signal; }

void *write_null_on_a_thread(void*) {
    write_null(0, 0, nullptr, nullptr, nullptr, 0, nullptr, nullptr);
    return nullptr;
}

void start_a_faulting_thread(ENTRY_PARAMETERS) {
    pthread_t thread;
    if (pthread_create(&thread, nullptr, write_null_on_a_thread, nullptr) == 0) {
        pthread_join(thread, nullptr);
    }
}

int to_parent = -1;

void wait_in_entry(ENTRY_PARAMETERS) {
    char ready = 1;
    if (write(to_parent, &ready, 1) == 1) {
        for (;;) {
            pause();
        }
    }
}

void guarded_call_then_exit(module_entry* entry) {
    module_fault fault = {};
    i32 running = 1;
    void* slot = nullptr;
    guarded_entry_call(&fault, entry, &running, nullptr, nullptr, 0, nullptr, &slot);
    _exit(fault.kind == FAULT_NONE ? 0 : 100 + fault.kind);
}

TEST_F(guard_test, signals_that_are_not_the_modules_are_not_swallowed) {
    // Faults in the host itself end the process by their signal.
    EXPECT_TRUE(ended_by(child_status([] { write_null(0, 0, 0, 0, 0, 0, 0, 0); }), SIGSEGV));
    EXPECT_TRUE(ended_by(child_status([] { divide_by_zero(0, 0, 0, 0, 0, 0, 0, 0); }), SIGFPE));
    EXPECT_TRUE(ended_by(child_status([] { fault_test_ud2(0, 0, 0, 0, 0, 0, 0, 0); }), SIGILL));
    // So does a fault on another thread while the module's call runs.
    EXPECT_TRUE(ended_by(child_status([] { guarded_call_then_exit(start_a_faulting_thread); }),
                         SIGSEGV));

    // A signal another process sends during the call is not a fault.
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    to_parent = pipe_ends[1];
    pid_t child = fork();
    if (child == 0) {
        child_start();
        guarded_call_then_exit(wait_in_entry);
    }
    char ready = 0;
    EXPECT_EQ(read(pipe_ends[0], &ready, 1), 1);
    kill(child, SIGBUS);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(ended_by(status, SIGBUS)) << status;
    close(pipe_ends[0]);
    close(pipe_ends[1]);

    // A handler that had the signal before the guard still gets it.
    sig_atomic_t traps = traps_before_guard;
    fault_test_int3(0, 0, 0, 0, 0, 0, 0, 0);
    EXPECT_EQ(traps_before_guard, traps + 1);
}

TEST(fault_code_text, names_the_guarded_signals_and_numbers_the_rest) {
    char text[32];
    const struct {
        u32 code;
        const char* name;
    } cases[] = {{SIGSEGV, "SIGSEGV"}, {SIGBUS, "SIGBUS"},     {SIGILL, "SIGILL"},
                 {SIGFPE, "SIGFPE"},   {SIGTRAP, "SIGTRAP"},   {SIGUSR1, "signal 10"},
                 {0, "signal 0"},      {4294967295u, "signal 4294967295"}};
    for (auto& one : cases) {
        fault_code_text(one.code, text, sizeof(text));
        EXPECT_STREQ(text, one.name);
    }
    memset(text, 'x', sizeof(text));
    fault_code_text(SIGSEGV, text, 4);
    EXPECT_STREQ(text, "SIG");
    fault_code_text(77, text, 9);
    EXPECT_STREQ(text, "signal 7");
    text[0] = 'x';
    fault_code_text(SIGSEGV, text, 0);
    EXPECT_EQ(text[0], 'x');
}

u64 load_base(void* library) {
    struct link_map* map = nullptr;
    return dlinfo(library, RTLD_DI_LINKMAP, &map) == 0 ? (u64)map->l_addr : 0;
}

TEST(fault_address_holder, names_the_holding_library_and_gives_its_base) {
    char name[64];
    // The test program as the loaded build: named as the module is.
    void* program = dlopen(nullptr, RTLD_NOW);
    ASSERT_NE(program, nullptr);
    u64 address = (u64)(void*)returning;
    EXPECT_EQ(fault_address_holder(address, program, name, sizeof(name)), load_base(program));
    EXPECT_STREQ(name, MODULE_NAME);

    // Another library by its file name, without the directory.
    void* libc = dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(libc, nullptr);
    address = (u64)dlsym(libc, "getpid");
    EXPECT_EQ(fault_address_holder(address, program, name, sizeof(name)), load_base(libc));
    EXPECT_STREQ(name, "libc.so.6");
    // Bounded by the capacity.
    memset(name, 'x', sizeof(name));
    fault_address_holder(address, program, name, 5);
    EXPECT_STREQ(name, "libc");

    // The program itself, when it is not the loaded build.
    char path[512] = {};
    ASSERT_GT(readlink("/proc/self/exe", path, sizeof(path) - 1), 0);
    EXPECT_EQ(fault_address_holder((u64)(void*)returning, libc, name, sizeof(name)),
              load_base(program));
    EXPECT_STREQ(name, strrchr(path, '/') + 1);
    EXPECT_NE(fault_address_holder((u64)(void*)returning, nullptr, name, sizeof(name)), 0u);
    EXPECT_STRNE(name, MODULE_NAME);

    // Null, and memory no library holds.
    volatile u8* page = fresh_page(PROT_READ);
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(fault_address_holder(0, program, name, sizeof(name)), 0u);
    EXPECT_EQ(fault_address_holder((u64)page, program, name, sizeof(name)), 0u);
    EXPECT_STREQ(name, "");
    munmap((void*)page, 4096);
    dlclose(libc);
    dlclose(program);
}

}  // namespace
