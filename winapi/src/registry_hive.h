// A registry hive in memory, and its file format.
//
// File format (all integers little-endian):
//   magic  "KTWHIVE1"
//   key    := u16 name length in UTF-16 units, the name (UTF-16LE),
//             u32 value count, the values, u32 sub-key count, the sub-keys
//   value  := u16 name length, the name, u32 type, u32 data length, the data
// The file holds the magic and then the root key, whose name is empty, and nothing after it. The parser
// treats the file as untrusted: any malformed content (bad lengths, duplicate or over-long names, nesting
// deeper than the registry allows, trailing bytes) makes it fail.
#pragma once

#include "winapi/wintypes.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace winapi_internal {

const size_t REGISTRY_MAX_KEY_NAME = 255;
const size_t REGISTRY_MAX_VALUE_NAME = 16383;
const size_t REGISTRY_MAX_DEPTH = 512;  // levels below the root

struct RegistryValue {
    std::u16string name;  // as first written
    DWORD type = 0;
    std::vector<uint8_t> data;

    bool operator==(const RegistryValue& other) const {
        return name == other.name && type == other.type && data == other.data;
    }
};

struct RegistryKey {
    std::u16string name;  // as created; the root's is empty
    // Both keyed by fold_case(name): names compare without regard to case. The default value's name is empty.
    std::map<std::u16string, RegistryValue> values;
    std::map<std::u16string, std::unique_ptr<RegistryKey>> subkeys;

    bool operator==(const RegistryKey& other) const;
};

// Fills root from the file's bytes; false (root then empty) when they are not a well-formed hive.
bool hive_parse(const uint8_t* data, size_t size, RegistryKey& root);
std::vector<uint8_t> hive_serialize(const RegistryKey& root);

}  // namespace winapi_internal
