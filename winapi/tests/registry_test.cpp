#include "winapi/windows.h"

#include "../src/registry_hive.h"
#include "support/test_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>

using test_support::read_file;
using test_support::run_in_child;
using test_support::ScopedEnv;
using test_support::TempDir;
using test_support::write_file;

namespace {

const char16_t* const KEY_PATH = u"SOFTWARE\\Voranth\\VDI\\SpiceUser";

class RegistryTest : public ::testing::Test {
protected:
    RegistryTest() : env_("KTW_REGISTRY_DIR", dir_.path()) {}

    // Opens or creates a key of HKCU with full access; fails the test when it cannot.
    HKEY create(const char16_t* path, DWORD* disposition = nullptr) {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, &key, disposition),
                  ERROR_SUCCESS);
        return key;
    }

    static LSTATUS set_dword(HKEY key, const char16_t* name, DWORD value) {
        return RegSetValueExW(key, name, 0, REG_DWORD, (const BYTE*)&value, sizeof(value));
    }

    static LSTATUS get_dword(HKEY key, const char16_t* name, DWORD* value) {
        DWORD type = REG_NONE, size = sizeof(*value);
        LSTATUS status = RegQueryValueExW(key, name, nullptr, &type, (BYTE*)value, &size);
        if (status == ERROR_SUCCESS && (type != REG_DWORD || size != sizeof(DWORD))) {
            return ERROR_INVALID_DATA;
        }
        return status;
    }

    // The hive as stored in its file.
    winapi_internal::RegistryKey stored(const char* hive) {
        std::vector<uint8_t> bytes = read_file(dir_.file(std::string(hive) + ".hive"));
        winapi_internal::RegistryKey root;
        EXPECT_TRUE(winapi_internal::hive_parse(bytes.data(), bytes.size(), root));
        return root;
    }

    TempDir dir_;
    ScopedEnv env_;
};

TEST_F(RegistryTest, CreatesEveryLevelAndReadsValuesBack) {
    DWORD disposition = 0;
    HKEY key = create(KEY_PATH, &disposition);
    EXPECT_EQ(disposition, (DWORD)REG_CREATED_NEW_KEY);
    EXPECT_EQ(set_dword(key, u"WindowState", 3), ERROR_SUCCESS);
    const char16_t text[] = u"10.0.0.1";
    EXPECT_EQ(RegSetValueExW(key, u"Host", 0, REG_SZ, (const BYTE*)text, sizeof(text)), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

    key = create(KEY_PATH, &disposition);
    EXPECT_EQ(disposition, (DWORD)REG_OPENED_EXISTING_KEY);
    RegCloseKey(key);

    HKEY read = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"SOFTWARE\\Voranth", 0, KEY_READ, &read), ERROR_SUCCESS);
    HKEY sub = nullptr;
    ASSERT_EQ(RegOpenKeyExW(read, u"VDI\\SpiceUser", 0, KEY_READ, &sub), ERROR_SUCCESS);
    DWORD value = 0;
    EXPECT_EQ(get_dword(sub, u"WindowState", &value), ERROR_SUCCESS);
    EXPECT_EQ(value, 3u);
    char16_t host[32] = {};
    DWORD type = 0, size = sizeof(host);
    EXPECT_EQ(RegQueryValueExW(sub, u"Host", nullptr, &type, (BYTE*)host, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, (DWORD)REG_SZ);
    EXPECT_EQ(size, sizeof(text));
    EXPECT_EQ(std::u16string(host), u"10.0.0.1");
    RegCloseKey(sub);
    RegCloseKey(read);
}

