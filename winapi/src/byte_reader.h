// Bounds-checked little-endian reading of untrusted bytes (files other processes may have written). Every
// read checks the remaining length first and fails, leaving the output untouched, when the bytes are not
// there.
#pragma once

#include <cstddef>
#include <cstdint>

namespace winapi_internal {

class ByteReader {
public:
    ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    size_t position() const { return position_; }
    size_t remaining() const { return size_ - position_; }

    bool seek(uint64_t position) {
        if (position > size_) {
            return false;
        }
        position_ = (size_t)position;
        return true;
    }

    bool skip(uint64_t count) { return count <= remaining() && seek(position_ + count); }

    bool bytes(uint64_t count, const uint8_t** out) {
        if (count > remaining()) {
            return false;
        }
        *out = data_ + position_;
        position_ += (size_t)count;
        return true;
    }

    bool u8(uint8_t* out) { return little_endian(1, out); }
    bool u16(uint16_t* out) { return little_endian(2, out); }
    bool u32(uint32_t* out) { return little_endian(4, out); }

    bool s32(int32_t* out) {
        uint32_t value;
        if (!u32(&value)) {
            return false;
        }
        *out = (int32_t)value;
        return true;
    }

private:
    template <class T>
    bool little_endian(size_t count, T* out) {
        if (count > remaining()) {
            return false;
        }
        uint64_t value = 0;
        for (size_t i = 0; i < count; i++) {
            value |= (uint64_t)data_[position_ + i] << (8 * i);
        }
        position_ += count;
        *out = (T)value;
        return true;
    }

    const uint8_t* data_;
    size_t size_;
    size_t position_ = 0;
};

}  // namespace winapi_internal
