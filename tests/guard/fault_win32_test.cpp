// The fault guard in-process: calls that return, calls that fault in each
// way, the caller's state after a recovery, the float control word, and the
// title that names a fault.
#include <float.h>
#include <malloc.h>
#include <string.h>
#include <windows.h>

#include <gtest/gtest.h>

#include "guard/fault.h"
#include "tests/guard/guard_test.h"
#include "host/call_module.h"
#include "host/fault_marker.h"
#include "host/title.h"
#include "host/window_win32.h"
#include "platform/system.h"

namespace {

volatile float zero_float = 0.0f;
volatile float float_sink;
volatile int int_sink;

void trap_float(u64, u64, i32*, back_buffer*, input_state*, f32, platform_api*, void**) {
    enable_float_exceptions();
    float_sink = 1.0f / zero_float;
}

void break_here(u64, u64, i32*, back_buffer*, input_state*, f32, platform_api*, void**) {
    debug_break();
}

__declspec(noinline) int deeper(int depth) {
    volatile char page[4096];
    page[0] = (char)depth;
    return depth > (1 << 30) ? 0 : deeper(depth + 1) + page[0];
}

void overflow(u64, u64, i32*, back_buffer*, input_state*, f32, platform_api*, void**) {
    int_sink = deeper(0);
}

TEST_F(guard_test, each_fault_comes_back_as_0_with_its_code_and_address) {
    struct {
        module_entry* entry;
        u32 code;
    } cases[] = {
        {write_null, EXCEPTION_ACCESS_VIOLATION},
        {divide_by_zero, EXCEPTION_INT_DIVIDE_BY_ZERO},
        {break_here, EXCEPTION_BREAKPOINT},
        {overflow, EXCEPTION_STACK_OVERFLOW},
        // A second overflow finds the guard page that the guard put back.
        {overflow, EXCEPTION_STACK_OVERFLOW},
    };
    for (auto& one : cases) {
        fault = {};
        EXPECT_EQ(call(one.entry), 0u);
        EXPECT_EQ(fault.code, one.code) << fault_name(fault.kind);
        EXPECT_NE(fault.kind, FAULT_NONE);
        EXPECT_NE(fault.address, 0u);
    }
    fault = {};
    call(write_null);
    EXPECT_EQ(fault.access, 1u);  // a write
    EXPECT_EQ(fault.target, 0u);
    // The guard is still in place for the next call.
    EXPECT_EQ(call(returning), 1u);
}

TEST_F(guard_test, call_module_holds_a_fault_or_rolls_back_and_puts_the_float_word_back) {
    host_window window = {};
    window.handle = CreateWindowExA(0, "STATIC", "Engine", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100,
                                    NULL, NULL, NULL, NULL);
    ASSERT_NE(window.handle, (HWND)NULL);
    disable_float_exceptions();
    unsigned int word = _control87(0, 0);
    back_buffer copy = {};
    module_state module = {};
    static host_sound sound = {};
    module.running.entry = trap_float;
    module.running.time = 7;
    call_module(&fault, &module, &window, &running, &buffer, &copy, &input, 0.5f, &services,
                &sound);
    EXPECT_TRUE(fault.code == EXCEPTION_FLT_DIVIDE_BY_ZERO ||
                fault.code == STATUS_FLOAT_MULTIPLE_TRAPS)
        << std::hex << fault.code;
    EXPECT_EQ(_control87(0, 0) & FLOAT_EXCEPTION_MASKS, word & FLOAT_EXCEPTION_MASKS);
    EXPECT_EQ(_statusfp() & 0x18u, 0u);  // no divide-by-zero or invalid flag pending
    EXPECT_TRUE(module.faulted);
    char title[256];
    GetWindowTextA(window.handle, title, sizeof(title));
    EXPECT_EQ(strncmp(title, "Engine - fault: float ", 22), 0) << title;

    // The same build is not called again ...
    module.running.entry = returning;
    call_module(&fault, &module, &window, &running, &buffer, &copy, &input, 0.5f, &services,
                &sound);
    EXPECT_EQ(module.slot, nullptr);
    // ... a newly loaded one is, with the title its load left.
    module.faulted = 0;
    module.title_changed = 1;
    strcpy(module.title, "Engine");
    call_module(&fault, &module, &window, &running, &buffer, &copy, &input, 0.5f, &services,
                &sound);
    EXPECT_EQ(module.slot, (void*)0x5107);
    GetWindowTextA(window.handle, title, sizeof(title));
    EXPECT_STREQ(title, "Engine");

    // A previous build whose copy can't be loaded again: the fault is held
    // and named, the float word put back. (Rollbacks to a real build are
    // tested end to end.)
    module.slot = nullptr;
    strcpy(module.previous.copy_path, "..\\build\\no_such_copy.dll");
    module.running.entry = trap_float;
    call_module(&fault, &module, &window, &running, &buffer, &copy, &input, 0.5f, &services,
                &sound);
    EXPECT_EQ(module.slot, nullptr);
    EXPECT_TRUE(module.faulted);
    EXPECT_EQ(module.running.entry, nullptr);
    GetWindowTextA(window.handle, title, sizeof(title));
    EXPECT_EQ(strncmp(title, "Engine - fault: float ", 22), 0) << title;
    EXPECT_EQ(_control87(0, 0) & FLOAT_EXCEPTION_MASKS, word & FLOAT_EXCEPTION_MASKS);
    DestroyWindow(window.handle);
}

TEST(fault_title, names_the_fault_its_code_and_the_address_in_the_module) {
    HMODULE base = GetModuleHandleA(NULL);
    module_fault fault = {};
    fault.kind = FAULT_ACCESS_VIOLATION;
    fault.code = EXCEPTION_ACCESS_VIOLATION;
    fault.access = 1;
    fault.target = 0x10;
    fault.address = (u64)base + 0x1A2B;
    fault_title(&fault, base);
    EXPECT_STREQ(fault.title, "Engine - fault: access violation (0xC0000005) writing 0x10 at "
                              "main.dll+0x1A2B - rebuild to resume");

    fault = {};
    fault.kind = FAULT_ACCESS_VIOLATION;
    fault.code = EXCEPTION_ACCESS_VIOLATION;
    fault.access = 8;
    fault.caller = (u64)base + 0x40;
    fault_title(&fault, base);
    EXPECT_STREQ(fault.title, "Engine - fault: access violation (0xC0000005) executing 0x0 at "
                              "0x0 called from main.dll+0x40 - rebuild to resume");

    // Outside the loaded build: the holding module by its file name.
    fault = {};
    fault.kind = FAULT_BREAKPOINT;
    fault.code = EXCEPTION_BREAKPOINT;
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    fault.address = (u64)kernel + 0x10;
    fault_title(&fault, base);
    EXPECT_STREQ(fault.title, "Engine - fault: breakpoint (0x80000003) at kernel32.dll+0x10 - "
                              "rebuild to resume");

    fault.kind = FAULT_OTHER;
    fault.code = 0xE0000001;
    fault.address = 0x1234;
    fault_title(&fault, base);
    EXPECT_STREQ(fault.title, "Engine - fault: exception (0xE0000001) at 0x1234 - rebuild to "
                              "resume");
}

}  // namespace

// Nothing to set up beside the guard here.
void start_guard(void) { fault_handling_start(); }