TEST_F(RegistryTest, NamesCompareWithoutCaseAndKeepTheirFirstSpelling) {
    HKEY key = create(u"SOFTWARE\\Voranth\\VDI\\usbbind");
    ASSERT_EQ(set_dword(key, u"Banner", 1), ERROR_SUCCESS);
    ASSERT_EQ(set_dword(key, u"BANNER", 2), ERROR_SUCCESS);  // the same value
    RegCloseKey(key);

    HKEY lower = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"software\\voranth\\vdi\\USBBIND", 0, KEY_READ, &lower),
              ERROR_SUCCESS);
    DWORD value = 0;
    EXPECT_EQ(get_dword(lower, u"banner", &value), ERROR_SUCCESS);
    EXPECT_EQ(value, 2u);
    RegCloseKey(lower);

    // Non-ASCII letters fold too.
    key = create(u"Ключ");
    HKEY upper = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"КЛЮЧ", 0, KEY_READ, &upper), ERROR_SUCCESS);
    RegCloseKey(upper);
    RegCloseKey(key);

    winapi_internal::RegistryKey root = stored("HKEY_CURRENT_USER");
    ASSERT_EQ(root.subkeys.count(u"software"), 1u);
    EXPECT_EQ(root.subkeys[u"software"]->name, u"SOFTWARE");
    const auto& usbbind =
        root.subkeys[u"software"]->subkeys[u"voranth"]->subkeys[u"vdi"]->subkeys[u"usbbind"];
    ASSERT_TRUE(usbbind);
    EXPECT_EQ(usbbind->name, u"usbbind");
    EXPECT_EQ(usbbind->values.size(), 1u);
    EXPECT_EQ(usbbind->values[u"banner"].name, u"Banner");
}

TEST_F(RegistryTest, QueryReportsSizesMissingValuesAndSmallBuffers) {
    HKEY key = create(KEY_PATH);
    const char16_t text[] = u"C:\\Program Files\\Voranth";  // 25 characters + terminator
    ASSERT_EQ(RegSetValueExW(key, nullptr, 0, REG_EXPAND_SZ, (const BYTE*)text, sizeof(text)), ERROR_SUCCESS);

    DWORD type = 0, size = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, (DWORD)REG_EXPAND_SZ);
    EXPECT_EQ(size, sizeof(text));

    char16_t small[8];
    size = sizeof(small);
    EXPECT_EQ(RegQueryValueExW(key, nullptr, nullptr, nullptr, (BYTE*)small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, sizeof(text));

    char16_t exact[26];
    size = sizeof(exact);
    EXPECT_EQ(RegQueryValueExW(key, nullptr, nullptr, nullptr, (BYTE*)exact, &size), ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(exact), text);  // returned unexpanded

    EXPECT_EQ(RegQueryValueExW(key, u"Missing", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    HKEY missing = (HKEY)1;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"SOFTWARE\\Nobody", 0, KEY_READ, &missing),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(missing, nullptr);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, KEY_PATH, 0, KEY_READ, &missing), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
}

