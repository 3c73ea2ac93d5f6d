#include "app/application.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sstream>
#include <string>

#include "platform/platform.h"
#include "runtime/log.h"
#include "winapi/windows.h"

namespace {

namespace fs = std::filesystem;
using testing::HasSubstr;

const uintmax_t LOG_LIMIT = 20971520;

class InitLoggerTest : public testing::Test {
protected:
    void SetUp() override {
        _home = fs::temp_directory_path() / ("ktw_logger_test_" + std::to_string(GetCurrentProcessId()));
        fs::remove_all(_home);
        fs::create_directories(_home);
        setenv("HOME", _home.c_str(), 1);
        setenv("XDG_DATA_HOME", (_home / "data").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (_home / "config").c_str(), 1);
        _log = fs::path(Platform::app_data_folder("ktwsession")) / "ktwlog.log";
    }

    void TearDown() override {
        log_close();
        fs::remove_all(_home);
    }

    std::string log_text() const {
        std::ifstream in(_log, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // A file of the given size whose first byte is 'x', without writing every byte.
    void make_log_of_size(uintmax_t size) const {
        { std::ofstream(_log, std::ios::binary) << 'x'; }
        fs::resize_file(_log, size);
    }

    fs::path _home;
    fs::path _log;
};

TEST_F(InitLoggerTest, OpensTheLogUnderTheAppDataFolder) {
    Application::init_logger();
    EXPECT_TRUE(log_file_is_open());
    LOG_INFO("first line %d", 1);
    EXPECT_THAT(log_text(), HasSubstr("[INFO ] [VDI]KTWSession: first line 1 {"));
}

TEST_F(InitLoggerTest, SecondCallOnlyLogsThatTheLoggerIsOpen) {
    Application::init_logger();
    testing::internal::CaptureStderr();
    Application::init_logger();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Warning: Logger has been inited\n");
    EXPECT_THAT(log_text(),
                HasSubstr("[WARN ] [VDI]KTWSession: Logger has been inited {Application::init_logger:"));
}

TEST_F(InitLoggerTest, LogOverTwentyMebibytesIsEmptied) {
    make_log_of_size(LOG_LIMIT + 1);
    Application::init_logger();
    EXPECT_EQ(fs::file_size(_log), 0u);
    LOG_INFO("fresh");
    EXPECT_EQ(log_text().substr(0, 1), "2");  // a line's date, not the old 'x'
}

TEST_F(InitLoggerTest, LogOfExactlyTwentyMebibytesIsAppendedTo) {
    make_log_of_size(LOG_LIMIT);
    Application::init_logger();
    LOG_INFO("appended");
    EXPECT_GT(fs::file_size(_log), LOG_LIMIT);
    std::ifstream in(_log, std::ios::binary);
    EXPECT_EQ(in.get(), 'x');
}

TEST_F(InitLoggerTest, UnopenableLogLeavesStandardErrorOnly) {
    fs::create_directories(_log);  // a folder where the file should be
    testing::internal::CaptureStderr();
    Application::init_logger();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Failed to open log file " + _log.string() + "\n");
    EXPECT_FALSE(log_file_is_open());
}

}  // namespace
