// The debugger, floating-point, directory and cursor services on POSIX: the
// real control registers, real folders, a real X window.
#include <gtest/gtest.h>

#include <SDL.h>
#include <fenv.h>
#include <limits.h>
#include <math.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <ucontext.h>
#include <unistd.h>
#include <xmmintrin.h>

#include <string>

#include "platform/services.h"
#include "tests/platform/cursor_cases.h"
#include "tests/platform/scratch_posix.h"

TEST(CursorServiceWithoutVideo, DoesNothing) {
    ASSERT_FALSE(SDL_WasInit(SDL_INIT_VIDEO));
    set_cursor_position(1.0f, 2.0f);
}

static u8* breakpoint_address;

static void note_breakpoint(int, siginfo_t*, void* context) {
    breakpoint_address = (u8*)((ucontext_t*)context)->uc_mcontext.gregs[REG_RIP] - 1;
}

TEST(DebugServices, BreakTrapsInsideTheServiceAndPrintWritesTextUnchanged) {
    struct sigaction handler = {}, previous = {};
    handler.sa_sigaction = note_breakpoint;
    handler.sa_flags = SA_SIGINFO;
    sigaction(SIGTRAP, &handler, &previous);
    debug_break();  // the handler resumes after the instruction
    sigaction(SIGTRAP, &previous, NULL);
    u8* service = (u8*)(void*)debug_break;
    EXPECT_GE(breakpoint_address, service);
    EXPECT_LT(breakpoint_address, service + 64);
    EXPECT_EQ(*breakpoint_address, 0xCC);

    fflush(stderr);
    int saved = dup(2);
    FILE* capture = tmpfile();
    dup2(fileno(capture), 2);
    debug_print("first line\nno line end");
    debug_print("");
    debug_print(NULL);
    dup2(saved, 2);
    close(saved);
    char text[64] = {0};
    rewind(capture);
    fread(text, 1, sizeof(text) - 1, capture);
    fclose(capture);
    EXPECT_STREQ(text, "first line\nno line end");
}

// The six mask bits of MXCSR (invalid 0x80 to inexact 0x1000) and of the
// x87 control word (0x1 to 0x20), and MXCSR's six flags.
static u32 sse_masks(void) { return _mm_getcsr() & 0x1F80u; }
static u32 sse_flags(void) { return _mm_getcsr() & 0x3Fu; }
static u32 x87_masks(void) {
    u16 control;
    __asm__ volatile("fnstcw %0" : "=m"(control));
    return control & 0x3Fu;
}

TEST(FloatServices, MaskAndUnmaskTheFiveExceptionsInBothUnits) {
    disable_float_exceptions();
    EXPECT_EQ(sse_masks(), 0x1F80u);
    EXPECT_EQ(x87_masks(), 0x3Fu);
    enable_float_exceptions();
    EXPECT_EQ(sse_masks(), 0x1000u);  // inexact stays masked
    EXPECT_EQ(x87_masks(), 0x20u);
    // Inexact keeps whatever setting it had.
    feenableexcept(FE_INEXACT);
    enable_float_exceptions();
    EXPECT_EQ(sse_masks(), 0u);
    EXPECT_EQ(x87_masks(), 0u);
    disable_float_exceptions();
    EXPECT_EQ(sse_masks(), 0x1F80u);

    // Masked, a division by zero and a denormal operand just set flags,
    // and the services clear them, the denormal one included.
    volatile f32 zero = 0.0f;
    volatile f32 tiny = 1e-40f;
    volatile f32 result = 1.0f / zero;
    EXPECT_EQ(result, INFINITY);
    result = tiny * 3.0f;
    EXPECT_EQ(sse_flags() & 0x6u, 0x6u);
    disable_float_exceptions();
    EXPECT_EQ(sse_flags(), 0u);
    result = 1.0f / zero;
    enable_float_exceptions();  // clears before it unmasks
    EXPECT_EQ(sse_flags(), 0u);
    disable_float_exceptions();
}

