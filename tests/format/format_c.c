/* The formatter's C form, compiled as strict C99 and called from the C++
 * tests, which check what it wrote. */
#include "engine/base/format.h"

static int calls;
static format_arg counted(u64 v) {
    ++calls;
    return format_arg_u64(v);
}

u64 c_format_none(char* out) { return format_text(out, "a\\%b"); }

u64 c_format_mixed(char* out) {
    return format_text(out, "%|%{sign}|%|%{width:%}|", format_arg_text("t"), format_arg_s32(-5),
                       format_arg_f32(1.5f), format_arg_u32(42), format_arg_u32(4));
}

u64 c_format_sixteen(char* out) {
    return format_text(out, "%,%,%,%,%,%,%,%,%,%,%,%,%,%,%,%", format_arg_u32(1),
                       format_arg_u32(2), format_arg_u32(3), format_arg_u32(4),
                       format_arg_u32(5), format_arg_u32(6), format_arg_u32(7),
                       format_arg_u32(8), format_arg_u32(9), format_arg_u32(10),
                       format_arg_s64(-11), format_arg_text("12"), format_arg_f32(13.0f),
                       format_arg_u64(14), format_arg_u64(15), format_arg_u64(16));
}

/* Each argument is evaluated once; returns how many evaluations there were. */
int c_format_evaluations(char* out) {
    calls = 0;
    format_text(out, "%%", counted(1), counted(2));
    return calls;
}
