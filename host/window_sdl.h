// The Linux host's window: an SDL window and the two ways window_show puts
// the back buffer into it. The primitives the portable core calls are in
// os.h; this header adds what the Linux main and the tests need.
//
// Closing: the window manager turns alt+F4 into a close request on most
// desktops; without one (a bare X server, a virtual display) the host takes
// alt+F4, pressed with either Alt and no Ctrl, as the close request itself,
// so closing the window as a user would works the same everywhere. The key
// press is then not input.
#ifndef HOST_WINDOW_SDL_H
#define HOST_WINDOW_SDL_H

#include <SDL.h>

#include "host/os.h"

typedef enum window_blit {
    // XShmPutImage from a shared segment onto SDL's own X11 window: needs
    // SDL's X11 driver, MIT-SHM and a 24-bit 0x00RRGGBB visual.
    WINDOW_BLIT_SHARED,
    // SDL's window surface: any driver, dummy included.
    WINDOW_BLIT_SURFACE,
} window_blit;

struct host_window {
    SDL_Window* sdl;
    // The path window_show takes. The shared one falls back to the surface
    // for good when any step of it fails.
    window_blit blit;
    // The shared path's X11 state (window_sdl.cpp's own); null without it.
    struct window_x11* x11;
};

// Starts SDL's video and events, opens a resizable window titled "Engine"
// with a client area of width x height at the default position, shows it and
// turns on text input. Null when there is no window to be had (no display),
// with SDL's reason in reason. Also starts SDL's game controllers, whose
// failure only leaves the host without them. The host has one window and
// keeps it for the whole run.
host_window* window_open(u32 client_width, u32 client_height, char* reason, u32 capacity);

// Chooses the blit path (tests, benchmarks). WINDOW_BLIT_SHARED is only
// taken where it is available; returns the path now in use.
window_blit window_use_blit(host_window* window, window_blit blit);

// Destroys the window, closes the controllers and stops SDL's video, events
// and controllers. The host never calls it (the end of the process releases
// everything); tests open several windows in one process.
void window_close(host_window* window);

#endif
