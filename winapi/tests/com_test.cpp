#include "winapi/windows.h"

#include "support/test_files.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

class ComTest : public ::testing::Test {
protected:
    ComTest() : env_("KTW_REGISTRY_DIR", dir_.path()) {}

    // Registers the ProgID's CLSID text as the default value of HKCR "<progId>\CLSID".
    void register_progid(const std::u16string& progid, const std::u16string& clsid, bool terminated = true) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, (progid + u"\\CLSID").c_str(), 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        DWORD size = (DWORD)((clsid.size() + (terminated ? 1 : 0)) * sizeof(WCHAR));
        ASSERT_EQ(RegSetValueExW(key, nullptr, 0, REG_SZ, (const BYTE*)clsid.c_str(), size), ERROR_SUCCESS);
        RegCloseKey(key);
    }

    test_support::TempDir dir_;
    test_support::ScopedEnv env_;
};

TEST_F(ComTest, ProgIdLooksUpItsClsidAndPrintsItBack) {
    register_progid(u"DerezozUrudVDI.DerezozUrudCom.1", u"{0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9}");
    CLSID clsid = {};
    ASSERT_EQ(CLSIDFromProgID(u"derezozurudvdi.derezozurudcom.1", &clsid), S_OK);
    EXPECT_EQ(clsid.Data1, 0x0A1B2C3Du);
    EXPECT_EQ(clsid.Data2, 0x4E5F);
    EXPECT_EQ(clsid.Data3, 0x6071);
    EXPECT_EQ(clsid.Data4[0], 0x82);
    EXPECT_EQ(clsid.Data4[7], 0xF9);

    WCHAR text[64];
    EXPECT_EQ(StringFromGUID2(clsid, text, 64), 39);
    EXPECT_EQ(std::u16string(text), u"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}");
    EXPECT_EQ(StringFromGUID2(clsid, text, 39), 39);
    EXPECT_EQ(StringFromGUID2(clsid, text, 38), 0);

    // The text printed back is accepted as a registration too, even without its terminator.
    register_progid(u"Other.Class", text, false);
    CLSID again = {};
    ASSERT_EQ(CLSIDFromProgID(u"Other.Class", &again), S_OK);
    EXPECT_EQ(memcmp(&again, &clsid, sizeof(CLSID)), 0);
}

TEST_F(ComTest, MissingOrMalformedRegistrationsAreClassStringErrors) {
    CLSID clsid;
    EXPECT_EQ(CLSIDFromProgID(u"Not.Registered", &clsid), CO_E_CLASSSTRING);
    EXPECT_EQ(CLSIDFromProgID(u"", &clsid), CO_E_CLASSSTRING);
    EXPECT_EQ(CLSIDFromProgID(nullptr, &clsid), E_INVALIDARG);
    const char16_t* const malformed[] = {
        u"0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9",     // no braces
        u"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F}",    // one digit short
        u"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8FG}",   // not a digit
        u"{0A1B2C3D-4E5F-6071-8293A-4B5C6D7E8F9}",   // separator misplaced
        u"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}x",  // trailing text
    };
    for (const char16_t* text : malformed) {
        register_progid(u"Bad.Class", text);
        EXPECT_EQ(CLSIDFromProgID(u"Bad.Class", &clsid), CO_E_CLASSSTRING) << std::string(text, text + 38);
    }
}

}  // namespace
