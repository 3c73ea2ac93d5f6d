#include "winapi/windows.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

const DWORD SYSTEM_FLAGS =
    FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;

// What the program's error-text cache does with a code.
std::string system_text(DWORD code) {
    char* text = nullptr;
    DWORD length = FormatMessageA(SYSTEM_FLAGS, nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                  (LPSTR)&text, 0, nullptr);
    if (length == 0) {
        return "<none>";
    }
    std::string result(text, length);
    EXPECT_EQ(result.size(), strlen(text));
    EXPECT_EQ(LocalFree(text), nullptr);
    return result;
}

TEST(FormatMessage, SystemTextsEndWithALineBreak) {
    EXPECT_EQ(system_text(ERROR_FILE_NOT_FOUND), "The system cannot find the file specified.\r\n");
    EXPECT_EQ(system_text(10061),
              "No connection could be made because the target machine actively refused it.\r\n");
    EXPECT_EQ(system_text(ERROR_MORE_DATA), "More data is available.\r\n");
    // Inserts stay as written when they are ignored.
    EXPECT_EQ(system_text(ERROR_BAD_EXE_FORMAT), "%1 is not a valid Win32 application.\r\n");
}

TEST(FormatMessage, UnknownCodesAndSmallBuffersFail) {
    SetLastError(0);
    EXPECT_EQ(system_text(0x12345), "<none>");
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MR_MID_NOT_FOUND);

    char buffer[16];
    SetLastError(0);
    EXPECT_EQ(
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED, 0, buffer, 16, nullptr), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_SUCCESS, 0, buffer, 0, nullptr), 0u);
    char fits[40];
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED, 0, fits, 40, nullptr),
              19u);
    EXPECT_STREQ(fits, "Access is denied.\r\n");
    // A text with inserts needs them ignored: this layer fills none.
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_BAD_EXE_FORMAT, 0, fits, 40, nullptr),
              0u);
}

}  // namespace
