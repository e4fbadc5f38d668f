#include "input/translate_win32.h"

#include "engine/base/fatal.h"

key_code key_code_from_virtual_key(u32 virtual_key) {
    if (virtual_key >= '0' && virtual_key <= '9') {
        return (key_code)(KEY_0 + (virtual_key - '0'));
    }
    if (virtual_key >= 'A' && virtual_key <= 'Z') {
        return (key_code)(KEY_A + (virtual_key - 'A'));
    }
    if (virtual_key >= VK_F1 && virtual_key <= VK_F9) {
        return (key_code)(KEY_F1 + (virtual_key - VK_F1));
    }
    if (virtual_key >= VK_F10 && virtual_key <= VK_F24) {
        return (key_code)(KEY_F10 + (virtual_key - VK_F10));
    }
    switch (virtual_key) {
    case VK_BACK: return KEY_BACKSPACE;
    case VK_TAB: return KEY_TAB;
    case VK_RETURN: return KEY_ENTER;
    case VK_SHIFT: return KEY_SHIFT;
    case VK_CONTROL: return KEY_CTRL;
    case VK_ESCAPE: return KEY_ESCAPE;
    case VK_SPACE: return KEY_SPACE;
    case VK_PRIOR: return KEY_PAGE_UP;
    case VK_NEXT: return KEY_PAGE_DOWN;
    case VK_LEFT: return KEY_LEFT;
    case VK_UP: return KEY_UP;
    case VK_RIGHT: return KEY_RIGHT;
    case VK_DOWN: return KEY_DOWN;
    case VK_DELETE: return KEY_DEL;
    default: return KEY_NULL;
    }
}

bool translate_key_message(input_state* input, const MSG* message) {
    if (message->message != WM_KEYDOWN && message->message != WM_KEYUP) {
        return false;
    }
    u32 virtual_key = (u32)message->wParam;
    // From the virtual key, not lParam, so it never carries the key-up bit.
    u32 scan_code = MapVirtualKeyA(virtual_key, 0);
    key_code code = key_code_from_virtual_key(virtual_key);
    button_state* button = &input->buttons[code];
    button_transition(button, message->message == WM_KEYDOWN ? 1 : 0, (u32)message->time);

    BYTE keyboard[256] = {};
    fatal_assert(GetKeyboardState(keyboard));
    WORD characters[2] = {};
    if (ToAscii(virtual_key, scan_code, keyboard, characters, 0) != 0) {
        button->character = characters[0];
    }
    return code != KEY_NULL;
}

static void mouse_button(input_state* input, key_code code, u32 is_down, const MSG* message) {
    button_transition(&input->buttons[code], is_down, (u32)message->time);
}

i32 translate_mouse_message(input_state* input, const MSG* message, u32 height) {
    mouse_state* mouse = &input->mouse;
    switch (message->message) {
    case WM_MOUSEMOVE: {
        u32 column = (u32)message->lParam & 0xFFFF;
        u32 row = ((u32)message->lParam >> 16) & 0xFFFF;
        mouse->x = (f32)column;
        // Signed, so a row past a client area that grew during the drain
        // gives a negative y rather than a wrapped one.
        mouse->y = (f32)((i64)height - (i64)row);
        return 1;
    }
    case WM_MOUSEWHEEL:
        mouse->wheel = (f32)(i16)(((u32)message->wParam >> 16) & 0xFFFF) / 120.0f;
        return 1;
    case WM_LBUTTONDOWN: mouse_button(input, MOUSE_PRIMARY, 1, message); return 1;
    case WM_LBUTTONUP: mouse_button(input, MOUSE_PRIMARY, 0, message); return 1;
    case WM_RBUTTONDOWN: mouse_button(input, MOUSE_SECONDARY, 1, message); return 1;
    case WM_RBUTTONUP: mouse_button(input, MOUSE_SECONDARY, 0, message); return 1;
    case WM_MBUTTONDOWN: mouse_button(input, MOUSE_MIDDLE, 1, message); return 1;
    case WM_MBUTTONUP: mouse_button(input, MOUSE_MIDDLE, 0, message); return 1;
    default: return 0;
    }
}

i32 input_translate_message(input_state* input, const MSG* message, u32 height) {
    if (translate_key_message(input, message)) {
        return 1;
    }
    return translate_mouse_message(input, message, height);
}
