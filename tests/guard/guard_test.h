// What the fault guard's tests share on both systems: entries that return
// or fault, and a fixture that calls them through the guard.
#ifndef TESTS_GUARD_GUARD_TEST_H
#define TESTS_GUARD_GUARD_TEST_H

#include <gtest/gtest.h>

#include "guard/fault.h"

// Reads of it are not folded away: a 0 the compiler can't see.
extern volatile int zero;

// Sets the slot to 0x5107 when its arguments arrive as the fixture passes them.
module_entry returning;
module_entry write_null;
module_entry divide_by_zero;

// Starts the guard once, as the host does (each system's test file: on
// Linux with a SIGTRAP handler of the tests' own installed before it).
void start_guard(void);

struct guard_test : ::testing::Test {
    static void SetUpTestSuite() { start_guard(); }

    bool32 call(module_entry* entry) {
        return guarded_entry_call(&fault, entry, &running, &buffer, &input, 0.5f, &services,
                                  &slot);
    }

    module_fault fault = {};
    i32 running = 1;
    back_buffer buffer = {};
    input_state input = {};
    platform_api services = {};
    void* slot = nullptr;
};

#endif