static void divide_by_zero(void) {
    volatile f32 zero = 0.0f;
    volatile f32 result = 1.0f / zero;
    (void)result;
}
static void use_denormal(void) {
    volatile f32 tiny = 1e-40f;
    volatile f32 result = tiny * 3.0f;
    (void)result;
}
static void enabled_divide_by_zero(void) {
    enable_float_exceptions();
    divide_by_zero();
}
static void enabled_denormal(void) {
    enable_float_exceptions();
    use_denormal();
}
static void re_disabled_divide_by_zero(void) {
    enable_float_exceptions();
    disable_float_exceptions();
    divide_by_zero();
    use_denormal();
}

TEST(FloatServices, TrapsOnlyAfterEnabling) {
    EXPECT_EQ(signal_ending_child(re_disabled_divide_by_zero), 0);
    EXPECT_EQ(signal_ending_child(enabled_divide_by_zero), SIGFPE);
    EXPECT_EQ(signal_ending_child(enabled_denormal), SIGFPE);
}

class DirectoryServices : public ::testing::Test {
protected:
    void SetUp() override { scratch_enter(&scratch); }
    void TearDown() override { scratch_leave(&scratch); }
    scratch_folder scratch;
};

TEST_F(DirectoryServices, WorkingDirectoryCountsAsWindowsDoes) {
    char real[PATH_MAX];
    ASSERT_NE(realpath(scratch.path, real), nullptr);
    EXPECT_TRUE(make_directory("sub"));
    EXPECT_TRUE(make_directory("sub\\dir"));
    EXPECT_TRUE(set_working_directory("sub\\dir/"));
    char buffer[PATH_MAX];
    const std::string expected = std::string(real) + "/sub/dir";
    EXPECT_EQ(get_working_directory(buffer, sizeof(buffer)), expected.size());
    EXPECT_EQ(std::string(buffer), expected);
    EXPECT_FALSE(set_working_directory("missing"));
    EXPECT_TRUE(set_working_directory("../.."));

    // Too small: the size needed with the terminator, the buffer untouched,
    // even when it holds a text of its own.
    const u32 needed = (u32)strlen(real) + 1;
    char small[8] = {'a', 'b', 0, 'x', 'x', 'x', 'x', 'x'};
    EXPECT_EQ(get_working_directory(small, sizeof(small)), needed);
    EXPECT_EQ(memcmp(small, "ab\0xxxxx", 8), 0);
    EXPECT_EQ(get_working_directory(NULL, 0), needed);
    EXPECT_EQ(get_working_directory(NULL, 4096), needed);
    memset(buffer, 'x', sizeof(buffer));
    EXPECT_EQ(get_working_directory(buffer, needed - 1), needed);
    EXPECT_EQ(buffer[0], 'x');
    EXPECT_EQ(get_working_directory(buffer, needed), needed - 1);
    EXPECT_EQ(std::string(buffer), real);
    EXPECT_EQ(buffer[needed], 'x');

    // The root's trailing separator goes, as a drive's does on Windows.
    EXPECT_TRUE(set_working_directory("\\"));
    EXPECT_EQ(get_working_directory(buffer, sizeof(buffer)), 1u);
    EXPECT_STREQ(buffer, "");
    EXPECT_TRUE(set_working_directory(real));
}

// Runs on a virtual display only: platform_services_posix_cursor starts this
// executable under xvfb-run with ENGINE_TEST_DISPLAY set.
class CursorService : public ::testing::Test {
protected:
    void SetUp() override {
        if (!getenv("ENGINE_TEST_DISPLAY")) {
            GTEST_SKIP() << "runs as platform_services_posix_cursor on a virtual display";
        }
        ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0) << SDL_GetError();
    }
    void TearDown() override { SDL_Quit(); }
};

static void pump_for(u32 milliseconds) {
    for (u32 start = SDL_GetTicks(); SDL_GetTicks() - start < milliseconds;) {
        SDL_PumpEvents();
        SDL_Delay(5);
    }
}

