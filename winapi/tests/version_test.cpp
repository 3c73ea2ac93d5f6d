#include "winapi/windows.h"

#include <gtest/gtest.h>

namespace {

// What the program's version check does: major and minor under one condition.
BOOL check(BYTE condition, DWORD major, DWORD minor) {
    OSVERSIONINFOEXW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    info.dwMajorVersion = major;
    info.dwMinorVersion = minor;
    ULONGLONG mask = 0;
    VER_SET_CONDITION(mask, VER_MAJORVERSION, condition);
    VER_SET_CONDITION(mask, VER_MINORVERSION, condition);
    return VerifyVersionInfoW(&info, VER_MAJORVERSION | VER_MINORVERSION, mask);
}

TEST(Version, ConditionsAgainstWindows10) {
    struct Case {
        BYTE condition;
        DWORD major, minor;
        bool satisfied;
    };
    const Case cases[] = {
        {VER_EQUAL, 5, 1, false},          {VER_EQUAL, 6, 1, false},         {VER_GREATER_EQUAL, 6, 2, true},
        {VER_EQUAL, 10, 0, true},          {VER_GREATER_EQUAL, 10, 0, true}, {VER_GREATER, 10, 0, false},
        {VER_GREATER_EQUAL, 10, 1, false}, {VER_LESS, 11, 0, true},          {VER_LESS_EQUAL, 6, 3, false},
    };
    for (const Case& c : cases) {
        SetLastError(0);
        EXPECT_EQ(check(c.condition, c.major, c.minor) != FALSE, c.satisfied)
            << "condition " << (int)c.condition << " " << c.major << "." << c.minor;
        EXPECT_EQ(GetLastError(), c.satisfied ? 0u : (DWORD)ERROR_OLD_WIN_VERSION);
    }
}

TEST(Version, ConditionMaskAndBadArguments) {
    EXPECT_EQ(VerSetConditionMask(0, VER_MINORVERSION, VER_EQUAL), 1u);
    EXPECT_EQ(VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL), 3u << 3);
    EXPECT_EQ(VerSetConditionMask(0, VER_BUILDNUMBER, VER_LESS), 4u << 6);
    EXPECT_EQ(VerSetConditionMask(7, VER_MINORVERSION, 0), 7u) << "condition 0 leaves the mask alone";

    OSVERSIONINFOEXW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    EXPECT_FALSE(VerifyVersionInfoW(&info, 0, 1));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_BAD_ARGUMENTS);
    info.dwBuildNumber = 19045;
    EXPECT_TRUE(
        VerifyVersionInfoW(&info, VER_BUILDNUMBER, VerSetConditionMask(0, VER_BUILDNUMBER, VER_EQUAL)));
}

TEST(Version, GetVersionExChecksTheStructureSize) {
    OSVERSIONINFOW info = {};
    EXPECT_EQ(sizeof(OSVERSIONINFOW), 276u);
    EXPECT_EQ(sizeof(OSVERSIONINFOEXW), 284u);
    EXPECT_FALSE(GetVersionExW(&info));
    info.dwOSVersionInfoSize = sizeof(info);
    ASSERT_TRUE(GetVersionExW(&info));
    EXPECT_EQ(info.dwMajorVersion, 10u);
    EXPECT_EQ(info.dwMinorVersion, 0u);
    EXPECT_EQ(info.dwBuildNumber, 19045u);
    EXPECT_EQ(info.dwPlatformId, (DWORD)VER_PLATFORM_WIN32_NT);

    OSVERSIONINFOEXW ex = {};
    ex.dwOSVersionInfoSize = sizeof(ex);
    ex.wServicePackMajor = 9;
    ASSERT_TRUE(GetVersionExW((LPOSVERSIONINFOW)&ex));
    EXPECT_EQ(ex.wServicePackMajor, 0);
    EXPECT_EQ(ex.wProductType, VER_NT_WORKSTATION);
    RTL_OSVERSIONINFOW rtl = {};
    EXPECT_EQ(RtlGetVersion(&rtl), STATUS_INVALID_PARAMETER);
}

}  // namespace
