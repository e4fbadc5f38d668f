// The default module: a small paint program over a moving gradient that
// shows what the host offers. Paint with the left button, pick a colour with
// 1 to 4, size the brush with the wheel, C clears, S saves to the data
// directory and L loads back, space pauses the background, and holding the
// right button drags a marker through the virtual mouse. With a controller,
// the left stick moves a second brush, A paints with it and the shoulder
// buttons step through the colours. Each click and key press sounds a short
// tone, higher to the right and in the upper half. The panel's last lines show what
// the host's loop editing is doing, the host's own keys (alt+L records, loops and stops;
// alt+Left steps back through the last seconds) and how an edit of this demo shows
// while it runs.
//
// Everything lives in one block from the memory service, reached through the
// persistent slot, so a rebuild keeps the painting, the brush and the clock.
#include "engine/base/format.h"
#include "engine/base/memory.h"
#include "draw.h"
#include "tones.h"

#define SAVE_PATH "demo_painting.bin"
#define SAVE_MAGIC 0x544E4950u  // "PINT"
#define SAVE_VERSION 1u
#define MAX_DOTS 8192
// The controller's brush at full tilt, in pixels per second.
#define PAD_BRUSH_SPEED 500.0f

// A painted dot; its position is a fraction of the window's size, so the
// painting scales with the window.
typedef struct dot {
    f32 x;
    f32 y;
    f32 radius;
    u32 colour;
} dot;

// Where a stroke in progress left its last dot, as a fraction of the window.
typedef struct stroke {
    f32 x;
    f32 y;
    u32 active;
} stroke;

typedef struct save_header {
    u32 magic;
    u32 version;
    u32 dot_count;
    u32 reserved;
} save_header;

typedef struct demo_state {
    memory_block block;  // where this record lives; kept for the whole run
    f32 seconds;         // background animation clock
    u32 paused;
    u32 colour_index;
    f32 brush;           // radius in pixels
    f32 marker_x;        // the virtual-mouse marker, in pixels
    f32 marker_y;
    char status[96];     // the last action's result, shown for a while
    f32 status_seconds;
    u32 dot_count;
    dot dots[MAX_DOTS];
    // Added after the first release: an older build's block is too short for
    // them (state_from_slot moves it).
    stroke mouse_stroke;
    stroke pad_stroke;
    u32 pad_placed;      // the controller's brush has been put on screen
    f32 pad_x;           // the controller's brush, in pixels
    f32 pad_y;
    demo_tones tones;    // ringing tones, played by entry_sound
} demo_state;

static const u32 palette[4] = {0xF2F2F2, 0xFF5A5F, 0x3EC1D3, 0xFFC93C};

// Frames drawn since the host started, across every rebuild: a kept
// variable (engine/keep.h) instead of a field behind the slot.
static ENGINE_KEEP(u64, frames_shown, 0);

// A block made by an older build, whose state was shorter, moves to one of
// this build's size; the fields it lacked start at zero. The guard page sits
// right after the old block, so reading past it would fault. False when
// there is no memory for the move.
static bool grow_state(void** module_slot, platform_api* services) {
    demo_state* old = (demo_state*)*module_slot;
    if (old->block.size >= sizeof(demo_state)) {
        return true;
    }
    memory_block block = services->allocate_memory(sizeof(demo_state), 0, MEMORY_GUARD_PAGE);
    if (!block.memory) {
        return false;
    }
    memory_block old_block = old->block;
    copy_bytes(block.memory, old, old_block.size);
    ((demo_state*)block.memory)->block = block;
    services->free_memory(&old_block);
    *module_slot = block.memory;
    return true;
}

static demo_state* state_from_slot(void** module_slot, platform_api* services) {
    if (!*module_slot) {
        // A guard page right after the block: a stray write past the state
        // faults at once instead of corrupting something else.
        memory_block block = services->allocate_memory(sizeof(demo_state), 0, MEMORY_GUARD_PAGE);
        if (!block.memory) {
            return 0;
        }
        demo_state* state = (demo_state*)block.memory;
        state->block = block;
        state->brush = 8.0f;
        state->colour_index = 1;
        state->marker_x = -100.0f;  // off screen until the right button is used
        state->marker_y = -100.0f;
        *module_slot = state;
    }
    return grow_state(module_slot, services) ? (demo_state*)*module_slot : 0;
}

static void set_status(demo_state* state, const char* format, format_arg a, format_arg b) {
    format_arg args[2] = {a, b};
    format_text_bounded(state->status, sizeof(state->status), format, args, 2);
    state->status_seconds = 3.0f;
}