// Where the pointer is, relative to the window's top-left corner.
static void expect_pointer_at(SDL_Window* window, int x, int y) {
    int window_x = 0, window_y = 0, pointer_x = 0, pointer_y = 0;
    SDL_GetWindowPosition(window, &window_x, &window_y);
    SDL_GetGlobalMouseState(&pointer_x, &pointer_y);
    EXPECT_EQ(pointer_x - window_x, x);
    EXPECT_EQ(pointer_y - window_y, y);
}

TEST_F(CursorService, PlacesTheCursorFromTheBottomLeftOfTheHostsWindow) {
    set_cursor_position(5.0f, 5.0f);  // no window yet: nothing happens
    SDL_Window* first = SDL_CreateWindow("Engine", 20, 20, 320, 200, SDL_WINDOW_SHOWN);
    SDL_Window* second = SDL_CreateWindow("Other", 600, 20, 200, 100, SDL_WINDOW_SHOWN);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    SDL_SetWindowInputFocus(second);
    pump_for(200);
    ASSERT_EQ(SDL_GetKeyboardFocus(), second);
    set_cursor_position(30.0f, 40.0f);
    pump_for(100);
    expect_pointer_at(second, 30, 60);

    // The keyboard's window comes before the mouse's.
    SDL_SetWindowInputFocus(first);
    pump_for(200);
    ASSERT_EQ(SDL_GetKeyboardFocus(), first);
    ASSERT_EQ(SDL_GetMouseFocus(), second);
    set_cursor_position(10.9f, 0.0f);
    pump_for(100);
    expect_pointer_at(first, 10, 200);  // the row just below the client area
    set_cursor_position(0.0f, 200.0f);
    pump_for(100);
    expect_pointer_at(first, 0, 0);

    // Without keyboard focus, the mouse's window.
    SDL_WarpMouseInWindow(second, 5, 5);
    SDL_HideWindow(first);
    pump_for(200);
    ASSERT_EQ(SDL_GetKeyboardFocus(), nullptr);
    ASSERT_EQ(SDL_GetMouseFocus(), second);
    set_cursor_position(1.0f, 2.0f);
    pump_for(100);
    expect_pointer_at(second, 1, 98);

    // Without either, the first window.
    SDL_HideWindow(second);
    pump_for(200);
    ASSERT_EQ(SDL_GetKeyboardFocus(), nullptr);
    ASSERT_EQ(SDL_GetMouseFocus(), nullptr);
    set_cursor_position(3.0f, 4.0f);
    pump_for(100);
    expect_pointer_at(first, 3, 196);

    // Values no integer holds stop at the ends, without a trap.
    // The module's unmasked exceptions stay as they were.
    enable_float_exceptions();
    set_cursor_position(NAN, 1e20f);
    set_cursor_position(-1e20f, -1e20f);
    set_cursor_position(1e9f, 5.0f);
    EXPECT_EQ(sse_masks(), 0x1000u);
    disable_float_exceptions();
    SDL_DestroyWindow(second);
    SDL_DestroyWindow(first);
}

// SDL's video start-up leaves an allocation of the system's message bus
// behind; it is not this code's.
extern "C" const char* __lsan_default_suppressions(void) { return "leak:libdbus-1.so\n"; }

static void truncate_with_exceptions_enabled(void) {
    enable_float_exceptions();
    u32 wrong = 0;
    for (u32 i = 0; i < cursor_case_count; ++i) {
        wrong += truncate_to_i32(cursor_inputs[i]) != cursor_truncated[i];
    }
    disable_float_exceptions();
    if (wrong) {
        raise(SIGUSR1);
    }
}

TEST(CursorServiceWithoutVideo, CoordinatesTruncateWithoutTrapping) {
    // Denormals and NaN included: nothing the module enabled may trap.
    EXPECT_EQ(signal_ending_child(truncate_with_exceptions_enabled), 0);
}
