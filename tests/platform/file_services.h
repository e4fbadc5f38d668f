// The file services' tests: each runs in a fresh scratch folder of the
// system the tests run on (scratch_posix.h, scratch_win32.h).
#ifndef TESTS_PLATFORM_FILE_SERVICES_H
#define TESTS_PLATFORM_FILE_SERVICES_H

#include <gtest/gtest.h>

#include <string.h>

#include "platform/services.h"
#ifdef _WIN32
#include "tests/platform/scratch_win32.h"
#else
#include "tests/platform/scratch_posix.h"
#endif

class FileServices : public ::testing::Test {
protected:
    void SetUp() override { scratch_enter(&scratch); }
    void TearDown() override { scratch_leave(&scratch); }
    scratch_folder scratch;
};

static inline bool record_is_zero(const file_handle& file) {
    static const file_handle zero = {};
    return memcmp(&file, &zero, sizeof(file)) == 0;
}

#endif
