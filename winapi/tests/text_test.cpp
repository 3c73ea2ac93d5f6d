#include "winapi/windows.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace {

// Converts a whole byte string (explicit length, so no terminator is added) to UTF-16.
std::u16string to_wide(UINT code_page, const std::string& bytes, DWORD flags = 0) {
    int needed = MultiByteToWideChar(code_page, flags, bytes.data(), (int)bytes.size(), nullptr, 0);
    if (needed <= 0) {
        return u"<failed>";
    }
    std::u16string out((size_t)needed, 0);
    EXPECT_EQ(MultiByteToWideChar(code_page, flags, bytes.data(), (int)bytes.size(), &out[0], needed),
              needed);
    return out;
}

std::string to_bytes(UINT code_page, const std::u16string& text, DWORD flags = 0) {
    int needed =
        WideCharToMultiByte(code_page, flags, text.data(), (int)text.size(), nullptr, 0, nullptr, nullptr);
    if (needed <= 0) {
        return "<failed>";
    }
    std::string out((size_t)needed, 0);
    EXPECT_EQ(WideCharToMultiByte(code_page, flags, text.data(), (int)text.size(), &out[0], needed, nullptr,
                                  nullptr),
              needed);
    return out;
}

struct Sample {
    std::u16string text;
    std::string utf8;
    std::string gbk;  // empty when GBK cannot hold the text
};

const Sample SAMPLES[] = {
    {u"abc", "abc", "abc"},
    {u"中文", "\xE4\xB8\xAD\xE6\x96\x87", "\xD6\xD0\xCE\xC4"},
    {u"é", "\xC3\xA9", "\xA8\xA6"},
    {u"€", "\xE2\x82\xAC", "\x80"},
    {std::u16string(u"a\0b", 3), std::string("a\0b", 3), std::string("a\0b", 3)},
    {u"\U0001F600", "\xF0\x9F\x98\x80", ""},  // a surrogate pair
};

TEST(TextConversion, SamplesConvertBothWaysInUtf8AndGbk) {
    for (const Sample& s : SAMPLES) {
        EXPECT_EQ(to_wide(CP_UTF8, s.utf8), s.text) << s.utf8;
        EXPECT_EQ(to_bytes(CP_UTF8, s.text), s.utf8) << s.utf8;
        if (!s.gbk.empty()) {
            EXPECT_EQ(to_wide(CP_ACP, s.gbk), s.text) << s.utf8;
            EXPECT_EQ(to_wide(936, s.gbk), s.text) << s.utf8;
            EXPECT_EQ(to_bytes(CP_ACP, s.text), s.gbk) << s.utf8;
            EXPECT_EQ(to_bytes(CP_OEMCP, s.text), s.gbk) << s.utf8;
        }
    }
    EXPECT_EQ(GetACP(), 936u);
}

TEST(TextConversion, MinusOneLengthIncludesTheTerminator) {
    WCHAR wide[8];
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xE4\xB8\xAD", -1, nullptr, 0), 2);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xE4\xB8\xAD", -1, wide, 8), 2);
    EXPECT_EQ(wide[0], 0x4E2D);
    EXPECT_EQ(wide[1], 0);
    char bytes[8];
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"中", -1, nullptr, 0, nullptr, nullptr), 4);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"中", -1, bytes, 8, nullptr, nullptr), 3);
    EXPECT_STREQ(bytes, "\xD6\xD0");
    // With an explicit length nothing is terminated.
    bytes[2] = 'z';
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"中", 1, bytes, 8, nullptr, nullptr), 2);
    EXPECT_EQ(bytes[2], 'z');
}

TEST(TextConversion, TooSmallBuffersFailWithTheirError) {
    WCHAR wide[2];
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", -1, wide, 2), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xF0\x9F\x98\x80", 4, wide, 2), 2)
        << "a pair fits in two units";
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xF0\x9F\x98\x80", 4, wide, 1), 0);

    char bytes[4];
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"中文", 2, bytes, 4, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"中文", 2, bytes, 4, nullptr, nullptr), 4);
}

