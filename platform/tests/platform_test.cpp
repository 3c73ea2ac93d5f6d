#include "platform/platform.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>

#include "runtime/exception.h"
#include "winapi/windows.h"

namespace {

namespace fs = std::filesystem;

// Points every per-user folder of the process at a fresh temporary home.
class PlatformTest : public testing::Test {
protected:
    void SetUp() override
    {
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

TEST_F(PlatformTest, AppDataFolderIsCreatedOnceAndFoundAfterwards)
{
    std::string folder = Platform::app_data_folder("ktwsession");
    EXPECT_TRUE(fs::is_directory(folder));
    EXPECT_EQ(fs::path(folder).filename(), "ktwsession");
    EXPECT_EQ(folder.rfind(_home.string(), 0), 0u) << folder;
    EXPECT_EQ(Platform::app_data_folder("ktwsession"), folder);
}

TEST_F(PlatformTest, AppDataFolderThatCannotBeCreatedThrowsWithoutPosition)
{
    try {
        Platform::app_data_folder("missing/ktwsession");
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "create user app data dir failed");
        EXPECT_EQ(e.get_error_code(), 1);
    }
}

TEST_F(PlatformTest, AppDataFolderThatCannotBeFoundThrowsWithoutPosition)
{
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

TEST(PlatformProcessTest, ProcessIdIsTheSystemsOne)
{
    EXPECT_EQ(Platform::get_process_id(), uint64_t(GetCurrentProcessId()));
    EXPECT_EQ(Platform::get_process_id(), Platform::get_process_id());
}

}  // namespace
