// The QUIC decoder on arbitrary streams. The first byte chooses the decode: bits 0-2 the output format, bit 3
// a negative stride, bits 4-7 the size of the later input chunks in words (0: all input in one chunk). The
// rest is the stream; the size it is expected to have is its own header's, when that is small enough to
// decode into.
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codecs/quic.h"

namespace {

struct FuzzUsr {
    QuicUsrContext usr;
    const uint8_t* rest;
    size_t rest_size;
    size_t step;
};

void ignore(QuicUsrContext*, const char*, ...) {}

void* allocate(QuicUsrContext*, size_t size) {
    return malloc(size);
}

void release(QuicUsrContext*, void* ptr) {
    free(ptr);
}

int64_t more_space(QuicUsrContext* usr, const uint8_t** data, int) {
    auto f = reinterpret_cast<FuzzUsr*>(usr);
    const size_t n = f->rest_size < f->step ? f->rest_size : f->step;
    *data = f->rest;
    f->rest += n;
    f->rest_size -= n;
    return int64_t(n);
}

int more_lines(QuicUsrContext*, uint8_t**) {
    return 0;
}

uint32_t header_word(const uint8_t* stream, size_t size, int index) {
    if (size < 20) {
        return 0;
    }
    const uint8_t* p = stream + 4 * index;
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    static const QuicImageType formats[] = {
        QUIC_IMAGE_TYPE_GRAY, QUIC_IMAGE_TYPE_RGB16, QUIC_IMAGE_TYPE_RGB24, QUIC_IMAGE_TYPE_RGB32,
        QUIC_IMAGE_TYPE_RGBA, QUIC_IMAGE_TYPE_RGB32, QUIC_IMAGE_TYPE_RGB16, QUIC_IMAGE_TYPE_INVALID};
    static const unsigned bytes_per_pixel[] = {1, 2, 3, 4, 4, 4, 2, 4};
    const unsigned choice = data[0] & 7;
    const bool upwards = data[0] & 8;
    const size_t step = size_t(data[0] >> 4) * 4;
    const uint8_t* stream = data + 1;
    const size_t stream_size = size - 1;

    quic_init();
    FuzzUsr f{{ignore, ignore, ignore, allocate, release, more_space, more_lines}, nullptr, 0, step};
    const size_t first = step == 0 || stream_size < 20 + step ? stream_size : 20 + step;
    f.rest = stream + first;
    f.rest_size = stream_size - first;

    uint32_t width = header_word(stream, stream_size, 3), height = header_word(stream, stream_size, 4);
    if (width == 0 || height == 0 || width > 4096 || height > 4096 || uint64_t(width) * height > (1u << 20)) {
        width = height = 1;
    }
    QuicContext* quic = quic_create(&f.usr);
    QuicImageType type;
    int w, h;
    if (quic_decode_begin(quic, stream, first, int(width), int(height), &type, &w, &h) == 0) {
        if (uint32_t(w) != width || uint32_t(h) != height) {
            abort();
        }
        const int row = w * int(bytes_per_pixel[choice]);
        std::vector<uint8_t> pixels(size_t(row) * h);
        uint8_t* start = upwards ? pixels.data() + size_t(row) * (h - 1) : pixels.data();
        quic_decode(quic, formats[choice], start, upwards ? -row : row);
    }
    quic_destroy(quic);
    return 0;
}