TEST(TextConversion, InvalidUtf8BecomesReplacementOrFails) {
    struct Case {
        const char* what;
        std::string bytes;
        std::u16string lenient;
    };
    const Case cases[] = {
        {"lone continuation", "a\x80z", u"a\uFFFDz"},
        {"truncated sequence then ASCII", "\xE4\xB8z", u"\uFFFDz"},
        {"overlong NUL", "\xC0\x80", u"\uFFFD\uFFFD"},
        {"overlong three-byte", "\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},
        {"encoded surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
        {"above U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"sequence cut at the end", "ok\xF0\x9F\x98", u"ok\uFFFD"},
        {"invalid byte", "\xFF", u"\uFFFD"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(to_wide(CP_UTF8, c.bytes), c.lenient) << c.what;
        SetLastError(0);
        EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, c.bytes.data(), (int)c.bytes.size(),
                                      nullptr, 0),
                  0)
            << c.what;
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_UNICODE_TRANSLATION) << c.what;
    }
}

TEST(TextConversion, LoneSurrogatesAndUnmappableCharacters) {
    const std::u16string lone = {u'a', 0xD800, u'b', 0xDC00};
    EXPECT_EQ(to_bytes(CP_UTF8, lone),
              "a\xEF\xBF\xBD"
              "b\xEF\xBF\xBD");
    EXPECT_EQ(
        WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, lone.data(), 4, nullptr, 0, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_UNICODE_TRANSLATION);

    // GBK has no emoji: the pair becomes one default character.
    char bytes[8] = {};
    BOOL used = FALSE;
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"a\U0001F600b", 4, bytes, 8, nullptr, &used), 3);
    EXPECT_EQ(std::string(bytes, 3), "a?b");
    EXPECT_TRUE(used);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"a\U0001F600", 3, bytes, 8, "#", &used), 2);
    EXPECT_EQ(std::string(bytes, 2), "a#");
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"ab", 2, bytes, 8, nullptr, &used), 2);
    EXPECT_FALSE(used);

    EXPECT_EQ(to_wide(CP_ACP,
                      "a\xFF"
                      "b"),
              u"a?b");
    EXPECT_EQ(to_wide(CP_ACP, "a\xD6"), u"a?") << "a lead byte without its trail byte";
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, "a\xFF", 2, nullptr, 0), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_UNICODE_TRANSLATION);
}

TEST(TextConversion, RejectsBadArguments) {
    WCHAR wide[4];
    char bytes[4];
    BOOL used;
    struct Case {
        const char* what;
        std::function<int()> call;
        DWORD error;
    };
    const Case cases[] = {
        {"zero length", [&] { return MultiByteToWideChar(CP_UTF8, 0, "a", 0, wide, 4); },
         ERROR_INVALID_PARAMETER},
        {"null source", [&] { return MultiByteToWideChar(CP_UTF8, 0, nullptr, 1, wide, 4); },
         ERROR_INVALID_PARAMETER},
        {"length below -1", [&] { return MultiByteToWideChar(CP_UTF8, 0, "a", -2, wide, 4); },
         ERROR_INVALID_PARAMETER},
        {"unknown code page", [&] { return MultiByteToWideChar(1252, 0, "a", 1, wide, 4); },
         ERROR_INVALID_PARAMETER},
        {"UTF-8 flags", [&] { return MultiByteToWideChar(CP_UTF8, MB_PRECOMPOSED, "a", 1, wide, 4); },
         ERROR_INVALID_FLAGS},
        {"UTF-8 default char",
         [&] { return WideCharToMultiByte(CP_UTF8, 0, u"a", 1, bytes, 4, "?", nullptr); },
         ERROR_INVALID_PARAMETER},
        {"UTF-8 used flag",
         [&] { return WideCharToMultiByte(CP_UTF8, 0, u"a", 1, bytes, 4, nullptr, &used); },
         ERROR_INVALID_PARAMETER},
        {"strict flag for GBK",
         [&] {
             return WideCharToMultiByte(CP_ACP, WC_ERR_INVALID_CHARS, u"a", 1, bytes, 4, nullptr, nullptr);
         },
         ERROR_INVALID_FLAGS},
        {"null buffer with a size",
         [&] { return WideCharToMultiByte(CP_UTF8, 0, u"a", 1, nullptr, 4, nullptr, nullptr); },
         ERROR_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SetLastError(0);
        EXPECT_EQ(c.call(), 0) << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
    }
}

TEST(StringHelpers, LengthAndCaseInsensitiveComparison) {
    EXPECT_EQ(lstrlenW(u"中文abc"), 5);
    EXPECT_EQ(lstrlenW(nullptr), 0);
    struct Case {
        const char16_t* a;
        const char16_t* b;
        int sign;
    };
    const Case cases[] = {
        {u"FULLSCREEN", u"fullscreen", 0},
        {u"Élan", u"éLAN", 0},
        {u"abc", u"abd", -1},
        {u"abc", u"ab", 1},
        {u"", u"", 0},
        {u"Z", u"a", 1},
    };
    for (const Case& c : cases) {
        int result = lstrcmpiW(c.a, c.b);
        EXPECT_EQ((result > 0) - (result < 0), c.sign);
    }
    EXPECT_LT(lstrcmpiW(nullptr, u"a"), 0);
    EXPECT_EQ(lstrcmpiW(nullptr, nullptr), 0);
}

}  // namespace
