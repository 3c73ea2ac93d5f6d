#include "codecs/jpeg_decoder.h"

#include <gtest/gtest.h>

#include <string>

#include "runtime/exception.h"
#include "support/jpeg_test_support.h"

namespace {

// Begins and decodes through the canvas's face, into a surface of exactly the picture's size.
struct Decoded {
    bool ok = false;
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;
};

Decoded decode(JpegDecoder& decoder, const std::vector<uint8_t>& jpeg, int format = JPEG_BITMAP_FMT_32BIT,
               size_t size = SIZE_MAX) {
    Decoded d;
    SpiceJpegDecoder* face = decoder.face();
    if (!face->ops->begin_decode(face, jpeg.data(), uint32_t(size == SIZE_MAX ? jpeg.size() : size), &d.width,
                                 &d.height)) {
        return d;
    }
    int bytes = format == JPEG_BITMAP_FMT_24BIT ? 3 : 4;
    d.pixels.assign(size_t(d.width) * d.height * bytes, 0xAA);
    d.ok = face->ops->decode(face, d.pixels.data(), d.width * bytes, format);
    return d;
}

TEST(JpegDecoder, DecodesLikeLibjpegForEveryKindOfPicture) {
    struct Case {
        const char* name;
        TestPicture picture;
        int width, height;
        JpegEncodeOptions options;
    };
    JpegEncodeOptions progressive;
    progressive.progressive = true;
    JpegEncodeOptions full_chroma;
    full_chroma.full_chroma = true;
    full_chroma.quality = 100;
    const Case cases[] = {
        {"desktop 4:2:0", TestPicture::Desktop, 97, 61, {}},
        {"photo 4:4:4", TestPicture::Photo, 64, 33, full_chroma},
        {"noise progressive", TestPicture::Noise, 40, 17, progressive},
        {"one pixel", TestPicture::Photo, 1, 1, {}},
    };
    JpegDecoder decoder;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> jpeg =
            jpeg_encode(make_test_rgb(c.picture, c.width, c.height), c.width, c.height, c.options);
        Decoded d = decode(decoder, jpeg);
        ASSERT_TRUE(d.ok);
        EXPECT_EQ(d.width, c.width);
        EXPECT_EQ(d.height, c.height);
        EXPECT_EQ(d.pixels, rgb_to_pixels32(jpeg_reference_decode(jpeg)));
    }
}

TEST(JpegDecoder, TwoPixelsIn32BitsAreBlueFirstWithZeroFourthByte) {
    const std::vector<uint8_t> rgb = {0, 0, 255, 255, 0, 0};  // blue, red
    JpegEncodeOptions options;
    options.full_chroma = true;
    options.quality = 100;
    std::vector<uint8_t> jpeg = jpeg_encode(rgb, 2, 1, options);

    JpegDecoder decoder;
    int width = 0, height = 0;
    ASSERT_TRUE(decoder.begin(jpeg.data(), uint32_t(jpeg.size()), &width, &height));
    ASSERT_EQ(width, 2);
    ASSERT_EQ(height, 1);
    uint8_t out[8];
    memset(out, 0xAA, sizeof(out));
    ASSERT_TRUE(decoder.decode(out, 8, JPEG_BITMAP_FMT_32BIT));
    EXPECT_GT(out[0], 240);  // blue of the blue pixel
    EXPECT_LT(out[2], 16);
    EXPECT_EQ(out[3], 0);
    EXPECT_LT(out[4], 16);
    EXPECT_GT(out[6], 240);  // red of the red pixel
    EXPECT_EQ(out[7], 0);
}

TEST(JpegDecoder, TwentyFourBitRowsAreBlueFirstAndHonourTheStride) {
    const int w = 5, h = 3;
    std::vector<uint8_t> jpeg = jpeg_encode(make_test_rgb(TestPicture::Photo, w, h), w, h);
    std::vector<uint8_t> want = jpeg_reference_decode(jpeg);

    // Bottom-up, as a DIB: the first row lands at the highest address, rows padded to 16 bytes.
    const int stride = 16;
    std::vector<uint8_t> surface(stride * h, 0xAA);
    JpegDecoder decoder;
    int width, height;
    ASSERT_TRUE(decoder.begin(jpeg.data(), uint32_t(jpeg.size()), &width, &height));
    ASSERT_TRUE(decoder.decode(surface.data() + stride * (h - 1), -stride, JPEG_BITMAP_FMT_24BIT));
    for (int y = 0; y < h; y++) {
        const uint8_t* row = &surface[size_t(h - 1 - y) * stride];
        for (int x = 0; x < w; x++) {
            const uint8_t* rgb = &want[(size_t(y) * w + x) * 3];
            ASSERT_EQ(row[x * 3 + 0], rgb[2]) << x << "," << y;
            ASSERT_EQ(row[x * 3 + 1], rgb[1]);
            ASSERT_EQ(row[x * 3 + 2], rgb[0]);
        }
        EXPECT_EQ(row[w * 3], 0xAA) << "padding of row " << y << " untouched";
    }
}

TEST(JpegDecoder, OtherBitmapFormatsThrowBeforeDecoding) {
    std::vector<uint8_t> jpeg = jpeg_encode(make_test_rgb(TestPicture::Photo, 4, 4), 4, 4);
    JpegDecoder decoder;
    int width, height;
    ASSERT_TRUE(decoder.begin(jpeg.data(), uint32_t(jpeg.size()), &width, &height));
    uint8_t out[64];
    try {
        decoder.decode(out, 16, 9);
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(std::string(e.what()).rfind("bad bitmap format, 9", 0), 0u) << e.what();
    }
    // The image is still begun and decodes in a valid format.
    EXPECT_TRUE(decoder.decode(out, 16, JPEG_BITMAP_FMT_32BIT));
}

