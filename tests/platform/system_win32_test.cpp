// Clock, cursor, debugger, floating-point and directory services, with the
// real counter, a real window on the test display and real folders.
#include <gtest/gtest.h>

#include <float.h>
#include <math.h>
#include <string.h>

#include <string>

#include "platform/clock.h"
#include "platform/services.h"
#include "tests/platform/cursor_cases.h"
#include "tests/platform/scratch_win32.h"

TEST(ClockServices, CounterReadingsConvertToSeconds) {
    clock_start();
    const u64 frequency = counter_frequency;
    u64 start = get_counter();
    Sleep(50);
    u64 end = get_counter();
    EXPECT_GT(end, start);
    f32 seconds = seconds_between(start, end);
    EXPECT_GE(seconds, 0.04f);
    EXPECT_LT(seconds, 10.0f);
    EXPECT_EQ(seconds_between(start, start), 0.0f);

    counter_frequency = 10000000;
    EXPECT_EQ(seconds_between(1000, 5001000), 0.5f);
    // Spans past 32 bits are measured whole.
    EXPECT_EQ(seconds_between(0, 100000000000ull), 10000.0f);
    // Only the frequency's low 32 bits divide.
    counter_frequency = 0x100000000ull + 4;
    EXPECT_EQ(seconds_between(0, 2), 0.5f);
    counter_frequency = frequency;
}

static POINT screen_point(HWND window, LONG x, LONG y) {
    POINT point = {x, y};
    ClientToScreen(window, &point);
    return point;
}

static void expect_cursor_at(POINT expected) {
    POINT cursor;
    ASSERT_TRUE(GetCursorPos(&cursor));
    EXPECT_EQ(cursor.x, expected.x);
    EXPECT_EQ(cursor.y, expected.y);
}

TEST(CursorService, PlacesTheCursorFromTheBottomLeft) {
    // Not shown, so the thread has no active window: the host's is used.
    HWND window = make_host_window(false);
    ASSERT_NE(window, nullptr);
    ASSERT_EQ(GetActiveWindow(), nullptr);
    RECT client;
    GetClientRect(window, &client);
    const LONG height = client.bottom;
    set_cursor_position(10.9f, 0.0f);
    expect_cursor_at(screen_point(window, 10, height));
    set_cursor_position(0.0f, (f32)height);
    expect_cursor_at(screen_point(window, 0, 0));
    set_cursor_position(-3.7f, 20.5f);
    expect_cursor_at(screen_point(window, -3, height - 20));

    // Values no integer holds are clamped rather than trapping, even with
    // floating-point exceptions enabled.
    enable_float_exceptions();
    set_cursor_position(1e20f, -1e20f);
    set_cursor_position(NAN, 5.0f);
    disable_float_exceptions();

    // The active window, once there is one.
    ShowWindow(window, SW_SHOW);
    SetActiveWindow(window);
    ASSERT_EQ(GetActiveWindow(), window);
    set_cursor_position(30.0f, 40.0f);
    expect_cursor_at(screen_point(window, 30, height - 40));
    DestroyWindow(window);
}

static void* breakpoint_address;

static LONG CALLBACK resume_after_breakpoint(EXCEPTION_POINTERS* exception) {
    if (exception->ExceptionRecord->ExceptionCode != EXCEPTION_BREAKPOINT) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    breakpoint_address = exception->ExceptionRecord->ExceptionAddress;
    if (*(u8*)exception->ContextRecord->Rip == 0xCC) {
        exception->ContextRecord->Rip += 1;
    }
    return EXCEPTION_CONTINUE_EXECUTION;
}

TEST(DebugServices, BreakRaisesABreakpointInsideTheService) {
    void* handler = AddVectoredExceptionHandler(1, resume_after_breakpoint);
    breakpoint_address = NULL;
    debug_break();
    RemoveVectoredExceptionHandler(handler);
    u8* service = (u8*)(void*)debug_break;
    EXPECT_GE((u8*)breakpoint_address, service);
    EXPECT_LT((u8*)breakpoint_address, service + 64);
    debug_print("debug_print from the platform tests");
    debug_print(NULL);
}

// The status word's divide-by-zero flag (the same bit as its mask).
static const u32 zero_divide_flag = 0x8;

TEST(FloatServices, MaskAndUnmaskTheFiveExceptions) {
    disable_float_exceptions();
    EXPECT_EQ(_control87(0, 0) & FLOAT_EXCEPTION_MASKS, FLOAT_EXCEPTION_MASKS);
    enable_float_exceptions();
    EXPECT_EQ(_control87(0, 0) & FLOAT_EXCEPTION_MASKS, (u32)_EM_INEXACT);
    // Inexact keeps whatever setting it had.
    _control87(0, _EM_INEXACT);
    enable_float_exceptions();
    EXPECT_EQ(_control87(0, 0) & FLOAT_EXCEPTION_MASKS, 0u);
    disable_float_exceptions();
    EXPECT_EQ(_control87(0, 0) & FLOAT_EXCEPTION_MASKS, FLOAT_EXCEPTION_MASKS);

    // Masked, a division by zero gives infinity; pending flags are cleared.
    volatile f32 zero = 0.0f;
    volatile f32 result = 1.0f / zero;
    EXPECT_EQ(result, INFINITY);
    EXPECT_NE(_statusfp() & zero_divide_flag, 0u);
    disable_float_exceptions();
    EXPECT_EQ(_statusfp() & zero_divide_flag, 0u);
}

