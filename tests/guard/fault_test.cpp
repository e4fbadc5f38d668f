// The fault guard where both systems behave alike: a call that returns, and
// the caller's state after many recoveries.
#include "tests/guard/guard_test.h"

volatile int zero = 0;
static volatile int int_sink;

void returning(u64 a, u64 b, i32* running, back_buffer* buffer, input_state* input,
               f32 frame_seconds, platform_api* services, void** slot) {
    // The arguments arrive as given; the slot is the module's to write.
    if (a == 0 && b == 0 && *running == 1 && buffer && input && services &&
        frame_seconds == 0.5f) {
        *slot = (void*)0x5107;
    }
}

void write_null(u64, u64, i32*, back_buffer*, input_state*, f32, platform_api*, void**) {
    *(volatile int*)(u64)zero = 1;
}

void divide_by_zero(u64, u64, i32*, back_buffer*, input_state*, f32, platform_api*, void**) {
    int_sink = 7 / zero;
}

TEST_F(guard_test, a_call_that_returns_passes_its_arguments_and_reports_1) {
    EXPECT_EQ(call(returning), 1u);
    EXPECT_EQ(slot, (void*)0x5107);
    EXPECT_EQ(fault.kind, FAULT_NONE);
    EXPECT_EQ(fault.code, 0u);
}


TEST_F(guard_test, the_callers_state_survives_a_thousand_recoveries) {
    // Locals live across the call in callee-saved registers and on the
    // stack; a recovery returns to the caller as a plain return would. Each
    // value passes through a volatile, or the compiler would decide the
    // checks below before the call and drop them.
    volatile u64 marker = 0x0123456789ABCDEFull;
    volatile u64 sums[8];
    for (u64 i = 0; i < 8; ++i) {
        sums[i] = i * 1000003;
    }
    char* volatile stack_before = (char*)&sums;
    u32 recovered = 0;
    for (u32 round = 0; round < 1000; ++round) {
        u64 a = round * 3 + zero, b = round * 5 + zero, c = round * 7 + zero;
        if (!call(round % 2 ? write_null : divide_by_zero)) {
            ++recovered;
        }
        EXPECT_EQ(a + b + c, round * 15u);
    }
    EXPECT_EQ(recovered, 1000u);
    EXPECT_EQ(marker, 0x0123456789ABCDEFull);
    for (u64 i = 0; i < 8; ++i) {
        EXPECT_EQ(sums[i], i * 1000003);
    }
    EXPECT_EQ((char*)&sums, stack_before);
}
