#include "input/translate_sdl.h"

#include "input/gamepad_sdl.h"

// Between events: the record the next text belongs to (KEY_COUNT for none),
// the physical key that typed it, and what each physical key typed on press.
typedef struct key_memory {
    key_code text_key;
    u32 text_scancode;
    u16 typed[SDL_NUM_SCANCODES];
} key_memory;

static key_memory keys = {KEY_COUNT, 0, {}};

key_code key_code_from_keysym(const SDL_Keysym* key) {
    SDL_Keycode sym = key->sym;
    if (sym >= SDLK_a && sym <= SDLK_z) {
        return (key_code)(KEY_A + (sym - SDLK_a));
    }
    bool non_latin = !(sym & SDLK_SCANCODE_MASK) && sym > 0x7F;
    if (non_latin && key->scancode >= SDL_SCANCODE_A && key->scancode <= SDL_SCANCODE_Z) {
        return (key_code)(KEY_A + (key->scancode - SDL_SCANCODE_A));
    }
    // By position: on some layouts the main row types symbols unshifted.
    if (key->scancode >= SDL_SCANCODE_1 && key->scancode <= SDL_SCANCODE_9) {
        return (key_code)(KEY_1 + (key->scancode - SDL_SCANCODE_1));
    }
    if (key->scancode == SDL_SCANCODE_0) {
        return KEY_0;
    }
    if (sym >= SDLK_F1 && sym <= SDLK_F9) {
        return (key_code)(KEY_F1 + (sym - SDLK_F1));
    }
    if (sym >= SDLK_F10 && sym <= SDLK_F12) {
        return (key_code)(KEY_F10 + (sym - SDLK_F10));
    }
    if (sym >= SDLK_F13 && sym <= SDLK_F24) {
        return (key_code)(KEY_F13 + (sym - SDLK_F13));
    }
    switch (sym) {
    case SDLK_BACKSPACE: return KEY_BACKSPACE;
    case SDLK_TAB: return KEY_TAB;
    case SDLK_RETURN: return KEY_ENTER;
    case SDLK_KP_ENTER: return KEY_ENTER;
    case SDLK_LSHIFT: return KEY_SHIFT;
    case SDLK_RSHIFT: return KEY_SHIFT;
    case SDLK_LCTRL: return KEY_CTRL;
    case SDLK_RCTRL: return KEY_CTRL;
    case SDLK_ESCAPE: return KEY_ESCAPE;
    case SDLK_SPACE: return KEY_SPACE;
    case SDLK_PAGEUP: return KEY_PAGE_UP;
    case SDLK_PAGEDOWN: return KEY_PAGE_DOWN;
    case SDLK_LEFT: return KEY_LEFT;
    case SDLK_UP: return KEY_UP;
    case SDLK_RIGHT: return KEY_RIGHT;
    case SDLK_DOWN: return KEY_DOWN;
    case SDLK_DELETE: return KEY_DEL;
    default: return KEY_NULL;
    }
}

bool32 alt_chord(u16 modifiers) {
    return (modifiers & KMOD_LALT) && !(modifiers & KMOD_CTRL);
}

// What Windows' character translation gives for the keys SDL sends no text
// for (it drops control characters); 0 for keys whose text event follows.
static u16 control_character(const SDL_Keysym* key, key_code code) {
    bool ctrl = (key->mod & KMOD_CTRL) != 0;
    switch (code) {
    case KEY_ENTER: return ctrl ? 10 : 13;
    case KEY_BACKSPACE: return ctrl ? 127 : 8;
    case KEY_TAB: return 9;
    case KEY_ESCAPE: return 27;
    case KEY_SPACE: return 32;
    default: break;
    }
    if (ctrl && code >= KEY_A && code <= KEY_Z) {
        return (u16)(1 + (code - KEY_A));
    }
    return 0;
}

static bool is_alt(SDL_Keycode sym) { return sym == SDLK_LALT || sym == SDLK_RALT; }

i32 translate_key_event(input_state* input, const SDL_KeyboardEvent* event) {
    const SDL_Keysym* key = &event->keysym;
    u32 is_down = event->type == SDL_KEYDOWN ? 1 : 0;
    if (is_down) {
        keys.text_key = KEY_COUNT;
    }
    if (is_alt(key->sym) || (is_down && alt_chord(key->mod))) {
        return 0;
    }
    // A pushed event may carry any number.
    u32 scancode = (u32)key->scancode < SDL_NUM_SCANCODES ? (u32)key->scancode : 0;
    key_code code = key_code_from_keysym(key);
    button_state* button = &input->buttons[code];
    button_transition(button, is_down, event->timestamp);
    if (is_down) {
        u16 typed = control_character(key, code);
        keys.typed[scancode] = typed;
        if (typed != 0) {
            button->character = typed;
        } else {
            keys.text_key = code;
            keys.text_scancode = scancode;
        }
    } else {
        if (keys.typed[scancode] != 0) {
            button->character = keys.typed[scancode];
        }
        keys.typed[scancode] = 0;
    }
    return code != KEY_NULL;
}