static bool is_float_divide_trap(int code) {
    return (DWORD)code == EXCEPTION_FLT_DIVIDE_BY_ZERO || (DWORD)code == 0xC00002B5u;
}

TEST(FloatServicesDeathTest, DivisionByZeroTrapsOnlyAfterEnabling) {
    volatile f32 zero = 0.0f;
    EXPECT_EXIT(
        {
            exit_with_exception_code();
            disable_float_exceptions();
            volatile f32 result = 1.0f / zero;
            ExitProcess(result == INFINITY ? 7 : 8);
        },
        ::testing::ExitedWithCode(7), "");
    EXPECT_EXIT(
        {
            exit_with_exception_code();
            enable_float_exceptions();
            volatile f32 result = 1.0f / zero;
            (void)result;
            ExitProcess(0);
        },
        is_float_divide_trap, "");
}

class DirectoryServices : public ::testing::Test {
protected:
    void SetUp() override { scratch_enter(&scratch); }
    void TearDown() override { scratch_leave(&scratch); }
    scratch_folder scratch;
};

static std::string forward(std::string path) {
    for (char& c : path) {
        c = c == '\\' ? '/' : c;
    }
    return path;
}

TEST_F(DirectoryServices, WorkingDirectoryRoundTrip) {
    EXPECT_TRUE(make_directory("sub"));
    EXPECT_TRUE(make_directory("sub/dir"));
    EXPECT_TRUE(set_working_directory("sub/dir"));
    char buffer[MAX_PATH];
    u32 count = get_working_directory(buffer, sizeof(buffer));
    const std::string expected = forward(std::string(scratch.path) + "\\sub\\dir");
    EXPECT_EQ(std::string(buffer), expected);
    EXPECT_EQ(count, expected.size());
    // A trailing separator goes, as the system's own text has none either.
    EXPECT_TRUE(set_working_directory("../../sub/"));
    get_working_directory(buffer, sizeof(buffer));
    EXPECT_EQ(std::string(buffer), forward(std::string(scratch.path) + "\\sub"));
    EXPECT_FALSE(set_working_directory("missing"));
    EXPECT_TRUE(set_working_directory(".."));

    // Too small: the size needed with the terminator, the buffer untouched.
    char small[8];
    memset(small, 'x', sizeof(small));
    u32 needed = get_working_directory(small, sizeof(small));
    EXPECT_EQ(needed, strlen(scratch.path) + 1);
    for (char c : small) {
        EXPECT_EQ(c, 'x');
    }
    EXPECT_EQ(get_working_directory(NULL, 0), needed);
    EXPECT_EQ(get_working_directory(NULL, 64), needed);  // no buffer to write into
    // A text of the caller's own stays as it was, separators and all.
    char own[8] = {'a', '\\', 'b', '\\', 0, 'x', 'x', 'x'};
    EXPECT_EQ(get_working_directory(own, sizeof(own)), needed);
    EXPECT_EQ(memcmp(own, "a\\b\\\0xxx", 8), 0);

    // Exactly enough room.
    memset(buffer, 'x', sizeof(buffer));
    EXPECT_EQ(get_working_directory(buffer, needed), needed - 1);
    EXPECT_EQ(std::string(buffer), forward(scratch.path));
}

// A share or a "\\?\" working directory keeps what makes it one: with its
// pair of separators collapsed it would name a folder of the current drive.
TEST(DirectoryNormalisation, SharesAndDeviceFormsKeepTheirLeadingPair) {
    const char* cases[][2] = {
        {"\\\\server\\share\\app\\data", "//server/share/app/data"},
        {"\\\\server\\share\\", "//server/share"},
        {"\\\\?\\C:\\app\\", "//?/C:/app"},
        {"\\\\?\\UNC\\server\\share\\app", "//?/UNC/server/share/app"},
        {"C:\\app\\data", "C:/app/data"},
        {"C:\\", "C:"},
    };
    for (auto& each : cases) {
        char buffer[64];
        strcpy(buffer, each[0]);
        normalize_working_directory(buffer, sizeof(buffer));
        EXPECT_STREQ(buffer, each[1]) << each[0];
    }
}

TEST(CursorServiceDeathTest, CoordinatesTruncateWithoutTrapping) {
    // Every exception the module can enable stays quiet: denormals and NaN
    // included.
    EXPECT_EXIT(
        {
            exit_with_exception_code();
            HWND window = make_host_window(true);
            enable_float_exceptions();
            u32 wrong = 0;
            for (u32 i = 0; i < cursor_case_count; ++i) {
                wrong += truncate_to_i32(cursor_inputs[i]) != cursor_truncated[i];
                set_cursor_position(cursor_inputs[i], cursor_inputs[i]);
            }
            disable_float_exceptions();
            DestroyWindow(window);
            ExitProcess(wrong == 0 ? 7 : 8);
        },
        ::testing::ExitedWithCode(7), "");
}