TEST(JpegDecoder, BeginningAnotherImageAbandonsTheOneNeverDecoded) {
    std::vector<uint8_t> first = jpeg_encode(make_test_rgb(TestPicture::Noise, 8, 8), 8, 8);
    std::vector<uint8_t> second = jpeg_encode(make_test_rgb(TestPicture::Photo, 24, 10), 24, 10);
    JpegDecoder decoder;
    int width, height;
    ASSERT_TRUE(decoder.begin(first.data(), uint32_t(first.size()), &width, &height));
    Decoded d = decode(decoder, second);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.width, 24);
    EXPECT_EQ(d.pixels, rgb_to_pixels32(jpeg_reference_decode(second)));
}

// The canvas hands over only the JPEG part of a JPEG-with-alpha payload; the alpha stream after it is not
// read.
TEST(JpegDecoder, ColourPartOfJpegWithAlphaDecodesFromItsOwnBytes) {
    std::vector<uint8_t> jpeg = jpeg_encode(make_test_rgb(TestPicture::Desktop, 30, 20), 30, 20);
    std::vector<uint8_t> payload = jpeg;
    payload.insert(payload.end(), 600, 0x5A);  // stands for the LZ alpha stream
    JpegDecoder decoder;
    Decoded d = decode(decoder, payload, JPEG_BITMAP_FMT_32BIT, jpeg.size());
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.pixels, rgb_to_pixels32(jpeg_reference_decode(jpeg)));
}

TEST(JpegDecoder, GrayscalePicturesComeOutGrey) {
    std::vector<uint8_t> gray(12 * 6);
    for (size_t i = 0; i < gray.size(); i++) {
        gray[i] = uint8_t(i * 3);
    }
    JpegEncodeOptions options;
    options.grayscale = true;
    std::vector<uint8_t> jpeg = jpeg_encode(gray, 12, 6, options);
    JpegDecoder decoder;
    Decoded d = decode(decoder, jpeg);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.pixels, rgb_to_pixels32(jpeg_reference_decode(jpeg)));
    EXPECT_EQ(d.pixels[0], d.pixels[1]);
    EXPECT_EQ(d.pixels[1], d.pixels[2]);
}

// Bad data fails that one image, never the process, and leaves the decoder ready for the next image.
TEST(JpegDecoder, BadDataFailsTheImageAndTheDecoderGoesOn) {
    std::vector<uint8_t> good = jpeg_encode(make_test_rgb(TestPicture::Photo, 40, 24), 40, 24);
    std::vector<uint8_t> corrupt_header = good;
    corrupt_header[3] ^= 0xFF;  // the first marker after SOI
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        size_t size;
    };
    const Case cases[] = {
        {"empty", {}, 0},
        {"not a JPEG", std::vector<uint8_t>(100, 0x42), 100},
        {"only SOI", good, 2},
        {"ends inside the header", good, 60},
        {"ends inside the scan", good, good.size() / 2},
        {"ends before EOI", good, good.size() - 2},
        {"corrupt marker", corrupt_header, corrupt_header.size()},
    };
    JpegDecoder decoder;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // The bytes past the given size are out of bounds for the decoder: copy exactly those given.
        std::vector<uint8_t> bytes(c.bytes.begin(), c.bytes.begin() + ptrdiff_t(c.size));
        EXPECT_FALSE(decode(decoder, bytes).ok);
        Decoded after = decode(decoder, good);
        ASSERT_TRUE(after.ok);
        EXPECT_EQ(after.pixels, rgb_to_pixels32(jpeg_reference_decode(good)));
    }
}

TEST(JpegDecoder, DecodeWithoutABegunImageFails) {
    std::vector<uint8_t> jpeg = jpeg_encode(make_test_rgb(TestPicture::Photo, 4, 4), 4, 4);
    JpegDecoder decoder;
    uint8_t out[64];
    EXPECT_FALSE(decoder.decode(out, 16, JPEG_BITMAP_FMT_32BIT));
    ASSERT_TRUE(decode(decoder, jpeg).ok);
    EXPECT_FALSE(decoder.decode(out, 16, JPEG_BITMAP_FMT_32BIT)) << "an image decodes once";
}

// A progressive picture of one scan per coefficient passes the scan limit: refused instead of taking a pass
// over the image for every scan.
TEST(JpegDecoder, PicturesOfTooManyScansFail) {
    JpegEncodeOptions options;
    options.scans.push_back({3, {0, 1, 2}, 0, 0, 0, 0});
    for (int component = 0; component < 3; component++) {
        for (int k = 1; k < 64; k++) {
            jpeg_scan_info scan = {1, {component}, k, k, 0, 0};
            options.scans.push_back(scan);
        }
    }
    ASSERT_GT(int(options.scans.size()), kJpegMaxScans);
    std::vector<uint8_t> jpeg = jpeg_encode(make_test_rgb(TestPicture::Photo, 16, 16), 16, 16, options);
    JpegDecoder decoder;
    EXPECT_FALSE(decode(decoder, jpeg).ok);

    options.scans.resize(kJpegMaxScans);  // a valid script still, with as many scans as allowed
    jpeg = jpeg_encode(make_test_rgb(TestPicture::Photo, 16, 16), 16, 16, options);
    EXPECT_TRUE(decode(decoder, jpeg).ok);
}

}  // namespace