TEST_F(RegistryTest, StringsAreReturnedAsStoredWithOrWithoutTerminator) {
    HKEY key = create(KEY_PATH);
    const char16_t unterminated[] = {u'a', u'b', u'c'};
    ASSERT_EQ(RegSetValueExW(key, u"Path", 0, REG_SZ, (const BYTE*)unterminated, sizeof(unterminated)),
              ERROR_SUCCESS);
    char16_t buffer[8];
    memset(buffer, 0x7F, sizeof(buffer));
    DWORD size = sizeof(buffer);
    ASSERT_EQ(RegQueryValueExW(key, u"Path", nullptr, nullptr, (BYTE*)buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(buffer[3], 0x7F7F) << "nothing beyond the stored bytes is written";

    char ansi[8];
    memset(ansi, 0x7F, sizeof(ansi));
    size = sizeof(ansi);
    ASSERT_EQ(RegQueryValueExA(key, "path", nullptr, nullptr, (BYTE*)ansi, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(std::string(ansi, 4), "abc\x7F");
    RegCloseKey(key);
}

TEST_F(RegistryTest, AnsiCallsConvertThroughTheAnsiCodePage) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "software\\voranth\\vdi\\usbbind", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const char gbk[] = "\xD6\xD0\xCE\xC4";  // "中文" in GBK, with its terminator: 5 bytes
    ASSERT_EQ(RegSetValueExA(key, "0", 0, REG_SZ, (const BYTE*)gbk, sizeof(gbk)), ERROR_SUCCESS);

    char16_t wide[8] = {};
    DWORD size = sizeof(wide);
    ASSERT_EQ(RegQueryValueExW(key, u"0", nullptr, nullptr, (BYTE*)wide, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(std::u16string(wide), u"中文");

    char small[4];
    size = sizeof(small);
    EXPECT_EQ(RegQueryValueExA(key, "0", nullptr, nullptr, (BYTE*)small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 5u) << "the size needed is counted in ANSI bytes";
    char ansi[5];
    size = sizeof(ansi);
    ASSERT_EQ(RegQueryValueExA(key, "0", nullptr, nullptr, (BYTE*)ansi, &size), ERROR_SUCCESS);
    EXPECT_STREQ(ansi, gbk);
    DWORD number = 7;
    ASSERT_EQ(RegSetValueExA(key, "n", 0, REG_DWORD, (const BYTE*)&number, 4), ERROR_SUCCESS);
    number = 0;
    size = 4;
    EXPECT_EQ(RegQueryValueExA(key, "N", nullptr, nullptr, (BYTE*)&number, &size), ERROR_SUCCESS);
    EXPECT_EQ(number, 7u);
    RegCloseKey(key);
}

TEST_F(RegistryTest, RejectsBadHandlesPathsAndMissingRights) {
    HKEY key = create(KEY_PATH);
    HKEY reader = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, KEY_PATH, 0, KEY_READ | KEY_WOW64_32KEY, &reader),
              ERROR_SUCCESS);
    EXPECT_EQ(set_dword(reader, u"x", 1), ERROR_ACCESS_DENIED);
    HKEY writer = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, KEY_PATH, 0, KEY_SET_VALUE, &writer), ERROR_SUCCESS);
    EXPECT_EQ(set_dword(writer, u"x", 1), ERROR_SUCCESS);
    DWORD value;
    EXPECT_EQ(get_dword(writer, u"x", &value), ERROR_ACCESS_DENIED);
    HKEY child = nullptr;
    EXPECT_EQ(RegCreateKeyExW(reader, u"Child", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr),
              ERROR_ACCESS_DENIED);

    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"\\SOFTWARE", 0, KEY_READ, &child), ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, std::u16string(256, u'k').c_str(), 0, KEY_READ, &child),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegOpenKeyExW(HKEY_USERS, u"x", 0, KEY_READ, &child), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(writer), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(writer), ERROR_INVALID_HANDLE);
    EXPECT_EQ(set_dword(writer, u"x", 1), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    RegCloseKey(reader);
    RegCloseKey(key);
}

TEST_F(RegistryTest, EachHiveIsWrittenWholeToItsOwnFile) {
    HKEY key = create(KEY_PATH);
    ASSERT_EQ(set_dword(key, u"State", 5), ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(
        RegCreateKeyExW(HKEY_CLASSES_ROOT, u"CLSID", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
        ERROR_SUCCESS);
    RegCloseKey(key);

    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
        files.push_back(entry.path().filename().string());
    }
    std::sort(files.begin(), files.end());
    // No temporary file is left behind; the lock files stay.
    EXPECT_EQ(files, (std::vector<std::string>{"HKEY_CLASSES_ROOT.hive", "HKEY_CLASSES_ROOT.hive.lock",
                                               "HKEY_CURRENT_USER.hive", "HKEY_CURRENT_USER.hive.lock"}));
    winapi_internal::RegistryKey root = stored("HKEY_CURRENT_USER");
    const auto& user = root.subkeys[u"software"]->subkeys[u"voranth"]->subkeys[u"vdi"]->subkeys[u"spiceuser"];
    ASSERT_TRUE(user);
    EXPECT_EQ(user->values[u"state"].data, (std::vector<uint8_t>{5, 0, 0, 0}));
    EXPECT_EQ(stored("HKEY_CLASSES_ROOT").subkeys.count(u"clsid"), 1u);
}

TEST_F(RegistryTest, ChangesByAnotherProcessAreSeenAndKept) {
    HKEY key = create(KEY_PATH);
    ASSERT_EQ(set_dword(key, u"First", 1), ERROR_SUCCESS);

    // The child starts with this process's copy of the hive; it must still see what was written since.
    ASSERT_EQ(set_dword(key, u"Second", 2), ERROR_SUCCESS);
    int child = run_in_child([&] {
        HKEY k = nullptr;
        DWORD value = 0;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, KEY_PATH, 0, KEY_ALL_ACCESS, &k) != ERROR_SUCCESS ||
            get_dword(k, u"Second", &value) != ERROR_SUCCESS || value != 2) {
            return 1;
        }
        return set_dword(k, u"FromChild", 42) == ERROR_SUCCESS ? 0 : 2;
    });
    ASSERT_EQ(child, 0);

    DWORD value = 0;
    EXPECT_EQ(get_dword(key, u"FromChild", &value), ERROR_SUCCESS);
    EXPECT_EQ(value, 42u);
    // A change here re-reads the file first: the child's value survives it.
    ASSERT_EQ(set_dword(key, u"Third", 3), ERROR_SUCCESS);
    winapi_internal::RegistryKey root = stored("HKEY_CURRENT_USER");
    const auto& user = root.subkeys[u"software"]->subkeys[u"voranth"]->subkeys[u"vdi"]->subkeys[u"spiceuser"];
    EXPECT_EQ(user->values.size(), 4u);
    RegCloseKey(key);
}

