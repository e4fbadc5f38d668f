/* Everything a module may include, compiled as strict C99 the way a C module
 * compiles it; the headers' layout pins are checked for C here. */
#include "engine/base/arena.h"
#include "engine/base/format.h"
#include "engine/base/memory.h"
#include "engine/base/number.h"
#include "engine/base/path.h"
#include "engine/base/text.h"
#include "engine/module.h"

/* A C module's entry has the contract's type. */
static void c_entry(u64 zero_a, u64 zero_b, i32* running, back_buffer* buffer,
                    input_state* input, f32 frame_seconds, platform_api* services,
                    void** module_slot) {
    (void)zero_a; (void)zero_b; (void)running; (void)buffer; (void)input;
    (void)frame_seconds; (void)services; (void)module_slot;
}
module_entry* const c_module_entry = c_entry;

/* And its entry_sound too. */
static void c_entry_sound(sound_buffer* sound, platform_api* services, void** module_slot) {
    (void)sound; (void)services; (void)module_slot;
}
module_sound_entry* const c_module_sound_entry = c_entry_sound;

/* The formatter's C form: no arguments, one, and the most it takes. */
u64 c_format_forms(char* out);
u64 c_format_forms(char* out) {
    format_arg one = format_arg_u32(1);
    return format_text(out, "plain") + format_text(out, "%", format_arg_text("x")) +
           format_text(out, "%%%%%%%%%%%%%%%%", one, one, one, one, one, one, one, one, one,
                       one, one, one, one, one, one, one);
}
