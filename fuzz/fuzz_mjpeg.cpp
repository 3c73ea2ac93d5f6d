// A video stream's MJPEG decoder fed arbitrary pieces. Input: u8 width, u8 height of the stream (0 counts as
// 256), then pieces of u16 little-endian length and that many bytes, fed in order.
#include <cstdint>
#include <vector>

#include "codecs/mjpeg_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    int width = data[0] ? data[0] : 256;
    int height = data[1] ? data[1] : 256;
    std::vector<uint8_t> frame(size_t(width) * size_t(height) * 4);
    MJpegDecoder decoder(width, height, width * 4, frame.data(), (data[0] & 1) != 0);
    size_t at = 2;
    while (at + 2 <= size) {
        size_t length = size_t(data[at]) | size_t(data[at + 1]) << 8;
        at += 2;
        if (length > size - at) {
            length = size - at;
        }
        decoder.decode_data(data + at, length);
        at += length;
    }
    return 0;
}
