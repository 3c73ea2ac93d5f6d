// Processes: the suspended start, the command line's program, the current folder, process handles that
// signal at exit, opening another process by id and terminating it; and PathAppendW.
#include "winapi/processthreadsapi.h"
#include "winapi/shlwapi.h"
#include "winapi/synchapi.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;

std::u16string wide(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

class Processes : public testing::Test {
protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() / ("ktw_processes_" + std::to_string(getpid()));
        fs::remove_all(folder_);
        fs::create_directories(folder_ / "with blank");
        // A program in a folder whose name holds a blank, started from an unquoted command line.
        fs::copy_file("/usr/bin/touch", folder_ / "with blank" / "toucher");
    }
    void TearDown() override { fs::remove_all(folder_); }

    bool start(const std::string& line, DWORD flags, const fs::path& current, PROCESS_INFORMATION* info) {
        std::u16string command = wide(line);
        std::u16string folder = wide(current.string());
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        return CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, flags, nullptr,
                              current.empty() ? nullptr : folder.c_str(), &startup, info) != FALSE;
    }

    fs::path folder_;
};

TEST_F(Processes, SuspendedProgramRunsOnlyOnceResumedInItsCurrentFolder) {
    PROCESS_INFORMATION info{};
    std::string program = (folder_ / "with blank" / "toucher").string();
    ASSERT_TRUE(start(program + " made", CREATE_SUSPENDED, folder_, &info));
    EXPECT_NE(info.dwProcessId, 0u);

    EXPECT_EQ(WaitForSingleObject(info.hProcess, 200), WAIT_TIMEOUT);
    EXPECT_FALSE(fs::exists(folder_ / "made")) << "a suspended program must not run";

    EXPECT_EQ(ResumeThread(info.hThread), 1u);
    EXPECT_EQ(WaitForSingleObject(info.hProcess, 10000), WAIT_OBJECT_0);
    EXPECT_TRUE(fs::exists(folder_ / "made")) << "the argument is a path in the current folder";
    EXPECT_EQ(ResumeThread(info.hThread), 0u);
    EXPECT_EQ(WaitForSingleObject(info.hProcess, 0), WAIT_OBJECT_0) << "stays signalled";
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
}

TEST_F(Processes, OpenedProcessSignalsWhenTerminated) {
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(start("/bin/sleep 30", 0, fs::path(), &info));
    HANDLE opened = OpenProcess(SYNCHRONIZE, FALSE, info.dwProcessId);
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(WaitForSingleObject(opened, 100), WAIT_TIMEOUT);

    EXPECT_TRUE(TerminateProcess(info.hProcess, 0));
    EXPECT_EQ(WaitForSingleObject(opened, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(info.hProcess, 10000), WAIT_OBJECT_0);
    CloseHandle(opened);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
}

TEST_F(Processes, MissingProgramOrFolderOrProcessFails) {
    PROCESS_INFORMATION info{};
    EXPECT_FALSE(start((folder_ / "none").string(), 0, fs::path(), &info));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(start((folder_ / "with blank").string(), 0, fs::path(), &info)) << "a folder is no program";
    EXPECT_FALSE(start("/bin/true", 0, folder_ / "missing", &info));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIRECTORY));

    EXPECT_EQ(OpenProcess(SYNCHRONIZE, FALSE, 0), nullptr);
    EXPECT_EQ(OpenProcess(SYNCHRONIZE, FALSE, 0x7FFFFFF0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(PathAppend, JoinsWithOneBackslashAndRefusesOverlongResults) {
    const struct {
        const char16_t* path;
        const char16_t* more;
        const char16_t* joined;
    } cases[] = {
        {u"C:\\dir", u"\\prog.exe", u"C:\\dir\\prog.exe"},
        {u"C:\\dir\\", u"prog.exe", u"C:\\dir\\prog.exe"},
        {u"/opt/bar", u"\\\\prog.exe", u"/opt/bar\\prog.exe"},
        {u"", u"\\prog.exe", u"prog.exe"},
        {u"C:\\dir", u"", u"C:\\dir"},
    };
    for (const auto& c : cases) {
        WCHAR path[MAX_PATH] = {};
        std::u16string(c.path).copy(path, MAX_PATH - 1);
        EXPECT_TRUE(PathAppendW(path, c.more));
        EXPECT_EQ(std::u16string(path), c.joined);
    }
    WCHAR path[MAX_PATH] = {};
    std::u16string(251, u'a').copy(path, MAX_PATH - 1);
    EXPECT_FALSE(PathAppendW(path, u"\\prog.exe"));
    EXPECT_EQ(std::u16string(path), std::u16string(251, u'a'));
}

}  // namespace
