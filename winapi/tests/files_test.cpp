#include "winapi/shlobj.h"
#include "winapi/windows.h"

#include "support/test_files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

using test_support::read_file;
using test_support::ScopedEnv;
using test_support::TempDir;
using test_support::write_file;

namespace {

std::vector<uint8_t> bytes_of(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

std::u16string wide(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

class FilesTest : public ::testing::Test {
protected:
    HANDLE open(const std::string& name, DWORD access, DWORD disposition) {
        return CreateFileA(dir_.file(name).c_str(), access, FILE_SHARE_READ, nullptr, disposition,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    }

    TempDir dir_;
};

TEST_F(FilesTest, DispositionsCreateOpenAndTruncateAsOnWindows) {
    const DWORD UNCHANGED = 12345;
    struct Case {
        const char* what;
        bool exists;
        DWORD disposition;
        bool opens;
        DWORD error;  // last error after the call; UNCHANGED where Windows promises nothing
        std::string content_after;
    };
    const Case cases[] = {
        {"CREATE_NEW on a new file", false, CREATE_NEW, true, UNCHANGED, ""},
        {"CREATE_NEW on an existing file", true, CREATE_NEW, false, ERROR_FILE_EXISTS, "old"},
        {"CREATE_ALWAYS on a new file", false, CREATE_ALWAYS, true, ERROR_SUCCESS, ""},
        {"CREATE_ALWAYS on an existing file", true, CREATE_ALWAYS, true, ERROR_ALREADY_EXISTS, ""},
        {"OPEN_ALWAYS on a new file", false, OPEN_ALWAYS, true, ERROR_SUCCESS, ""},
        {"OPEN_ALWAYS on an existing file", true, OPEN_ALWAYS, true, ERROR_ALREADY_EXISTS, "old"},
        {"OPEN_EXISTING on a missing file", false, OPEN_EXISTING, false, ERROR_FILE_NOT_FOUND, ""},
        {"OPEN_EXISTING on an existing file", true, OPEN_EXISTING, true, UNCHANGED, "old"},
        {"TRUNCATE_EXISTING on an existing file", true, TRUNCATE_EXISTING, true, UNCHANGED, ""},
        {"TRUNCATE_EXISTING on a missing file", false, TRUNCATE_EXISTING, false, ERROR_FILE_NOT_FOUND, ""},
    };
    for (const Case& c : cases) {
        std::string path = dir_.file("case");
        std::filesystem::remove(path);
        if (c.exists) {
            write_file(path, bytes_of("old"));
        }
        SetLastError(UNCHANGED);
        HANDLE file = open("case", GENERIC_READ | GENERIC_WRITE, c.disposition);
        EXPECT_EQ(file != INVALID_HANDLE_VALUE, c.opens) << c.what;
        if (c.error != UNCHANGED) {
            EXPECT_EQ(GetLastError(), c.error) << c.what;
        }
        if (file != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(file));
        }
        EXPECT_EQ(std::filesystem::exists(path), c.opens || c.exists) << c.what;
        if (std::filesystem::exists(path)) {
            EXPECT_EQ(read_file(path), bytes_of(c.content_after)) << c.what;
        }
    }
}

TEST_F(FilesTest, WritesAndReadsBackUntilTheEnd) {
    HANDLE file = open("data.bin", GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    std::string text(3000, 'x');
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, text.data(), (DWORD)text.size(), &written, nullptr));
    EXPECT_EQ(written, text.size());
    char one;
    DWORD read = 99;
    EXPECT_FALSE(ReadFile(file, &one, 1, &read, nullptr)) << "opened for writing only";
    ASSERT_TRUE(CloseHandle(file));

    file = open("data.bin", GENERIC_READ, OPEN_EXISTING);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    std::string back;
    char block[1024];
    while (ReadFile(file, block, sizeof(block), &read, nullptr) && read > 0) {
        back.append(block, read);
    }
    EXPECT_EQ(back, text);
    EXPECT_TRUE(ReadFile(file, block, sizeof(block), &read, nullptr));
    EXPECT_EQ(read, 0u) << "the end of the file reads as success with 0 bytes";
    EXPECT_TRUE(CloseHandle(file));

    EXPECT_FALSE(ReadFile(file, block, sizeof(block), &read, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    OVERLAPPED overlapped = {};
    file = open("data.bin", GENERIC_READ, OPEN_EXISTING);
    EXPECT_FALSE(ReadFile(file, block, sizeof(block), &read, &overlapped)) << "files are synchronous only";
    CloseHandle(file);
}

TEST_F(FilesTest, PathsWithBackslashesAndAnsiNamesReachTheRightFile) {
    ASSERT_TRUE(CreateDirectoryA((dir_.path() + "\\sub").c_str(), nullptr));
    // "中文.txt" in the ANSI code page (GBK): the file on disk carries the UTF-8 name.
    std::string gbk_name = dir_.path() + "\\sub\\\xD6\xD0\xCE\xC4.txt";
    HANDLE file = CreateFileA(gbk_name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    EXPECT_TRUE(std::filesystem::exists(dir_.path() + "/sub/中文.txt"));

    std::u16string wide_name = wide(dir_.path()) + u"\\sub\\中文.txt";
    file = CreateFileW(wide_name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    EXPECT_TRUE(DeleteFileW(wide_name.c_str()));
    EXPECT_FALSE(DeleteFileW(wide_name.c_str()));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
}

TEST_F(FilesTest, ReportsMissingFoldersAndRefusesFolders) {
    SetLastError(0);
    EXPECT_EQ(open("nofolder/file", GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(open("nofolder/file", GENERIC_WRITE, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);

    EXPECT_EQ(open("", GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED) << "a folder is not a file";
    EXPECT_FALSE(DeleteFileA(dir_.path().c_str()));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(open("x", GENERIC_READ, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(open("x", GENERIC_READ, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE)
        << "truncating needs write access";
}

TEST_F(FilesTest, CreateDirectoryMakesOneLevel) {
    std::string folder = dir_.file("app");
    EXPECT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    EXPECT_FALSE(CreateDirectoryA(folder.c_str(), nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(CreateDirectoryW(wide(dir_.file("a/b/c")).c_str(), nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
    EXPECT_TRUE(std::filesystem::is_directory(folder));
}

TEST(ShellFolders, AppDataIsTheXdgDataFolderWithoutTrailingSeparator) {
    TempDir home;
    ScopedEnv home_env("HOME", home.path());
    ScopedEnv xdg_unset("XDG_DATA_HOME", std::nullopt);
    char path[MAX_PATH] = "x";
    EXPECT_EQ(SHGetFolderPathA(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path),
              HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_STREQ(path, "");
    EXPECT_EQ(SHGetFolderPathA(nullptr, CSIDL_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, path), S_OK);
    EXPECT_EQ(std::string(path), home.path() + "/.local/share");
    EXPECT_TRUE(std::filesystem::is_directory(path));

    TempDir data;
    ScopedEnv xdg("XDG_DATA_HOME", data.path() + "/");
    WCHAR wide_path[MAX_PATH];
    EXPECT_EQ(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, wide_path), S_OK);
    EXPECT_EQ(std::u16string(wide_path), wide(data.path()));
    EXPECT_EQ(SHGetFolderPathW(nullptr, CSIDL_PERSONAL, nullptr, 0, wide_path), E_INVALIDARG);

    // What the program does next: its own folder below, named with a Windows separator.
    std::u16string log_folder = std::u16string(wide(data.path())) + u"\\ktwsession";
    EXPECT_TRUE(CreateDirectoryW(log_folder.c_str(), nullptr));
    EXPECT_TRUE(std::filesystem::is_directory(data.path() + "/ktwsession"));
}

TEST(ExpandEnvironmentStrings, ReplacesKnownNamesWithoutRegardToCase) {
    ScopedEnv tmpdir("TMPDIR", std::string("/var/tmp/ktw"));
    ScopedEnv user("KTW_TEST_USER", std::string("alice"));
    ScopedEnv unknown("KTW_NOT_SET", std::nullopt);
    struct Case {
        const char16_t* source;
        const char16_t* expanded;
    };
    const Case cases[] = {
        {u"%temp%\\dump", u"/var/tmp/ktw\\dump"},
        {u"%TMP%", u"/var/tmp/ktw"},
        {u"%Ktw_Test_User%@%KTW_TEST_USER%", u"alice@alice"},
        {u"%KTW_NOT_SET%\\x", u"%KTW_NOT_SET%\\x"},
        {u"100%", u"100%"},
        {u"%%", u"%%"},
        {u"a%KTW_NOT_SET%KTW_TEST_USER%", u"a%KTW_NOT_SET%KTW_TEST_USER%"},
        {u"", u""},
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); i++) {
        WCHAR out[64];
        std::u16string expected = cases[i].expanded;
        EXPECT_EQ(ExpandEnvironmentStringsW(cases[i].source, out, 64), expected.size() + 1) << "case " << i;
        EXPECT_EQ(std::u16string(out), expected) << "case " << i;
    }

    ScopedEnv no_tmpdir("TMPDIR", std::nullopt);
    char ansi[16];
    EXPECT_EQ(ExpandEnvironmentStringsA("%TEMP%", ansi, sizeof(ansi)), 5u);
    EXPECT_STREQ(ansi, "/tmp");
}

TEST(ExpandEnvironmentStrings, SmallBufferGetsTheSizeItNeeds) {
    ScopedEnv user("KTW_TEST_USER", std::string("alice"));
    WCHAR out[4] = {u'k', 0};
    EXPECT_EQ(ExpandEnvironmentStringsW(u"%KTW_TEST_USER%", out, 4), 6u);
    EXPECT_EQ(ExpandEnvironmentStringsW(u"%KTW_TEST_USER%", nullptr, 0), 6u);
    EXPECT_EQ(ExpandEnvironmentStringsW(nullptr, out, 4), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

}  // namespace
