#include "runtime/rc4.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

std::string hex(const std::vector<unsigned char>& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned char b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 0xf];
    }
    return text;
}

TEST(Rc4Test, KeyStreamMatchesPublishedVectors) {
    struct Case {
        const char* key;
        const char* plain;
        const char* cipher;
    };
    const Case cases[] = {
        {"Key", "Plaintext", "BBF316E8D940AF0AD3"},
        {"Wiki", "pedia", "1021BF0420"},
        {"Secret", "Attack at dawn", "45A01F645FC35B383552544B9BF5"},
    };
    for (const Case& c : cases) {
        Rc4State state;
        Rc4Init(&state, reinterpret_cast<const unsigned char*>(c.key), strlen(c.key));
        std::vector<unsigned char> out(strlen(c.plain));
        // In two pieces: the state carries i and j from one call to the next.
        Rc4Crypt(&state, 3, reinterpret_cast<const unsigned char*>(c.plain), out.data());
        Rc4Crypt(&state, static_cast<int>(out.size()) - 3,
                 reinterpret_cast<const unsigned char*>(c.plain) + 3, out.data() + 3);
        EXPECT_EQ(hex(out), c.cipher) << c.key;
    }
}

TEST(Rc4Test, FixedKeyRoundTripsInPlaceAndRestartsEveryCall) {
    const std::string record("user\0pass\0domain", 16);
    std::vector<unsigned char> buffer(record.begin(), record.end());
    ASSERT_TRUE(Rc4CryptFixedKey(buffer.data(), buffer.data(), static_cast<int>(buffer.size())));
    std::vector<unsigned char> first = buffer;
    EXPECT_NE(std::string(first.begin(), first.end()), record);
    EXPECT_NE(std::string(first.begin() + 10, first.end()), "domain") << "enciphered past the NULs";

    std::vector<unsigned char> again(record.begin(), record.end());
    ASSERT_TRUE(Rc4CryptFixedKey(again.data(), again.data(), static_cast<int>(again.size())));
    EXPECT_EQ(again, first);

    ASSERT_TRUE(Rc4CryptFixedKey(buffer.data(), buffer.data(), static_cast<int>(buffer.size())));
    EXPECT_EQ(std::string(buffer.begin(), buffer.end()), record);
}

TEST(Rc4Test, FixedKeyRefusesNullBuffersAndEmptyLengths) {
    unsigned char byte = 1;
    EXPECT_FALSE(Rc4CryptFixedKey(nullptr, &byte, 1));
    EXPECT_FALSE(Rc4CryptFixedKey(&byte, nullptr, 1));
    EXPECT_FALSE(Rc4CryptFixedKey(&byte, &byte, 0));
    EXPECT_FALSE(Rc4CryptFixedKey(&byte, &byte, -1));
    EXPECT_EQ(byte, 1);
}

}  // namespace