static void save_painting(demo_state* state, platform_api* services) {
    save_header header = {SAVE_MAGIC, SAVE_VERSION, state->dot_count, 0};
    u32 dots_size = state->dot_count * (u32)sizeof(dot);
    file_handle file = services->open_file(SAVE_PATH, 0, FILE_OPEN_WRITE);
    u32 written = services->write_file(&file, &header, sizeof(header), 0);
    written += services->write_file(&file, state->dots, dots_size, sizeof(header));
    services->close_file(&file);
    if (written == sizeof(header) + dots_size) {
        set_status(state, "saved % dots to %", format_arg_u32(state->dot_count),
                   format_arg_text(SAVE_PATH));
    } else {
        set_status(state, "could not save: %", format_arg_text(services->last_file_error().message),
                   format_arg_u32(0));
    }
}

static void load_painting(demo_state* state, platform_api* services) {
    save_header header = {0, 0, 0, 0};
    u32 got = services->read_file_at_path(SAVE_PATH, &header, sizeof(header), 0);
    if (got != sizeof(header) || header.magic != SAVE_MAGIC || header.version != SAVE_VERSION ||
        header.dot_count > MAX_DOTS) {
        set_status(state, "nothing to load from %", format_arg_text(SAVE_PATH), format_arg_u32(0));
        return;
    }
    u32 dots_size = header.dot_count * (u32)sizeof(dot);
    if (services->read_file_at_path(SAVE_PATH, state->dots, dots_size, sizeof(header)) !=
        dots_size) {
        state->dot_count = 0;
        set_status(state, "% is cut short", format_arg_text(SAVE_PATH), format_arg_u32(0));
        return;
    }
    state->dot_count = header.dot_count;
    set_status(state, "loaded % dots from %", format_arg_u32(state->dot_count),
               format_arg_text(SAVE_PATH));
}

static bool button_pressed(const button_state* button) {
    return button->transitions > 0 && (button->is_down || button->transitions > 1);
}

static bool pressed(const input_state* input, key_code code) {
    return button_pressed(&input->buttons[code]);
}

static void add_dot(demo_state* state, dot d) {
    if (state->dot_count < MAX_DOTS) {
        state->dots[state->dot_count++] = d;
    }
}

// A press starts a stroke at (x, y) in pixels; while the button stays down,
// dots fill the way from the stroke's last one so a fast drag still draws a
// line.
static void paint(demo_state* state, const input_state* input, const button_state* button,
                  f32 x, f32 y, stroke* last) {
    bool started = button_pressed(button);
    if (!button->is_down && !started) {
        last->active = 0;
        return;
    }
    if (input->width < 1.0f || input->height < 1.0f) {
        return;
    }
    dot d = {x / input->width, y / input->height, state->brush, palette[state->colour_index]};
    if (started || !last->active) {
        add_dot(state, d);
        last->x = d.x;
        last->y = d.y;
        last->active = 1;
        return;
    }
    f32 dx = (d.x - last->x) * input->width;
    f32 dy = (d.y - last->y) * input->height;
    f32 step = 0.5f * d.radius;
    u32 steps = (u32)((dx < 0 ? -dx : dx) + (dy < 0 ? -dy : dy)) / (u32)(step < 1.0f ? 1.0f : step);
    for (u32 i = 1; i <= steps; ++i) {
        f32 t = (f32)i / (f32)steps;
        dot between = {last->x + (d.x - last->x) * t, last->y + (d.y - last->y) * t, d.radius,
                       d.colour};
        add_dot(state, between);
    }
    if (steps > 0) {
        last->x = d.x;
        last->y = d.y;
    }
}

static f32 clamp(f32 value, f32 low, f32 high) {
    return value < low ? low : value > high ? high : value;
}

// The first connected controller, or null.
static const gamepad_state* first_pad(const input_state* input) {
    for (u32 i = 0; i < MAX_GAMEPADS; ++i) {
        if (input->gamepads[i].buttons[GAMEPAD_NULL].is_down) {
            return &input->gamepads[i];
        }
    }
    return 0;
}

