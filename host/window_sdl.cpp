#include "host/window_sdl.h"
#include "host/chords.h"

#include <SDL_syswm.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include "engine/base/fatal.h"
#include "input/gamepad_sdl.h"
#include "input/translate_sdl.h"

struct window_x11 {
    Display* display;  // SDL's connection
    Window window;
    Visual* visual;
    GC gc;
    XShmSegmentInfo segment;
    XImage* image;      // in the segment, the size of the last image shown
    bool32 in_flight;   // a put the server may not have read yet
};

static window_x11 the_x11;
static host_window the_window;

// X protocol coordinates and sizes are 16-bit.
#define X11_MAX_SIDE 32767u

// ---------------------------------------------------------------------------
// The shared-memory path.

// Pixel values the server takes as 0x00RRGGBB. DirectColor (Xvfb's default)
// looks them up in ramps, which SDL's own drawing into the window trusts too.
static bool32 visual_is_xrgb(const XWindowAttributes* attributes) {
    const Visual* visual = attributes->visual;
    bool rgb = visual->c_class == TrueColor || visual->c_class == DirectColor;
    return attributes->depth == 24 && rgb &&
           visual->red_mask == 0xFF0000 && visual->green_mask == 0xFF00 &&
           visual->blue_mask == 0xFF;
}

// SDL's X11 window, or 0 under another driver.
static Window x11_window_of(SDL_Window* sdl, Display** display) {
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (!SDL_GetWindowWMInfo(sdl, &info) || info.subsystem != SDL_SYSWM_X11) {
        return 0;
    }
    *display = info.info.x11.display;
    return info.info.x11.window;
}

static bool32 x11_open(window_x11* x11, SDL_Window* sdl) {
    Display* display = nullptr;
    Window window = x11_window_of(sdl, &display);
    if (window == 0) {
        return 0;
    }
    XWindowAttributes attributes;
    if (!XShmQueryExtension(display) ||
        !XGetWindowAttributes(display, window, &attributes) ||
        !visual_is_xrgb(&attributes)) {
        return 0;
    }
    *x11 = {};
    x11->display = display;
    x11->window = window;
    x11->visual = attributes.visual;
    x11->gc = XCreateGC(display, x11->window, 0, nullptr);
    return x11->gc != nullptr;
}

static int trapped_error;

static int trap_x_error(Display*, XErrorEvent* error) {
    trapped_error = error->error_code;
    return 0;
}

// XShmAttach fails asynchronously (a remote server, another user's
// segment); SDL's own handler would end the process.
static bool32 attach_segment(Display* display, XShmSegmentInfo* segment) {
    XSync(display, False);
    trapped_error = 0;
    XErrorHandler previous = XSetErrorHandler(trap_x_error);
    Status attached = XShmAttach(display, segment);
    XSync(display, False);
    XSetErrorHandler(previous);
    return attached && trapped_error == 0;
}

static void release_image(window_x11* x11) {
    if (x11->image == nullptr) {
        return;
    }
    XShmDetach(x11->display, &x11->segment);
    XSync(x11->display, False);
    shmdt(x11->segment.shmaddr);
    x11->image->data = nullptr;
    XDestroyImage(x11->image);
    x11->image = nullptr;
    x11->in_flight = 0;
}

static bool32 create_image(window_x11* x11, u32 width, u32 height) {
    XImage* image = XShmCreateImage(x11->display, x11->visual, 24, ZPixmap, nullptr,
                                    &x11->segment, width, height);
    if (image == nullptr) {
        return 0;
    }
    if (image->bits_per_pixel != 32 || image->byte_order != LSBFirst) {
        XDestroyImage(image);
        return 0;
    }
    int id = shmget(IPC_PRIVATE, (size_t)image->bytes_per_line * height, IPC_CREAT | 0600);
    void* address = id < 0 ? (void*)-1 : shmat(id, nullptr, 0);
    if (address == (void*)-1) {
        if (id >= 0) shmctl(id, IPC_RMID, nullptr);
        XDestroyImage(image);
        return 0;
    }
    x11->segment.shmid = id;
    x11->segment.shmaddr = image->data = (char*)address;
    x11->segment.readOnly = False;
    bool32 attached = attach_segment(x11->display, &x11->segment);
    // Marked for removal now, it goes away with the last process attached.
    shmctl(id, IPC_RMID, nullptr);
    if (!attached) {
        shmdt(address);
        image->data = nullptr;
        XDestroyImage(image);
        return 0;
    }
    x11->image = image;
    return 1;
}

// A new size gets a new segment.
static bool32 fit_image(window_x11* x11, u32 width, u32 height) {
    XImage* image = x11->image;
    if (image && (u32)image->width == width && (u32)image->height == height) {
        return 1;
    }
    release_image(x11);
    return create_image(x11, width, height);
}

// Buffer rows are bottom-up, X image rows top-down.
static void copy_rows_flipped(u8* to, u32 to_stride, const back_buffer* buffer) {
    size_t row_bytes = (size_t)buffer->width * 4;
    for (u32 y = 0; y < buffer->height; ++y) {
        const u32* from = buffer->pixels + (size_t)y * buffer->pitch;
        memcpy(to + (size_t)(buffer->height - 1 - y) * to_stride, from, row_bytes);
    }
}

