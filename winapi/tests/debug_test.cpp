#include "winapi/windows.h"

#include "support/test_files.h"

#include <gtest/gtest.h>

namespace {

TEST(DebugOutput, GoesToStandardErrorOnlyWhenAskedFor) {
    {
        test_support::ScopedEnv off("KTW_DEBUG_OUTPUT", std::nullopt);
        testing::internal::CaptureStderr();
        OutputDebugStringA("[GDICANVAS][draw][12]hidden\n");
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    }
    test_support::ScopedEnv on("KTW_DEBUG_OUTPUT", std::string("1"));
    testing::internal::CaptureStderr();
    OutputDebugStringA("[GDICANVAS][draw][12]shown\n");
    OutputDebugStringA("\xD6\xD0\n");  // ANSI text arrives as UTF-8
    OutputDebugStringW(u"wide 中\n");
    OutputDebugStringA(nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[GDICANVAS][draw][12]shown\n中\nwide 中\n");
    EXPECT_FALSE(IsDebuggerPresent());
}

}  // namespace
