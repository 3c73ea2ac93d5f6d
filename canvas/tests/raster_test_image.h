// Pixman images for the raster tests: memory of their own with room after each row (filled with a guard byte)
// so that a write past a row's pixels shows, optionally bottom-up (negative stride).
#pragma once

#include <pixman.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

class TestImage {
public:
    static constexpr uint8_t GUARD = 0x5A;

    TestImage(pixman_format_code_t format, int width, int height, bool bottom_up = false, int pad_bytes = 8)
        : format_(format), width_(width), height_(height) {
        const int bpp = PIXMAN_FORMAT_BPP(format);
        row_bytes_ = (width * bpp + 7) / 8;
        stride_ = (row_bytes_ + pad_bytes + 3) & ~3;
        memory_.assign(size_t(stride_) * size_t(height > 0 ? height : 1) / 4 + 1, 0);
        memset(memory_.data(), GUARD, memory_.size() * 4);
        uint8_t* first = bytes();
        int stride = stride_;
        if (bottom_up && height > 0) {
            first += size_t(stride_) * size_t(height - 1);
            stride = -stride_;
        }
        image_ = pixman_image_create_bits(format, width, height, reinterpret_cast<uint32_t*>(first), stride);
        for (int y = 0; y < height; y++) {
            memset(row(y), 0, size_t(row_bytes_));
        }
    }
    ~TestImage() { pixman_image_unref(image_); }
    TestImage(const TestImage&) = delete;
    TestImage& operator=(const TestImage&) = delete;

    pixman_image_t* get() const { return image_; }
    int width() const { return width_; }
    int height() const { return height_; }
    int bpp() const { return PIXMAN_FORMAT_BPP(format_); }

    // Row y of the picture, wherever it is in memory.
    uint8_t* row(int y) const {
        return reinterpret_cast<uint8_t*>(pixman_image_get_data(image_)) +
               ptrdiff_t(y) * pixman_image_get_stride(image_);
    }

    uint32_t pixel(int x, int y) const {
        switch (bpp()) {
            case 8:
                return row(y)[x];
            case 16: {
                uint16_t v;
                memcpy(&v, row(y) + 2 * x, 2);
                return v;
            }
            default: {
                uint32_t v;
                memcpy(&v, row(y) + 4 * x, 4);
                return v;
            }
        }
    }

    void set_pixel(int x, int y, uint32_t value) {
        switch (bpp()) {
            case 8:
                row(y)[x] = uint8_t(value);
                break;
            case 16: {
                uint16_t v = uint16_t(value);
                memcpy(row(y) + 2 * x, &v, 2);
                break;
            }
            default:
                memcpy(row(y) + 4 * x, &value, 4);
        }
    }

    void fill_bytes(uint8_t byte) {
        for (int y = 0; y < height_; y++) {
            memset(row(y), byte, size_t(row_bytes_));
        }
    }

    void fill_random(std::mt19937& random) {
        for (int y = 0; y < height_; y++) {
            for (int x = 0; x < width_; x++) {
                set_pixel(x, y, uint32_t(random()));
            }
        }
    }

    // All pixels, top row first.
    std::vector<uint32_t> pixels() const {
        std::vector<uint32_t> out;
        for (int y = 0; y < height_; y++) {
            for (int x = 0; x < width_; x++) {
                out.push_back(pixel(x, y));
            }
        }
        return out;
    }

    // True when every byte after the rows' pixels still holds the guard.
    bool guards_intact() const {
        for (int y = 0; y < height_; y++) {
            for (int i = row_bytes_; i < stride_; i++) {
                if (row(y)[i] != GUARD) {
                    return false;
                }
            }
        }
        return true;
    }

private:
    uint8_t* bytes() { return reinterpret_cast<uint8_t*>(memory_.data()); }

    pixman_format_code_t format_;
    int width_;
    int height_;
    int row_bytes_ = 0;
    int stride_ = 0;
    std::vector<uint32_t> memory_;
    pixman_image_t* image_ = nullptr;
};
