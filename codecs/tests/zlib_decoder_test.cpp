// The zlib inflater of wrapped GLZ images, against streams from zlib's own compressor, and a wrapped GLZ
// image decoded the way the canvas does it.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "codecs/zlib_decoder.h"
#include "support/glz_test_support.h"
#include "support/lz_encoder.h"

namespace {

std::vector<uint8_t> deflate_bytes(const std::vector<uint8_t>& data) {
    uLongf size = compressBound(uLong(data.size()));
    std::vector<uint8_t> out(size);
    EXPECT_EQ(compress2(out.data(), &size, data.data(), uLong(data.size()), 6), Z_OK);
    out.resize(size);
    return out;
}

std::vector<uint8_t> sample(size_t n) {
    std::mt19937 rng(1);
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++) {
        v[i] = uint8_t(i % 7 == 0 ? rng() : i / 13);
    }
    return v;
}

// Inflates into exactly dest_size bytes; returns "" or the exception's text.
std::string inflate_into(ZlibDecoder& decoder, const std::vector<uint8_t>& z, std::vector<uint8_t>& dest) {
    try {
        // Through the face, as the canvas calls it.
        SpiceZlibDecoder* face = &decoder;
        face->ops->decode(face, z.data(), uint32_t(z.size()), dest.data(), uint32_t(dest.size()));
    } catch (const Exception& e) {
        return e.what();
    }
    return "";
}

TEST(ZlibDecoder, InflatesExactlyTheAnnouncedSizeAgainAndAgain) {
    ZlibDecoder decoder;
    for (size_t n : {1000, 65536 * 3 + 5}) {
        std::vector<uint8_t> data = sample(n);
        std::vector<uint8_t> dest(n);
        EXPECT_EQ(inflate_into(decoder, deflate_bytes(data), dest), "") << n;
        EXPECT_EQ(dest, data) << n;
    }
}

TEST(ZlibDecoder, FailsStreamsThatDoNotMakeTheAnnouncedSize) {
    struct Case {
        const char* what;
        std::vector<uint8_t> stream;
        size_t dest_size;
        const char* error;
    };
    std::vector<uint8_t> data = sample(1000);
    std::vector<uint8_t> z = deflate_bytes(data);
    std::vector<uint8_t> bad_checksum = z;
    bad_checksum.back() ^= 1;
    std::vector<uint8_t> garbage = {0x12, 0x34, 0x56, 0x78};
    const Case cases[] = {
        {"one byte more than the destination", z, 999, "zlib inflate failed, error -5"},
        {"truncated", std::vector<uint8_t>(z.begin(), z.end() - 10), 1000, "zlib inflate failed, error -5"},
        {"empty", {}, 1000, "zlib inflate failed, error -5"},
        {"bad checksum", bad_checksum, 1000, "zlib inflate failed, error -3"},
        {"not zlib", garbage, 1000, "zlib inflate failed, error -3"},
        {"ends short of the destination", z, 1001, "zlib inflate failed, 1000 of 1001 bytes"},
    };
    ZlibDecoder decoder;
    for (const Case& c : cases) {
        std::vector<uint8_t> dest(c.dest_size);
        std::string error = inflate_into(decoder, c.stream, dest);
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.what << ": " << error;
        // The stream is reset before every image: a good one still inflates.
        std::vector<uint8_t> good(1000);
        EXPECT_EQ(inflate_into(decoder, z, good), "") << "after " << c.what;
        EXPECT_EQ(good, data);
    }
}

TEST(ZlibDecoder, AWrappedGlzImageDecodes) {
    std::vector<uint8_t> units;
    for (int i = 0; i < 64 * 16; i++) {
        units.insert(units.end(), {uint8_t(i % 64), uint8_t(i / 64), 0x40});
    }
    std::vector<uint8_t> glz = glz_header(LZ_IMAGE_TYPE_RGB32, true, 64, 16, 256, 0, 0);
    std::vector<uint8_t> body = glz_encode_units(units, 3, 0);
    glz.insert(glz.end(), body.begin(), body.end());

    ZlibDecoder zlib;
    std::vector<uint8_t> inflated(glz.size());
    ASSERT_EQ(inflate_into(zlib, deflate_bytes(glz), inflated), "");
    TestGlzDebug debug;
    TestGlzHandler handler;
    GlzDecoderWindow window(debug);
    GlzDecoder decoder(window, handler, debug);
    decoder.decode(inflated.data(), uint32_t(inflated.size()), nullptr, nullptr);
    std::vector<uint32_t> pixels = handler.last->pixels();
    ASSERT_EQ(pixels.size(), 64u * 16);
    EXPECT_EQ(pixels[64 * 5 + 7], 0x400507u);
}

}  // namespace