static void x11_close(window_x11* x11) {
    if (x11->display == nullptr) {
        return;
    }
    release_image(x11);
    XFreeGC(x11->display, x11->gc);
    *x11 = {};
}

// SDL re-creates its X window for OpenGL; drawing into the old one would be
// a fatal X error.
static bool32 follow_window(window_x11* x11, SDL_Window* sdl) {
    Display* display = nullptr;
    if (x11_window_of(sdl, &display) == x11->window) {
        return 1;
    }
    x11_close(x11);
    return x11_open(x11, sdl);
}

static bool32 x11_show(host_window* window, const back_buffer* buffer) {
    window_x11* x11 = window->x11;
    if (buffer->width > X11_MAX_SIDE || buffer->height > X11_MAX_SIDE ||
        !follow_window(x11, window->sdl)) {
        return 0;
    }
    // The server may still be reading last frame's image out of the segment.
    if (x11->in_flight) {
        XSync(x11->display, False);
        x11->in_flight = 0;
    }
    if (!fit_image(x11, buffer->width, buffer->height)) {
        return 0;
    }
    XImage* image = x11->image;
    copy_rows_flipped((u8*)image->data, (u32)image->bytes_per_line, buffer);
    int client_height = 0;
    SDL_GetWindowSize(window->sdl, nullptr, &client_height);
    XShmPutImage(x11->display, x11->window, x11->gc, image, 0, 0, 0,
                 client_height - (int)buffer->height, buffer->width, buffer->height, False);
    XFlush(x11->display);
    x11->in_flight = 1;
    return 1;
}

// ---------------------------------------------------------------------------
// The surface path.

static void surface_show(host_window* window, const back_buffer* buffer) {
    SDL_Surface* surface = SDL_GetWindowSurface(window->sdl);
    if (surface == nullptr || surface->w <= 0 || surface->h <= 0) {
        return;
    }
    if (SDL_MUSTLOCK(surface) && SDL_LockSurface(surface) != 0) {
        return;
    }
    u32 width = SDL_min(buffer->width, (u32)surface->w);
    u32 rows = SDL_min(buffer->height, (u32)surface->h);
    u32 format = surface->format->format;
    for (u32 y = 0; y < rows; ++y) {
        const u32* from = buffer->pixels + (size_t)y * buffer->pitch;
        u8* to = (u8*)surface->pixels + (size_t)(surface->h - 1 - y) * surface->pitch;
        if (format == SDL_PIXELFORMAT_RGB888) {
            memcpy(to, from, (size_t)width * 4);
        } else {
            SDL_ConvertPixels((int)width, 1, SDL_PIXELFORMAT_RGB888, from, (int)width * 4, format,
                              to, surface->pitch);
        }
    }
    if (SDL_MUSTLOCK(surface)) {
        SDL_UnlockSurface(surface);
    }
    SDL_UpdateWindowSurface(window->sdl);
}

// ---------------------------------------------------------------------------
// The window.

// An X server that has just lost its last client resets and refuses
// connections for a moment; SDL's probe of the display, opened and closed
// before its real connection, can be that client on a bare Xvfb.
static bool32 start_sdl(void) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        if (SDL_Init(SDL_INIT_VIDEO | SDL_INIT_EVENTS) == 0) {
            return 1;
        }
        SDL_Delay(50);
    }
    return 0;
}

// Controllers are input whatever window has the focus, as XInput's are on
// Windows. Without the subsystem (no device access) the host runs on
// without them.
static void start_controllers(void) {
    SDL_SetHintWithPriority(SDL_HINT_JOYSTICK_ALLOW_BACKGROUND_EVENTS, "1", SDL_HINT_DEFAULT);
    SDL_InitSubSystem(SDL_INIT_GAMECONTROLLER);
}

