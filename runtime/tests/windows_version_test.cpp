#include "runtime/windows_version.h"

#include <gtest/gtest.h>

namespace {

// The platform layer reports Windows 10.0, as a program with a compatibility manifest is told.
TEST(CheckWindowsVersionTest, AnswersTheCallersQuestions) {
    EXPECT_TRUE(CheckWindowsVersion(VER_GREATER_EQUAL, 6, 2));
    EXPECT_FALSE(CheckWindowsVersion(VER_EQUAL, 6, 1));
    EXPECT_FALSE(CheckWindowsVersion(VER_EQUAL, 5, 1));
    EXPECT_TRUE(CheckWindowsVersion(VER_EQUAL, 10, 0));
}

}  // namespace
