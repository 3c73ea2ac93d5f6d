#include "winapi/windows.h"

#include "support/test_files.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string hex(const BYTE* bytes, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < size; i++) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

// MD5 of the data, fed in blocks of block_size bytes, through the CryptoAPI calls the program makes.
std::string md5(const std::string& data, size_t block_size) {
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
        return "no context";
    }
    std::string result = "failed";
    if (CryptCreateHash(provider, CALG_MD5, 0, 0, &hash)) {
        bool ok = true;
        for (size_t at = 0; ok && at < data.size(); at += block_size) {
            size_t n = std::min(block_size, data.size() - at);
            ok = CryptHashData(hash, (const BYTE*)data.data() + at, (DWORD)n, 0);
        }
        BYTE value[16];
        DWORD size = sizeof(value);
        if (ok && CryptGetHashParam(hash, HP_HASHVAL, value, &size, 0) && size == 16) {
            result = hex(value, size);
        }
        CryptDestroyHash(hash);
    }
    CryptReleaseContext(provider, 0);
    return result;
}

TEST(Md5, KnownDigests) {
    EXPECT_EQ(md5("", 1024), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5("abc", 1024), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(md5("The quick brown fox jumps over the lazy dog", 7), "9e107d9d372bb6826bd81d3542a419d6");
    EXPECT_EQ(md5(std::string(1000000, 'a'), 1024), "7707d6ae4e027c70eea2a935c2296f21");
}

TEST(Md5, OfAnEmptyFileReadThroughTheFileCalls) {
    test_support::TempDir dir;
    test_support::write_file(dir.file("empty"), {});
    HANDLE file = CreateFileA(dir.file("empty").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    ASSERT_TRUE(CryptCreateHash(provider, CALG_MD5, 0, 0, &hash));
    BYTE block[1024];
    DWORD read = 0;
    while (ReadFile(file, block, sizeof(block), &read, nullptr) && read > 0) {
        ASSERT_TRUE(CryptHashData(hash, block, read, 0));
    }
    BYTE value[16];
    DWORD size = sizeof(value);
    ASSERT_TRUE(CryptGetHashParam(hash, HP_HASHVAL, value, &size, 0));
    EXPECT_EQ(hex(value, size), "d41d8cd98f00b204e9800998ecf8427e");
    CryptDestroyHash(hash);
    CryptReleaseContext(provider, 0);
    CloseHandle(file);
}

TEST(Md5, SizesStateAndBadArguments) {
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    ASSERT_TRUE(CryptCreateHash(provider, CALG_MD5, 0, 0, &hash));
    DWORD hash_size = 0, size = sizeof(hash_size);
    EXPECT_TRUE(CryptGetHashParam(hash, HP_HASHSIZE, (BYTE*)&hash_size, &size, 0));
    EXPECT_EQ(hash_size, 16u);
    size = 0;
    EXPECT_TRUE(CryptGetHashParam(hash, HP_HASHVAL, nullptr, &size, 0));
    EXPECT_EQ(size, 16u);
    BYTE small[8];
    size = sizeof(small);
    EXPECT_FALSE(CryptGetHashParam(hash, HP_HASHVAL, small, &size, 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MORE_DATA);
    EXPECT_EQ(size, 16u);

    BYTE value[16], again[16];
    size = 16;
    ASSERT_TRUE(CryptGetHashParam(hash, HP_HASHVAL, value, &size, 0));
    EXPECT_FALSE(CryptHashData(hash, (const BYTE*)"x", 1, 0)) << "a finished hash takes no more data";
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_HASH_STATE);
    ASSERT_TRUE(CryptGetHashParam(hash, HP_HASHVAL, again, &size, 0));
    EXPECT_EQ(hex(value, 16), hex(again, 16));

    EXPECT_TRUE(CryptDestroyHash(hash));
    EXPECT_FALSE(CryptDestroyHash(hash));
    EXPECT_FALSE(CryptHashData(hash, (const BYTE*)"x", 1, 0));
    HCRYPTHASH other = 0;
    EXPECT_FALSE(CryptCreateHash(provider, 0x8004 /* SHA-1 */, 0, 0, &other));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_ALGID);
    EXPECT_TRUE(CryptReleaseContext(provider, 0));
    EXPECT_FALSE(CryptCreateHash(provider, CALG_MD5, 0, 0, &other)) << "the context is gone";
    EXPECT_FALSE(
        CryptAcquireContextW(&provider, nullptr, nullptr, 24 /* PROV_RSA_AES */, CRYPT_VERIFYCONTEXT));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_PROV_TYPE);
}

}  // namespace
