// The least a module does: one pixel a frame, so a headless replay measures
// the host's own frame.
#include "engine/module.h"

ENTRY_EXPORT void entry(u64, u64, i32*, back_buffer* buffer, input_state* input, f32,
                        platform_api*, void**) {
    if (buffer->pixels && buffer->width) {
        buffer->pixels[0] = input->loop.frame;
    }
}
