#include "input/gamepad_sdl.h"

#include "input/frame.h"
#include "input/gamepad.h"

// A place's controller, null while the place is free, and the axes as its
// latest events gave them (a stick needs both of its axes at once).
typedef struct controller_place {
    SDL_GameController* controller;
    SDL_JoystickID id;
    i16 axes[SDL_CONTROLLER_AXIS_MAX];
} controller_place;

static controller_place places[MAX_GAMEPADS];

gamepad_button gamepad_button_from_sdl(u8 button) {
    switch (button) {
    case SDL_CONTROLLER_BUTTON_DPAD_UP: return GAMEPAD_DPAD_UP;
    case SDL_CONTROLLER_BUTTON_DPAD_DOWN: return GAMEPAD_DPAD_DOWN;
    case SDL_CONTROLLER_BUTTON_DPAD_LEFT: return GAMEPAD_DPAD_LEFT;
    case SDL_CONTROLLER_BUTTON_DPAD_RIGHT: return GAMEPAD_DPAD_RIGHT;
    case SDL_CONTROLLER_BUTTON_START: return GAMEPAD_START;
    case SDL_CONTROLLER_BUTTON_BACK: return GAMEPAD_BACK;
    case SDL_CONTROLLER_BUTTON_LEFTSTICK: return GAMEPAD_THUMB_LEFT;
    case SDL_CONTROLLER_BUTTON_RIGHTSTICK: return GAMEPAD_THUMB_RIGHT;
    case SDL_CONTROLLER_BUTTON_LEFTSHOULDER: return GAMEPAD_SHOULDER_LEFT;
    case SDL_CONTROLLER_BUTTON_RIGHTSHOULDER: return GAMEPAD_SHOULDER_RIGHT;
    case SDL_CONTROLLER_BUTTON_A: return GAMEPAD_A;
    case SDL_CONTROLLER_BUTTON_B: return GAMEPAD_B;
    case SDL_CONTROLLER_BUTTON_X: return GAMEPAD_X;
    case SDL_CONTROLLER_BUTTON_Y: return GAMEPAD_Y;
    default: return GAMEPAD_NULL;
    }
}

static i32 place_of(SDL_JoystickID id) {
    for (i32 p = 0; p < MAX_GAMEPADS; ++p) {
        if (places[p].controller && places[p].id == id) {
            return p;
        }
    }
    return -1;
}

static i32 free_place(void) {
    for (i32 p = 0; p < MAX_GAMEPADS; ++p) {
        if (!places[p].controller) {
            return p;
        }
    }
    return -1;
}

static void apply_axes(gamepad_state* pad, const i16* axes) {
    // SDL's y axes point down.
    gamepad_set_stick(&pad->left_stick_x, &pad->left_stick_y, axes[SDL_CONTROLLER_AXIS_LEFTX],
                      -(i32)axes[SDL_CONTROLLER_AXIS_LEFTY]);
    gamepad_set_stick(&pad->right_stick_x, &pad->right_stick_y,
                      axes[SDL_CONTROLLER_AXIS_RIGHTX], -(i32)axes[SDL_CONTROLLER_AXIS_RIGHTY]);
    i16 left = axes[SDL_CONTROLLER_AXIS_TRIGGERLEFT];
    i16 right = axes[SDL_CONTROLLER_AXIS_TRIGGERRIGHT];
    pad->left_trigger = gamepad_trigger(left > 0 ? (u32)left : 0, GAMEPAD_AXIS_FULL);
    pad->right_trigger = gamepad_trigger(right > 0 ? (u32)right : 0, GAMEPAD_AXIS_FULL);
}

static void take_current_state(gamepad_state* pad, controller_place* place, u32 time) {
    for (i32 b = 0; b < SDL_CONTROLLER_BUTTON_MAX; ++b) {
        gamepad_button button = gamepad_button_from_sdl((u8)b);
        if (button != GAMEPAD_NULL) {
            u8 held = SDL_GameControllerGetButton(place->controller, (SDL_GameControllerButton)b);
            button_transition(&pad->buttons[button], held ? 1 : 0, time);
        }
    }
    for (i32 a = 0; a < SDL_CONTROLLER_AXIS_MAX; ++a) {
        place->axes[a] = SDL_GameControllerGetAxis(place->controller, (SDL_GameControllerAxis)a);
    }
    apply_axes(pad, place->axes);
}

static i32 add_controller(input_state* input, i32 device, SDL_JoystickID id, u32 time) {
    i32 p = free_place();
    SDL_GameController* controller = SDL_GameControllerOpen(device);
    if (!controller) {
        return 0;
    }
    places[p] = {};
    places[p].controller = controller;
    places[p].id = id;
    gamepad_connect(&input->gamepads[p], time);
    take_current_state(&input->gamepads[p], &places[p], time);
    return 1;
}

// Opens the controllers without a place into the free places, lowest first,
// in SDL's device order. An event's device index may be stale by the time it
// is read, so every arrival and departure looks at the whole list; this also
// seats a controller that was waiting for a place. gone is a controller just
// removed (-1 for none).
static i32 place_controllers(input_state* input, SDL_JoystickID gone, u32 time) {
    i32 placed = 0;
    for (i32 device = 0; device < SDL_NumJoysticks() && free_place() >= 0; ++device) {
        SDL_JoystickID id = SDL_JoystickGetDeviceInstanceID(device);
        if (id >= 0 && id != gone && place_of(id) < 0 && SDL_IsGameController(device)) {
            placed |= add_controller(input, device, id, time);
        }
    }
    return placed;
}

static i32 remove_controller(input_state* input, SDL_JoystickID id, u32 time) {
    i32 p = place_of(id);
    if (p < 0) {
        return 0;
    }
    gamepad_disconnect(&input->gamepads[p], time);
    SDL_GameControllerClose(places[p].controller);
    places[p] = {};
    place_controllers(input, id, time);
    return 1;
}

static i32 controller_button(input_state* input, const SDL_ControllerButtonEvent* event) {
    i32 p = place_of(event->which);
    gamepad_button button = gamepad_button_from_sdl(event->button);
    if (p < 0 || button == GAMEPAD_NULL) {
        return 0;
    }
    u32 is_down = event->state == SDL_PRESSED ? 1 : 0;
    button_transition(&input->gamepads[p].buttons[button], is_down, event->timestamp);
    return 1;
}

static i32 controller_axis(input_state* input, const SDL_ControllerAxisEvent* event) {
    i32 p = place_of(event->which);
    if (p < 0 || event->axis >= SDL_CONTROLLER_AXIS_MAX) {
        return 0;
    }
    places[p].axes[event->axis] = event->value;
    apply_axes(&input->gamepads[p], places[p].axes);
    return 1;
}

i32 translate_controller_event(input_state* input, const SDL_Event* event) {
    switch (event->type) {
    case SDL_CONTROLLERDEVICEADDED:
        return place_controllers(input, -1, event->cdevice.timestamp);
    case SDL_CONTROLLERDEVICEREMOVED:
        return remove_controller(input, event->cdevice.which, event->cdevice.timestamp);
    case SDL_CONTROLLERBUTTONDOWN:
    case SDL_CONTROLLERBUTTONUP:
        return controller_button(input, &event->cbutton);
    case SDL_CONTROLLERAXISMOTION:
        return controller_axis(input, &event->caxis);
    default:
        return 0;
    }
}

void close_controllers(void) {
    for (i32 p = 0; p < MAX_GAMEPADS; ++p) {
        if (places[p].controller) {
            SDL_GameControllerClose(places[p].controller);
        }
        places[p] = {};
    }
}
