#include "platform/platform.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <string>
#include <thread>

#include "runtime/exception.h"
#include "winapi/windows.h"
#include "winapi/winsock2.h"

namespace {

namespace fs = std::filesystem;

// Points every per-user folder of the process at a fresh temporary home.
class PlatformTest : public testing::Test {
protected:
    void SetUp() override {
        _home = fs::temp_directory_path() / ("ktw_platform_test_" + std::to_string(GetCurrentProcessId()));
        fs::remove_all(_home);
        fs::create_directories(_home);
        setenv("HOME", _home.c_str(), 1);
        setenv("XDG_DATA_HOME", (_home / "data").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (_home / "config").c_str(), 1);
    }

    void TearDown() override { fs::remove_all(_home); }

    fs::path _home;
};

TEST_F(PlatformTest, AppDataFolderIsCreatedOnceAndFoundAfterwards) {
    std::string folder = Platform::app_data_folder("ktwsession");
    EXPECT_TRUE(fs::is_directory(folder));
    EXPECT_EQ(fs::path(folder).filename(), "ktwsession");
    EXPECT_EQ(folder.rfind(_home.string(), 0), 0u) << folder;
    EXPECT_EQ(Platform::app_data_folder("ktwsession"), folder);
}

TEST_F(PlatformTest, AppDataFolderThatCannotBeCreatedThrowsWithoutPosition) {
    try {
        Platform::app_data_folder("missing/ktwsession");
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "create user app data dir failed");
        EXPECT_EQ(e.get_error_code(), 1);
    }
}

TEST_F(PlatformTest, AppDataFolderThatCannotBeFoundThrowsWithoutPosition) {
    std::ofstream(_home / "file") << "not a folder";
    setenv("XDG_DATA_HOME", (_home / "file" / "data").c_str(), 1);
    try {
        Platform::app_data_folder("ktwsession");
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "get user app data dir failed");
        EXPECT_EQ(e.get_error_code(), 1);
    }
}

TEST(PlatformProcessTest, ProcessIdIsTheSystemsOne) {
    EXPECT_EQ(Platform::get_process_id(), uint64_t(GetCurrentProcessId()));
    // The process's, not the thread's: on the first thread the two numbers are the same, on another they
    // differ.
    uint64_t on_other_thread = 0;
    std::thread([&] { on_other_thread = Platform::get_process_id(); }).join();
    EXPECT_EQ(on_other_thread, uint64_t(GetCurrentProcessId()));
}

TEST(PlatformThreadPriorityTest, PrioritiesMapToTheSystemsLevelsAndOthersThrow) {
    std::thread([] {
        const int expected[] = {15, 2, 1, 0, -1, -2, -15};
        for (int priority = 1; priority <= 7; priority++) {
            Platform::set_thread_priority(priority);
            EXPECT_EQ(GetThreadPriority(GetCurrentThread()), expected[priority - 1]) << priority;
        }
        for (int priority : {0, 8}) {
            try {
                Platform::set_thread_priority(priority);
                ADD_FAILURE() << "no exception for " << priority;
            } catch (const Exception& e) {
                EXPECT_THAT(e.what(), testing::StartsWith("invalid priority " + std::to_string(priority)));
            }
        }
        EXPECT_EQ(GetThreadPriority(GetCurrentThread()), -15) << "a refused value changes nothing";
    }).join();
}

class PlatformPingTest : public testing::Test {
protected:
    void SetUp() override {
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    }
    void TearDown() override { WSACleanup(); }
};

TEST_F(PlatformPingTest, FailuresReportTheFailureRoundTrip) {
    double round_trip = 0;
    EXPECT_FALSE(Platform::get_icmp_ping("no-such-host.invalid", &round_trip));
    EXPECT_EQ(round_trip, 100000);
    round_trip = 0;
    EXPECT_FALSE(Platform::get_icmp_ping(nullptr, &round_trip));
    EXPECT_EQ(round_trip, 100000);
    EXPECT_FALSE(Platform::get_icmp_ping("127.0.0.1", nullptr));
}

TEST_F(PlatformPingTest, LoopbackAnswersWithinASecondWhereEchoIsAllowed) {
    for (const char* host : {"127.0.0.1", "localhost"}) {
        double round_trip = 0;
        bool answered = Platform::get_icmp_ping(host, &round_trip);
        if (!answered && GetLastError() == ERROR_ACCESS_DENIED) {
            GTEST_SKIP() << "this user may not open ICMP sockets (net.ipv4.ping_group_range)";
        }
        EXPECT_TRUE(answered) << host;
        // Loopback answers in well under a millisecond, which the probe reports as a random fraction.
        EXPECT_GE(round_trip, 0) << host;
        EXPECT_LT(round_trip, 1000) << host;
    }
}

TEST(PlatformServicesTest, NoDirect3DDevice) {
    EXPECT_FALSE(Platform::is_d3d9_hw_tnl());
}

TEST(PlatformServicesTest, ConsoleOutputReachesStandardOutput) {
    testing::internal::CaptureStdout();
    Platform::console_printf("probe %d %s\n", 7, "done");
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "probe 7 done\n");
}

}  // namespace
