// The Linux host's window on a real X server (the tests' virtual display):
// the pixels the server holds after a show, through both blit paths; real
// key and mouse events from the server (xdotool); closing. The dummy driver
// needs no display.
#include <gtest/gtest.h>
#include <SDL_syswm.h>
#include <X11/Xutil.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "host/window_sdl.h"

extern char** environ;

// libdbus keeps a buffer that SDL_Quit does not give back (SDL's input-method
// and screen-saver connection); not this host's leak.
extern "C" const char* __lsan_default_suppressions() { return "leak:libdbus-1.so\n"; }

namespace {

// A back buffer laid out as the host's: pitch past the width, a spare row
// before and after.
struct test_buffer {
    std::vector<u32> memory;
    back_buffer record;
};

void make_buffer(test_buffer* buffer, u32 width, u32 height, u32 salt) {
    buffer->record = {};
    buffer->record.width = width;
    buffer->record.height = height;
    buffer->record.pitch = back_buffer_pitch(width);
    buffer->record.bytes_per_pixel = 4;
    buffer->memory.assign((size_t)buffer->record.pitch * (height + 2), 0xFFFFFFFFu);
    buffer->record.memory = buffer->memory.data();
    buffer->record.pixels = buffer->memory.data() + buffer->record.pitch;
    // Row y from the bottom in green, column in red; a top byte that must not show.
    for (u32 y = 0; y < height; ++y) {
        for (u32 x = 0; x < width; ++x) {
            u32 pixel = 0xA5000000u | x << 16 | y << 8 | salt;
            buffer->record.pixels[y * buffer->record.pitch + x] = pixel;
        }
    }
}

// The client area's pixels as the X server holds them, top row first.
std::vector<u32> read_window(host_window* window, int* width, int* height) {
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    EXPECT_TRUE(SDL_GetWindowWMInfo(window->sdl, &info));
    SDL_GetWindowSize(window->sdl, width, height);
    XImage* image = XGetImage(info.info.x11.display, info.info.x11.window, 0, 0, *width,
                              *height, AllPlanes, ZPixmap);
    std::vector<u32> pixels;
    for (int row = 0; image && row < *height; ++row) {
        for (int x = 0; x < *width; ++x) {
            pixels.push_back((u32)XGetPixel(image, x, row) & 0xFFFFFFu);
        }
    }
    if (image) XDestroyImage(image);
    return pixels;
}

// Pixels in the bottom-left width x height corner that differ from the buffer.
int wrong_pixels(host_window* window, const back_buffer& buffer) {
    int window_width = 0;
    int window_height = 0;
    std::vector<u32> seen = read_window(window, &window_width, &window_height);
    if (seen.size() != (size_t)window_width * window_height) return -1;
    int wrong = 0;
    for (u32 y = 0; y < buffer.height; ++y) {
        size_t row = (size_t)(window_height - 1 - (int)y) * window_width;
        for (u32 x = 0; x < buffer.width; ++x) {
            wrong += seen[row + x] != (buffer.pixels[y * buffer.pitch + x] & 0xFFFFFFu);
        }
    }
    return wrong;
}

void run(std::vector<const char*> arguments) {
    arguments.push_back(nullptr);
    pid_t child = 0;
    char** argv = (char**)arguments.data();
    ASSERT_EQ(posix_spawnp(&child, argv[0], nullptr, nullptr, argv, environ), 0) << argv[0];
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << arguments[1];
}

// Pumps for a while, as frames do, until the server's events have arrived.
i32 pump_a_while(host_window* window, input_state* input, u32 height) {
    i32 running = 1;
    for (int i = 0; i < 20; ++i) {
        window_pump(window, input, height, &running);
        SDL_Delay(10);
    }
    return running;
}

class WindowX11 : public ::testing::Test {
protected:
    // Xvfb resets when its last client leaves and refuses connections for a
    // moment; one connection held for the whole run keeps it from resetting
    // between the tests' windows.
    static void SetUpTestSuite() {
        static Display* held = nullptr;
        for (int attempt = 0; getenv("ENGINE_TEST_DISPLAY") && !held && attempt < 50; ++attempt) {
            held = XOpenDisplay(nullptr);
            if (!held) usleep(20000);
        }
    }
    void SetUp() override {
        if (!getenv("ENGINE_TEST_DISPLAY")) {
            GTEST_SKIP() << "runs as window_sdl_display on a virtual display";
        }
        SDL_SetHint(SDL_HINT_VIDEODRIVER, "x11");
        char reason[256];
        window = window_open(160, 120, reason, sizeof(reason));
        input = {};
    }
    void TearDown() override {
        if (window) window_close(window);
    }
    host_window* window = nullptr;
    input_state input;
};

TEST_F(WindowX11, BothBlitPathsShowTheBufferBottomUp) {
    u32 width = 0;
    u32 height = 0;
    window_client_size(window, &width, &height);
    EXPECT_EQ(width, 160u);
    EXPECT_EQ(height, 120u);
    ASSERT_EQ(window->blit, WINDOW_BLIT_SHARED) << "no shared-memory path on this display";

    for (window_blit blit : {WINDOW_BLIT_SHARED, WINDOW_BLIT_SURFACE}) {
        SCOPED_TRACE(blit == WINDOW_BLIT_SHARED ? "shared" : "surface");
        ASSERT_EQ(window_use_blit(window, blit), blit);
        test_buffer whole, corner;
        make_buffer(&whole, 160, 120, 0x11 + blit);
        window_show(window, &whole.record);
        EXPECT_EQ(wrong_pixels(window, whole.record), 0);
        // A smaller image sits at the bottom-left; the rest stays as it was.
        make_buffer(&corner, 61, 40, 0x77);
        window_show(window, &corner.record);
        EXPECT_EQ(wrong_pixels(window, corner.record), 0);
        int w = 0, h = 0;
        std::vector<u32> seen = read_window(window, &w, &h);
        EXPECT_EQ(seen[0], whole.record.pixels[119 * whole.record.pitch] & 0xFFFFFFu);
        EXPECT_EQ(seen[(size_t)(h - 1) * w + 61], whole.record.pixels[61] & 0xFFFFFFu);
        // Nothing to show: the window keeps its pixels.
        test_buffer empty;
        make_buffer(&empty, 160, 0, 0);
        window_show(window, &empty.record);
        corner.record.pixels = nullptr;
        window_show(window, &corner.record);
        EXPECT_EQ(read_window(window, &w, &h), seen);
    }

    // A new size re-creates the shared image.
    window_use_blit(window, WINDOW_BLIT_SHARED);
    SDL_SetWindowSize(window->sdl, 200, 90);
    pump_a_while(window, &input, 90);
    window_client_size(window, &width, &height);
    ASSERT_EQ(width, 200u);
    ASSERT_EQ(height, 90u);
    test_buffer resized;
    make_buffer(&resized, 200, 90, 0x33);
    window_show(window, &resized.record);
    EXPECT_EQ(wrong_pixels(window, resized.record), 0);
    EXPECT_EQ(window->blit, WINDOW_BLIT_SHARED);
}

TEST_F(WindowX11, CloseRequestsEndTheRunAndLaterEventsAreStillTaken) {
    i32 running = 1;
    SDL_Event quit = {};
    quit.type = SDL_QUIT;
    SDL_Event press = {};
    press.key.type = SDL_KEYDOWN;
    press.key.keysym = {SDL_SCANCODE_A, SDLK_a, 0, 0};
    SDL_PushEvent(&quit);
    SDL_PushEvent(&press);
    window_pump(window, &input, 120, &running);
    EXPECT_EQ(running, 0);
    EXPECT_EQ(input.buttons[KEY_A].is_down, 1u);

    SDL_Event close = {};
    close.type = SDL_WINDOWEVENT;
    close.window.event = SDL_WINDOWEVENT_CLOSE;
    running = 1;
    SDL_PushEvent(&close);
    window_pump(window, &input, 120, &running);
    EXPECT_EQ(running, 0);
}

TEST_F(WindowX11, RealKeysMouseAndAltF4FromTheServer) {
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    ASSERT_TRUE(SDL_GetWindowWMInfo(window->sdl, &info));
    std::string id = std::to_string(info.info.x11.window);
    pump_a_while(window, &input, 120);
    run({"xdotool", "windowfocus", "--sync", id.c_str()});
    run({"xdotool", "mousemove", "--window", id.c_str(), "30", "20"});
    run({"xdotool", "key", "shift+b", "comma", "Return", "F10"});
    run({"xdotool", "click", "1", "click", "4"});
    EXPECT_EQ(pump_a_while(window, &input, 120), 1);
    EXPECT_EQ(input.buttons[KEY_B].character, (u32)'B');
    EXPECT_EQ(input.buttons[KEY_B].transitions, 2u);
    EXPECT_EQ(input.buttons[KEY_SHIFT].transitions, 2u);
    EXPECT_EQ(input.buttons[KEY_NULL].character, (u32)',');
    EXPECT_EQ(input.buttons[KEY_ENTER].character, 13u);
    EXPECT_EQ(input.buttons[KEY_F10].transitions, 2u);
    EXPECT_EQ(input.mouse.x, 30.0f);
    EXPECT_EQ(input.mouse.y, 100.0f);
    EXPECT_EQ(input.buttons[MOUSE_PRIMARY].transitions, 2u);
    EXPECT_EQ(input.mouse.wheel, 1.0f);

    input_state before = input;
    run({"xdotool", "key", "alt+F4"});
    EXPECT_EQ(pump_a_while(window, &input, 120), 0);
    EXPECT_EQ(memcmp(&before, &input, sizeof input), 0);
}

TEST(WindowDummy, RunsWithoutADisplayThroughTheSurface) {
    SDL_SetHint(SDL_HINT_VIDEODRIVER, "dummy");
    char reason[256];
    host_window* window = window_open(64, 48, reason, sizeof(reason));
    EXPECT_EQ(window->blit, WINDOW_BLIT_SURFACE);
    EXPECT_EQ(window_use_blit(window, WINDOW_BLIT_SHARED), WINDOW_BLIT_SURFACE);
    test_buffer buffer;
    make_buffer(&buffer, 64, 48, 0x5A);
    window_show(window, &buffer.record);
    SDL_Surface* surface = SDL_GetWindowSurface(window->sdl);
    ASSERT_NE(surface, nullptr);
    ASSERT_EQ(surface->format->format, (u32)SDL_PIXELFORMAT_RGB888);
    const u32* top = (const u32*)surface->pixels;
    const u32* bottom = (const u32*)((const u8*)surface->pixels + (size_t)47 * surface->pitch);
    EXPECT_EQ(top[5] & 0xFFFFFFu, buffer.record.pixels[47 * buffer.record.pitch + 5] & 0xFFFFFFu);
    EXPECT_EQ(bottom[63] & 0xFFFFFFu, buffer.record.pixels[63] & 0xFFFFFFu);
    input_state input = {};
    i32 running = 1;
    window_pump(window, &input, 48, &running);
    EXPECT_EQ(running, 1);
    window_close(window);
    SDL_ResetHint(SDL_HINT_VIDEODRIVER);
}

}  // namespace
