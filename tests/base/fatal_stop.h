// Death tests for failed invariants. EXPECT_DEATH(statement, "") takes any
// death, and an invariant that is not checked usually ends in one a moment
// later anyway (a stray write the sanitizer reports, a segfault). This one
// takes only the trap that fatal_stop raises.
#ifndef TESTS_BASE_FATAL_STOP_H
#define TESTS_BASE_FATAL_STOP_H

#include <gtest/gtest.h>

#ifdef _WIN32
// The child's exit code is the exception's code: a fast fail from MSVC's
// trap, an illegal instruction from GCC's and clang's.
inline bool ended_by_fatal_stop(int code) {
#if defined(_MSC_VER)
    return (unsigned)code == 0xC0000409u;
#else
    return (unsigned)code == 0xC000001Du;
#endif
}
#define EXPECT_FATAL_STOP(statement) EXPECT_EXIT(statement, ended_by_fatal_stop, "")
#else
#include <signal.h>
#define EXPECT_FATAL_STOP(statement) \
    EXPECT_EXIT(statement, ::testing::KilledBySignal(SIGILL), "")
#endif

#endif
