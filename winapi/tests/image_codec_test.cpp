// PNG and BMP conversions of device-independent bitmaps: round trips keep every pixel, and malformed or
// oversized input is refused before anything is allocated for it.
#include "../src/image_codec.h"

#include "winapi/image_codec.h"
#include "winapi/winbase.h"

#include "support/png_samples.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

using namespace winapi_internal;

namespace {

using test_support::kPngRgba2x2;

// More PNG files from the same encoder, one per colour type the decoder must expand: 8-bit palette 3x1
// (indices 2, 0, 1), 16-bit grey 2x1 (0x1234, 0xFFFF), and RGB headers that claim 40000x40000 (past the
// dimension limit) and 20000x20000 (within it, but past the pixel limit).
const uint8_t kPngPalette3x1[] = {
    0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48, 0x44,
    0x52, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x01, 0x08, 0x03, 0x00, 0x00, 0x00, 0x2c,
    0x3e, 0xe4, 0x86, 0x00, 0x00, 0x00, 0x09, 0x50, 0x4c, 0x54, 0x45, 0x0a, 0x14, 0x1e, 0x28,
    0x32, 0x3c, 0x46, 0x50, 0x5a, 0x16, 0xac, 0x84, 0x74, 0x00, 0x00, 0x00, 0x0c, 0x49, 0x44,
    0x41, 0x54, 0x78, 0x9c, 0x63, 0x60, 0x62, 0x60, 0x04, 0x00, 0x00, 0x0b, 0x00, 0x04, 0x54,
    0x95, 0xce, 0x8c, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};
const uint8_t kPngGray16[] = {0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d,
                              0x49, 0x48, 0x44, 0x52, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01,
                              0x10, 0x00, 0x00, 0x00, 0x00, 0x81, 0xd9, 0xfc, 0x15, 0x00, 0x00, 0x00,
                              0x0d, 0x49, 0x44, 0x41, 0x54, 0x78, 0x9c, 0x63, 0x10, 0x32, 0xf9, 0xff,
                              0x1f, 0x00, 0x03, 0xe6, 0x02, 0x45, 0x2e, 0x42, 0x96, 0x75, 0x00, 0x00,
                              0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};
const uint8_t kPngHuge[] = {
    0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48, 0x44, 0x52, 0x00,
    0x00, 0x9c, 0x40, 0x00, 0x00, 0x9c, 0x40, 0x08, 0x02, 0x00, 0x00, 0x00, 0xde, 0x6e, 0x99, 0x52, 0x00,
    0x00, 0x00, 0x09, 0x49, 0x44, 0x41, 0x54, 0x78, 0x9c, 0x63, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01, 0x5e,
    0xff, 0x7d, 0xf9, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};
// 8000x8000 RGB announced (within the pixel cap) with a few bytes of data.
const uint8_t kPngTooShortForItsSize[] = {
    0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48, 0x44, 0x52, 0x00,
    0x00, 0x1f, 0x40, 0x00, 0x00, 0x1f, 0x40, 0x08, 0x02, 0x00, 0x00, 0x00, 0x89, 0x93, 0x3a, 0xa3, 0x00,
    0x00, 0x00, 0x09, 0x49, 0x44, 0x41, 0x54, 0x78, 0x9c, 0x63, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01, 0x5e,
    0xff, 0x7d, 0xf9, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};
const uint8_t kPngPastPixelCap[] = {
    0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48, 0x44, 0x52, 0x00,
    0x00, 0x4e, 0x20, 0x00, 0x00, 0x4e, 0x20, 0x08, 0x02, 0x00, 0x00, 0x00, 0x6c, 0x12, 0xd1, 0x6e, 0x00,
    0x00, 0x00, 0x09, 0x49, 0x44, 0x41, 0x54, 0x78, 0x9c, 0x63, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01, 0x5e,
    0xff, 0x7d, 0xf9, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};

void put32(std::vector<uint8_t>& v, size_t at, uint32_t value) {
    for (int i = 0; i < 4; i++) {
        v[at + i] = (uint8_t)(value >> (8 * i));
    }
}

uint32_t get32(const std::vector<uint8_t>& v, size_t at) {
    return v[at] | (v[at + 1] << 8) | (v[at + 2] << 16) | ((uint32_t)v[at + 3] << 24);
}

struct DibShape {
    int32_t width;
    int32_t height;  // negative: top-down
    uint16_t bits;
    uint32_t compression;
    uint32_t header_size;
};

// The colour of pixel (x, y), y counted from the top: distinct everywhere, so a flipped or shifted row shows.
uint32_t colour_at(int x, int y) {
    return ((uint32_t)(x * 40 + 7) << 16) | ((uint32_t)(y * 50 + 3) << 8) | (uint32_t)(x * 13 + y * 29 + 1);
}

std::vector<uint8_t> make_dib(const DibShape& shape, bool alpha = false) {
    uint32_t masks = shape.compression == 3 && shape.header_size == 40 ? 12 : 0;
    uint32_t height = shape.height < 0 ? -shape.height : shape.height;
    uint32_t stride = (shape.width * shape.bits + 31) / 32 * 4;
    std::vector<uint8_t> dib(shape.header_size + masks + stride * height, 0);
    put32(dib, 0, shape.header_size);
    put32(dib, 4, (uint32_t)shape.width);
    put32(dib, 8, (uint32_t)shape.height);
    dib[12] = 1;
    dib[14] = (uint8_t)shape.bits;
    put32(dib, 16, shape.compression);
    if (shape.compression == 3) {
        put32(dib, 40, 0x00FF0000);
        put32(dib, 44, 0x0000FF00);
        put32(dib, 48, 0x000000FF);
    }
    uint8_t* rows = dib.data() + shape.header_size + masks;
    for (uint32_t y = 0; y < height; y++) {
        uint8_t* row = rows + (shape.height < 0 ? y : height - 1 - y) * stride;
        for (int x = 0; x < shape.width; x++) {
            uint32_t c = colour_at(x, (int)y);
            uint8_t* p = row + x * (shape.bits / 8);
            p[0] = (uint8_t)c;
            p[1] = (uint8_t)(c >> 8);
            p[2] = (uint8_t)(c >> 16);
            if (shape.bits == 32) {
                p[3] = alpha ? (uint8_t)(x * 60 + y) : 0;
            }
        }
    }
    return dib;
}

// Pixels of a decoded 32-bit bottom-up BI_RGB bitmap as 0xAARRGGBB, top row first.
std::vector<uint32_t> decoded_pixels(const std::vector<uint8_t>& dib) {
    EXPECT_GE(dib.size(), 40u);
    EXPECT_EQ(get32(dib, 0), 40u);
    EXPECT_EQ(dib[14], 32);
    EXPECT_EQ(get32(dib, 16), 0u);
    int32_t width = (int32_t)get32(dib, 4), height = (int32_t)get32(dib, 8);
    EXPECT_GT(height, 0);
    EXPECT_EQ(dib.size(), 40u + (size_t)width * height * 4);
    std::vector<uint32_t> pixels;
    for (int32_t y = 0; y < height; y++) {
        for (int32_t x = 0; x < width; x++) {
            pixels.push_back(get32(dib, 40 + ((height - 1 - y) * width + x) * 4));
        }
    }
    return pixels;
}

TEST(ImageCodecTest, PngOfEveryColourTypeBecomesBottomUpBgra) {
    struct Case {
        const char* name;
        const uint8_t* png;
        size_t size;
        int32_t width, height;
        std::vector<uint32_t> pixels;
    } cases[] = {
        {"rgba", kPngRgba2x2, sizeof(kPngRgba2x2), 2, 2, {0xFFFF0000, 0x8000FF00, 0x000000FF, 0xFFFFFFFF}},
        {"palette", kPngPalette3x1, sizeof(kPngPalette3x1), 3, 1, {0xFF46505A, 0xFF0A141E, 0xFF28323C}},
        {"grey 16-bit", kPngGray16, sizeof(kPngGray16), 2, 1, {0xFF121212, 0xFFFFFFFF}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> dib;
        ASSERT_TRUE(image_png_to_dib(c.png, c.size, &dib));
        EXPECT_EQ((int32_t)get32(dib, 4), c.width);
        EXPECT_EQ((int32_t)get32(dib, 8), c.height);
        EXPECT_EQ(decoded_pixels(dib), c.pixels);
    }
}

TEST(ImageCodecTest, DibSurvivesPngRoundTrip) {
    struct Case {
        const char* name;
        DibShape shape;
        bool alpha;
    } cases[] = {
        {"24-bit bottom-up, padded rows", {5, 3, 24, 0, 40}, false},
        {"24-bit top-down", {3, -4, 24, 0, 40}, false},
        {"32-bit BGRX bottom-up", {4, 2, 32, 0, 40}, false},
        {"32-bit with alpha, top-down", {3, -2, 32, 0, 40}, true},
        {"32-bit bit fields after a 40-byte header", {2, 3, 32, 3, 40}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> dib = make_dib(c.shape, c.alpha), png, back;
        ASSERT_TRUE(image_dib_to_png(dib.data(), dib.size(), &png));
        ASSERT_TRUE(image_png_to_dib(png.data(), png.size(), &back));
        int32_t height = c.shape.height < 0 ? -c.shape.height : c.shape.height;
        std::vector<uint32_t> expected;
        for (int y = 0; y < height; y++) {
            for (int x = 0; x < c.shape.width; x++) {
                uint32_t a = c.alpha ? (uint8_t)(x * 60 + y) : 0xFF;
                expected.push_back(a << 24 | colour_at(x, y));
            }
        }
        EXPECT_EQ(decoded_pixels(back), expected);
    }
}

TEST(ImageCodecTest, DibSurvivesBmpRoundTripAndFileHeaderIsRight) {
    for (DibShape shape :
         {DibShape{5, 3, 24, 0, 40}, DibShape{3, -2, 32, 3, 40}, DibShape{2, 2, 32, 3, 124}}) {
        std::vector<uint8_t> dib = make_dib(shape), bmp, back;
        if (shape.header_size == 124) {
            put32(dib, 52, 0xFF000000);  // alpha mask of the V5 header
        }
        ASSERT_TRUE(image_dib_to_bmp(dib.data(), dib.size(), &bmp));
        ASSERT_EQ(bmp.size(), dib.size() + 14);
        EXPECT_EQ(bmp[0], 'B');
        EXPECT_EQ(bmp[1], 'M');
        EXPECT_EQ(get32(bmp, 2), bmp.size());
        uint32_t masks = shape.compression == 3 && shape.header_size == 40 ? 12 : 0;
        EXPECT_EQ(get32(bmp, 10), 14 + shape.header_size + masks);
        ASSERT_TRUE(image_bmp_to_dib(bmp.data(), bmp.size(), &back));
        EXPECT_EQ(back, dib);
    }
}

TEST(ImageCodecTest, BmpWithGapBeforeRowsIsPacked) {
    std::vector<uint8_t> dib = make_dib({3, 2, 24, 0, 40}), bmp, back;
    ASSERT_TRUE(image_dib_to_bmp(dib.data(), dib.size(), &bmp));
    bmp.insert(bmp.begin() + 54, 10, 0xEE);  // ten bytes between the header and the rows
    put32(bmp, 10, 64);
    put32(bmp, 2, (uint32_t)bmp.size());
    ASSERT_TRUE(image_bmp_to_dib(bmp.data(), bmp.size(), &back));
    EXPECT_EQ(back, dib);
}

TEST(ImageCodecTest, MalformedBitmapsAreRefused) {
    struct Case {
        const char* name;
        size_t at;  // field to overwrite (SIZE_MAX: none)
        uint32_t value;
        long resize;  // bytes to add to (or drop from) the end
    } cases[] = {
        {"header size 39", 0, 39, 0},
        {"header size beyond the block", 0, 124, 0},
        {"width 0", 4, 0, 0},
        {"negative width", 4, (uint32_t)-4, 0},
        {"height 0", 8, 0, 0},
        {"height INT32_MIN", 8, 0x80000000u, 0},
        {"width 2^31-1: the stride overflows 32 bits", 4, 0x7FFFFFFF, 0},
        {"width past the dimension limit", 4, 40000, 0},
        {"2 planes", 12, 0x00180002, 0},
        {"8 bits per pixel", 12, 0x00080001, 0},
        {"16 bits per pixel", 12, 0x00100001, 0},
        {"run-length compression", 16, 1, 0},
        {"bit fields at 24 bits", 16, 3, 0},
        {"colour table of 300", 32, 300, 0},
        {"colour table past the rows", 32, 4, 0},
        {"one row byte missing", SIZE_MAX, 0, -1},
        {"header only", SIZE_MAX, 0, -(long)(4 * 4 * 3)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> dib = make_dib({4, 4, 24, 0, 40}), out;
        if (c.at != SIZE_MAX) {
            put32(dib, c.at, c.value);
        }
        dib.resize(dib.size() + c.resize);
        EXPECT_FALSE(image_dib_to_png(dib.data(), dib.size(), &out));
        EXPECT_FALSE(image_dib_to_bmp(dib.data(), dib.size(), &out));
    }
    std::vector<uint8_t> masks = make_dib({2, 2, 32, 3, 40}), out;
    put32(masks, 40, 0x0000F800);  // 5-6-5 style masks are not plain BGRX
    EXPECT_FALSE(image_dib_to_png(masks.data(), masks.size(), &out));
    std::vector<uint8_t> too_short(20, 0);
    EXPECT_FALSE(image_dib_to_png(too_short.data(), too_short.size(), &out));
}

TEST(ImageCodecTest, MalformedBmpFilesAreRefused) {
    std::vector<uint8_t> dib = make_dib({3, 2, 24, 0, 40}), good;
    ASSERT_TRUE(image_dib_to_bmp(dib.data(), dib.size(), &good));
    struct Case {
        const char* name;
        size_t at;
        uint32_t value;
        size_t keep;  // bytes kept from the start
    } cases[] = {
        {"wrong signature", 0, 0x4D43, SIZE_MAX},
        {"rows offset inside the file header", 10, 4, SIZE_MAX},
        {"rows offset inside the info header", 10, 30, SIZE_MAX},
        {"rows offset past the end", 10, 0xFFFFFFF0u, SIZE_MAX},
        {"rows cut short", SIZE_MAX, 0, 60},
        {"file header only", SIZE_MAX, 0, 14},
        {"truncated file header", SIZE_MAX, 0, 9},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> bmp = good, out;
        if (c.at == 0) {
            bmp[0] = (uint8_t)c.value;
            bmp[1] = (uint8_t)(c.value >> 8);
        } else if (c.at != SIZE_MAX) {
            put32(bmp, c.at, c.value);
        }
        bmp.resize(std::min(c.keep, bmp.size()));
        EXPECT_FALSE(image_bmp_to_dib(bmp.data(), bmp.size(), &out));
    }
}

TEST(ImageCodecTest, MalformedPngsAreRefused) {
    std::vector<uint8_t> truncated(kPngRgba2x2, kPngRgba2x2 + sizeof(kPngRgba2x2) - 20);
    std::vector<uint8_t> bad_crc(kPngRgba2x2, kPngRgba2x2 + sizeof(kPngRgba2x2));
    bad_crc[29] ^= 0xFF;  // the IHDR checksum
    std::vector<uint8_t> not_png = {'G', 'I', 'F', '8', '9', 'a', 0, 0, 0, 0};
    struct Case {
        const char* name;
        const uint8_t* data;
        size_t size;
    } cases[] = {
        {"truncated in the data", truncated.data(), truncated.size()},
        {"header checksum wrong", bad_crc.data(), bad_crc.size()},
        {"dimensions past the limit", kPngHuge, sizeof(kPngHuge)},
        {"pixels past the limit", kPngPastPixelCap, sizeof(kPngPastPixelCap)},
        {"far too little data for its size", kPngTooShortForItsSize, sizeof(kPngTooShortForItsSize)},
        {"not a PNG", not_png.data(), not_png.size()},
        {"signature only", kPngRgba2x2, 8},
        {"empty", kPngRgba2x2, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> out;
        EXPECT_FALSE(image_png_to_dib(c.data, c.size, &out));
    }
}

TEST(ImageCodecTest, DecodeToDibGivesAMoveableGlobalBlock) {
    HGLOBAL block = image_codec_decode_to_dib(kPngRgba2x2, sizeof(kPngRgba2x2), IMAGE_CODEC_PNG);
    ASSERT_NE(block, nullptr);
    ASSERT_EQ(GlobalSize(block), 40u + 16u);
    const uint8_t* bytes = (const uint8_t*)GlobalLock(block);
    ASSERT_NE(bytes, nullptr);
    EXPECT_NE((const void*)bytes, (const void*)block);
    EXPECT_EQ(get32(std::vector<uint8_t>(bytes, bytes + 56), 40), 0x000000FFu);  // bottom row first: blue
    GlobalUnlock(block);
    EXPECT_EQ(GlobalFree(block), nullptr);

    EXPECT_EQ(image_codec_decode_to_dib(kPngRgba2x2, sizeof(kPngRgba2x2), IMAGE_CODEC_BMP), nullptr);
    EXPECT_EQ(image_codec_decode_to_dib(kPngRgba2x2, sizeof(kPngRgba2x2), 99), nullptr);
}

}  // namespace
