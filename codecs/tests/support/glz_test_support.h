// What the GLZ tests put around a GlzDecoder: images that own their pixels, a handler that makes them, and a
// debug sink that throws like the canvas's and keeps what it was told.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "codecs/glz_decoder.h"
#include "runtime/exception.h"

class TestGlzImage : public GlzDecodedImage {
public:
    TestGlzImage(uint64_t id, uint64_t win_head_id, uint32_t pixels, std::atomic<int>* live)
        : GlzDecodedImage(id, win_head_id, nullptr, pixels, 4),
          _pixels(size_t(pixels) * 4 + 1, 0xEE),
          _live(live) {
        _data = _pixels.data();
        if (_live) {
            ++*_live;
        }
    }
    ~TestGlzImage() override {
        if (_live) {
            --*_live;
        }
    }
    // The pixels as 32-bit values b | g << 8 | r << 16 | a << 24.
    std::vector<uint32_t> pixels() const {
        std::vector<uint32_t> out(_size);
        for (uint32_t i = 0; i < _size; i++) {
            const uint8_t* p = _data + 4 * i;
            out[i] = p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24;
        }
        return out;
    }
    // The guard byte after the last pixel; a write past the image changes it.
    uint8_t guard() const { return _pixels.back(); }

private:
    std::vector<uint8_t> _pixels;
    std::atomic<int>* _live;
};

// Makes TestGlzImages and remembers the last one (valid until the window deletes it) and its arguments.
class TestGlzHandler : public GlzDecodeHandler {
public:
    GlzDecodedImage* alloc_image(void* usr_data, uint64_t image_id, uint64_t image_win_head_id,
                                 LzImageType type, int width, int height, int gross_pixels,
                                 int n_bytes_per_pixel, bool top_down) override {
        std::lock_guard<std::mutex> lock(mutex);
        calls++;
        last_type = type;
        last_width = width;
        last_height = height;
        last_top_down = top_down;
        last_win_head_id = image_win_head_id;
        last = new TestGlzImage(image_id, image_win_head_id, uint32_t(gross_pixels), &live);
        return last;
    }

    std::mutex mutex;
    int calls = 0;
    LzImageType last_type = LZ_IMAGE_TYPE_INVALID;
    int last_width = 0;
    int last_height = 0;
    bool last_top_down = false;
    uint64_t last_win_head_id = 0;
    TestGlzImage* last = nullptr;
    std::atomic<int> live{0};  // images made and not yet deleted
};

class TestGlzDebug : public GlzDecoderDebug {
public:
    void error(const std::string& str) override {
        add(errors, str);
        throw Exception(str);
    }
    void warn(const std::string& str) override { add(warnings, str); }
    void info(const std::string&) override {}

    std::vector<std::string> errors;
    std::vector<std::string> warnings;

private:
    void add(std::vector<std::string>& list, const std::string& str) {
        std::lock_guard<std::mutex> lock(mutex_);
        list.push_back(str);
    }
    std::mutex mutex_;
};
