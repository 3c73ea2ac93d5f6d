#include "runtime/exception.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

// Outside the anonymous namespace, so that the logged function name is exactly "Waiter::wait".
struct Waiter {
    unsigned throw_line = 0;

    void wait(int result) {
        throw_line = __LINE__ + 1;
        THROW("wait failed %d", result);
    }

    void connect() {
        throw_line = __LINE__ + 1;
        THROW_ERR(3, "connect failed");
    }
};

namespace {

using testing::HasSubstr;
using testing::Not;

TEST(ThrowTest, ExceptionCarriesMessageWithPositionAndWarningCarriesMessageOnly) {
    Waiter waiter;
    testing::internal::CaptureStderr();
    try {
        waiter.wait(5);
        FAIL() << "no exception";
    } catch (const Exception& e) {
        std::string position = std::string(__FILE__) + ":" + std::to_string(waiter.throw_line);
        EXPECT_EQ(e.get_error_code(), 1);
        EXPECT_EQ(std::string(e.what()), "wait failed 5{exception " + position + "}");
        std::string warning = testing::internal::GetCapturedStderr();
        EXPECT_THAT(warning, HasSubstr("Spice-Warning **: " + position + ":Waiter::wait: wait failed 5\n"));
        EXPECT_THAT(warning, Not(HasSubstr("{exception")));
    }
}

TEST(ThrowTest, ThrowErrCarriesTheSiteCode) {
    Waiter waiter;
    testing::internal::CaptureStderr();
    try {
        waiter.connect();
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.get_error_code(), 3);
        EXPECT_THAT(e.what(), testing::StartsWith("connect failed{exception "));
    }
    testing::internal::GetCapturedStderr();
}

TEST(ExceptionTest, CodeDefaultsToOneAndSurvivesCopy) {
    Exception plain("get user app data dir failed");
    EXPECT_EQ(plain.get_error_code(), 1);
    EXPECT_STREQ(plain.what(), "get user app data dir failed");

    Exception coded("link refused", 3);
    Exception copy(coded);
    EXPECT_EQ(copy.get_error_code(), 3);
    EXPECT_STREQ(copy.what(), "link refused");
    const std::exception& base = copy;
    EXPECT_STREQ(base.what(), "link refused");
}

}  // namespace
