// Span helpers against a per-pixel reference, and the bitmap conversions.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "canvas/pixman_utils.h"
#include "raster_test_image.h"

namespace {

// The RasterOp applied bit by bit: result bit = bit 3 - (2s + d) of the code.
uint32_t reference_rop(int rop, uint32_t s, uint32_t d, int bits) {
    uint32_t result = 0;
    for (int i = 0; i < bits; i++) {
        const unsigned index = ((s >> i) & 1) << 1 | ((d >> i) & 1);
        result |= uint32_t((rop >> (3 - index)) & 1) << i;
    }
    return result;
}

int floor_mod(int value, int size) {
    return ((value % size) + size) % size;
}

pixman_format_code_t format_of(int bpp) {
    return bpp == 8 ? PIXMAN_a8 : bpp == 16 ? PIXMAN_r5g6b5 : PIXMAN_a8r8g8b8;
}

uint32_t bpp_mask(int bpp) {
    return bpp == 32 ? 0xFFFFFFFF : (1u << bpp) - 1;
}

struct Rect {
    int x, y, width, height;
    bool contains(int px, int py) const { return px >= x && px < x + width && py >= y && py < y + height; }
};

// Source pixel of (x, y) for the three kinds of span; nullopt-like: the rectangle tells whether it is drawn.
enum class SourceKind { solid, tiled, copied };

// Runs one routine over a random destination and compares every pixel with the reference: drawn pixels take
// rop(source, before), the others keep their value. The destination is bottom-up when asked.
void check_against_reference(SourceKind kind, int bpp, int rop, bool bottom_up, std::mt19937& random) {
    const int width = 13, height = 7;
    TestImage dest(format_of(bpp), width, height, bottom_up);
    dest.fill_random(random);
    const std::vector<uint32_t> before = dest.pixels();
    const Rect rect = {int(random() % 4), int(random() % 3), 1 + int(random() % 9), 1 + int(random() % 4)};
    const uint32_t value = uint32_t(random());
    TestImage tile(format_of(bpp), 1 + int(random() % 5), 1 + int(random() % 4), !bottom_up);
    tile.fill_random(random);
    const int offset_x = int(random() % 41) - 20, offset_y = int(random() % 41) - 20;
    TestImage src(format_of(bpp), width, height, !bottom_up);
    src.fill_random(random);
    const int src_x = int(random() % 4), src_y = int(random() % 3);

    auto source = [&](int x, int y) -> uint32_t {
        switch (kind) {
            case SourceKind::solid:
                return value & bpp_mask(bpp);
            case SourceKind::tiled:
                return tile.pixel(floor_mod(x - offset_x, tile.width()),
                                  floor_mod(y - offset_y, tile.height()));
            default:
                return src.pixel(src_x + x - rect.x, src_y + y - rect.y);
        }
    };

    switch (kind) {
        case SourceKind::solid:
            spice_pixman_fill_rect_rop(dest.get(), rect.x, rect.y, rect.width, rect.height, value,
                                       RasterOp(rop));
            break;
        case SourceKind::tiled:
            spice_pixman_tile_rect_rop(dest.get(), rect.x, rect.y, rect.width, rect.height, tile.get(),
                                       offset_x, offset_y, RasterOp(rop));
            break;
        case SourceKind::copied:
            spice_pixman_blit_rop(dest.get(), src.get(), src_x, src_y, rect.x, rect.y, rect.width,
                                  rect.height, RasterOp(rop));
            break;
    }

    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            const uint32_t old = before[size_t(y * width + x)];
            const uint32_t expected = rect.contains(x, y) ? reference_rop(rop, source(x, y), old, bpp) : old;
            ASSERT_EQ(dest.pixel(x, y), expected) << "pixel " << x << "," << y;
        }
    }
    ASSERT_TRUE(dest.guards_intact());
}

