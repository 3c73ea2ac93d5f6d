#include "runtime/log.h"

#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <ostream>
#include <sstream>
#include <string>

#include "winapi/windows.h"

namespace {

using testing::HasSubstr;
using testing::Not;

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class ProgramLogTest : public testing::Test {
protected:
    void SetUp() override {
        _path = std::filesystem::temp_directory_path() /
                ("ktw_log_test_" + std::to_string(GetCurrentProcessId()) + ".log");
        std::filesystem::remove(_path);
        FILE* file = fopen(_path.c_str(), "a");
        ASSERT_NE(file, nullptr);
        log_set_file(file);
    }

    void TearDown() override {
        log_close();
        log_set_threshold(LOG_LEVEL_INFO);
        std::filesystem::remove(_path);
    }

    std::string file_text() const { return read_file(_path); }

    std::filesystem::path _path;
};

struct ThresholdCase {
    unsigned threshold;
    unsigned level;
    bool in_file;
    const char* on_stderr;  // what standard error shows, "" for nothing
};

std::ostream& operator<<(std::ostream& out, const ThresholdCase& c) {
    return out << "threshold " << c.threshold << ", level " << c.level;
}

class LogThresholdTest : public ProgramLogTest, public testing::WithParamInterface<ThresholdCase> {};

TEST_P(LogThresholdTest, LevelDecidesWhereALineGoes) {
    const ThresholdCase& c = GetParam();
    log_set_threshold(c.threshold);
    testing::internal::CaptureStderr();
    write_log(c.level, "Tester::run", 12, "message %d", 7);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.on_stderr);
    if (c.in_file) {
        EXPECT_THAT(file_text(), HasSubstr("KTWSession: message 7 {Tester::run:12}\n"));
    } else {
        EXPECT_EQ(file_text(), "");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Levels, LogThresholdTest,
    testing::Values(ThresholdCase{LOG_LEVEL_INFO, LOG_LEVEL_DEBUG, false, ""},
                    ThresholdCase{LOG_LEVEL_INFO, LOG_LEVEL_INFO, true, ""},
                    ThresholdCase{LOG_LEVEL_INFO, LOG_LEVEL_WARN, true, "Warning: message 7\n"},
                    ThresholdCase{LOG_LEVEL_INFO, LOG_LEVEL_ERROR, true, "Error: message 7\n"},
                    ThresholdCase{LOG_LEVEL_INFO, LOG_LEVEL_FATAL, true, "Fatal error: message 7\n"},
                    ThresholdCase{LOG_LEVEL_DEBUG, LOG_LEVEL_DEBUG, true, ""},
                    ThresholdCase{5, LOG_LEVEL_FATAL, false, ""},
                    // KTWSESSION_LOG_LEVEL=-1 as atoi gives it: the unsigned comparison drops everything.
                    ThresholdCase{static_cast<unsigned>(-1), LOG_LEVEL_FATAL, false, ""}));

TEST_F(ProgramLogTest, LineCarriesTimeIdsLevelTagMessageAndPosition) {
    write_log(LOG_LEVEL_WARN, "Application::init_logger", 3688, "Logger has been inited");
    std::string pid = std::to_string(GetCurrentProcessId());
    std::string tid = std::to_string(GetCurrentThreadId());
    std::string expected = "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} \\[ *" + pid + ": *" + tid +
                           "\\] \\[WARN \\] \\[VDI\\]KTWSession: Logger has been inited "
                           "\\{Application::init_logger:3688\\}\n";
    EXPECT_THAT(file_text(), testing::MatchesRegex(expected));
}

TEST_F(ProgramLogTest, MacrosNameTheCallingFunction) {
    LOG_INFO("from the macro");
    EXPECT_THAT(file_text(),
                testing::ContainsRegex("from the macro \\{.*ProgramLogTest_MacrosNameTheCallingFunction_"
                                       "Test::TestBody:[0-9]+\\}\n"));
}

TEST_F(ProgramLogTest, AfterCloseLinesGoToStandardErrorOnly) {
    log_close();
    EXPECT_FALSE(log_file_is_open());
    testing::internal::CaptureStderr();
    LOG_ERROR("after close");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: after close\n");
    EXPECT_EQ(file_text(), "");
}

// ---- SPICE-style log: each case runs in a child process, which reads the environment afresh ----

class SpiceLogDeathTest : public testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

void set_env(const char* name, const char* value) {
    if (value) {
        setenv(name, value, 1);
    } else {
        unsetenv(name);
    }
}

struct SpiceCase {
    const char* debug_level;  // SPICE_DEBUG_LEVEL, null when unset
    const char* abort_level;  // SPICE_ABORT_LEVEL, null when unset
    int level;
    bool printed;
    bool aborts;
};

std::ostream& operator<<(std::ostream& out, const SpiceCase& c) {
    return out << "SPICE_DEBUG_LEVEL " << (c.debug_level ? c.debug_level : "unset") << ", SPICE_ABORT_LEVEL "
               << (c.abort_level ? c.abort_level : "unset") << ", level " << c.level;
}

class SpiceLevelDeathTest : public SpiceLogDeathTest, public testing::WithParamInterface<SpiceCase> {};

void log_then_exit(const SpiceCase& c) {
    set_env("SPICE_DEBUG_LEVEL", c.debug_level);
    set_env("SPICE_ABORT_LEVEL", c.abort_level);
    spice_log("Spice", c.level, "file.c:12", "func", "the message %d", 3);
    exit(0);
}

TEST_P(SpiceLevelDeathTest, LevelsDecidePrintingAndAborting) {
    const SpiceCase& c = GetParam();
    auto printed = c.printed
                       ? testing::Matcher<const std::string&>(HasSubstr("file.c:12:func: the message 3\n"))
                       : testing::Matcher<const std::string&>(Not(HasSubstr("the message")));
    if (c.aborts) {
        EXPECT_EXIT(log_then_exit(c), testing::KilledBySignal(SIGABRT), printed);
    } else {
        EXPECT_EXIT(log_then_exit(c), testing::ExitedWithCode(0), printed);
    }
}

INSTANTIATE_TEST_SUITE_P(Levels, SpiceLevelDeathTest,
                         testing::Values(SpiceCase{nullptr, nullptr, SPICE_LOG_LEVEL_WARNING, true, false},
                                         SpiceCase{nullptr, nullptr, SPICE_LOG_LEVEL_CRITICAL, true, true},
                                         SpiceCase{nullptr, nullptr, SPICE_LOG_LEVEL_ERROR, true, true},
                                         SpiceCase{nullptr, nullptr, SPICE_LOG_LEVEL_INFO, false, false},
                                         SpiceCase{"0", nullptr, SPICE_LOG_LEVEL_CRITICAL, false, false},
                                         SpiceCase{nullptr, "-1", SPICE_LOG_LEVEL_CRITICAL, true, false},
                                         SpiceCase{"4", nullptr, SPICE_LOG_LEVEL_DEBUG, true, false},
                                         SpiceCase{nullptr, "2", SPICE_LOG_LEVEL_WARNING, true, true}));

// The program is named by its own file, not by the environment's "_", which under a wrapper names the
// wrapper.
TEST_F(SpiceLogDeathTest, LineNamesProgramProcessDomainLevelAndPosition) {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    ASSERT_GT(n, 0);
    std::string program;
    for (char c : std::string(self, size_t(n))) {
        if (strchr(".[]()*+?{}|^$\\", c)) {
            program += '\\';
        }
        program += c;
    }
    EXPECT_EXIT(
        {
            setenv("_", "/usr/bin/timeout", 1);
            spice_log("Spice", SPICE_LOG_LEVEL_WARNING, "canvas.c:7", "draw", "odd %s", "value");
            exit(0);
        },
        testing::ExitedWithCode(0),
        testing::ContainsRegex("\\(" + program +
                               ":[0-9]+\\): Spice-Warning \\*\\*: canvas\\.c:7:draw: odd value\n"));
}

int checked_half(int value) {
    spice_return_val_if_fail(value % 2 == 0, -1);
    return value / 2;
}

bool reached_end = false;

void checked_positive(int value) {
    spice_return_if_fail(value > 0);
    reached_end = true;
}

TEST_F(SpiceLogDeathTest, ReturnIfFailAbortsByDefault) {
    EXPECT_EXIT(checked_half(3), testing::KilledBySignal(SIGABRT), HasSubstr("CRITICAL **: " __FILE__ ":"));
}

TEST_F(SpiceLogDeathTest, ReturnIfFailReturnsWhenAbortingIsOff) {
    EXPECT_EXIT(
        {
            setenv("SPICE_ABORT_LEVEL", "-1", 1);
            checked_positive(0);
            if (reached_end || checked_half(3) != -1 || checked_half(4) != 2) {
                exit(1);
            }
            exit(0);
        },
        testing::ExitedWithCode(0), HasSubstr(":checked_half: condition `value % 2 == 0' failed\n"));
}

TEST_F(SpiceLogDeathTest, AssertAbortsNamingTheCondition) {
    int count = 0;
    EXPECT_EXIT(
        spice_assert(count == 1), testing::KilledBySignal(SIGABRT),
        testing::AllOf(HasSubstr("ERROR **: " __FILE__ ":"), HasSubstr("assertion `count == 1' failed\n")));
}

TEST_F(SpiceLogDeathTest, WarnIfReachedGoesOn) {
    EXPECT_EXIT(
        {
            spice_warn_if_reached();
            exit(0);
        },
        testing::ExitedWithCode(0), HasSubstr("Warning **: " __FILE__ ":"));
}

TEST(CanvasDebugTraceTest, FlagSwitchesTheTrace) {
    EXPECT_FALSE(canvas_debug_trace_enabled());
    set_canvas_debug_trace(true);
    EXPECT_TRUE(canvas_debug_trace_enabled());
    set_canvas_debug_trace(false);
    EXPECT_FALSE(canvas_debug_trace_enabled());
}

TEST(CanvasDebugTraceTest, WritesDebuggerOutputOnlyWhenOn) {
    setenv("KTW_DEBUG_OUTPUT", "1", 1);
    testing::internal::CaptureStderr();
    canvas_debug_trace("[GDICANVAS][%s][%d]hidden", "draw", 1);
    set_canvas_debug_trace(true);
    canvas_debug_trace("[GDICANVAS][%s][%d]handlemessage type %d", "draw", 2, 302);
    canvas_debug_trace("%s", std::string(2000, 'x').c_str());
    set_canvas_debug_trace(false);
    std::string out = testing::internal::GetCapturedStderr();
    unsetenv("KTW_DEBUG_OUTPUT");
    EXPECT_THAT(out, Not(HasSubstr("hidden")));
    EXPECT_THAT(out, HasSubstr("[GDICANVAS][draw][2]handlemessage type 302"));
    // Longer output is cut at 1023 characters.
    EXPECT_THAT(out, HasSubstr(std::string(1023, 'x')));
    EXPECT_THAT(out, Not(HasSubstr(std::string(1024, 'x'))));
}

}  // namespace
