// What the GLZ fuzz targets share: a window prepared with four decoded images (ids 0 to 3, 64 pixels each),
// and a decode of an arbitrary image as id 4, so that every reference finds its image decoded, dropped or out
// of range, and none waits for an image that will never come.
#pragma once

#include <cstdint>
#include <vector>

#include "codecs/glz_decoder.h"
#include "runtime/exception.h"

namespace glz_fuzz {

class Image : public GlzDecodedImage {
public:
    Image(uint64_t id, uint64_t win_head_id, uint32_t pixels)
        : GlzDecodedImage(id, win_head_id, nullptr, pixels, 4), pixels_(size_t(pixels) * 4) {
        _data = pixels_.data();
    }

private:
    std::vector<uint8_t> pixels_;
};

class Handler : public GlzDecodeHandler {
public:
    GlzDecodedImage* alloc_image(void*, uint64_t id, uint64_t win_head_id, LzImageType, int, int,
                                 int gross_pixels, int, bool) override {
        if (gross_pixels > (1 << 20)) {
            throw Exception("image too large for the fuzzer");
        }
        return new Image(id, win_head_id, uint32_t(gross_pixels));
    }
};

class Debug : public GlzDecoderDebug {
public:
    void error(const std::string& str) override { throw Exception(str); }
    void warn(const std::string&) override {}
    void info(const std::string&) override {}
};

// Decodes image (a GLZ stream of size bytes, its id replaced by 4) after images 0 to 3, with a 3-entry
// palette.
inline void decode_after_four(const uint8_t* image, size_t size) {
    Debug debug;
    Handler handler;
    GlzDecoderWindow window(debug);
    GlzDecoder decoder(window, handler, debug);
    for (uint8_t id = 0; id < 4; id++) {
        std::vector<uint8_t> prepared = {0x20, 0x20, 0x5A, 0x4C, 0, 1, 0, 1, 0x18, 0, 0, 0,  64, 0, 0, 0, 1,
                                         0,    0,    1,    0,    0, 0, 0, 0, 0,    0, 0, id, 0,  0, 0, id};
        prepared.push_back(31);
        for (int i = 0; i < 32 * 3; i++) {
            prepared.push_back(uint8_t(id * 31 + i));
        }
        prepared.insert(prepared.end(), {0xEF, 25, 0x01, 0x00});  // 32 more pixels, from 32 back
        decoder.decode(prepared.data(), uint32_t(prepared.size()), nullptr, nullptr);
    }
    std::vector<uint8_t> stream(image, image + size);
    if (stream.size() >= 29) {
        for (int i = 21; i < 29; i++) {
            stream[i] = i == 28 ? 4 : 0;
        }
    }
    uint32_t entries[3] = {0x102030, 0x405060, 0x708090};
    SpicePalette palette = {1, 3, entries};
    try {
        decoder.decode(stream.data(), uint32_t(stream.size()), &palette, nullptr);
    } catch (const Exception&) {
    }
}

}  // namespace glz_fuzz