TEST(PixmanSpans, EveryOperationMatchesTheReference) {
    std::mt19937 random(7);
    for (SourceKind kind : {SourceKind::solid, SourceKind::tiled, SourceKind::copied}) {
        for (int bpp : {8, 16, 32}) {
            for (int rop = 0; rop < 16; rop++) {
                for (bool bottom_up : {false, true}) {
                    SCOPED_TRACE(testing::Message() << "kind " << int(kind) << ", " << bpp << " bits, rop "
                                                    << rop << (bottom_up ? ", bottom-up" : ""));
                    check_against_reference(kind, bpp, rop, bottom_up, random);
                }
            }
        }
    }
}

// The routines without an operation (pixman's fill and block transfer where it takes them) copy like
// ROP_COPY.
TEST(PixmanSpans, PlainFillTileAndBlitCopy) {
    std::mt19937 random(11);
    for (int bpp : {8, 16, 32}) {
        for (bool bottom_up : {false, true}) {
            SCOPED_TRACE(testing::Message() << bpp << " bits" << (bottom_up ? ", bottom-up" : ""));
            TestImage filled(format_of(bpp), 9, 5, bottom_up), tiled(format_of(bpp), 9, 5, bottom_up);
            TestImage blitted(format_of(bpp), 9, 5, bottom_up);
            TestImage tile(format_of(bpp), 3, 2, !bottom_up), src(format_of(bpp), 9, 5, !bottom_up);
            tile.fill_random(random);
            src.fill_random(random);
            spice_pixman_fill_rect(filled.get(), 1, 1, 7, 3, 0xDEADBEEF);
            spice_pixman_tile_rect(tiled.get(), 1, 1, 7, 3, tile.get(), -4, 5);
            spice_pixman_blit(blitted.get(), src.get(), 2, 0, 1, 1, 7, 3);
            for (int y = 0; y < 5; y++) {
                for (int x = 0; x < 9; x++) {
                    const bool inside = x >= 1 && x < 8 && y >= 1 && y < 4;
                    ASSERT_EQ(filled.pixel(x, y), inside ? 0xDEADBEEF & bpp_mask(bpp) : 0u);
                    ASSERT_EQ(tiled.pixel(x, y),
                              inside ? tile.pixel(floor_mod(x + 4, 3), floor_mod(y - 5, 2)) : 0u);
                    ASSERT_EQ(blitted.pixel(x, y), inside ? src.pixel(x + 1, y - 1) : 0u);
                }
            }
            EXPECT_TRUE(filled.guards_intact() && tiled.guards_intact() && blitted.guards_intact());
        }
    }
}

TEST(PixmanSpans, TilePhaseFollowsTheOffset) {
    TestImage tile(PIXMAN_x8r8g8b8, 3, 1);
    for (int x = 0; x < 3; x++) {
        tile.set_pixel(x, 0, uint32_t(x));
    }
    // Anchored at x = 1, the row filled from x = 0 shows tile columns 2, 0, 1, 2, 0; an offset moved by a
    // whole number of tiles (either way) shows the same.
    for (int offset_x : {1, 4, 31, -2}) {
        TestImage dest(PIXMAN_x8r8g8b8, 5, 1);
        spice_pixman_tile_rect(dest.get(), 0, 0, 5, 1, tile.get(), offset_x, 0);
        EXPECT_EQ(dest.pixels(), (std::vector<uint32_t>{2, 0, 1, 2, 0})) << "offset " << offset_x;
    }
}

