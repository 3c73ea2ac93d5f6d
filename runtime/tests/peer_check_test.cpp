// A failed check on peer data is a warning and a return, also under the log's default abort level.
#include "runtime/peer_check.h"

#include <cstdlib>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using testing::AllOf;
using testing::HasSubstr;

class PeerCheckDeathTest : public testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

// The levels as a default process has them, whatever the test's environment says.
void default_levels() {
    unsetenv("SPICE_DEBUG_LEVEL");
    unsetenv("SPICE_ABORT_LEVEL");
}

int checked_half(int value) {
    peer_return_val_if_fail(value % 2 == 0, -1);
    return value / 2;
}

bool reached_end = false;

void checked_positive(int value) {
    peer_return_if_fail(value > 0);
    reached_end = true;
}

const char* checked_named(int value) {
    peer_return_val_if_fail_text(value != 0, "value != NULL", "failed");
    return "passed";
}

TEST_F(PeerCheckDeathTest, FailedChecksWarnAndReturnAtTheDefaultAbortLevel) {
    EXPECT_EXIT(
        {
            default_levels();
            checked_positive(0);
            bool ok = !reached_end && checked_half(3) == -1 && checked_half(4) == 2 &&
                      std::string(checked_named(0)) == "failed" && std::string(checked_named(1)) == "passed";
            exit(ok ? 0 : 1);
        },
        testing::ExitedWithCode(0),
        AllOf(HasSubstr("Spice-Warning **: " __FILE__ ":"),
              HasSubstr(":checked_positive: condition `value > 0' failed\n"),
              HasSubstr(":checked_half: condition `value % 2 == 0' failed\n"),
              HasSubstr(":checked_named: condition `value != NULL' failed\n")));
}

TEST_F(PeerCheckDeathTest, NoReportLevelReachesTheAbortThreshold) {
    EXPECT_EXIT(
        {
            default_levels();
            peer_report(SPICE_LOG_LEVEL_ERROR, "bad %s", "body");
            peer_report(SPICE_LOG_LEVEL_CRITICAL, "bad count");
            peer_warning("bad offset %d", 7);
            exit(0);
        },
        testing::ExitedWithCode(0),
        AllOf(HasSubstr("Spice-Warning **: " __FILE__ ":"), HasSubstr(": bad body\n"),
              HasSubstr(": bad count\n"), HasSubstr(": bad offset 7\n")));
}

TEST_F(PeerCheckDeathTest, InfoStaysInfo) {
    EXPECT_EXIT(
        {
            setenv("SPICE_DEBUG_LEVEL", "3", 1);
            unsetenv("SPICE_ABORT_LEVEL");
            peer_report(SPICE_LOG_LEVEL_INFO, "cache miss");
            exit(0);
        },
        testing::ExitedWithCode(0), HasSubstr("Spice-Info **: " __FILE__ ":"));
}

}  // namespace
