// A test module that records, every frame, the input record as it finds it,
// and sets the two mouse flags on request.
//
// Each frame appends one line to "input.log" in the working directory:
//   f=frame w= h= wheel= x= y= px= py= vx= vy= pvx= pvy= dx= dy=
//   acc=, sup= the two flags as found (the host clears them every frame)
//   set= what this frame set: none, accumulate, suppress or both
//   b= every button with is_down or transitions non-zero, as
//      code:is_down:transitions:character:duration_index:time, comma-separated
//   res= 1 when every reserved byte and the controllers' block are zero
//   d0= min,max of durations[0] over all buttons, s= the sum of all slots
//
// A file "input_control.txt" (mode frames, for example "both 45") asks it to
// set the flags for that many frames, starting with the frame that finds the
// file, which it then deletes. With accumulate it also moves the virtual
// position to 0,0 in that first frame, so accumulation is told apart from
// following the cursor.
#include <stdio.h>
#include <string.h>

#include "engine/module.h"
#include "engine/input.h"
#include "log.h"

typedef struct recorder_state {
    u64 frames;
    u32 flag_frames_left;
    u32 set_accumulate;
    u32 set_suppress;
} recorder_state;

static bool reserved_all_zero(const input_state* input) {
    for (u32 i = 0; i < sizeof(input->reserved_head); ++i)
        if (input->reserved_head[i]) return false;
    // No controller is connected in these runs, so their block stays zero.
    const u8* pads = (const u8*)input->gamepads;
    for (u32 i = 0; i < sizeof(input->gamepads); ++i)
        if (pads[i]) return false;
    for (u32 i = 0; i < sizeof(input->reserved_tail); ++i)
        if (input->reserved_tail[i]) return false;
    for (u32 k = 0; k < KEY_COUNT; ++k)
        if (input->buttons[k].reserved) return false;
    return true;
}

// Reads and removes the control file; returns true when it held a request.
static bool take_control(recorder_state* state) {
    FILE* file = fopen("input_control.txt", "rb");
    if (!file) return false;
    char text[64] = {0};
    size_t read = fread(text, 1, sizeof(text) - 1, file);
    fclose(file);
    remove("input_control.txt");
    text[read] = 0;
    char mode[32] = {0};
    unsigned frames = 0;
    if (sscanf(text, "%31s %u", mode, &frames) != 2) return false;
    state->set_accumulate = strcmp(mode, "accumulate") == 0 || strcmp(mode, "both") == 0;
    state->set_suppress = strcmp(mode, "suppress") == 0 || strcmp(mode, "both") == 0;
    state->flag_frames_left = frames;
    return true;
}

static int append_buttons(char* out, int room, const input_state* input) {
    int length = 0;
    for (u32 k = 0; k < KEY_COUNT && length < room - 64; ++k) {
        const button_state* b = &input->buttons[k];
        if (!b->is_down && !b->transitions) continue;
        length += snprintf(out + length, room - length, "%s%u:%u:%u:%u:%u:%u",
                           length ? "," : "", k, b->is_down, b->transitions, b->character,
                           b->duration_index, b->time);
    }
    if (!length) length = snprintf(out, room, "-");
    return length;
}

ENTRY_EXPORT void entry(u64 zero_a, u64 zero_b, i32* running, back_buffer* buffer,
                        input_state* input, f32 frame_seconds, struct platform_api* services,
                        void** module_slot) {
    (void)zero_a;
    (void)zero_b;
    (void)running;
    (void)buffer;
    (void)frame_seconds;
    recorder_state* state =
        (recorder_state*)slot_state(module_slot, services, sizeof(recorder_state));
    state->frames += 1;

    // The line records what the host delivered, before this frame's requests.
    const mouse_state found = input->mouse;
    const mouse_state* m = &found;
    f32 d0_min = input->buttons[0].durations[0], d0_max = d0_min, sum = 0.0f;
    for (u32 k = 0; k < KEY_COUNT; ++k) {
        const button_state* b = &input->buttons[k];
        if (b->durations[0] < d0_min) d0_min = b->durations[0];
        if (b->durations[0] > d0_max) d0_max = b->durations[0];
        sum += b->durations[0] + b->durations[1] + b->durations[2] + b->durations[3];
    }
    char buttons[3000];
    append_buttons(buttons, sizeof(buttons), input);

    bool first_flag_frame = take_control(state);
    const char* set = "none";
    if (state->flag_frames_left) {
        state->flag_frames_left -= 1;
        input->mouse.accumulate = state->set_accumulate;
        input->mouse.suppress_delta = state->set_suppress;
        if (first_flag_frame && state->set_accumulate) {
            input->mouse.virtual_x = 0.0f;
            input->mouse.virtual_y = 0.0f;
        }
        set = state->set_accumulate ? (state->set_suppress ? "both" : "accumulate") : "suppress";
    }

    char line[4096];
    int length = snprintf(
        line, sizeof(line),
        "f=%llu w=%.9g h=%.9g wheel=%.9g x=%.9g y=%.9g px=%.9g py=%.9g vx=%.9g vy=%.9g "
        "pvx=%.9g pvy=%.9g dx=%.9g dy=%.9g acc=%u sup=%u set=%s b=%s res=%d d0=%.9g,%.9g "
        "s=%.9g\n",
        (unsigned long long)state->frames, (double)input->width, (double)input->height,
        (double)m->wheel, (double)m->x, (double)m->y, (double)m->prev_x, (double)m->prev_y,
        (double)m->virtual_x, (double)m->virtual_y, (double)m->prev_virtual_x,
        (double)m->prev_virtual_y, (double)m->delta_x, (double)m->delta_y, m->accumulate,
        m->suppress_delta, set, buttons, (int)reserved_all_zero(input), (double)d0_min,
        (double)d0_max, (double)sum);
    append_log("input.log", line, length);
}
