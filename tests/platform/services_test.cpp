// The services table's fill, the same on every system: 30 slots, each its
// own service, the same pointers every time.
#include <gtest/gtest.h>

#include <string.h>

#include "platform/services.h"

TEST(ServicesTable, FillingTwiceStoresTheSamePointers) {
    platform_api first;
    platform_api second;
    memset(&first, 0xAB, sizeof(first));
    memset(&second, 0x00, sizeof(second));
    EXPECT_EQ(fill_platform_api(&first), &first);
    fill_platform_api(&second);
    EXPECT_EQ(memcmp(&first, &second, sizeof(first)), 0);
    void* const* slots = (void* const*)&first;
    for (u32 i = 0; i < 30; ++i) {
        EXPECT_NE(slots[i], nullptr) << "slot " << i;
        for (u32 j = 0; j < i; ++j) {
            EXPECT_NE(slots[i], slots[j]) << "slots " << j << " and " << i;
        }
    }
}