host_window* window_open(u32 client_width, u32 client_height, char* reason, u32 capacity) {
    if (!start_sdl()) {
        snprintf(reason, capacity, "%s", SDL_GetError());
        return nullptr;
    }
    start_controllers();
    // SDL's own X11 framebuffer for the fallback: its default there, an
    // OpenGL texture, took 7 to 12 ms a frame on Xvfb against 0.4, and it
    // re-creates the X window. The environment can still override this.
    if (strcmp(SDL_GetCurrentVideoDriver(), "x11") == 0) {
        SDL_SetHintWithPriority(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0", SDL_HINT_DEFAULT);
    }
    SDL_Window* sdl = SDL_CreateWindow(WINDOW_TITLE, SDL_WINDOWPOS_UNDEFINED,
                                       SDL_WINDOWPOS_UNDEFINED, (int)client_width,
                                       (int)client_height, SDL_WINDOW_RESIZABLE);
    if (!sdl) {
        snprintf(reason, capacity, "%s", SDL_GetError());
        SDL_Quit();
        return nullptr;
    }
    SDL_ShowWindow(sdl);
    SDL_StartTextInput();
    the_window = {};
    the_window.sdl = sdl;
    the_window.x11 = x11_open(&the_x11, sdl) ? &the_x11 : nullptr;
    the_window.blit = the_window.x11 ? WINDOW_BLIT_SHARED : WINDOW_BLIT_SURFACE;
    return &the_window;
}

window_blit window_use_blit(host_window* window, window_blit blit) {
    window->blit = blit == WINDOW_BLIT_SHARED && window->x11 == nullptr ? WINDOW_BLIT_SURFACE
                                                                         : blit;
    return window->blit;
}

void window_close(host_window* window) {
    if (window->x11) {
        x11_close(window->x11);
    }
    SDL_DestroyWindow(window->sdl);
    close_controllers();
    SDL_QuitSubSystem(SDL_INIT_GAMECONTROLLER | SDL_INIT_VIDEO | SDL_INIT_EVENTS);
    *window = {};
}

void window_client_size(host_window* window, u32* width, u32* height) {
    int w = 0;
    int h = 0;
    if (!(SDL_GetWindowFlags(window->sdl) & SDL_WINDOW_MINIMIZED)) {
        SDL_GetWindowSize(window->sdl, &w, &h);
    }
    *width = w > 0 ? (u32)w : 0;
    *height = h > 0 ? (u32)h : 0;
}

static bool32 close_request(const SDL_Event* event) {
    if (event->type == SDL_QUIT) {
        return 1;
    }
    if (event->type == SDL_WINDOWEVENT) {
        return event->window.event == SDL_WINDOWEVENT_CLOSE;
    }
    u16 mod = event->key.keysym.mod;
    return event->type == SDL_KEYDOWN && event->key.keysym.sym == SDLK_F4 &&
           (mod & KMOD_ALT) && !(mod & KMOD_CTRL);
}

static bool32 loop_chord(const SDL_Event* event) {
    return event->type == SDL_KEYDOWN && !event->key.repeat &&
           alt_chord(event->key.keysym.mod) &&
           key_code_from_keysym(&event->key.keysym) == KEY_A + (LOOP_CHORD_KEY - 'A');
}

// Rewind's chords (chords.h): Alt with a key, never the module's.
static rewind_key rewind_chord(const SDL_Event* event) {
    if (event->type != SDL_KEYDOWN || !alt_chord(event->key.keysym.mod)) {
        return REWIND_KEY_COUNT;
    }
    switch (event->key.keysym.sym) {
    case SDLK_LEFT: return REWIND_BACK;
    case SDLK_RIGHT: return REWIND_FORWARD;
    case SDLK_PAGEUP: return REWIND_SECOND_BACK;
    case SDLK_PAGEDOWN: return REWIND_SECOND_FORWARD;
    case SDLK_HOME: return REWIND_OLDEST;
    case SDLK_END: return REWIND_NEWEST;
    case SDLK_RETURN: return REWIND_RESUME;
    case SDLK_r: return REWIND_REPLAY;
    case SDLK_s: return REWIND_SAVE;
    default: return REWIND_KEY_COUNT;
    }
}

// The chord that starts afresh with a build that waits (chords.h).
static bool32 afresh_chord(const SDL_Event* event) {
    return event->type == SDL_KEYDOWN && !event->key.repeat &&
           alt_chord(event->key.keysym.mod) && event->key.keysym.sym == SDLK_BACKSPACE;
}

// While a button is held SDL captures the mouse and goes on reporting moves
// with the pointer outside the window. Windows reports no move outside the
// client area, and neither does this host.
static bool move_outside(host_window* window, const SDL_Event* event) {
    if (event->type != SDL_MOUSEMOTION || !window || !window->sdl) {
        return false;
    }
    int width = 0;
    int height = 0;
    SDL_GetWindowSize(window->sdl, &width, &height);
    return event->motion.x < 0 || event->motion.y < 0 || event->motion.x >= width ||
           event->motion.y >= height;
}

u32 window_pump(host_window* window, input_state* input, u32 height, i32* running) {
    u32 chords = 0;
    SDL_Event event;
    while (SDL_PollEvent(&event)) {
        if (close_request(&event)) {
            *running = 0;
        } else if (loop_chord(&event)) {
            ++chords;
        } else if (rewind_chord(&event) != REWIND_KEY_COUNT) {
            chords_note(rewind_chord(&event), event.key.repeat);
        } else if (afresh_chord(&event)) {
            chords_note_afresh();
        } else if (!move_outside(window, &event)) {
            input_translate_event(input, &event, height);
        }
    }
    return chords;
}

void window_show(host_window* window, const back_buffer* buffer) {
    if (buffer->pixels == nullptr || buffer->width == 0 || buffer->height == 0) {
        return;
    }
    fatal_assert(buffer->pitch >= buffer->width);
    if (window->blit == WINDOW_BLIT_SHARED && x11_show(window, buffer)) {
        return;
    }
    window->blit = WINDOW_BLIT_SURFACE;
    surface_show(window, buffer);
}

void window_set_title(host_window* window, const char* title) {
    SDL_SetWindowTitle(window->sdl, title);
}
