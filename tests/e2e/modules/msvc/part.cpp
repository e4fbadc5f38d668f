// The C++ half of the MSVC-built module: the contract's headers in C++, and
// a kept variable of its own, which the host finds in the same table as the
// C half's.
#include "part.h"

static ENGINE_KEEP(u64, presses, 0);

u64 count_presses(const input_state* input) {
    const button_state& key = input->buttons[KEY_A];
    if (key.is_down && key.transitions > 0) {
        presses += 1;
    }
    return presses;
}

u32 part_colour(u32 version) {
    static const u32 colours[] = {0x000000u, 0x3060C0u, 0x40A040u, 0xC04040u};
    return colours[version % (sizeof(colours) / sizeof(colours[0]))];
}
