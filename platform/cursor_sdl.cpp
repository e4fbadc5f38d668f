#include <SDL.h>
#include <fenv.h>

#include "platform/system.h"

// Window ids SDL hands out count up from 1; the host makes one window.
#define WINDOW_IDS_SEARCHED 64

// The window with keyboard focus, else the one with the mouse, else the
// first that exists: the host's own while nothing of it has the focus.
static SDL_Window* cursor_window(void) {
    if (!SDL_WasInit(SDL_INIT_VIDEO)) {
        return NULL;
    }
    SDL_Window* window = SDL_GetKeyboardFocus();
    if (!window) {
        window = SDL_GetMouseFocus();
    }
    for (u32 id = 1; !window && id <= WINDOW_IDS_SEARCHED; ++id) {
        window = SDL_GetWindowFromID(id);
    }
    return window;
}

static int clamp_to_int(i64 value) {
    return value < INT32_MIN ? INT32_MIN : value > INT32_MAX ? INT32_MAX : (int)value;
}

static i64 clamp(i64 value, i64 low, i64 high) {
    return value < low ? low : value > high ? high : value;
}

// The screen: every display's bounds together; false when SDL knows none.
static bool screen_bounds(SDL_Rect* screen) {
    bool found = false;
    int count = SDL_GetNumVideoDisplays();
    for (int i = 0; i < count; ++i) {
        SDL_Rect display;
        if (SDL_GetDisplayBounds(i, &display) != 0 || display.w <= 0 || display.h <= 0) {
            continue;
        }
        if (found) {
            SDL_UnionRect(screen, &display, screen);
        } else {
            *screen = display;
        }
        found = true;
    }
    return found;
}

// The point is stopped at the screen's edge here, as Windows' SetCursorPos
// does: X11 carries positions in 16 bits, and a far one would wrap round
// and land somewhere else entirely.
static void warp_cursor(f32 x, f32 y) {
    SDL_Window* window = cursor_window();
    if (!window) {
        return;
    }
    int width = 0;
    int height = 0;
    int left = 0;
    int top = 0;
    SDL_GetWindowSize(window, &width, &height);
    SDL_GetWindowPosition(window, &left, &top);
    i64 screen_x = (i64)left + truncate_to_i32(x);
    i64 screen_y = (i64)top + (i64)height - truncate_to_i32(y);
    SDL_Rect screen = {INT16_MIN, INT16_MIN, 0x10000, 0x10000};
    screen_bounds(&screen);
    screen_x = clamp(screen_x, screen.x, (i64)screen.x + screen.w - 1);
    screen_y = clamp(screen_y, screen.y, (i64)screen.y + screen.h - 1);
    SDL_WarpMouseInWindow(window, clamp_to_int(screen_x - left), clamp_to_int(screen_y - top));
}

// SDL and Xlib compute the position in floating point (far positions
// overflow there), so the module's unmasked exceptions are held while they
// run and restored afterwards.
void set_cursor_position(f32 x, f32 y) {
    fenv_t module_environment;
    feholdexcept(&module_environment);
    warp_cursor(x, y);
    fesetenv(&module_environment);
}
