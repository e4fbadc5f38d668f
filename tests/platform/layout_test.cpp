// The services header is portable: its records' layouts are pinned in the
// header for C and C++ alike (layout_c.c compiles it as C); the constants a
// module passes are checked here.
#include <gtest/gtest.h>

#include "engine/platform_api.h"

TEST(PlatformApiLayout, ConstantsHaveTheirContractValues) {
    EXPECT_EQ(FILE_OPEN_READ | FILE_OPEN_WRITE << 8 | FILE_OPEN_KEEP << 16, 0x040201);
    EXPECT_EQ(FILE_TIME_LAST_ACCESS + FILE_TIME_CREATION * 10 + FILE_TIME_LAST_WRITE * 100, 210);
    EXPECT_EQ(FILE_ERROR_UNKNOWN + FILE_ERROR_PATH_NOT_FOUND * 10 +
                  FILE_ERROR_ACCESS_DENIED * 100 + FILE_ERROR_SHARING_VIOLATION * 1000,
              3210);
    EXPECT_EQ(MEMORY_GUARD_PAGE, 1);
}
