// An input storm through the X server for the storm benchmark
// (scripts/stress.py): key presses and releases and pointer moves at a fixed
// rate into one window, for a fixed time, from one Xlib connection with no
// round trip per event, so that the rate is the server's and the host's
// limit, not the sender's.
//
// Pointer moves are XWarpPointer calls: the server moves the pointer and
// sends real MotionNotify events. Keys are KeyPress and KeyRelease events
// sent with XSendEvent (the core protocol has no other way to make them):
// they are marked as sent, which SDL's and Wine's X11 code both accept.
// Each carries the server time at which the schedule says it is due (a
// server time read at the start, plus its place in the schedule), also when
// the sender was held up and sends a backlog at once, as a keyboard's
// events keep their times when the server is slow to read them. The keys
// cycle through a to z, so no key comes back within 2 ms of its release:
// SDL's X11 code takes a release followed that soon by a press of the same
// key for auto-repeat and drops the release, as it would for a real
// keyboard.
//
// Usage: input_storm WINDOW EVENTS_PER_SECOND SECONDS [KEY_SHARE_PERCENT]
// Prints one line of figures: events, seconds, presses per letter, and the
// pointer's last position in window coordinates.
#include <X11/Xlib.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#define LETTERS 26
// Events are sent in slices of this many milliseconds.
#define SLICE_MS 1

static double now_seconds(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec + (double)now.tv_nsec * 1e-9;
}

// The server's time now: the stamp of a property change on a window of our
// own, the usual way to ask for it.
static Time server_time(Display* display) {
    Window own = XCreateWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0,
                               CopyFromParent, InputOnly, CopyFromParent, 0, NULL);
    XSelectInput(display, own, PropertyChangeMask);
    Atom atom = XInternAtom(display, "ENGINE_STORM_TIME", False);
    unsigned char value = 0;
    XChangeProperty(display, own, atom, XA_INTEGER, 8, PropModeReplace, &value, 1);
    XEvent event;
    XWindowEvent(display, own, PropertyChangeMask, &event);
    XDestroyWindow(display, own);
    return event.xproperty.time;
}

typedef struct storm {
    Display* display;
    Window window;
    Window root;
    int width, height;
    KeyCode codes[LETTERS];
    unsigned long presses[LETTERS];
    Time base_time;
    double rate;
    double start;
    unsigned long events;
    unsigned long keys_sent;  // presses and releases
    unsigned long moves;
    int last_x, last_y;
} storm;

static void send_key(storm* s, int letter, bool press) {
    XKeyEvent event;
    memset(&event, 0, sizeof(event));
    event.type = press ? KeyPress : KeyRelease;
    event.display = s->display;
    event.window = s->window;
    event.root = s->root;
    event.subwindow = None;
    event.time = s->base_time + (Time)((double)s->events / s->rate * 1000.0);
    event.x = s->last_x;
    event.y = s->last_y;
    event.same_screen = True;
    event.keycode = s->codes[letter];
    XSendEvent(s->display, s->window, True, press ? KeyPressMask : KeyReleaseMask,
               (XEvent*)&event);
    s->keys_sent += 1;
    s->events += 1;
    if (press) {
        s->presses[letter] += 1;
    }
}

static void send_move(storm* s) {
    unsigned long n = s->moves++;
    s->last_x = 20 + (int)((n * 37) % (unsigned long)(s->width - 40));
    s->last_y = 20 + (int)((n * 23) % (unsigned long)(s->height - 40));
    XWarpPointer(s->display, None, s->window, 0, 0, 0, 0, s->last_x, s->last_y);
    s->events += 1;
}

int main(int argc, char** argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: %s WINDOW EVENTS_PER_SECOND SECONDS [KEY_SHARE_PERCENT]\n",
                argv[0]);
        return 2;
    }
    static storm s;
    s.display = XOpenDisplay(NULL);
    if (!s.display) {
        fprintf(stderr, "cannot open the display\n");
        return 1;
    }
    s.window = (Window)strtoul(argv[1], NULL, 0);
    s.rate = atof(argv[2]);
    double seconds = atof(argv[3]);
    int key_share = argc > 4 ? atoi(argv[4]) : 60;
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(s.display, s.window, &attributes) || attributes.width < 41 ||
        attributes.height < 41) {
        fprintf(stderr, "no usable window %s\n", argv[1]);
        return 1;
    }
    s.root = attributes.root;
    s.width = attributes.width;
    s.height = attributes.height;
    for (int i = 0; i < LETTERS; ++i) {
        s.codes[i] = XKeysymToKeycode(s.display, XK_a + i);
    }
    s.last_x = s.last_y = 20;
    s.base_time = server_time(s.display);
    s.start = now_seconds();

    // Every 10 events: key_share / 10 of them keys (a press or a release in
    // turn, cycling through the letters), the rest pointer moves.
    int letter = 0;
    bool next_is_press = true;
    unsigned long slot = 0;
    struct timespec slice = {0, SLICE_MS * 1000000L};
    for (;;) {
        double elapsed = now_seconds() - s.start;
        if (elapsed >= seconds) {
            break;
        }
        unsigned long due = (unsigned long)(s.rate * elapsed);
        while (s.events < due) {
            if ((int)(slot++ % 10) < key_share / 10) {
                send_key(&s, letter, next_is_press);
                if (!next_is_press) {
                    letter = (letter + 1) % LETTERS;
                }
                next_is_press = !next_is_press;
            } else {
                send_move(&s);
            }
        }
        XFlush(s.display);
        nanosleep(&slice, NULL);
    }
    // A key left down would read as held for the rest of the run.
    if (!next_is_press) {
        send_key(&s, letter, false);
    }
    XSync(s.display, False);
    double elapsed = now_seconds() - s.start;
    printf("events=%lu seconds=%.3f keys=%lu moves=%lu last=%d,%d presses=", s.events, elapsed,
           s.keys_sent, s.moves, s.last_x, s.last_y);
    for (int i = 0; i < LETTERS; ++i) {
        printf("%s%lu", i ? "," : "", s.presses[i]);
    }
    printf("\n");
    XCloseDisplay(s.display);
    return 0;
}
