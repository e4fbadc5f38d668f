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

static void warp_cursor(f32 x, f32 y) {
    SDL_Window* window = cursor_window();
    if (!window) {
        return;
    }
    int width = 0;
    int height = 0;
    SDL_GetWindowSize(window, &width, &height);
    SDL_WarpMouseInWindow(window, truncate_to_i32(x),
                          clamp_to_int((i64)height - truncate_to_i32(y)));
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
