#include "../src/registry_hive.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using winapi_internal::hive_parse;
using winapi_internal::hive_serialize;
using winapi_internal::RegistryKey;
using winapi_internal::RegistryValue;

namespace {

RegistryKey& add_key(RegistryKey& parent, const std::u16string& name, const std::u16string& folded) {
    auto key = std::make_unique<RegistryKey>();
    key->name = name;
    RegistryKey& added = *key;
    parent.subkeys[folded] = std::move(key);
    return added;
}

RegistryKey sample_hive() {
    RegistryKey root;
    RegistryKey& software = add_key(root, u"SOFTWARE", u"software");
    RegistryKey& vdi = add_key(software, u"VDI", u"vdi");
    vdi.values[u""] = RegistryValue{u"", 1, {'a', 0, 'b', 0}};
    vdi.values[u"state"] = RegistryValue{u"State", 4, {3, 0, 0, 0}};
    vdi.values[u"empty"] = RegistryValue{u"Empty", 3, {}};
    add_key(root, u"Ключ", u"ключ");
    return root;
}

// Little-endian fields for building hive files by hand.
struct Bytes {
    std::vector<uint8_t> data{'K', 'T', 'W', 'H', 'I', 'V', 'E', '1'};
    Bytes& u16(uint16_t v) {
        data.push_back((uint8_t)v);
        data.push_back((uint8_t)(v >> 8));
        return *this;
    }
    Bytes& u32(uint32_t v) {
        for (int i = 0; i < 4; i++) {
            data.push_back((uint8_t)(v >> (8 * i)));
        }
        return *this;
    }
    Bytes& name(const std::u16string& n) {
        u16((uint16_t)n.size());
        for (char16_t c : n) {
            u16(c);
        }
        return *this;
    }
};

bool parses(const std::vector<uint8_t>& bytes) {
    RegistryKey root;
    return hive_parse(bytes.data(), bytes.size(), root);
}

TEST(RegistryHive, RoundTripsKeysValuesAndCase) {
    RegistryKey hive = sample_hive();
    std::vector<uint8_t> bytes = hive_serialize(hive);
    RegistryKey parsed;
    ASSERT_TRUE(hive_parse(bytes.data(), bytes.size(), parsed));
    EXPECT_TRUE(parsed == hive);
    EXPECT_EQ(parsed.subkeys[u"software"]->name, u"SOFTWARE");
    EXPECT_EQ(hive_serialize(parsed), bytes);
}

TEST(RegistryHive, EveryTruncationAndEveryByteFlipIsHandled) {
    std::vector<uint8_t> bytes = hive_serialize(sample_hive());
    for (size_t length = 0; length < bytes.size(); length++) {
        RegistryKey root;
        EXPECT_FALSE(hive_parse(bytes.data(), length, root)) << "length " << length;
        EXPECT_TRUE(root.subkeys.empty() && root.values.empty());
    }
    // Corrupted bytes either fail or give a hive that writes back to a valid file; they never crash.
    for (size_t i = 0; i < bytes.size(); i++) {
        std::vector<uint8_t> flipped = bytes;
        flipped[i] ^= 0xA5;
        RegistryKey root;
        if (hive_parse(flipped.data(), flipped.size(), root)) {
            EXPECT_TRUE(parses(hive_serialize(root)));
        }
    }
}

TEST(RegistryHive, RejectsMalformedFiles) {
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
    };
    std::vector<uint8_t> trailing = hive_serialize(sample_hive());
    trailing.push_back(0);
    const Case cases[] = {
        {"wrong magic", {'K', 'T', 'W', 'H', 'I', 'V', 'E', '2', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"named root", Bytes().name(u"root").u32(0).u32(0).data},
        {"trailing bytes", trailing},
        {"value data longer than the file", Bytes().name(u"").u32(1).name(u"v").u32(3).u32(0xFFFFFFFF).data},
        {"value count larger than the file", Bytes().name(u"").u32(0xFFFFFFFF).data},
        {"sub-key count larger than the file", Bytes().name(u"").u32(0).u32(0x7FFFFFFF).data},
        {"empty sub-key name", Bytes().name(u"").u32(0).u32(1).name(u"").u32(0).u32(0).data},
        {"separator in a key name", Bytes().name(u"").u32(0).u32(1).name(u"a\\b").u32(0).u32(0).data},
        {"key name over 255",
         Bytes().name(u"").u32(0).u32(1).name(std::u16string(256, u'k')).u32(0).u32(0).data},
        {"duplicate values",
         Bytes().name(u"").u32(2).name(u"V").u32(4).u32(0).name(u"v").u32(4).u32(0).u32(0).data},
        {"duplicate keys",
         Bytes().name(u"").u32(0).u32(2).name(u"K").u32(0).u32(0).name(u"k").u32(0).u32(0).data},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(parses(c.bytes)) << c.what;
    }
}

TEST(RegistryHive, NestingIsLimitedToTheRegistryDepth) {
    auto nested = [](size_t levels) {
        Bytes b;
        b.name(u"").u32(0).u32(levels > 0 ? 1 : 0);
        for (size_t i = 1; i <= levels; i++) {
            b.name(u"k").u32(0).u32(i < levels ? 1 : 0);
        }
        return b.data;
    };
    EXPECT_TRUE(parses(nested(winapi_internal::REGISTRY_MAX_DEPTH)));
    EXPECT_FALSE(parses(nested(winapi_internal::REGISTRY_MAX_DEPTH + 1)));
    EXPECT_FALSE(parses(nested(100000)));
}

}  // namespace
