// The exit calls, exported from the host executable (its link names them in
// a dynamic list) as the allocation calls are: the module's come here,
// whatever it keeps, and never end the host (allocator.h). Everyone else's
// go to the C library's own.
#include "carry/allocator.h"

#include <dlfcn.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "guard/fault.h"

static u64 exits_base;
static u64 exits_size;
static pid_t host_process;

void allocator_route_exits(const void* base, u64 size) {
    exits_base = (u64)base;
    exits_size = base ? size : 0;
    host_process = getpid();
}

// Returns when the caller is not the module's, is the host's own thread
// outside the module's call (the process ending: its libraries' shut-down),
// or is a child process the module forked, which ends as it asks.
static void module_exit(u32 call, int status, const void* caller) {
    fault_leave_for_exit(call, status, (u64)caller);
    if ((u64)caller - exits_base < exits_size && !fault_on_host_thread() &&
        getpid() == host_process) {
        fprintf(stderr, "Engine: a thread of the module called %s(%d): that thread ends, the "
                        "host goes on\n", exit_call_name(call), status);
        pthread_exit(NULL);
    }
}

typedef void exit_function(int);

__attribute__((noreturn)) static void system_exit(const char* name, int status) {
    exit_function* own = (exit_function*)dlsym(RTLD_NEXT, name);
    if (own) {
        own(status);
    }
    syscall(SYS_exit_group, status);
    __builtin_unreachable();
}

#define CALLER __builtin_return_address(0)

extern "C" {

__attribute__((visibility("default"))) void exit(int status) noexcept {
    module_exit(EXIT_CALL_EXIT, status, CALLER);
    system_exit("exit", status);
}

__attribute__((visibility("default"))) void quick_exit(int status) noexcept {
    module_exit(EXIT_CALL_QUICK_EXIT, status, CALLER);
    system_exit("quick_exit", status);
}

// Neither runs anything before the process ends: straight to the kernel.
__attribute__((visibility("default"))) void _exit(int status) {
    module_exit(EXIT_CALL__EXIT, status, CALLER);
    syscall(SYS_exit_group, status);
    __builtin_unreachable();
}

__attribute__((visibility("default"))) void _Exit(int status) noexcept {
    module_exit(EXIT_CALL__EXIT_UPPER, status, CALLER);
    syscall(SYS_exit_group, status);
    __builtin_unreachable();
}
}