TEST(PixmanSpans, CopiesAreCutToTheSource) {
    TestImage src(PIXMAN_x8r8g8b8, 10, 2);
    for (int x = 0; x < 10; x++) {
        src.set_pixel(x, 0, 100 + uint32_t(x));
    }
    // src_x -5 and width 10: the five pixels from source x 0 land from dest x 5 on.
    TestImage dest(PIXMAN_x8r8g8b8, 12, 1);
    spice_pixman_blit(dest.get(), src.get(), -5, 0, 0, 0, 10, 1);
    EXPECT_EQ(dest.pixels(), (std::vector<uint32_t>{0, 0, 0, 0, 0, 100, 101, 102, 103, 104, 0, 0}));

    // Wholly outside the source: nothing written, nothing reported.
    TestImage untouched(PIXMAN_x8r8g8b8, 4, 1);
    testing::internal::CaptureStderr();
    spice_pixman_blit_rop(untouched.get(), src.get(), 10, 0, 0, 0, 4, 1, ROP_XOR);
    spice_pixman_blit_colorkey(untouched.get(), src.get(), 0, 5, 0, 0, 4, 1, 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(untouched.pixels(), (std::vector<uint32_t>{0, 0, 0, 0}));
}

TEST(PixmanSpans, ColorKeySkipsMatchingPixels) {
    const struct {
        pixman_format_code_t format;
        uint32_t key;
        std::vector<uint32_t> src, expected;  // destination starts as all 7s
    } cases[] = {
        // 32 bits: the fourth byte is left out of the comparison, but copied.
        {PIXMAN_x8r8g8b8,
         0xFF000000,
         {0x00000000, 0xAB000000, 0x00000001, 0xAB123456},
         {7, 7, 1, 0xAB123456}},
        {PIXMAN_x1r5g5b5, 0xFFFF1234, {0x1234, 0x1235, 0x0034, 0x1234}, {7, 0x1235, 0x0034, 7}},
        {PIXMAN_a8, 0x0F, {0x0F, 0x1F, 0x00, 0x0F}, {7, 0x1F, 0x00, 7}},
    };
    for (const auto& c : cases) {
        TestImage src(c.format, 4, 1), dest(c.format, 4, 1);
        for (int x = 0; x < 4; x++) {
            src.set_pixel(x, 0, c.src[size_t(x)]);
            dest.set_pixel(x, 0, 7);
        }
        spice_pixman_blit_colorkey(dest.get(), src.get(), 0, 0, 0, 0, 4, 1, c.key);
        EXPECT_EQ(dest.pixels(), c.expected) << "format " << c.format;
    }
}

TEST(PixmanSpans, CopyWithinHandlesOverlap) {
    const struct {
        int src_x, src_y, dest_x, dest_y;
    } moves[] = {{0, 0, 0, 1}, {0, 1, 0, 0}, {0, 0, 1, 0}, {1, 0, 0, 0}, {1, 1, 0, 2}, {0, 2, 2, 0}};
    std::mt19937 random(3);
    for (const auto& m : moves) {
        TestImage image(PIXMAN_r5g6b5, 8, 6);
        image.fill_random(random);
        const std::vector<uint32_t> before = image.pixels();
        spice_pixman_copy_within(image.get(), m.src_x, m.src_y, 5, 3, m.dest_x, m.dest_y);
        for (int y = 0; y < 6; y++) {
            for (int x = 0; x < 8; x++) {
                const bool moved = x >= m.dest_x && x < m.dest_x + 5 && y >= m.dest_y && y < m.dest_y + 3;
                const int from_x = moved ? x - m.dest_x + m.src_x : x;
                const int from_y = moved ? y - m.dest_y + m.src_y : y;
                ASSERT_EQ(image.pixel(x, y), before[size_t(from_y * 8 + from_x)])
                    << "move " << m.src_x << "," << m.src_y << " -> " << m.dest_x << "," << m.dest_y;
            }
        }
    }
}

// What server data can bring about is refused: the destination keeps its pixels.
TEST(PixmanSpans, UnusableImagesAreRefused) {
    TestImage dest(PIXMAN_x8r8g8b8, 4, 2), src16(PIXMAN_r5g6b5, 4, 2), empty_tile(PIXMAN_x8r8g8b8, 0, 2);
    TestImage a1(PIXMAN_a1, 32, 2);
    dest.fill_bytes(0x11);
    src16.fill_bytes(0x22);
    spice_pixman_tile_rect(dest.get(), 0, 0, 4, 2, empty_tile.get(), 0, 0);
    spice_pixman_tile_rect_rop(dest.get(), 0, 0, 4, 2, src16.get(), 0, 0, ROP_OR);
    spice_pixman_blit(dest.get(), src16.get(), 0, 0, 0, 0, 4, 2);
    spice_pixman_blit_rop(dest.get(), src16.get(), 0, 0, 0, 0, 4, 2, ROP_OR);
    spice_pixman_blit_colorkey(dest.get(), src16.get(), 0, 0, 0, 0, 4, 2, 0);
    for (uint32_t pixel : dest.pixels()) {
        EXPECT_EQ(pixel, 0x11111111u);
    }
    spice_pixman_fill_rect_rop(a1.get(), 0, 0, 32, 2, 1, ROP_SET);
    EXPECT_EQ(a1.row(0)[0], 0);
}

// ---- Bitmaps ----

SpicePalette* make_palette(std::vector<uint32_t>& storage, std::vector<uint32_t> entries) {
    static SpicePalette palette;
    storage = std::move(entries);
    palette.unique = 0;
    palette.num_ents = uint16_t(storage.size());
    palette.ents = storage.data();
    return &palette;
}

std::vector<uint32_t> image_pixels(pixman_image_t* image) {
    std::vector<uint32_t> out;
    const int bpp = PIXMAN_FORMAT_BPP(pixman_image_get_format(image));
    for (int y = 0; y < pixman_image_get_height(image); y++) {
        const uint8_t* row = reinterpret_cast<const uint8_t*>(pixman_image_get_data(image)) +
                             ptrdiff_t(y) * pixman_image_get_stride(image);
        for (int x = 0; x < pixman_image_get_width(image); x++) {
            uint32_t v = 0;
            memcpy(&v, row + x * bpp / 8, size_t(bpp / 8));
            out.push_back(v);
        }
    }
    return out;
}

struct BitmapCase {
    const char* name;
    int format;
    int flags;
    int width, height, stride;
    std::vector<uint8_t> data;
    uint32_t palette_surface_format;
    std::vector<uint32_t> palette;
    pixman_format_code_t expected_format;
    std::vector<uint32_t> expected;
};

TEST(PixmanBitmaps, ConvertIntoTheirNaturalFormat) {
    const int top_down = SPICE_BITMAP_FLAGS_TOP_DOWN;
    const BitmapCase cases[] = {
        {"1-bit, most significant bit first",
         2,
         top_down,
         8,
         1,
         4,
         {0x80, 0, 0, 0},
         32,
         {0x111, 0x222},
         PIXMAN_x8r8g8b8,
         {0x222, 0x111, 0x111, 0x111, 0x111, 0x111, 0x111, 0x111}},
        {"4-bit, odd width",
         4,
         top_down,
         3,
         1,
         4,
         {0x12, 0x30, 0, 0},
         32,
         {0, 0xA1, 0xA2, 0xA3},
         PIXMAN_x8r8g8b8,
         {0xA1, 0xA2, 0xA3}},
        {"8-bit into 16 bits takes the entries' low half",
         5,
         top_down,
         2,
         1,
         4,
         {1, 0, 0, 0},
         16,
         {0xFFFF0001, 0xFFFF7C00},
         PIXMAN_x1r5g5b5,
         {0x7C00, 0x0001}},
        {"indices past the palette take entry 0",
         5,
         top_down,
         3,
         1,
         4,
         {1, 2, 200, 0},
         32,
         {0x10, 0x20},
         PIXMAN_x8r8g8b8,
         {0x20, 0x10, 0x10}},
        {"1-bit with a one-entry palette",
         2,
         top_down,
         2,
         1,
         4,
         {0xC0, 0, 0, 0},
         96,
         {0x33},
         PIXMAN_a8r8g8b8,
         {0x33, 0x33}},
        {"24-bit",
         7,
         top_down,
         2,
         1,
         8,
         {1, 2, 3, 4, 5, 6, 0, 0},
         0,
         {},
         PIXMAN_x8r8g8b8,
         {0x030201, 0x060504}},
        {"bottom-up: the first stored row is the bottom one",
         8,
         0,
         1,
         2,
         4,
         {1, 0, 0, 0, 2, 0, 0, 0},
         0,
         {},
         PIXMAN_x8r8g8b8,
         {2, 1}},
        {"16-bit", 6, top_down, 2, 1, 4, {0x34, 0x12, 0x78, 0x56}, 0, {}, PIXMAN_x1r5g5b5, {0x1234, 0x5678}},
        {"alpha", 10, top_down, 3, 1, 4, {9, 8, 7, 0}, 0, {}, PIXMAN_a8, {9, 8, 7}},
    };
    for (const BitmapCase& c : cases) {
        std::vector<uint8_t> data = c.data;
        std::vector<uint32_t> storage;
        SpicePalette* palette = c.palette.empty() ? nullptr : make_palette(storage, c.palette);
        pixman_image_t* image =
            spice_bitmap_to_pixman(nullptr, c.format, c.flags, c.width, c.height, data.data(), c.stride,
                                   c.palette_surface_format, palette);
        ASSERT_NE(image, nullptr) << c.name;
        EXPECT_EQ(pixman_image_get_format(image), c.expected_format) << c.name;
        EXPECT_EQ(image_pixels(image), c.expected) << c.name;
        pixman_image_unref(image);
    }
}

TEST(PixmanBitmaps, AlphaBitmapKeepsItsAlphaInAnOpaqueImage) {
    uint8_t data[] = {0x44, 0x33, 0x22, 0x11};
    pixman_image_t* image =
        spice_bitmap_convert_into_pixman(PIXMAN_x8r8g8b8, nullptr, SPICE_BITMAP_FMT_RGBA,
                                         SPICE_BITMAP_FLAGS_TOP_DOWN, 1, 1, data, 4, 0, nullptr);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(pixman_image_get_format(image), PIXMAN_x8r8g8b8);
    EXPECT_EQ(image_pixels(image), (std::vector<uint32_t>{0x11223344}));
    pixman_image_unref(image);
}

TEST(PixmanBitmaps, OtherFormatsAreConvertedByPixman) {
    // A bottom-up 32-bit bitmap (wrapped without copying) and a palette bitmap (converted first) into 5-5-5.
    uint8_t direct[] = {0x00, 0x00, 0xFF, 0, 0xFF, 0x00, 0x00, 0};
    pixman_image_t* image = spice_bitmap_convert_into_pixman(PIXMAN_x1r5g5b5, nullptr, SPICE_BITMAP_FMT_32BIT,
                                                             0, 1, 2, direct, 4, 0, nullptr);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image_pixels(image), (std::vector<uint32_t>{0x001F, 0x7C00}));
    pixman_image_unref(image);

    std::vector<uint32_t> storage;
    uint8_t indices[] = {1, 0, 0, 0};
    image = spice_bitmap_convert_into_pixman(PIXMAN_x1r5g5b5, nullptr, SPICE_BITMAP_FMT_8BIT,
                                             SPICE_BITMAP_FLAGS_TOP_DOWN, 2, 1, indices, 4, 32,
                                             make_palette(storage, {0x000000FF, 0x00FF0000}));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image_pixels(image), (std::vector<uint32_t>{0x7C00, 0x001F}));
    pixman_image_unref(image);
}

