#include "runtime/utils.h"

#include <gtest/gtest.h>

#include "winapi/windows.h"

namespace {

TEST(FormatStringTest, LongResultIsReturnedWhole) {
    std::string text = "stale";
    std::string thousand(1000, 'q');
    format_string(text, "%s", thousand.c_str());
    EXPECT_EQ(text, thousand);
}

// Every retry must format from a fresh copy of the arguments.
TEST(FormatStringTest, ArgumentsAfterALongOneSurviveTheRetry) {
    std::string text;
    std::string long_part(600, 'a');
    format_string(text, "%s|%d|%s|%u", long_part.c_str(), -42, "tail", 7u);
    EXPECT_EQ(text, long_part + "|-42|tail|7");
}

TEST(FormatStringTest, EncodingErrorGivesEmptyTextInsteadOfGrowingForever) {
    std::string text = "stale";
    // A wide character with no multibyte form in the "C" locale makes formatting fail.
    const wchar_t unconvertible[] = {0x4E2D, 0};
    format_string(text, "%ls", unconvertible);
    EXPECT_EQ(text, "");
}

TEST(SystemErrorTextTest, UnknownNumberGivesErrnoTextFromTheSameStorage) {
    const char* first = system_error_text(987654);
    EXPECT_STREQ(first, "errno 987654");
    EXPECT_EQ(system_error_text(987654), first);
    EXPECT_STREQ(system_error_text(-5), "errno -5");
}

TEST(SystemErrorTextTest, SystemTextIsCutBeforeItsLineEnd) {
    std::string text = system_error_text(ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
    EXPECT_NE(text, "errno 2");
}

TEST(QualifiedFunctionNameTest, KeepsScopeAndNameOnly) {
    struct Case {
        const char* pretty;
        const char* name;
    };
    const Case cases[] = {
        {"void Lock::timed_lock()", "Lock::timed_lock"},
        {"Mutex::Mutex(int)", "Mutex::Mutex"},
        {"static void Application::init_logger()", "Application::init_logger"},
        {"virtual bool Condition::timed_wait(Lock&, uint64_t)", "Condition::timed_wait"},
        {"const char* ns::Foo<int, char>::bar(std::map<int, int>) const", "ns::Foo<int, char>::bar"},
        {"std::vector<int, std::allocator<int> > make()", "make"},
        {"void Foo::operator()(int)", "Foo::operator()"},
        {"Application::init_logger", "Application::init_logger"},
        {"spice_malloc", "spice_malloc"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(qualified_function_name(c.pretty), c.name) << c.pretty;
    }
}

}  // namespace
