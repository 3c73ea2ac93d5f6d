// The LZ decoder on arbitrary streams. Byte 0 picks the output type (mod 12, the invalid ones included), byte
// 1 the palette's entry count (0: no palette), byte 2 where the stream is cut in two, the second piece coming
// through more_space. The rest is the stream. Images are decoded up to the canvas's own limits (2^16 pixels a
// side, 2^26 pixels); memory is bounded by libFuzzer's -malloc_limit_mb and -rss_limit_mb (tools/fuzz.sh),
// not here.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "codecs/lz.h"

namespace {

struct FuzzUsr {
    LzUsrContext usr;
    uint8_t* rest;
    size_t rest_size;
};

void ignore(LzUsrContext*, const char*, ...) {}

void* allocate(LzUsrContext*, size_t size) {
    return malloc(size);
}

void release(LzUsrContext*, void* ptr) {
    free(ptr);
}

int more_space(LzUsrContext* usr, uint8_t** io_ptr) {
    auto f = reinterpret_cast<FuzzUsr*>(usr);
    int n = int(f->rest_size);
    *io_ptr = f->rest;
    f->rest_size = 0;
    return n;
}

int more_lines(LzUsrContext*, uint8_t**) {
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3 || size > (1 << 20)) {
        return 0;
    }
    const LzImageType to_type = LzImageType(data[0] % 12);
    std::vector<uint32_t> entries(data[1]);
    for (size_t i = 0; i < entries.size(); i++) {
        entries[i] = uint32_t(0x9E3779B9u * (i + 1));
    }
    SpicePalette palette = {1, uint16_t(entries.size()), entries.data()};
    // Pieces of their own, so that a read past either end is seen.
    const size_t stream_size = size - 3;
    const size_t cut = stream_size * data[2] / 255;
    std::vector<uint8_t> first(data + 3, data + 3 + cut), second(data + 3 + cut, data + size);

    FuzzUsr f = {
        {ignore, ignore, ignore, allocate, release, more_space, more_lines}, second.data(), second.size()};
    LzContext* lz = lz_create(&f.usr);
    LzImageType type;
    int width, height, n_pixels, top_down;
    if (lz_decode_begin(lz, first.data(), unsigned(first.size()), &type, &width, &height, &n_pixels,
                        &top_down, entries.empty() ? nullptr : &palette) == 0 &&
        width <= (1 << 16) && height <= (1 << 16) && n_pixels <= (1 << 26)) {
        // Left uninitialised, as the canvas leaves it: only the pages the decode writes are touched.
        const size_t out_size = size_t(n_pixels) * 4;
        std::unique_ptr<uint8_t[]> out(new uint8_t[out_size]);
        lz_decode(lz, to_type, out.get(), out_size);
    }
    lz_destroy(lz);
    return 0;
}
