#include <gtest/gtest.h>

#include <algorithm>

// The fixture first: canvas_utils.h brings the Windows macros IN and OUT, which the codec headers must not
// see.
#include "sw_canvas_fixture.h"

#include "canvas/canvas_utils.h"

namespace {

uint32_t gradient(int x, int y) {
    return uint32_t(0x010000 * y + x + 1);
}

struct Region {
    explicit Region(const std::vector<pixman_box32_t>& boxes) {
        pixman_region32_init_rects(&region, boxes.data(), int(boxes.size()));
    }
    ~Region() { pixman_region32_fini(&region); }
    bool contains(int x, int y) { return pixman_region32_contains_point(&region, x, y, nullptr); }
    pixman_region32_t region;
};

// An image of its own pixels with its format recorded, as the image fetch makes them, with one reference for
// the test.
struct Image {
    Image(pixman_format_code_t format, int width, int height, const std::function<uint32_t(int, int)>& pixel)
        : image(surface_create(nullptr, format, width, height, 1)) {
        for (int y = 0; y < height; y++) {
            for (int x = 0; x < width; x++) {
                pixman_image_get_data(image)[y * pixman_image_get_stride(image) / 4 + x] = pixel(x, y);
            }
        }
    }
    ~Image() { pixman_image_unref(image); }
    pixman_image_t* image;
};

TEST(SwCanvas, NewRecordsPixmanFormat) {
    TestCanvas canvas(4, 4, SPICE_SURFACE_FMT_16_565);
    pixman_format_code_t format{};
    ASSERT_TRUE(spice_pixman_image_get_format(canvas.image(), &format));
    EXPECT_EQ(format, PIXMAN_r5g6b5);
}

TEST(SwCanvas, CopyRegionNeverReadsOverwrittenPixels) {
    // Bands of one and of two rectangles, overlapping their own sources in every direction.
    const std::vector<pixman_box32_t> boxes = {{4, 4, 7, 6},   {9, 4, 12, 6}, {6, 6, 10, 8},
                                               {12, 6, 13, 8}, {4, 8, 7, 10}, {8, 8, 11, 10}};
    const int moves[][2] = {{0, 1}, {2, 0}, {1, 1}, {-2, 1}, {2, -1}, {-1, -1}, {0, -2}, {-2, 0}};
    for (const auto& move : moves) {
        TestCanvas canvas;
        canvas.fill(gradient);
        Region region(boxes);
        canvas.ops()->copy_region(canvas.get(), &region.region, move[0], move[1]);
        canvas.expect_pixels([&](int x, int y) {
            return region.contains(x, y) ? gradient(x - move[0], y - move[1]) : gradient(x, y);
        });
        if (::testing::Test::HasFailure()) {
            FAIL() << "dx " << move[0] << " dy " << move[1];
        }
    }
}

TEST(SwCanvas, ScaleImageNearestAndUnknownMode) {
    Image src(PIXMAN_x8r8g8b8, 10, 10, [](int x, int y) { return uint32_t(0x100 * y + x + 1); });
    TestCanvas canvas(24, 24);
    Region region({{0, 0, 20, 20}});
    canvas.ops()->scale_image(canvas.get(), &region.region, src.image, 0, 0, 10, 10, 0, 0, 20, 20,
                              SPICE_IMAGE_SCALE_MODE_NEAREST);
    canvas.expect_pixels(
        [](int x, int y) { return x < 20 && y < 20 ? uint32_t(0x100 * (y / 2) + x / 2 + 1) : 0u; });

    TestCanvas untouched(24, 24);
    untouched.ops()->scale_image(untouched.get(), &region.region, src.image, 0, 0, 10, 10, 0, 0, 20, 20, 2);
    untouched.expect_pixels([](int, int) { return 0u; });
}

TEST(SwCanvas, ScaleImageRopOnlyWithinRegion) {
    Image src(PIXMAN_x8r8g8b8, 2, 2, [](int x, int y) { return uint32_t(0x0F0F00 + 0x10 * y + x); });
    TestCanvas canvas;
    canvas.fill(gradient);
    // The destination rectangle reaches far beyond the canvas; only the region is drawn.
    Region region({{2, 2, 6, 4}});
    canvas.ops()->scale_image_rop(canvas.get(), &region.region, src.image, 0, 0, 2, 2, 0, 0, 8, 8,
                                  SPICE_IMAGE_SCALE_MODE_NEAREST, ROP_XOR);
    canvas.expect_pixels([&](int x, int y) {
        return region.contains(x, y) ? gradient(x, y) ^ uint32_t(0x0F0F00 + 0x10 * (y / 4) + x / 4)
                                     : gradient(x, y);
    });
}

TEST(SwCanvas, ScaledCopiesNeedTheSourceFormatRecord) {
    // A bare pixman image carries no format record: neither scaled copy draws from it.
    pixman_image_t* bare = pixman_image_create_bits(PIXMAN_x8r8g8b8, 2, 2, nullptr, 0);
    ASSERT_NE(bare, nullptr);
    std::fill_n(pixman_image_get_data(bare), 4, 0x00FFFFFFu);
    Region region({{0, 0, 8, 8}});
    TestCanvas rop;
    rop.ops()->scale_image_rop(rop.get(), &region.region, bare, 0, 0, 2, 2, 0, 0, 8, 8,
                               SPICE_IMAGE_SCALE_MODE_NEAREST, ROP_XOR);
    rop.expect_pixels([](int, int) { return 0u; });
    TestCanvas keyed;
    keyed.ops()->colorkey_scale_image(keyed.get(), &region.region, bare, 0, 0, 2, 2, 0, 0, 8, 8, 0);
    keyed.expect_pixels([](int, int) { return 0u; });
    pixman_image_unref(bare);
}

TEST(SwCanvas, BlendOverallAlphaAndDestinationAlpha) {
    Image red(PIXMAN_a8r8g8b8, 4, 4, [](int, int) { return 0xFFFF0000u; });
    Region region({{0, 0, 4, 4}});
    {
        TestCanvas canvas;
        canvas.ops()->blend_image(canvas.get(), &region.region, 0, red.image, 0, 0, 0, 0, 4, 4, 128);
        EXPECT_EQ(canvas.pixel(1, 1) & 0xFFFFFF, 0x800000u);
        EXPECT_EQ(canvas.pixel(5, 5), 0u);
    }
    // Without destination alpha the fourth byte is cleared when the corner pixel has it at 0xFF; with it, the
    // blend's alpha stays.
    for (int dest_has_alpha : {0, 1}) {
        TestCanvas canvas;
        canvas.fill([](int, int) { return 0xFF000000u; });
        canvas.ops()->blend_image(canvas.get(), &region.region, dest_has_alpha, red.image, 0, 0, 0, 0, 4, 4,
                                  255);
        EXPECT_EQ(canvas.pixel(2, 2), dest_has_alpha ? 0xFFFF0000u : 0x00FF0000u);
        EXPECT_EQ(canvas.pixel(4, 4), 0xFF000000u);
    }
}

TEST(SwCanvas, GetImageForceOpaqueSharesMemory) {
    TestCanvas argb(4, 4, SPICE_SURFACE_FMT_32_ARGB);
    pixman_image_t* opaque = argb.ops()->get_image(argb.get(), 1);
    EXPECT_EQ(pixman_image_get_format(opaque), PIXMAN_x8r8g8b8);
    EXPECT_EQ(pixman_image_get_data(opaque), pixman_image_get_data(argb.image()));
    pixman_image_unref(opaque);

    TestCanvas xrgb(4, 4);
    pixman_image_t* same = xrgb.ops()->get_image(xrgb.get(), 1);
    EXPECT_EQ(same, xrgb.image());
    pixman_image_unref(same);
}

// A one-bit glyph of rows given top row first; it is stored bottom row first.
struct TestGlyphString {
    TestGlyphString(int x, int y, std::vector<uint8_t> rows_top_first, int width) {
        data.assign(rows_top_first.rbegin(), rows_top_first.rend());
        glyph.render_pos = {x, y};
        glyph.glyph_origin = {0, 0};
        glyph.width = uint16_t(width);
        glyph.height = uint16_t(data.size());
        glyph.data = data.data();
        glyphs[0] = &glyph;
        storage.resize(sizeof(SpiceString));
        str = reinterpret_cast<SpiceString*>(storage.data());
        str->length = 1;
        str->flags = SPICE_STRING_FLAGS_RASTER_A1;
        str->glyphs = glyphs;
    }
    std::vector<uint8_t> data;
    SpiceRasterGlyph glyph;
    SpiceRasterGlyph* glyphs[1];
    std::vector<uint8_t> storage;
    SpiceString* str;
};

TEST(SwCanvasText, SolidGlyphOn16BitCanvas) {
    // Colour 0x001F with mask 31 and shift 5 is full blue.
    TestCanvas canvas(8, 8, SPICE_SURFACE_FMT_16_555);
    TestGlyphString text(2, 3, {0xF0, 0x90}, 4);
    SpiceRect box = rect(0, 0, 8, 8);
    SpiceClip clip = no_clip();
    SpiceText draw{};
    draw.str = text.str;
    draw.fore_brush = solid_brush(0x001F);
    draw.fore_mode = SPICE_ROPD_OP_PUT;
    canvas.ops()->draw_text(canvas.get(), &box, &clip, &draw);
    canvas.expect_pixels([](int x, int y) {
        const bool on = (y == 3 && x >= 2 && x < 6) || (y == 4 && (x == 2 || x == 5));
        return on ? 0x001Fu : 0u;
    });
}

TEST(SwCanvasText, BackgroundNeedsPutForeground) {
    TestGlyphString text(2, 3, {0xF0}, 4);
    SpiceRect box = rect(0, 0, 8, 8);
    SpiceClip clip = no_clip();
    for (uint16_t fore_mode : {uint16_t(SPICE_ROPD_OP_PUT), uint16_t(SPICE_ROPD_OP_XOR)}) {
        TestCanvas canvas(8, 8);
        SpiceText draw{};
        draw.str = text.str;
        draw.back_area = rect(0, 0, 8, 2);
        draw.back_brush = solid_brush(0x0000FF);
        draw.fore_brush = solid_brush(0xFF0000);
        draw.fore_mode = fore_mode;
        canvas.ops()->draw_text(canvas.get(), &box, &clip, &draw);
        EXPECT_EQ(canvas.pixel(0, 0), fore_mode == SPICE_ROPD_OP_PUT ? 0x0000FFu : 0u);
        EXPECT_EQ(canvas.pixel(3, 3) & 0xFFFFFF, fore_mode == SPICE_ROPD_OP_PUT ? 0xFF0000u : 0u);
    }
}

TEST(SwCanvasText, PatternKeepsCanvasPhaseAndIsResetAfterwards) {
    TestCanvas canvas(8, 8);
    TestBitmap pattern(4, 1, [](int x, int) { return uint32_t(0x10 + x); });
    pattern.image()->descriptor.flags = SPICE_IMAGE_FLAGS_CACHE_ME;
    TestGlyphString text(1, 2, {0xFF}, 8);
    SpiceRect box = rect(0, 0, 8, 8);
    SpiceClip clip = no_clip();
    SpiceText draw{};
    draw.str = text.str;
    draw.fore_brush = pattern_brush(pattern.image(), 2, 0);
    draw.fore_mode = SPICE_ROPD_OP_PUT;
    canvas.ops()->draw_text(canvas.get(), &box, &clip, &draw);
    for (int x = 1; x < 8; x++) {
        EXPECT_EQ(canvas.pixel(x, 2) & 0xFFFFFF, uint32_t(0x10 + (x + 2) % 4)) << x;
    }
    // The cached pattern shows as itself again: no translation, no repeat.
    pixman_image_t* cached = canvas.cache().images.at(pattern.image()->descriptor.id);
    pixman_image_t* shown = pixman_image_create_bits(PIXMAN_x8r8g8b8, 8, 2, nullptr, 0);
    pixman_image_composite32(PIXMAN_OP_SRC, cached, nullptr, shown, 0, 0, 0, 0, 0, 0, 8, 2);
    for (int x = 0; x < 8; x++) {
        EXPECT_EQ(pixman_image_get_data(shown)[x] & 0xFFFFFF, x < 4 ? uint32_t(0x10 + x) : 0u) << x;
    }
    pixman_image_unref(shown);
}

TEST(SwCanvasText, EmptyRegionVisitsBothPatterns) {
    TestCanvas canvas(8, 8);
    TestBitmap fore(2, 2, [](int, int) { return 1u; });
    TestBitmap back(2, 2, [](int, int) { return 2u; });
    fore.image()->descriptor.flags = SPICE_IMAGE_FLAGS_CACHE_ME;
    back.image()->descriptor.flags = SPICE_IMAGE_FLAGS_CACHE_ME;
    TestGlyphString text(2, 3, {0xF0}, 4);
    SpiceRect box = rect(20, 20, 30, 30);
    SpiceClip clip = no_clip();
    SpiceText draw{};
    draw.str = text.str;
    draw.fore_brush = pattern_brush(fore.image(), 0, 0);
    draw.back_brush = pattern_brush(back.image(), 0, 0);
    draw.fore_mode = SPICE_ROPD_OP_PUT;
    canvas.ops()->draw_text(canvas.get(), &box, &clip, &draw);
    EXPECT_EQ(canvas.cache().images.size(), 2u);
    canvas.expect_pixels([](int, int) { return 0u; });
}

TEST(SwCanvas, PutImageScalesAndRefusesEmptyDestination) {
    std::vector<uint32_t> pixels(8 * 2);
    for (int i = 0; i < 16; i++) {
        pixels[size_t(i)] = uint32_t(0x100 + i);
    }
    const uint8_t* data = reinterpret_cast<const uint8_t*>(pixels.data());
    {
        TestCanvas canvas(8, 8);
        SpiceRect dest = rect(0, 1, 8, 3);
        canvas.ops()->put_image(canvas.get(), nullptr, &dest, data, 8, 2, 32, nullptr);
        canvas.expect_pixels(
            [&](int x, int y) { return y >= 1 && y < 3 ? pixels[size_t((y - 1) * 8 + x)] : 0u; });
    }
    {
        // Half as wide: every other pixel, through a clip.
        TestCanvas canvas(8, 8);
        SpiceRect dest = rect(0, 0, 4, 2);
        Region clip({{0, 0, 3, 8}});
        canvas.ops()->put_image(canvas.get(), nullptr, &dest, data, 8, 2, 32, &clip.region);
        canvas.expect_pixels(
            [&](int x, int y) { return x < 3 && y < 2 ? pixels[size_t(y * 8 + 2 * x)] : 0u; });
    }
    {
        TestCanvas canvas(8, 8);
        for (SpiceRect dest : {rect(2, 2, 2, 4), rect(2, 2, 4, 2), rect(4, 4, 2, 6)}) {
            canvas.ops()->put_image(canvas.get(), nullptr, &dest, data, 8, 2, 32, nullptr);
        }
        SpiceRect dest = rect(0, 0, 8, 2);
        canvas.ops()->put_image(canvas.get(), nullptr, &dest, data, 8, 2, 8, nullptr);  // stride too short
        canvas.expect_pixels([](int, int) { return 0u; });
    }
}

TEST(SwCanvas, ClearAndReadBits) {
    TestCanvas canvas(8, 8, SPICE_SURFACE_FMT_16_555);
    canvas.fill([](int x, int y) { return uint32_t(x + 8 * y + 1); });
    uint16_t out[3][4] = {};
    SpiceRect area = rect(2, 1, 6, 4);
    canvas.ops()->read_bits(canvas.get(), reinterpret_cast<uint8_t*>(out), 8, &area);
    for (int y = 0; y < 3; y++) {
        for (int x = 0; x < 4; x++) {
            EXPECT_EQ(out[y][x], x + 2 + 8 * (y + 1) + 1);
        }
    }
    uint16_t untouched[4] = {7, 7, 7, 7};
    SpiceRect outside = rect(6, 0, 10, 1);
    canvas.ops()->read_bits(canvas.get(), reinterpret_cast<uint8_t*>(untouched), 8, &outside);
    EXPECT_EQ(untouched[0], 7);

    canvas.ops()->clear(canvas.get());
    canvas.expect_pixels([](int, int) { return 0u; });
}

TEST(SwCanvas, CacheBuildAndCopy) {
    TestCanvas canvas(8, 8);
    SpiceMsgDisplayDrawCacheBuild build{};
    build.cache_id = 5;
    build.format = SPICE_BITMAP_FMT_32BIT;
    build.area = rect(10, 10, 14, 13);
    canvas.ops()->draw_cache_build(canvas.get(), &build);
    ASSERT_EQ(canvas.cache().images.count(5), 1u);
    pixman_image_t* built = canvas.cache().images.at(5);
    EXPECT_EQ(pixman_image_get_width(built), 4);
    EXPECT_EQ(pixman_image_get_height(built), 3);
    EXPECT_EQ(pixman_image_get_format(built), PIXMAN_x8r8g8b8);

    // Copied at the box's corner, cut to the cached image; the canvas stays as it was.
    TestBitmap src(4, 4, [](int x, int y) { return uint32_t(0x100 * y + x + 1); });
    SpiceMsgDisplayDrawCacheCopy copy{};
    copy.data.src_bitmap = src.image();
    copy.data.src_area = rect(0, 0, 4, 4);
    copy.cache_id = 5;
    SpiceRect box = rect(1, 1, 5, 5);
    SpiceClip clip = no_clip();
    canvas.ops()->draw_cache_copy(canvas.get(), &box, &clip, &copy);
    const uint32_t* data = pixman_image_get_data(built);
    const int stride = pixman_image_get_stride(built) / 4;
    for (int y = 0; y < 3; y++) {
        for (int x = 0; x < 4; x++) {
            EXPECT_EQ(data[y * stride + x], x >= 1 && y >= 1 ? uint32_t(0x100 * (y - 1) + x) : 0u) << x << y;
        }
    }
    canvas.expect_pixels([](int, int) { return 0u; });

    // Unknown formats, empty and huge areas are refused; an unknown id copies nothing.
    const struct {
        uint8_t format;
        SpiceRect area;
    } refused[] = {{SPICE_BITMAP_FMT_8BIT, rect(0, 0, 4, 4)},
                   {11, rect(0, 0, 4, 4)},
                   {SPICE_BITMAP_FMT_32BIT, rect(4, 4, 4, 8)},
                   {SPICE_BITMAP_FMT_32BIT, rect(0, 0, INT32_MAX, 2)},
                   {SPICE_BITMAP_FMT_32BIT, rect(0, 0, 8192, 4096)},
                   {SPICE_BITMAP_FMT_32BIT, rect(INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX)}};
    for (const auto& c : refused) {
        build.cache_id = 6;
        build.format = c.format;
        build.area = c.area;
        canvas.ops()->draw_cache_build(canvas.get(), &build);
    }
    EXPECT_EQ(canvas.cache().images.count(6), 0u);
    copy.cache_id = 6;
    canvas.ops()->draw_cache_copy(canvas.get(), &box, &clip, &copy);
}

}  // namespace
