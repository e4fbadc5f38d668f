// The services header is portable: C and C++ builds on any system agree on
// the records' layouts (the C++ side pins them with static_asserts).
#include <gtest/gtest.h>

#include "platform/platform_api.h"

extern "C" {
size_t c_file_handle_size(void);
size_t c_handle_offset(void);
size_t c_dir_entry_size(void);
size_t c_memory_block_size(void);
size_t c_file_error_size(void);
size_t c_table_size(void);
size_t c_last_slot_offset(void);
}

TEST(PlatformApiLayout, CAndCppAgree) {
    EXPECT_EQ(c_file_handle_size(), sizeof(file_handle));
    EXPECT_EQ(c_handle_offset(), offsetof(file_handle, handle));
    EXPECT_EQ(c_dir_entry_size(), sizeof(dir_entry));
    EXPECT_EQ(c_memory_block_size(), sizeof(memory_block));
    EXPECT_EQ(c_file_error_size(), sizeof(file_error));
    EXPECT_EQ(c_table_size(), 30 * sizeof(void*));
    EXPECT_EQ(c_last_slot_offset(), 29 * sizeof(void*));
}

TEST(PlatformApiLayout, ConstantsHaveTheirContractValues) {
    EXPECT_EQ(FILE_OPEN_READ | FILE_OPEN_WRITE << 8 | FILE_OPEN_KEEP << 16, 0x040201);
    EXPECT_EQ(FILE_TIME_LAST_ACCESS + FILE_TIME_CREATION * 10 + FILE_TIME_LAST_WRITE * 100, 210);
    EXPECT_EQ(FILE_ERROR_UNKNOWN + FILE_ERROR_PATH_NOT_FOUND * 10 +
                  FILE_ERROR_ACCESS_DENIED * 100 + FILE_ERROR_SHARING_VIOLATION * 1000,
              3210);
    EXPECT_EQ(MEMORY_GUARD_PAGE, 1);
}