TEST(PixmanBitmaps, WrapSharesTheBitmapMemory) {
    uint32_t data[] = {1, 2, 3, 4};
    pixman_image_t* view =
        spice_bitmap_wrap_pixman(SPICE_BITMAP_FMT_32BIT, 0, 2, 2, reinterpret_cast<uint8_t*>(data), 8);
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(image_pixels(view), (std::vector<uint32_t>{3, 4, 1, 2}));
    data[0] = 9;
    EXPECT_EQ(image_pixels(view)[2], 9u);
    pixman_image_unref(view);
    EXPECT_EQ(spice_bitmap_wrap_pixman(SPICE_BITMAP_FMT_32BIT, 0, 2, 2, reinterpret_cast<uint8_t*>(data), 6),
              nullptr);
    EXPECT_EQ(spice_bitmap_wrap_pixman(SPICE_BITMAP_FMT_8BIT, 0, 2, 2, reinterpret_cast<uint8_t*>(data), 8),
              nullptr);
}

// Bitmaps that cannot be converted give no image, and a given destination is left alone.
TEST(PixmanBitmaps, UnusableBitmapsGiveNoImage) {
    std::vector<uint32_t> storage;
    SpicePalette* palette = make_palette(storage, {1, 2});
    uint8_t data[16] = {0xFF, 0xFF, 0xFF, 0xFF};
    const struct {
        const char* name;
        int format;
        int width;
        int stride;
        uint32_t palette_surface_format;
        const SpicePalette* palette;
    } cases[] = {
        {"1-bit, least significant bit first", 1, 8, 4, 32, palette},
        {"4-bit, low nibble first", 3, 8, 4, 32, palette},
        {"palette for 5-6-5", 5, 2, 4, 80, palette},
        {"no palette", 5, 2, 4, 32, nullptr},
        {"unknown format", 11, 2, 8, 32, palette},
        {"stride shorter than a row", 8, 2, 4, 32, palette},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(spice_bitmap_to_pixman(nullptr, c.format, SPICE_BITMAP_FLAGS_TOP_DOWN, c.width, 1, data,
                                         c.stride, c.palette_surface_format, c.palette),
                  nullptr)
            << c.name;
        TestImage dest(PIXMAN_x8r8g8b8, 8, 1);
        EXPECT_EQ(spice_bitmap_convert_into_pixman(PIXMAN_x8r8g8b8, dest.get(), c.format,
                                                   SPICE_BITMAP_FLAGS_TOP_DOWN, c.width, 1, data, c.stride,
                                                   c.palette_surface_format, c.palette),
                  nullptr)
            << c.name;
        EXPECT_EQ(dest.pixel(0, 0), 0u) << c.name;
    }
    // A destination of another pixel width would be overrun.
    TestImage narrow(PIXMAN_r5g6b5, 2, 1);
    EXPECT_EQ(spice_bitmap_to_pixman(narrow.get(), SPICE_BITMAP_FMT_32BIT, SPICE_BITMAP_FLAGS_TOP_DOWN, 2, 1,
                                     data, 8, 0, nullptr),
              nullptr);
    EXPECT_TRUE(narrow.guards_intact());
}

TEST(PixmanSurfaceFormats, MapToPixmanFormats) {
    EXPECT_EQ(surface_format_to_pixman_format(SPICE_SURFACE_FMT_1_A), PIXMAN_a1);
    EXPECT_EQ(surface_format_to_pixman_format(SPICE_SURFACE_FMT_8_A), PIXMAN_a8);
    EXPECT_EQ(surface_format_to_pixman_format(SPICE_SURFACE_FMT_16_555), PIXMAN_x1r5g5b5);
    EXPECT_EQ(surface_format_to_pixman_format(SPICE_SURFACE_FMT_32_xRGB), PIXMAN_x8r8g8b8);
    EXPECT_EQ(surface_format_to_pixman_format(SPICE_SURFACE_FMT_16_565), PIXMAN_r5g6b5);
    EXPECT_EQ(surface_format_to_pixman_format(SPICE_SURFACE_FMT_32_ARGB), PIXMAN_a8r8g8b8);
    EXPECT_EQ(surface_format_to_pixman_format(24), pixman_format_code_t(0));
}

}  // namespace
