#include "platform/system.h"

#include <errno.h>
#include <fenv.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

#include "engine/base/memory.h"
#include "engine/base/text.h"
#include "platform/path.h"

void debug_print(const char* message) {
    if (!message) {
        return;
    }
    // strlen counts in size_t: a text of 4 GiB and more goes out whole.
    const char* rest = message;
    u64 left = strlen(message);
    while (left > 0) {
        ssize_t count = write(STDERR_FILENO, rest, (size_t)left);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return;  // the reader has gone (SIGPIPE is ignored): the message is dropped
        }
        rest += count;
        left -= (u64)count;
    }
}

void debug_break(void) {
#if defined(__x86_64__) || defined(__i386__)
    __asm__ volatile("int3");
#else
    raise(SIGTRAP);
#endif
}

// ---------------------------------------------------------------------------
// Floating-point exceptions. The C library masks and clears five of them; the
// denormal-operand exception, Windows' sixth, has its bits set here in both
// units: SSE's MXCSR, which the compiled code uses, and the x87 control
// word, which long double arithmetic uses.

#if defined(__x86_64__)
#define MXCSR_DENORMAL_FLAG 0x0002u
#define MXCSR_DENORMAL_MASK 0x0100u
#define X87_DENORMAL_MASK 0x0002u

static void clear_denormal_flag(void) {
    _mm_setcsr(_mm_getcsr() & ~MXCSR_DENORMAL_FLAG);
    __asm__ volatile("fnclex");  // all x87 flags; the library cleared the rest already
}

static void mask_denormal(bool32 masked) {
    u32 csr = _mm_getcsr();
    _mm_setcsr(masked ? csr | MXCSR_DENORMAL_MASK : csr & ~MXCSR_DENORMAL_MASK);
    u16 control;
    __asm__ volatile("fnstcw %0" : "=m"(control));
    control = masked ? control | X87_DENORMAL_MASK : control & ~X87_DENORMAL_MASK;
    __asm__ volatile("fldcw %0" : : "m"(control));
}
#else
static void clear_denormal_flag(void) {}
static void mask_denormal(bool32 masked) { (void)masked; }
#endif

void disable_float_exceptions(void) {
    feclearexcept(FE_ALL_EXCEPT);
    clear_denormal_flag();
    fedisableexcept(FE_ALL_EXCEPT);
    mask_denormal(1);
}

// Flags are cleared before unmasking: a pending flag would otherwise trap at
// the next x87 instruction.
void enable_float_exceptions(void) {
    feclearexcept(FE_ALL_EXCEPT);
    clear_denormal_flag();
    feenableexcept(FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW | FE_UNDERFLOW);
    mask_denormal(0);
}

// ---------------------------------------------------------------------------
// The working directory and single directories.

// Counts as GetCurrentDirectoryA does. A failed call or one without room
// leaves the buffer as it was. The C library's own allocation takes
// directories deeper than PATH_MAX, which the system call refuses. The
// system's text is already in normal form, and a "\" in it is part of a
// name, not a separator: only the root's trailing "/" goes, as normalising
// would do.
u32 get_working_directory(char* buffer, u32 capacity) {
    char* directory = getcwd(NULL, 0);
    if (!directory) {
        return 0;
    }
    u64 length = strlen(directory);
    u32 result = (u32)length + 1;
    if (buffer && length + 1 <= capacity) {
        copy_bytes(buffer, directory, length + 1);
        if (length > 0 && buffer[length - 1] == '/') {
            buffer[length - 1] = 0;
        }
        result = (u32)length;
    }
    free(directory);
    return result;
}

bool32 set_working_directory(const char* path) {
    char converted[OPEN_PATH_CAPACITY];
    return system_path(converted, sizeof(converted), "", path) && chdir(converted) == 0;
}

bool32 make_directory(const char* path) {
    char converted[OPEN_PATH_CAPACITY];
    return system_path(converted, sizeof(converted), "", path) && mkdir(converted, 0777) == 0;
}

bool32 remove_directory(const char* path) {
    char converted[OPEN_PATH_CAPACITY];
    return system_path(converted, sizeof(converted), "", path) && rmdir(converted) == 0;
}
