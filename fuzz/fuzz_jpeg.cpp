// The canvas's JPEG decoder on arbitrary bytes: it must fail bad images without crashing, over-reading or
// hanging.
#include <cstdint>
#include <vector>

#include "codecs/jpeg_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > UINT32_MAX) {
        return 0;
    }
    JpegDecoder decoder;
    // Both bitmap formats, each through a fresh begin as the canvas does it.
    for (int format : {JPEG_BITMAP_FMT_32BIT, JPEG_BITMAP_FMT_24BIT}) {
        int width = 0, height = 0;
        if (!decoder.begin(data, uint32_t(size), &width, &height)) {
            return 0;
        }
        // The canvas decodes only pictures of its descriptor's size; keep the surfaces small here.
        if (width <= 0 || height <= 0 || uint64_t(width) * uint64_t(height) > (1u << 20)) {
            return 0;
        }
        int bytes = format == JPEG_BITMAP_FMT_24BIT ? 3 : 4;
        std::vector<uint8_t> surface(size_t(width) * size_t(height) * size_t(bytes));
        if (!decoder.decode(surface.data(), width * bytes, format)) {
            return 0;
        }
    }
    return 0;
}