static void handle_pad(demo_state* state, const input_state* input, f32 frame_seconds) {
    const gamepad_state* pad = first_pad(input);
    if (!pad) {
        return;
    }
    if (!state->pad_placed) {
        state->pad_placed = 1;
        state->pad_x = 0.5f * input->width;
        state->pad_y = 0.5f * input->height;
    }
    f32 step = PAD_BRUSH_SPEED * frame_seconds;
    state->pad_x = clamp(state->pad_x + pad->left_stick_x * step, 0.0f, input->width);
    state->pad_y = clamp(state->pad_y + pad->left_stick_y * step, 0.0f, input->height);
    if (button_pressed(&pad->buttons[GAMEPAD_SHOULDER_LEFT])) {
        state->colour_index = (state->colour_index + 3) % 4;
    }
    if (button_pressed(&pad->buttons[GAMEPAD_SHOULDER_RIGHT])) {
        state->colour_index = (state->colour_index + 1) % 4;
    }
    paint(state, input, &pad->buttons[GAMEPAD_A], state->pad_x, state->pad_y, &state->pad_stroke);
}

// A tone for each key or button that went down this frame.
static void strike_tones(demo_state* state, const input_state* input) {
    f32 pitch = tone_pitch(input->mouse.x, input->mouse.y, input->width, input->height);
    for (u32 code = 0; code <= MOUSE_MIDDLE; ++code) {
        if (button_pressed(&input->buttons[code])) {
            tones_strike(&state->tones, pitch);
        }
    }
}

static void handle_input(demo_state* state, input_state* input, platform_api* services,
                         f32 frame_seconds) {
    for (u32 i = 0; i < 4; ++i) {
        if (pressed(input, (key_code)(KEY_1 + i))) {
            state->colour_index = i;
        }
    }
    if (input->mouse.wheel != 0.0f) {
        state->brush += 2.0f * input->mouse.wheel;
        state->brush = state->brush < 2.0f ? 2.0f : state->brush > 64.0f ? 64.0f : state->brush;
    }
    if (pressed(input, KEY_SPACE)) {
        state->paused = !state->paused;
    }
    if (pressed(input, KEY_C)) {
        state->dot_count = 0;
        set_status(state, "cleared", format_arg_u32(0), format_arg_u32(0));
    }
    if (pressed(input, KEY_S)) {
        save_painting(state, services);
    }
    if (pressed(input, KEY_L)) {
        load_painting(state, services);
    }
    // While the right button is held the marker follows the virtual mouse,
    // which the host moves by the mouse's deltas (the flag lasts one frame).
    if (input->buttons[MOUSE_SECONDARY].is_down) {
        input->mouse.accumulate = 1;
        state->marker_x = input->mouse.virtual_x;
        state->marker_y = input->mouse.virtual_y;
    }
    paint(state, input, &input->buttons[MOUSE_PRIMARY], input->mouse.x, input->mouse.y,
          &state->mouse_stroke);
    handle_pad(state, input, frame_seconds);
    strike_tones(state, input);
}

// 0 to 255 and back down, so a moving ramp has no seam.
static u32 triangle(u32 t) {
    t %= 510;
    return t < 255 ? t : 510 - t;
}

static void draw_background(back_buffer* buffer, f32 seconds) {
    u32 shift = (u32)(seconds * 60.0f);
    for (u32 y = 0; y < buffer->height; ++y) {
        u32* row = buffer->pixels + (u64)y * buffer->pitch;
        u32 green = triangle(y * 255 / (buffer->height + 1) + shift / 2);
        for (u32 x = 0; x < buffer->width; ++x) {
            u32 red = triangle(x * 255 / (buffer->width + 1) + shift);
            row[x] = rgb(red / 3 + 10, green / 3 + 20, 90);
        }
    }
}

static void draw_painting(back_buffer* buffer, const demo_state* state) {
    for (u32 i = 0; i < state->dot_count; ++i) {
        const dot* d = &state->dots[i];
        fill_disc(buffer, d->x * (f32)buffer->width, d->y * (f32)buffer->height, d->radius,
                  d->colour);
    }
}

static void append_held_keys(char* out, u32 capacity, const input_state* input) {
    u32 length = 0;
    out[0] = 0;
    for (u32 code = 1; code < MOUSE_PRIMARY && length + 1 < capacity; ++code) {
        if (input->buttons[code].is_down) {
            // Names read "KEY_A"; the prefix says nothing on screen.
            format_arg args[1] = {format_arg_text(key_names[code] + 4)};
            length += (u32)format_text_bounded(out + length, capacity - length, "% ", args, 1);
        }
    }
}

static u32 pads_connected(const input_state* input) {
    u32 count = 0;
    for (u32 i = 0; i < MAX_GAMEPADS; ++i) {
        count += input->gamepads[i].buttons[GAMEPAD_NULL].is_down;
    }
    return count;
}