TEST_F(RegistryTest, ConcurrentWritersInSeveralProcessesLoseNothing) {
    const int processes = 4, values_each = 25;
    std::vector<pid_t> children;
    for (int p = 0; p < processes; p++) {
        pid_t pid = fork();
        if (pid == 0) {
            HKEY k = nullptr;
            if (RegCreateKeyExW(HKEY_CURRENT_USER, KEY_PATH, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                                nullptr) != ERROR_SUCCESS) {
                _exit(1);
            }
            for (int i = 0; i < values_each; i++) {
                std::u16string name = u"v" + std::u16string(1, (char16_t)(u'A' + p)) +
                                      (char16_t)(u'0' + i / 10) + (char16_t)(u'0' + i % 10);
                if (set_dword(k, name.c_str(), (DWORD)i) != ERROR_SUCCESS) {
                    _exit(2);
                }
            }
            _exit(0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    winapi_internal::RegistryKey root = stored("HKEY_CURRENT_USER");
    const auto& user = root.subkeys[u"software"]->subkeys[u"voranth"]->subkeys[u"vdi"]->subkeys[u"spiceuser"];
    ASSERT_TRUE(user);
    EXPECT_EQ(user->values.size(), (size_t)(processes * values_each));
}

TEST_F(RegistryTest, KeyRemovedByAnotherWriterReportsKeyDeleted) {
    HKEY key = create(KEY_PATH);
    ASSERT_EQ(set_dword(key, u"State", 1), ERROR_SUCCESS);
    // Another process replaces the hive with one that lacks the key.
    winapi_internal::RegistryKey empty;
    std::vector<uint8_t> bytes = winapi_internal::hive_serialize(empty);
    write_file(dir_.file("HKEY_CURRENT_USER.hive.new"), bytes);
    std::filesystem::rename(dir_.file("HKEY_CURRENT_USER.hive.new"), dir_.file("HKEY_CURRENT_USER.hive"));

    DWORD value;
    EXPECT_EQ(get_dword(key, u"State", &value), ERROR_KEY_DELETED);
    EXPECT_EQ(set_dword(key, u"State", 2), ERROR_KEY_DELETED);
    RegCloseKey(key);
}

TEST_F(RegistryTest, UnreadableHiveCountsAsEmptyAndIsSetAsideOnTheNextChange) {
    const std::vector<uint8_t> garbage = {'K', 'T', 'W', 'H', 'I', 'V', 'E', '1', 0xFF, 0xFF, 1, 2, 3};
    write_file(dir_.file("HKEY_LOCAL_MACHINE.hive"), garbage);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);

    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(set_dword(key, u"State", 9), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(read_file(dir_.file("HKEY_LOCAL_MACHINE.hive.bad")), garbage);
    EXPECT_EQ(stored("HKEY_LOCAL_MACHINE").subkeys.count(u"software"), 1u);
}

TEST_F(RegistryTest, FolderComesFromTheEnvironment) {
    TempDir config;
    ScopedEnv no_override("KTW_REGISTRY_DIR", std::nullopt);
    ScopedEnv xdg("XDG_CONFIG_HOME", config.path());
    HKEY key = create(u"Software");
    RegCloseKey(key);
    EXPECT_TRUE(std::filesystem::exists(config.file("ktwsession/registry/HKEY_CURRENT_USER.hive")));
}

}  // namespace
