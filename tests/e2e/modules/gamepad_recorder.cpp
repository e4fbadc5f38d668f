// A test module that records, every frame, the controllers' block as it finds
// it, and on the Linux host plugs in, drives and unplugs SDL's virtual
// controllers on request (built with GAMEPAD_DRIVER, linked to the host's
// SDL). The Windows host has no virtual controllers: there it only records.
//
// Each frame appends one line to "gamepad.log":
//   f=frame zero= 1 when all four places are zero bytes
//   p0= to p3=, per place: held:lx:ly:rx:ry:lt:rt:dur, held being the mask of
//      buttons down (bit b for gamepad_button b, bit 0 connected) and dur the
//      seconds in GAMEPAD_NULL's current slot
//   t0= to t3=, per place: every button with transitions as
//      button:transitions:duration_index:time, comma-separated, or -
//   res= 1 when every button's reserved word and character are zero
//   cmds= the control files carried out so far, this frame's included
//
// A file "gamepad_control.txt" holds one command a line, carried out in the
// frame that finds it, after the line is recorded, then deleted; the host's
// next pump delivers their events. Controllers are named by a handle 0 to 7:
//   attach H          plugs one in, triggers released
//   button H B V      SDL controller button B (A is 0) to V (1 or 0)
//   axis H A V        SDL controller axis A to V as the joystick has it: y
//                     down; a trigger reads -32768 released, 32767 pulled
//   detach H          unplugs it
#include <stdio.h>
#include <string.h>

#include "engine/module.h"
#include "log.h"

#ifdef GAMEPAD_DRIVER
#include <SDL.h>
#endif

typedef struct recorder_state {
    u64 frames;
    u32 commands;
} recorder_state;

static bool zero_bytes(const void* memory, size_t size) {
    const u8* bytes = (const u8*)memory;
    for (size_t i = 0; i < size; ++i)
        if (bytes[i]) return false;
    return true;
}

#ifdef GAMEPAD_DRIVER
#define HANDLES 8
static SDL_Joystick* handles[HANDLES];

static int device_of(SDL_Joystick* joystick) {
    SDL_JoystickID id = SDL_JoystickInstanceID(joystick);
    for (int i = 0; i < SDL_NumJoysticks(); ++i)
        if (SDL_JoystickGetDeviceInstanceID(i) == id) return i;
    return -1;
}

static void run_command(const char* line) {
    char verb[16] = {0};
    int handle = -1, which = 0, value = 0;
    int fields = sscanf(line, "%15s %d %d %d", verb, &handle, &which, &value);
    if (fields < 2 || handle < 0 || handle >= HANDLES) return;
    SDL_Joystick** joystick = &handles[handle];
    if (strcmp(verb, "attach") == 0 && !*joystick) {
        int device = SDL_JoystickAttachVirtual(SDL_JOYSTICK_TYPE_GAMECONTROLLER,
                                               SDL_CONTROLLER_AXIS_MAX,
                                               SDL_CONTROLLER_BUTTON_MAX, 0);
        *joystick = device < 0 ? NULL : SDL_JoystickOpen(device);
        if (*joystick) {
            SDL_JoystickSetVirtualAxis(*joystick, SDL_CONTROLLER_AXIS_TRIGGERLEFT, -32768);
            SDL_JoystickSetVirtualAxis(*joystick, SDL_CONTROLLER_AXIS_TRIGGERRIGHT, -32768);
        }
    } else if (strcmp(verb, "button") == 0 && *joystick && fields == 4) {
        SDL_JoystickSetVirtualButton(*joystick, which, (Uint8)value);
    } else if (strcmp(verb, "axis") == 0 && *joystick && fields == 4) {
        SDL_JoystickSetVirtualAxis(*joystick, which, (Sint16)value);
    } else if (strcmp(verb, "detach") == 0 && *joystick) {
        SDL_JoystickDetachVirtual(device_of(*joystick));
        SDL_JoystickClose(*joystick);
        *joystick = NULL;
    }
}
#else
static void run_command(const char* line) { (void)line; }
#endif

// Carries out and removes the control file; returns true when there was one.
static bool take_control(void) {
    FILE* file = fopen("gamepad_control.txt", "rb");
    if (!file) return false;
    char text[2048] = {0};
    size_t read = fread(text, 1, sizeof(text) - 1, file);
    fclose(file);
    remove("gamepad_control.txt");
    text[read] = 0;
    for (char* line = strtok(text, "\n"); line; line = strtok(NULL, "\n")) run_command(line);
    return true;
}

static int append_place(char* out, int room, u32 place, const gamepad_state* pad) {
    u32 held = 0;
    for (u32 b = 0; b < GAMEPAD_COUNT; ++b) held |= pad->buttons[b].is_down << b;
    const button_state* link = &pad->buttons[GAMEPAD_NULL];
    int length = snprintf(out, room, " p%u=%u:%.9g:%.9g:%.9g:%.9g:%.9g:%.9g:%.9g t%u=", place,
                          held, (double)pad->left_stick_x, (double)pad->left_stick_y,
                          (double)pad->right_stick_x, (double)pad->right_stick_y,
                          (double)pad->left_trigger, (double)pad->right_trigger,
                          (double)link->durations[link->duration_index % 4], place);
    int listed = 0;
    for (u32 b = 0; b < GAMEPAD_COUNT; ++b) {
        const button_state* button = &pad->buttons[b];
        if (!button->transitions) continue;
        length += snprintf(out + length, room - length, "%s%u:%u:%u:%u", listed++ ? "," : "", b,
                           button->transitions, button->duration_index, button->time);
    }
    if (!listed) length += snprintf(out + length, room - length, "-");
    return length;
}

static bool words_zero(const input_state* input) {
    for (u32 p = 0; p < MAX_GAMEPADS; ++p)
        for (u32 b = 0; b < GAMEPAD_COUNT; ++b) {
            const button_state* button = &input->gamepads[p].buttons[b];
            if (button->reserved || button->character) return false;
        }
    return true;
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

    char line[2048];
    int length = snprintf(line, sizeof(line), "f=%llu zero=%d",
                          (unsigned long long)state->frames,
                          (int)zero_bytes(input->gamepads, sizeof(input->gamepads)));
    for (u32 p = 0; p < MAX_GAMEPADS; ++p)
        length += append_place(line + length, (int)sizeof(line) - length, p, &input->gamepads[p]);
    if (take_control()) state->commands += 1;
    length += snprintf(line + length, sizeof(line) - length, " res=%d cmds=%u\n",
                       (int)words_zero(input), state->commands);
    append_log("gamepad.log", line, length);
}