// Length of a UTF-8 sequence from its lead byte, and the bits it carries.
static u32 utf8_lead(u8 byte, u32* bits) {
    if (byte < 0x80) { *bits = byte; return 1; }
    if (byte >= 0xC2 && byte <= 0xDF) { *bits = byte & 0x1F; return 2; }
    if (byte >= 0xE0 && byte <= 0xEF) { *bits = byte & 0x0F; return 3; }
    if (byte >= 0xF0 && byte <= 0xF4) { *bits = byte & 0x07; return 4; }
    return 0;
}

u32 first_utf16_unit(const char* text, u32 size) {
    const u8* bytes = (const u8*)text;
    u32 point = 0;
    u32 length = size > 0 ? utf8_lead(bytes[0], &point) : 0;
    if (length == 0 || length > size) {
        return 0;
    }
    for (u32 i = 1; i < length; ++i) {
        if ((bytes[i] & 0xC0) != 0x80) {
            return 0;
        }
        point = point << 6 | (bytes[i] & 0x3F);
    }
    bool overlong = (length == 3 && point < 0x800) || (length == 4 && point < 0x10000);
    bool surrogate = point >= 0xD800 && point <= 0xDFFF;
    if (overlong || surrogate || point > 0x10FFFF) {
        return 0;
    }
    return point < 0x10000 ? point : 0xD800 + ((point - 0x10000) >> 10);
}

i32 translate_text_event(input_state* input, const SDL_TextInputEvent* event) {
    key_code code = keys.text_key;
    keys.text_key = KEY_COUNT;
    u32 unit = first_utf16_unit(event->text, sizeof event->text);
    if (code == KEY_COUNT || unit == 0) {
        return 0;
    }
    input->buttons[code].character = unit;
    keys.typed[keys.text_scancode] = (u16)unit;
    return code != KEY_NULL;
}

static key_code mouse_button_code(u8 button) {
    switch (button) {
    case SDL_BUTTON_LEFT: return MOUSE_PRIMARY;
    case SDL_BUTTON_RIGHT: return MOUSE_SECONDARY;
    case SDL_BUTTON_MIDDLE: return MOUSE_MIDDLE;
    default: return KEY_NULL;
    }
}

static i32 translate_wheel(mouse_state* mouse, const SDL_MouseWheelEvent* wheel) {
    f32 notches = wheel->preciseY != 0.0f ? wheel->preciseY : (f32)wheel->y;
    f32 sideways = wheel->preciseX != 0.0f ? wheel->preciseX : (f32)wheel->x;
    // A sideways wheel is another message on Windows, not this one.
    if (notches == 0.0f && sideways != 0.0f) {
        return 0;
    }
    mouse->wheel = wheel->direction == SDL_MOUSEWHEEL_FLIPPED ? -notches : notches;
    return 1;
}

i32 translate_mouse_event(input_state* input, const SDL_Event* event, u32 height) {
    mouse_state* mouse = &input->mouse;
    switch (event->type) {
    case SDL_MOUSEMOTION:
        mouse->x = (f32)event->motion.x;
        mouse->y = (f32)((i64)height - (i64)event->motion.y);
        return 1;
    case SDL_MOUSEWHEEL:
        return translate_wheel(mouse, &event->wheel);
    case SDL_MOUSEBUTTONDOWN:
    case SDL_MOUSEBUTTONUP: {
        key_code code = mouse_button_code(event->button.button);
        if (code == KEY_NULL) {
            return 0;
        }
        u32 is_down = event->type == SDL_MOUSEBUTTONDOWN ? 1 : 0;
        button_transition(&input->buttons[code], is_down, event->button.timestamp);
        return 1;
    }
    default:
        return 0;
    }
}

i32 input_translate_event(input_state* input, const SDL_Event* event, u32 height) {
    switch (event->type) {
    case SDL_KEYDOWN:
    case SDL_KEYUP:
        return translate_key_event(input, &event->key);
    case SDL_TEXTINPUT:
        return translate_text_event(input, &event->text);
    case SDL_CONTROLLERDEVICEADDED:
    case SDL_CONTROLLERDEVICEREMOVED:
    case SDL_CONTROLLERBUTTONDOWN:
    case SDL_CONTROLLERBUTTONUP:
    case SDL_CONTROLLERAXISMOTION:
        return translate_controller_event(input, event);
    default:
        return translate_mouse_event(input, event, height);
    }
}
