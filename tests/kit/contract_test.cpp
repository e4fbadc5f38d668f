// The module contract's headers compile as C99 and as C++, and both
// languages lay the records out alike.
#include <gtest/gtest.h>

#include "base/arena.h"
#include "base/format.h"
#include "base/memory.h"
#include "base/number.h"
#include "base/path.h"
#include "base/text.h"
#include "host/module.h"

extern "C" {
size_t c_back_buffer_size(void);
size_t c_back_buffer_width_offset(void);
size_t c_input_state_size(void);
size_t c_buttons_offset(void);
size_t c_input_width_offset(void);
size_t c_button_state_size(void);
size_t c_platform_api_size(void);
size_t c_format_arg_size(void);
u32 c_key_count(void);
module_entry* c_entry_pointer(void);
}

TEST(ModuleContract, CAndCppAgreeOnEveryRecord) {
    EXPECT_EQ(c_back_buffer_size(), sizeof(back_buffer));
    EXPECT_EQ(c_back_buffer_width_offset(), offsetof(back_buffer, width));
    EXPECT_EQ(c_input_state_size(), 7132u);
    EXPECT_EQ(c_input_state_size(), sizeof(input_state));
    EXPECT_EQ(c_buttons_offset(), offsetof(input_state, buttons));
    EXPECT_EQ(c_input_width_offset(), offsetof(input_state, width));
    EXPECT_EQ(c_button_state_size(), sizeof(button_state));
    EXPECT_EQ(c_platform_api_size(), sizeof(platform_api));
    EXPECT_EQ(c_format_arg_size(), sizeof(format_arg));
    EXPECT_EQ(c_key_count(), (u32)KEY_COUNT);
    EXPECT_NE(c_entry_pointer(), nullptr);
}
