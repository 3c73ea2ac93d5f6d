// The hive file format: see registry_hive.h.
#include "registry_hive.h"

#include "byte_reader.h"
#include "text_internal.h"

#include <cstring>

namespace winapi_internal {

namespace {

const char MAGIC[8] = {'K', 'T', 'W', 'H', 'I', 'V', 'E', '1'};

bool read_name(ByteReader& reader, size_t max_length, std::u16string& name) {
    uint16_t length;
    const uint8_t* bytes;
    if (!reader.u16(&length) || length > max_length || !reader.bytes(2ull * length, &bytes)) {
        return false;
    }
    name.resize(length);
    for (size_t i = 0; i < length; i++) {
        name[i] = (char16_t)(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    }
    return true;
}

bool read_value(ByteReader& reader, RegistryValue& value) {
    uint32_t length;
    const uint8_t* bytes;
    if (!read_name(reader, REGISTRY_MAX_VALUE_NAME, value.name) || !reader.u32(&value.type) ||
        !reader.u32(&length) || !reader.bytes(length, &bytes)) {
        return false;
    }
    value.data.assign(bytes, bytes + length);
    return true;
}

// Counts are not trusted for allocation: entries are added one by one as their bytes are found.
bool read_key(ByteReader& reader, size_t depth, RegistryKey& key) {
    if (!read_name(reader, REGISTRY_MAX_KEY_NAME, key.name)) {
        return false;
    }
    if (depth > 0 && (key.name.empty() || key.name.find(u'\\') != std::u16string::npos)) {
        return false;
    }
    uint32_t count;
    if (!reader.u32(&count)) {
        return false;
    }
    for (uint32_t i = 0; i < count; i++) {
        RegistryValue value;
        if (!read_value(reader, value) ||
            !key.values.emplace(fold_case(value.name), std::move(value)).second) {
            return false;
        }
    }
    if (!reader.u32(&count) || (count > 0 && depth >= REGISTRY_MAX_DEPTH)) {
        return false;
    }
    for (uint32_t i = 0; i < count; i++) {
        auto subkey = std::make_unique<RegistryKey>();
        if (!read_key(reader, depth + 1, *subkey)) {
            return false;
        }
        std::u16string folded = fold_case(subkey->name);
        if (!key.subkeys.emplace(folded, std::move(subkey)).second) {
            return false;
        }
    }
    return true;
}

void put_u16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back((uint8_t)v);
    out.push_back((uint8_t)(v >> 8));
}

void put_u32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; i++) {
        out.push_back((uint8_t)(v >> (8 * i)));
    }
}

void put_name(std::vector<uint8_t>& out, const std::u16string& name) {
    put_u16(out, (uint16_t)name.size());
    for (char16_t c : name) {
        put_u16(out, c);
    }
}

void write_key(std::vector<uint8_t>& out, const RegistryKey& key) {
    put_name(out, key.name);
    put_u32(out, (uint32_t)key.values.size());
    for (const auto& entry : key.values) {
        const RegistryValue& value = entry.second;
        put_name(out, value.name);
        put_u32(out, value.type);
        put_u32(out, (uint32_t)value.data.size());
        out.insert(out.end(), value.data.begin(), value.data.end());
    }
    put_u32(out, (uint32_t)key.subkeys.size());
    for (const auto& entry : key.subkeys) {
        write_key(out, *entry.second);
    }
}

}  // namespace

bool RegistryKey::operator==(const RegistryKey& other) const {
    if (name != other.name || values != other.values || subkeys.size() != other.subkeys.size()) {
        return false;
    }
    for (auto a = subkeys.begin(), b = other.subkeys.begin(); a != subkeys.end(); ++a, ++b) {
        if (a->first != b->first || !(*a->second == *b->second)) {
            return false;
        }
    }
    return true;
}

bool hive_parse(const uint8_t* data, size_t size, RegistryKey& root) {
    root = RegistryKey();
    ByteReader reader(data, size);
    const uint8_t* magic;
    bool ok = reader.bytes(sizeof(MAGIC), &magic) && memcmp(magic, MAGIC, sizeof(MAGIC)) == 0 &&
              read_key(reader, 0, root) && root.name.empty() && reader.remaining() == 0;
    if (!ok) {
        root = RegistryKey();
    }
    return ok;
}

std::vector<uint8_t> hive_serialize(const RegistryKey& root) {
    std::vector<uint8_t> out(MAGIC, MAGIC + sizeof(MAGIC));
    write_key(out, root);
    return out;
}

}  // namespace winapi_internal