// What loop editing is doing, as the host tells the module.
static void describe_loop(char* out, u32 capacity, const loop_info* loop) {
    format_arg args[3] = {format_arg_u32(loop->frame), format_arg_u32(loop->frames),
                          format_arg_u32(loop->round)};
    const char* format = loop->mode == LOOP_RECORDING   ? "recording frame %"
                         : loop->mode == LOOP_REPLAYING ? "loop % / %, round %"
                                                        : "live";
    format_text_bounded(out, capacity, format, args, 3);
}

static void draw_hud(back_buffer* buffer, const demo_state* state, const input_state* input,
                     f32 frame_seconds) {
    i32 scale = buffer->width >= 900 ? 2 : 1;
    char held[128];
    append_held_keys(held, sizeof(held), input);
    char loop[64];
    describe_loop(loop, sizeof(loop), &input->loop);
    format_arg args[] = {
        format_arg_f32(frame_seconds * 1000.0f), format_arg_u32(buffer->width),
        format_arg_u32(buffer->height),          format_arg_u64(frames_shown),
        format_arg_s32((i32)input->mouse.x),
        format_arg_s32((i32)input->mouse.y),     format_arg_text(held),
        format_arg_u32(state->colour_index + 1), format_arg_u32((u32)state->brush),
        format_arg_u32(state->dot_count),        format_arg_u32(MAX_DOTS),
        format_arg_text(state->status_seconds > 0.0f ? state->status : ""),
        format_arg_u32(pads_connected(input)),  format_arg_text(loop),
    };
    char text[512];
    format_text_bounded(text, sizeof(text),
                        "frame % ms  window % x %  shown %\n"
                        "mouse %, %\n"
                        "keys %\n"
                        "colour %  brush %  dots % / %\n"
                        "%\n"
                        "left paint  1-4 colour  wheel brush  right marker\n"
                        "space pause  c clear  s save  l load\n"
                        "controllers %: stick brush  a paint  lb rb colour\n"
                        "%  (host keys: alt+l record, loop, live; alt+left rewind)\n"
                        "edit demo/draw.cpp under ./run --watch: it shows at once",
                        args, sizeof(args) / sizeof(args[0]));
    i32 margin = 8 * scale;
    i32 width = text_width(text, scale) + 2 * margin;
    i32 height = 10 * FONT_LINE * scale + 2 * margin;
    i32 top = (i32)buffer->height - margin;
    shade_rect(buffer, margin, top - height, width, height, rgb(0, 0, 0), 160);
    draw_text(buffer, 2 * margin, top - margin, scale, rgb(235, 235, 235), text);
}

static void draw_marker(back_buffer* buffer, const demo_state* state) {
    i32 x = (i32)state->marker_x;
    i32 y = (i32)state->marker_y;
    fill_rect(buffer, x - 12, y - 1, 25, 3, rgb(255, 255, 255));
    fill_rect(buffer, x - 1, y - 12, 3, 25, rgb(255, 255, 255));
}

// The controller's brush, ringed, while a controller is connected.
static void draw_pad_brush(back_buffer* buffer, const demo_state* state,
                           const input_state* input) {
    if (!first_pad(input) || !state->pad_placed) {
        return;
    }
    fill_disc(buffer, state->pad_x, state->pad_y, state->brush + 3.0f, rgb(255, 255, 255));
    fill_disc(buffer, state->pad_x, state->pad_y, state->brush, palette[state->colour_index]);
}

ENTRY_EXPORT void entry(u64 zero_a, u64 zero_b, i32* running, back_buffer* buffer,
                        input_state* input, f32 frame_seconds, platform_api* services,
                        void** module_slot) {
    (void)zero_a;
    (void)zero_b;
    (void)running;
    demo_state* state = state_from_slot(module_slot, services);
    if (!state) {
        return;
    }
    if (!state->paused) {
        state->seconds += frame_seconds;
    }
    state->status_seconds -= frame_seconds;
    handle_input(state, input, services, frame_seconds);
    if (!buffer->pixels) {
        return;
    }
    draw_background(buffer, state->seconds);
    draw_painting(buffer, state);
    draw_marker(buffer, state);
    draw_pad_brush(buffer, state, input);
    draw_hud(buffer, state, input, frame_seconds);
    frames_shown += 1;
}

// The host calls this right after entry (engine/sound.h): the tones struck
// there are heard from this very call on.
ENTRY_EXPORT void entry_sound(sound_buffer* sound, platform_api* services, void** module_slot) {
    (void)services;
    demo_state* state = (demo_state*)*module_slot;
    if (state && state->block.size >= sizeof(demo_state)) {
        tones_play(&state->tones, sound);
    }
}
