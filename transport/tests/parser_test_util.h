// Helpers of the parser tests: a little-endian body builder and a parse through the channel tables that keeps
// the body in a buffer of exactly its size, so that AddressSanitizer sees any read past its end.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

#include "transport/protocol/extra_messages.h"
#include "transport/protocol/server_messages.h"

class Body {
public:
    Body& u8(uint8_t v) { return put(v, 1); }
    Body& u16(uint16_t v) { return put(v, 2); }
    Body& u32(uint32_t v) { return put(v, 4); }
    Body& u64(uint64_t v) { return put(v, 8); }
    Body& i32(int32_t v) { return put(uint32_t(v), 4); }
    // A rectangle given as left, top, right, bottom, written in wire order (top, left, bottom, right).
    Body& rect(int32_t left, int32_t top, int32_t right, int32_t bottom) {
        return i32(top).i32(left).i32(bottom).i32(right);
    }
    Body& point(int32_t x, int32_t y) { return i32(x).i32(y); }
    Body& bytes(std::initializer_list<uint8_t> b) { return bytes(std::vector<uint8_t>(b)); }
    Body& bytes(const std::vector<uint8_t>& b) {
        data_.insert(data_.end(), b.begin(), b.end());
        return *this;
    }
    Body& text(const std::string& s) {
        data_.insert(data_.end(), s.begin(), s.end());
        return *this;
    }
    Body& zeros(size_t n) {
        data_.insert(data_.end(), n, 0);
        return *this;
    }
    // Overwrites a u32 already written (pointer fields whose target comes later).
    Body& patch_u32(size_t at, uint32_t v) {
        for (int i = 0; i < 4; i++) {
            data_.at(at + i) = uint8_t(v >> (8 * i));
        }
        return *this;
    }
    size_t size() const { return data_.size(); }
    const std::vector<uint8_t>& data() const { return data_; }
    operator std::vector<uint8_t>() const { return data_; }

private:
    Body& put(uint64_t v, int n) {
        for (int i = 0; i < n; i++) {
            data_.push_back(uint8_t(v >> (8 * i)));
        }
        return *this;
    }
    std::vector<uint8_t> data_;
};

// One parse: owns a copy of the body (which the result may point into) and releases the result.
class Parsed {
public:
    Parsed(int major, uint8_t channel, uint16_t type, const std::vector<uint8_t>& body, int minor = 2)
        : size_(body.size()), body_(static_cast<uint8_t*>(malloc(body.size() ? body.size() : 1))) {
        if (!body.empty()) {
            memcpy(body_, body.data(), body.size());
        }
        const SpiceChannelParser* entry = spice_get_server_channel_parser(channel, major);
        if (entry && entry->parser) {
            result_ = entry->parser(body_, body_ + size_, type, minor, &parsed_size_, &release_);
        }
    }
    ~Parsed() {
        if (result_) {
            release_(result_);
        }
        free(body_);
    }
    Parsed(const Parsed&) = delete;
    Parsed& operator=(const Parsed&) = delete;

    bool ok() const { return result_ != nullptr; }
    template <class T>
    const T* as() const {
        return reinterpret_cast<const T*>(result_);
    }
    uint8_t* result() const { return result_; }
    size_t parsed_size() const { return parsed_size_; }
    const uint8_t* body() const { return body_; }
    const uint8_t* body_end() const { return body_ + size_; }
    // True when p lies in the parsed block (as opposed to the received body).
    bool in_block(const void* p) const {
        auto q = static_cast<const uint8_t*>(p);
        return q >= result_ && q < result_ + parsed_size_;
    }

private:
    size_t size_;
    uint8_t* body_;
    uint8_t* result_ = nullptr;
    size_t parsed_size_ = 0;
    message_destructor_t release_ = nullptr;
};

// One row of a channel's table: the smallest body the message's layout accepts.
struct MinimalBody {
    const char* name;
    int major;
    uint8_t channel;
    uint16_t type;
    std::vector<uint8_t> body;
    int minor;
};

inline std::ostream& operator<<(std::ostream& os, const MinimalBody& m) {
    return os << m.name << " (protocol " << m.major << ", channel " << int(m.channel) << ", type " << m.type
              << ")";
}

// Test names for tables of MinimalBody: "main_init_v2".
inline std::string minimal_body_name(const ::testing::TestParamInfo<MinimalBody>& info) {
    std::string name = std::string(info.param.name) + "_v" + std::to_string(info.param.major);
    for (char& ch : name) {
        if (!isalnum(static_cast<unsigned char>(ch))) {
            ch = '_';
        }
    }
    return name;
}

// With KTW_PARSER_SEED_DIR set, the bodies of the tables are also written there as seeds of the parser fuzz
// targets (fuzz/corpus): byte 0 the generation (bit 0 set for protocol 1), the minor version (bits 1-2) and,
// for the byte-stream channels, the channel (bits 3-4: usbredir, port, webdav); then the u16 type; then the
// body.
inline void write_fuzz_seed(const MinimalBody& m) {
    const char* dir = getenv("KTW_PARSER_SEED_DIR");
    if (!dir) {
        return;
    }
    static const char* const targets[] = {"",       "main",   "display", "inputs", "cursor", "playback",
                                          "record", "tunnel", "",        "vmc",    "vmc",    "vmc"};
    if (m.channel >= 12 || !*targets[m.channel]) {
        return;
    }
    uint8_t head = uint8_t((m.major == 1 ? 1 : 0) | ((m.minor & 3) << 1));
    if (m.channel >= SPICE_CHANNEL_USBREDIR) {
        head |= uint8_t((m.channel - SPICE_CHANNEL_USBREDIR) << 3);
    }
    std::string name =
        std::string(dir) + "/parser_" + targets[m.channel] + "/" + m.name + "-v" + std::to_string(m.major);
    for (char& ch : name) {
        if (ch == ' ') {
            ch = '_';
        }
    }
    std::ofstream out(name, std::ios::binary);
    out.put(char(head)).put(char(m.type & 0xFF)).put(char(m.type >> 8));
    out.write(reinterpret_cast<const char*>(m.body.data()), std::streamsize(m.body.size()));
}

// The whole body parses; every shorter prefix of it fails.
inline void expect_minimal(const MinimalBody& m) {
    write_fuzz_seed(m);
    Parsed full(m.major, m.channel, m.type, m.body, m.minor);
    EXPECT_TRUE(full.ok()) << m;
    for (size_t n = 0; n < m.body.size(); n++) {
        std::vector<uint8_t> prefix(m.body.begin(), m.body.begin() + n);
        Parsed shorter(m.major, m.channel, m.type, prefix, m.minor);
        EXPECT_FALSE(shorter.ok()) << m << " cut to " << n << " bytes";
    }
}
