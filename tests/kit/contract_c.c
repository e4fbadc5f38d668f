/* Everything a module may include, compiled as strict C99 the way a C module
 * compiles it. The functions report the layouts C sees. */
#include "base/arena.h"
#include "base/format.h"
#include "base/memory.h"
#include "base/number.h"
#include "base/path.h"
#include "base/text.h"
#include "host/module.h"

size_t c_back_buffer_size(void) { return sizeof(back_buffer); }
size_t c_back_buffer_width_offset(void) { return offsetof(back_buffer, width); }
size_t c_input_state_size(void) { return sizeof(input_state); }
size_t c_buttons_offset(void) { return offsetof(input_state, buttons); }
size_t c_input_width_offset(void) { return offsetof(input_state, width); }
size_t c_button_state_size(void) { return sizeof(button_state); }
size_t c_platform_api_size(void) { return sizeof(platform_api); }
size_t c_format_arg_size(void) { return sizeof(format_arg); }
u32 c_key_count(void) { return KEY_COUNT; }

/* A C module's entry compiles against the contract's type. */
static void c_entry(u64 zero_a, u64 zero_b, i32* running, back_buffer* buffer,
                    input_state* input, f32 frame_seconds, platform_api* services,
                    void** module_slot) {
    (void)zero_a; (void)zero_b; (void)running; (void)buffer; (void)input;
    (void)frame_seconds; (void)services; (void)module_slot;
}
module_entry* c_entry_pointer(void) { return c_entry; }
