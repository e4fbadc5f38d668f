// The default module: a moving colour gradient with a bouncing square.
// The animation clock lives in the host's persistent slot, so a rebuild
// carries on from where the previous build was.
#include "host/module.h"

typedef struct demo_state {
    f32 seconds;  // animation time, advanced by each frame's duration
} demo_state;

static u32 pack_rgb(u32 red, u32 green, u32 blue) {
    return ((red & 255) << 16) | ((green & 255) << 8) | (blue & 255);
}

static void draw_gradient(back_buffer* buffer, u32 offset) {
    for (u32 y = 0; y < buffer->height; ++y) {
        u32* row = buffer->pixels + (u64)y * buffer->pitch;
        for (u32 x = 0; x < buffer->width; ++x) {
            row[x] = pack_rgb(x + offset, y + offset / 2, 128);
        }
    }
}

static u32 bounce(f32 position, u32 span) {
    if (span == 0) {
        return 0;
    }
    u32 period = 2 * span;
    u32 p = (u32)position % period;
    return p < span ? p : period - p;
}

static void draw_square(back_buffer* buffer, f32 seconds) {
    const u32 size = 40;
    if (buffer->width <= size || buffer->height <= size) {
        return;
    }
    u32 left = bounce(seconds * 240.0f, buffer->width - size);
    u32 bottom = bounce(seconds * 170.0f, buffer->height - size);
    for (u32 y = bottom; y < bottom + size; ++y) {
        u32* row = buffer->pixels + (u64)y * buffer->pitch;
        for (u32 x = left; x < left + size; ++x) {
            row[x] = pack_rgb(255, 255, 255);
        }
    }
}

extern "C" __declspec(dllexport) void entry(u64 zero_a, u64 zero_b, i32* running,
                                            back_buffer* buffer, struct input_state* input,
                                            f32 frame_seconds, struct platform_api* services,
                                            void** module_slot) {
    (void)zero_a;
    (void)zero_b;
    (void)running;
    (void)input;
    (void)services;
    // The slot is pointer-sized; the state fits in it, so nothing is allocated.
    static_assert(sizeof(demo_state) <= sizeof(void*), "demo state must fit the slot");
    demo_state* state = (demo_state*)module_slot;
    state->seconds += frame_seconds;
    if (!buffer->pixels) {
        return;
    }
    draw_gradient(buffer, (u32)(state->seconds * 60.0f));
    draw_square(buffer, state->seconds);
}
