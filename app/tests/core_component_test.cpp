#include "app/core_component.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

const char16_t* const STUB_CLSID = u"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}";

std::u16string to_wide(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

void set_default_value(HKEY root, const std::u16string& path, const std::u16string& value) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, nullptr, 0, REG_SZ, (const BYTE*)value.c_str(),
                             (DWORD)((value.size() + 1) * sizeof(WCHAR))),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

class CoreComponentTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("ktw-core-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        setenv("KTW_REGISTRY_DIR", dir_.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("KTW_REGISTRY_DIR");
        std::filesystem::remove_all(dir_);
    }

    void register_component(const std::string& path) {
        set_default_value(HKEY_CLASSES_ROOT, std::u16string(CORE_COM_PROGID) + u"\\CLSID", STUB_CLSID);
        set_default_value(HKEY_CLASSES_ROOT, u"CLSID\\" + std::u16string(STUB_CLSID) + u"\\InprocServer32",
                          to_wide(path));
    }

    std::filesystem::path dir_;
};

TEST_F(CoreComponentTest, UnregisteredComponentIsNotFound) {
    WCHAR path[MAX_PATH];
    path[0] = u'x';
    EXPECT_FALSE(GetCoreComModulePath(path));
    EXPECT_EQ(path[0], 0);
    EXPECT_EQ(LoadCoreComModule(), nullptr);
    EXPECT_FALSE(GetCoreComModulePath(nullptr));

    testing::internal::CaptureStderr();
    EXPECT_FALSE(DisableWindowLockScreen(1));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("load voranthcore failed."), std::string::npos);
}

TEST_F(CoreComponentTest, RegisteredComponentIsFoundThroughItsClsid) {
    register_component(CORE_STUB_PATH);
    WCHAR clsid[64] = {};
    EXPECT_EQ(GetCoreComClsidString(clsid), 39);
    EXPECT_EQ(std::u16string(clsid), STUB_CLSID);

    WCHAR path[MAX_PATH] = {};
    ASSERT_TRUE(GetCoreComModulePath(path));
    EXPECT_EQ(std::u16string(path), to_wide(CORE_STUB_PATH));
}

TEST_F(CoreComponentTest, LockScreenSwitchCallsTheComponentAndReportsItsAnswer) {
    register_component(CORE_STUB_PATH);
    // Keep the stand-in loaded so that its state survives the switch's own load and free.
    HMODULE held = LoadLibraryW(to_wide(CORE_STUB_PATH).c_str());
    ASSERT_NE(held, nullptr);
    auto set_result = (void (*)(int))GetProcAddress(held, "stub_set_result");
    auto last_flag = (int (*)())GetProcAddress(held, "stub_last_flag");
    ASSERT_TRUE(set_result && last_flag);

    EXPECT_TRUE(DisableWindowLockScreen(1));
    EXPECT_EQ(last_flag(), 1);

    set_result(0);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(DisableWindowLockScreen(0));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("DisableWindowLockScreen failed."),
              std::string::npos);
    EXPECT_EQ(last_flag(), 0);
    FreeLibrary(held);
}

TEST_F(CoreComponentTest, ComponentWithoutTheExportIsReported) {
    register_component(CORE_NOEXPORT_STUB_PATH);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(DisableWindowLockScreen(1));
    EXPECT_NE(testing::internal::GetCapturedStderr().find(
                  "get voranthcore functions DisableWindowLockScreen failed."),
              std::string::npos);
}

TEST(HexToBytes64, ConvertsTheFirst128Digits) {
    unsigned char bytes[64];
    std::string text(127, 'a');
    EXPECT_FALSE(HexToBytes64(text.c_str(), bytes));
    EXPECT_FALSE(HexToBytes64(nullptr, bytes));
    EXPECT_FALSE(HexToBytes64(std::string(128, '0').c_str(), nullptr));

    // 128 digits with upper, lower and invalid characters, then two extra digits that are ignored.
    text = "0aFfzz" + std::string(122, '1') + "99";
    ASSERT_TRUE(HexToBytes64(text.c_str(), bytes));
    EXPECT_EQ(bytes[0], 0x0A);
    EXPECT_EQ(bytes[1], 0xFF);
    EXPECT_EQ(bytes[2], 0x00);
    EXPECT_EQ(bytes[63], 0x11);
}

TEST(WideToUtf8, FitsExactlyOrFailsWithInsufficientBuffer) {
    // "é" takes two UTF-8 bytes: with the terminator the text needs 1 + 2 + 1 + 1 = 5 bytes.
    const WCHAR text[] = {u'a', 0x00E9, u'b', 0};
    char buffer[8];
    EXPECT_TRUE(wide_to_utf8(5, text, buffer));
    EXPECT_STREQ(buffer,
                 "a\xC3\xA9"
                 "b");

    SetLastError(0);
    EXPECT_FALSE(wide_to_utf8(4, text, buffer));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_FALSE(wide_to_utf8(sizeof(buffer), nullptr, buffer));
}

TEST(WindowsVersion, ReportsWindows8OrLater) {
    EXPECT_TRUE(IsWindows8OrLater());
}

}  // namespace
