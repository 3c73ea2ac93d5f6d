#include "runtime/file_md5.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>

#include "winapi/windows.h"

namespace {

namespace fs = std::filesystem;

class TempDir {
public:
    TempDir() : _path(fs::temp_directory_path() / ("ktw_md5_test_" + std::to_string(GetCurrentProcessId()))) {
        fs::remove_all(_path);
        fs::create_directories(_path);
    }
    ~TempDir() { fs::remove_all(_path); }

    std::string write(const std::string& name, const std::string& content) const {
        fs::path file = _path / name;
        std::ofstream(file, std::ios::binary) << content;
        return file.string();
    }

    const fs::path& path() const { return _path; }

private:
    fs::path _path;
};

std::string md5_of(const std::string& path) {
    char hex[33] = {};
    if (!GetFileMd5Hex(path.c_str(), hex)) {
        return "failed";
    }
    return hex;
}

TEST(GetFileMd5HexTest, DigestsOfKnownContents) {
    TempDir dir;
    struct Case {
        std::string content;
        const char* digest;
    };
    const Case cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"The quick brown fox jumps over the lazy dog", "9e107d9d372bb6826bd81d3542a419d6"},
        // Many 1024-byte blocks and a partial last one.
        {std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(md5_of(dir.write("input", c.content)), c.digest) << c.content.size() << " bytes";
    }
}

TEST(GetFileMd5HexTest, FailsForMissingFileAndNullArguments) {
    TempDir dir;
    EXPECT_EQ(md5_of((dir.path() / "missing").string()), "failed");

    char hex[33] = {};
    SetLastError(0);
    EXPECT_FALSE(GetFileMd5Hex(nullptr, hex));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    std::string path = dir.write("input", "abc");
    SetLastError(0);
    EXPECT_FALSE(GetFileMd5Hex(path.c_str(), nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

// A 1x1 24-bit bottom-up bitmap file.
std::string tiny_bmp() {
    const unsigned char bytes[] = {
        'B', 'M', 58, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0,    // file header
        40, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 24, 0,  // info header: size, width,
                                                           // height, planes, bpp
        0, 0, 0, 0, 4, 0, 0, 0, 0x13, 0x0b, 0, 0, 0x13, 0x0b, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x20, 0x40, 0x80,
        0,  // one pixel, row padded to 4 bytes
    };
    return std::string(reinterpret_cast<const char*>(bytes), sizeof(bytes));
}

class LoadBannerBitmapTest : public testing::Test {
protected:
    void SetUp() override {
        setenv("KTW_REGISTRY_DIR", (_dir.path() / "registry").c_str(), 1);
        _bmp = _dir.write("banner.bmp", tiny_bmp());
    }

    void TearDown() override {
        if (_key) {
            RegCloseKey(_key);
        }
        unsetenv("KTW_REGISTRY_DIR");
    }

    void create_key() {
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Voranth\\VDI\\VoranthCSClient", 0, nullptr,
                                  0, KEY_ALL_ACCESS, nullptr, &_key, nullptr),
                  ERROR_SUCCESS);
    }

    // Stores text as REG_SZ, with its terminator or without.
    void set_string(const char16_t* name, const std::string& text, bool terminated = true) {
        std::u16string wide(text.begin(), text.end());
        DWORD bytes = static_cast<DWORD>((wide.size() + (terminated ? 1 : 0)) * sizeof(WCHAR));
        ASSERT_EQ(RegSetValueExW(_key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(wide.c_str()), bytes),
                  ERROR_SUCCESS);
    }

    std::string digest() { return md5_of(_bmp); }

    TempDir _dir;
    std::string _bmp;
    HKEY _key = nullptr;
};

TEST_F(LoadBannerBitmapTest, LoadsWhenTheDigestMatchesInAnyCase) {
    create_key();
    set_string(u"Banner", _bmp);
    std::string upper = digest();
    for (char& c : upper) {
        c = static_cast<char>(toupper(c));
    }
    set_string(u"BannerHash", upper);
    HBITMAP bitmap = LoadBannerBitmap();
    EXPECT_NE(bitmap, nullptr);
    if (bitmap) {
        DeleteObject(bitmap);
    }
}

TEST_F(LoadBannerBitmapTest, UnterminatedRegistryStringsStillWork) {
    create_key();
    set_string(u"Banner", _bmp, false);
    set_string(u"BannerHash", digest(), false);
    HBITMAP bitmap = LoadBannerBitmap();
    EXPECT_NE(bitmap, nullptr);
    if (bitmap) {
        DeleteObject(bitmap);
    }
}

TEST_F(LoadBannerBitmapTest, NoBitmapWithoutAMatchingDigest) {
    EXPECT_EQ(LoadBannerBitmap(), nullptr);  // no key at all

    create_key();
    set_string(u"Banner", _bmp);
    EXPECT_EQ(LoadBannerBitmap(), nullptr);  // no hash

    set_string(u"BannerHash", "00000000000000000000000000000000");
    EXPECT_EQ(LoadBannerBitmap(), nullptr);  // other digest

    set_string(u"BannerHash", digest() + "ff");
    EXPECT_EQ(LoadBannerBitmap(), nullptr);  // too long to be a digest

    set_string(u"Banner", (_dir.path() / "missing.bmp").string());
    set_string(u"BannerHash", digest());
    EXPECT_EQ(LoadBannerBitmap(), nullptr);  // unreadable file
}

}  // namespace
