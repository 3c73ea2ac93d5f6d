// The clipboard's image conversions on arbitrary bytes, as the guest and other X clients hand them over:
// input starting with the PNG signature is decoded as PNG, input starting with "BM" as a bitmap file,
// anything else is taken as a packed bitmap and encoded both ways. None may crash, and what one conversion
// makes the others must take back unchanged:
//   bitmap -> bitmap file -> bitmap gives the packed bitmap again;
//   PNG -> bitmap -> PNG -> bitmap gives the same pixels (the alpha bytes 255 where the first had none).
// The PNG's chunk checksums are made right first, so that mutated chunks reach the decoder instead of failing
// their check.
#include "winapi/src/image_codec.h"

#include <cstdlib>
#include <cstring>

using namespace winapi_internal;

namespace {

const size_t INFO_HEADER = 40;

uint32_t crc32(const uint8_t* bytes, size_t size) {
    uint32_t crc = 0xFFFFFFFF;
    for (size_t i = 0; i < size; i++) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; bit++) {
            crc = (crc >> 1) ^ (0xEDB88320 & (0u - (crc & 1)));
        }
    }
    return ~crc;
}

// Each chunk is a 32-bit big-endian length, a 4-byte type, the data, and the checksum of type and data.
void fix_png_checksums(std::vector<uint8_t>& png) {
    size_t at = 8;
    while (png.size() - at >= 12) {
        uint64_t length = uint64_t(png[at]) << 24 | png[at + 1] << 16 | png[at + 2] << 8 | png[at + 3];
        if (length > png.size() - at - 12) {
            return;
        }
        size_t end = at + 8 + size_t(length);
        uint32_t crc = crc32(&png[at + 4], size_t(length) + 4);
        for (int i = 0; i < 4; i++) {
            png[end + i] = uint8_t(crc >> (24 - 8 * i));
        }
        at = end + 4;
    }
}

// Packed bitmap -> bitmap file -> packed bitmap: the result is the input's packed part.
void check_bmp_round_trip(const uint8_t* dib, size_t size) {
    std::vector<uint8_t> bmp, again;
    if (!image_dib_to_bmp(dib, size, &bmp)) {
        return;
    }
    if (!image_bmp_to_dib(bmp.data(), bmp.size(), &again) || again.size() > size ||
        memcmp(again.data(), dib, again.size()) != 0) {
        abort();
    }
}

// A bitmap the PNG decoder made (40-byte header, 32-bit rows) encodes and decodes to the same pixels.
void check_png_round_trip(const std::vector<uint8_t>& dib) {
    std::vector<uint8_t> png, again;
    if (!image_dib_to_png(dib.data(), dib.size(), &png) ||
        !image_png_to_dib(png.data(), png.size(), &again) || again.size() != dib.size() ||
        memcmp(again.data(), dib.data(), INFO_HEADER) != 0) {
        abort();
    }
    bool any_alpha = false;
    for (size_t i = INFO_HEADER + 3; i < dib.size(); i += 4) {
        any_alpha |= dib[i] != 0;
    }
    for (size_t i = INFO_HEADER; i < dib.size(); i++) {
        bool alpha_byte = (i - INFO_HEADER) % 4 == 3;
        uint8_t expected = alpha_byte && !any_alpha ? 0xFF : dib[i];
        if (again[i] != expected) {
            abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1 << 20)) {
        return 0;
    }
    // A block of its own, so that a read past the end is seen.
    std::vector<uint8_t> input(data, data + size);
    static const uint8_t png_signature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> dib;
    if (size >= 8 && memcmp(data, png_signature, 8) == 0) {
        fix_png_checksums(input);
        if (image_png_to_dib(input.data(), input.size(), &dib)) {
            check_png_round_trip(dib);
            check_bmp_round_trip(dib.data(), dib.size());
        }
    } else if (size >= 2 && data[0] == 'B' && data[1] == 'M') {
        if (image_bmp_to_dib(input.data(), input.size(), &dib)) {
            check_bmp_round_trip(dib.data(), dib.size());
        }
    } else {
        std::vector<uint8_t> png;
        image_dib_to_png(input.data(), input.size(), &png);
        check_bmp_round_trip(input.data(), input.size());
    }
    return 0;
}
