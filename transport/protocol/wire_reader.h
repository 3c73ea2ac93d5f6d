// Bounds-checked reader of untrusted little-endian bytes.
//
// Every parser and decoder reads peer data through this one type: each read first checks the bytes that
// remain, sizes are computed in 64 bits, and the first failed check makes the reader fail for good (every
// later read yields 0 and moves nothing), so a parser may read a whole layout and test ok() once at the end.
// A count must be checked with need() before it drives a loop or an allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

class WireReader {
public:
    WireReader() = default;
    // [begin, end) is the whole body; the reader starts at begin. A begin after end gives a failed reader.
    WireReader(const uint8_t* begin, const uint8_t* end)
        : base_(begin),
          size_(begin && end && end >= begin ? uint64_t(end - begin) : 0),
          failed_(!begin || end < begin) {}

    bool ok() const { return !failed_; }
    void fail() { failed_ = true; }

    uint64_t size() const { return size_; }
    uint64_t offset() const { return pos_; }
    uint64_t remaining() const { return failed_ ? 0 : size_ - pos_; }
    const uint8_t* begin() const { return base_; }
    const uint8_t* end() const { return base_ + size_; }
    // The read position; meaningful only while ok().
    const uint8_t* position() const { return base_ + pos_; }

    // A reader over the same body positioned at a body offset, as pointer fields give them. The target must
    // start inside the body (an offset at or past the end fails even for an empty structure).
    WireReader at(uint64_t body_offset) const {
        WireReader r(*this);
        r.pos_ = 0;
        if (failed_ || body_offset >= size_) {
            r.failed_ = true;
        } else {
            r.pos_ = body_offset;
        }
        return r;
    }

    // True when count elements of elem_size bytes remain; otherwise the reader fails.
    bool need(uint64_t count, uint64_t elem_size = 1) {
        if (failed_) {
            return false;
        }
        uint64_t left = size_ - pos_;
        if (elem_size != 0 && count > left / elem_size) {
            failed_ = true;
            return false;
        }
        return true;
    }

    // Advances over n bytes and returns where they start, or nullptr (and fails) when they do not fit.
    const uint8_t* bytes(uint64_t n) {
        if (!need(n)) {
            return nullptr;
        }
        const uint8_t* p = base_ + pos_;
        pos_ += n;
        return p;
    }
    bool skip(uint64_t n) {
        if (!need(n)) {
            return false;
        }
        pos_ += n;
        return true;
    }
    // Every byte from the read position to the end of the body.
    const uint8_t* rest(uint32_t* length) {
        uint64_t n = remaining();
        *length = n > UINT32_MAX ? UINT32_MAX : uint32_t(n);
        return bytes(*length);
    }

    uint8_t u8() { return uint8_t(read_le(1)); }
    uint16_t u16() { return uint16_t(read_le(2)); }
    uint32_t u32() { return uint32_t(read_le(4)); }
    uint64_t u64() { return read_le(8); }
    int8_t i8() { return int8_t(u8()); }
    int16_t i16() { return int16_t(u16()); }
    int32_t i32() { return int32_t(u32()); }
    // Unsigned little-endian value of 1 to 4 bytes (the 24-bit width of packed encodings included).
    uint32_t uint_n(unsigned width) {
        return width >= 1 && width <= 4 ? uint32_t(read_le(width)) : (fail(), 0u);
    }

private:
    uint64_t read_le(unsigned width) {
        const uint8_t* p = bytes(width);
        if (!p) {
            return 0;
        }
        uint64_t v = 0;
        for (unsigned i = 0; i < width; i++) {
            v |= uint64_t(p[i]) << (8 * i);
        }
        return v;
    }

    const uint8_t* base_ = nullptr;
    uint64_t size_ = 0;
    uint64_t pos_ = 0;
    bool failed_ = true;
};
