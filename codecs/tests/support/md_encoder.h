// Test-only min-deflate encoder: a bit writer for hand-made token streams and a greedy encoder that keeps the
// same history window as the decoder (and the server) do, sliding by blocks and bypassing messages that
// cannot fit. Header-only, so only the programs that include it carry it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace md_test {

constexpr uint32_t kLengthExtra[8] = {0, 0, 0, 1, 2, 4, 11, 30};
constexpr uint32_t kDistanceExtra[32] = {4,  4,  5,  5,  5,  6,  6,  7,  7,  8,  8,  9,  9,  10, 10, 11,
                                         11, 12, 12, 13, 13, 14, 14, 15, 15, 16, 17, 18, 19, 21, 23, 30};
constexpr uint32_t kEndLength = 0x3fffffff;

inline uint32_t base_of(const uint32_t* extra, unsigned code) {
    uint32_t base = 0;
    for (unsigned i = 0; i < code; i++) {
        base += uint32_t(1) << extra[i];
    }
    return base;
}

// The last code whose base does not exceed value.
inline unsigned code_of(const uint32_t* extra, unsigned codes, uint32_t value) {
    unsigned code = 0;
    while (code + 1 < codes && base_of(extra, code + 1) <= value) {
        code++;
    }
    return code;
}

class BitWriter {
public:
    void put(uint32_t value, unsigned bits) {
        _acc |= uint64_t(value) << _held;
        _held += bits;
        while (_held >= 32) {
            word(uint32_t(_acc));
            _acc >>= 32;
            _held -= 32;
        }
    }
    void literal(uint8_t byte) { put(byte, 9); }
    // length >= 4; distance >= 1.
    void match(uint32_t length, uint32_t distance) {
        unsigned lc = code_of(kLengthExtra, 8, length - 4);
        unsigned dc = code_of(kDistanceExtra, 32, distance - 1);
        put(0x100 | lc << 5 | dc, 9);
        put(length - 4 - base_of(kLengthExtra, lc), kLengthExtra[lc]);
        put(distance - 1 - base_of(kDistanceExtra, dc), kDistanceExtra[dc]);
    }
    void end() {
        put(0x100 | 7 << 5, 9);
        put(kEndLength - 4 - base_of(kLengthExtra, 7), 30);
    }
    // The stream so far, the last word padded with zero bits.
    std::vector<uint8_t> finish() {
        if (_held > 0) {
            word(uint32_t(_acc));
            _acc = 0;
            _held = 0;
        }
        return _bytes;
    }

private:
    void word(uint32_t w) {
        for (int i = 0; i < 4; i++) {
            _bytes.push_back(uint8_t(w >> (8 * i)));
        }
    }

    std::vector<uint8_t> _bytes;
    uint64_t _acc = 0;
    unsigned _held = 0;
};

// Header and body of a message: the short header when the size fits a byte, unless long_header asks
// otherwise.
inline std::vector<uint8_t> message(unsigned level, bool compressed, uint32_t size,
                                    const std::vector<uint8_t>& body, bool long_header = false) {
    long_header = long_header || size > 255;
    std::vector<uint8_t> m;
    m.push_back(uint8_t(level << 2 | (long_header ? 2 : 0) | (compressed ? 1 : 0)));
    if (long_header) {
        for (int i = 0; i < 4; i++) {
            m.push_back(uint8_t(size >> (8 * i)));
        }
    } else {
        m.push_back(uint8_t(size));
    }
    m.insert(m.end(), body.begin(), body.end());
    return m;
}

// Window sizes and block counts by level.
constexpr uint32_t kWindow[11] = {131072,  131072,  1048576, 1048576,  2097152, 2097152,
                                  4194304, 4194304, 8388608, 12582912, 16777216};
constexpr uint32_t kBlocks[11] = {1, 2, 2, 2, 1, 4, 1, 4, 8, 8, 8};

// Greedy encoder with a one-entry hash of 4-byte prefixes over the history and the message.
class Encoder {
public:
    explicit Encoder(unsigned level)
        : _level(level),
          _window(kWindow[level]),
          _block(kWindow[level] / kBlocks[level]),
          _table(1 << 16, -1) {}

    std::vector<uint8_t> encode(const std::vector<uint8_t>& data, bool store = false) {
        uint32_t size = uint32_t(data.size());
        bool bypass = false;
        if (uint64_t(_position) + size > _window.size()) {
            if (size > _window.size() || uint64_t(_position) + size - _block > _window.size()) {
                bypass = true;
            } else if (_position > _block) {
                memmove(_window.data(), _window.data() + _block, _position - _block);
                _position -= _block;
            } else {
                _position = 0;
            }
        }
        std::vector<uint8_t> out;
        if (store) {
            out = message(_level, false, size, data);
        } else {
            // The text the matches may reach: the history before the message (none when it bypasses), then
            // itself.
            std::vector<uint8_t> text;
            if (!bypass) {
                text.assign(_window.begin(), _window.begin() + _position);
            }
            size_t start = text.size();
            text.insert(text.end(), data.begin(), data.end());
            out = message(_level, true, size, compress(text, start));
        }
        if (bypass) {
            _position = 0;
        } else {
            memcpy(_window.data() + _position, data.data(), size);
            _position += size;
        }
        return out;
    }

    uint32_t position() const { return _position; }

private:
    static uint32_t hash(const uint8_t* p) {
        uint32_t v = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
        return (v * 2654435761u) >> 16;
    }

    std::vector<uint8_t> compress(const std::vector<uint8_t>& text, size_t start) {
        std::fill(_table.begin(), _table.end(), -1);
        // Only the recent history is indexed: enough for the tests, and quick on the large windows.
        size_t from = start > (1u << 20) ? start - (1u << 20) : 0;
        for (size_t i = from; i + 4 <= start; i++) {
            _table[hash(&text[i])] = int64_t(i);
        }
        BitWriter bits;
        size_t i = start;
        while (i < text.size()) {
            size_t best = 0;
            if (i + 4 <= text.size()) {
                int64_t candidate = _table[hash(&text[i])];
                _table[hash(&text[i])] = int64_t(i);
                if (candidate >= 0) {
                    size_t c = size_t(candidate);
                    while (i + best < text.size() && text[c + best] == text[i + best]) {
                        best++;
                    }
                    if (best >= 4) {
                        bits.match(uint32_t(best), uint32_t(i - c));
                        for (size_t k = i + 1; k < i + best && k + 4 <= text.size(); k++) {
                            _table[hash(&text[k])] = int64_t(k);
                        }
                        i += best;
                        continue;
                    }
                }
            }
            bits.literal(text[i]);
            i++;
        }
        bits.end();
        return bits.finish();
    }

    unsigned _level;
    std::vector<uint8_t> _window;
    uint32_t _block;
    uint32_t _position = 0;
    std::vector<int64_t> _table;
};

}  // namespace md_test
