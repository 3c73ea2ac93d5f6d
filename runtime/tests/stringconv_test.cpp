#include "runtime/stringconv.h"

#include <csignal>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <string>

namespace {

using testing::HasSubstr;

template <typename T>
struct HeapString {
    T* p;
    ~HeapString() {
        if (p) {
            HeapFree(GetProcessHeap(), 0, p);
        }
    }
};

TEST(StringConvTest, WideToUtf8CountsBytesAndTerminator) {
    const WCHAR e_acute[] = {0x00E9, 0};
    int size = 0;
    HeapString<char> utf8{WideToUtf8(e_acute, &size)};
    ASSERT_NE(utf8.p, nullptr);
    EXPECT_EQ(size, 3);
    EXPECT_STREQ(utf8.p, "\xC3\xA9");

    // A character outside the basic plane: two UTF-16 units, four UTF-8 bytes.
    const WCHAR g_clef[] = {0xD834, 0xDD1E, 0};
    HeapString<char> clef{WideToUtf8(g_clef, &size)};
    EXPECT_EQ(size, 5);
    EXPECT_STREQ(clef.p, "\xF0\x9D\x84\x9E");
}

TEST(StringConvTest, AnsiToWideCountsTwoBytesPerCharacterPlusTerminator) {
    int size = 0;
    HeapString<WCHAR> wide{AnsiToWide("ab", &size)};
    ASSERT_NE(wide.p, nullptr);
    EXPECT_EQ(size, 6);
    EXPECT_EQ(std::u16string(wide.p), u"ab");
}

TEST(StringConvTest, AsciiSurvivesEveryConversion) {
    int size = 0;
    HeapString<char> utf8{AnsiToUtf8("Voranth 42", &size)};
    EXPECT_STREQ(utf8.p, "Voranth 42");
    EXPECT_EQ(size, 11);
    HeapString<char> ansi{WideToAnsi(u"C:/banner.bmp", &size)};
    EXPECT_STREQ(ansi.p, "C:/banner.bmp");
    EXPECT_EQ(size, 14);
}

// The ANSI code page is GBK (936), as on the Simplified Chinese systems the program serves.
TEST(StringConvTest, AnsiTextIsReadAsTheAnsiCodePage) {
    const char zhong_wen[] = "\xD6\xD0\xCE\xC4";
    int size = 0;
    HeapString<WCHAR> wide{AnsiToWide(zhong_wen, &size)};
    EXPECT_EQ(size, 6);
    EXPECT_EQ(std::u16string(wide.p), u"\u4E2D\u6587");
    HeapString<char> utf8{AnsiToUtf8(zhong_wen, &size)};
    EXPECT_EQ(size, 7);
    EXPECT_STREQ(utf8.p, "\xE4\xB8\xAD\xE6\x96\x87");
    HeapString<char> back{WideToAnsi(wide.p, &size)};
    EXPECT_EQ(size, 5);
    EXPECT_STREQ(back.p, zhong_wen);
}

TEST(StringConvTest, EmptyInputGivesATerminatorOnly) {
    int size = -1;
    HeapString<char> utf8{WideToUtf8(u"", &size)};
    ASSERT_NE(utf8.p, nullptr);
    EXPECT_EQ(utf8.p[0], 0);
    EXPECT_EQ(size, 1);
    HeapString<WCHAR> wide{AnsiToWide("", &size)};
    ASSERT_NE(wide.p, nullptr);
    EXPECT_EQ(wide.p[0], 0);
    EXPECT_EQ(size, 2);
    HeapString<char> ansi{WideToAnsi(u"")};
    ASSERT_NE(ansi.p, nullptr);
    HeapString<char> via_wide{AnsiToUtf8("")};
    ASSERT_NE(via_wide.p, nullptr);
}

TEST(StringConvDeathTest, NullInputIsAnAssertion) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(WideToUtf8(nullptr), testing::KilledBySignal(SIGABRT),
                testing::AllOf(HasSubstr("stringconv"), HasSubstr("assertion `pwstr != NULL' failed")));
    EXPECT_EXIT(AnsiToWide(nullptr), testing::KilledBySignal(SIGABRT),
                HasSubstr("assertion `pstr != NULL' failed"));
}

}  // namespace
