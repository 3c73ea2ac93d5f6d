#include <gtest/gtest.h>

#include "sw_canvas_fixture.h"

namespace {

uint32_t gradient(int x, int y) {
    return uint32_t(0x010000 * y + x + 1);
}

// Draws whatever a source image holds at (x, y): distinct and never 0.
uint32_t source_pixel(int x, int y) {
    return uint32_t(0x200000 + 0x100 * y + x);
}

// The image a pixman source shows when composited from (0, 0) into a larger image: a transform or repeat mode
// left on a shared image would show here.
std::vector<uint32_t> render(pixman_image_t* image, int width, int height) {
    pixman_image_t* dest = pixman_image_create_bits(PIXMAN_x8r8g8b8, width, height, nullptr, 0);
    pixman_image_composite32(PIXMAN_OP_SRC, image, nullptr, dest, 0, 0, 0, 0, 0, 0, width, height);
    const uint32_t* data = pixman_image_get_data(dest);
    std::vector<uint32_t> pixels(data, data + width * height);
    pixman_image_unref(dest);
    for (auto& p : pixels) {
        p &= 0xFFFFFF;
    }
    return pixels;
}

TEST(FixedToInt, RoundsHalfDown) {
    const struct {
        SPICE_FIXED28_4 value;
        int expected;
    } cases[] = {{0x10, 1}, {0x17, 1},   {0x18, 1},   {0x19, 2},   {0x1F, 2},
                 {0, 0},    {-0x10, -1}, {-0x17, -1}, {-0x18, -2}, {-0x19, -2}};
    for (const auto& c : cases) {
        EXPECT_EQ(fixed_to_int(c.value), c.expected) << c.value;
    }
}

TEST(DrawFill, SolidFillStaysInsideCanvasAndClip) {
    TestCanvas canvas;
    canvas.fill([](int, int) { return 0x111111u; });
    SpiceRect box = rect(-4, -4, 6, 20);
    TestClip clip({rect(0, 0, 3, 16), rect(4, 4, 16, 5)});
    SpiceFill fill{};
    fill.brush = solid_brush(0xABCDEF);
    fill.rop_descriptor = SPICE_ROPD_OP_PUT;
    canvas.ops()->draw_fill(canvas.get(), &box, &clip.clip, &fill);
    canvas.expect_pixels([&](int x, int y) {
        const bool drawn =
            inside(x, y, box) && (inside(x, y, rect(0, 0, 3, 16)) || inside(x, y, rect(4, 4, 16, 5)));
        return drawn ? 0xABCDEFu : 0x111111u;
    });
}

TEST(DrawFill, DescriptorsApplyTheirOperation) {
    const uint32_t brush = 0x0F0FF0, dest = 0x1100FF;
    const struct {
        uint16_t descriptor;
        uint32_t expected;
    } cases[] = {
        {SPICE_ROPD_OP_PUT, brush},
        {SPICE_ROPD_OP_OR, brush | dest},
        {SPICE_ROPD_OP_AND, brush & dest},
        {SPICE_ROPD_OP_XOR, brush ^ dest},
        {SPICE_ROPD_OP_PUT | SPICE_ROPD_INVERS_BRUSH, ~brush},
        {SPICE_ROPD_OP_BLACKNESS, 0},
        {SPICE_ROPD_OP_WHITENESS, 0xFFFFFFFF},
        {SPICE_ROPD_OP_INVERS, ~dest},
    };
    for (const auto& c : cases) {
        TestCanvas canvas;
        canvas.fill([&](int, int) { return dest; });
        SpiceRect box = rect(2, 2, 5, 5);
        SpiceClip clip = no_clip();
        SpiceFill fill{};
        fill.brush = solid_brush(brush);
        fill.rop_descriptor = c.descriptor;
        canvas.ops()->draw_fill(canvas.get(), &box, &clip, &fill);
        EXPECT_EQ(canvas.pixel(3, 3), c.expected) << "descriptor 0x" << std::hex << c.descriptor;
        EXPECT_EQ(canvas.pixel(5, 5), dest);
    }
}

TEST(DrawFill, PatternRepeatsFromItsPosition) {
    TestCanvas canvas;
    TestBitmap pattern(8, 2, [](int x, int y) { return uint32_t(0x100 * y + x + 1); });
    SpiceRect box = rect(0, 0, 16, 16);
    SpiceClip clip = no_clip();
    SpiceFill fill{};
    fill.brush = pattern_brush(pattern.image(), 5, 1);
    fill.rop_descriptor = SPICE_ROPD_OP_PUT;
    canvas.ops()->draw_fill(canvas.get(), &box, &clip, &fill);
    canvas.expect_pixels([](int x, int y) { return uint32_t(0x100 * ((y + 1) % 2) + (x + 3) % 8 + 1); });
}

TEST(DrawFill, EmptyRegionStillCachesPattern) {
    TestCanvas canvas;
    TestBitmap pattern(2, 2, source_pixel);
    pattern.image()->descriptor.flags = SPICE_IMAGE_FLAGS_CACHE_ME;
    SpiceRect box = rect(0, 0, 16, 16);
    TestClip clip({});
    SpiceFill fill{};
    fill.brush = pattern_brush(pattern.image(), 0, 0);
    fill.rop_descriptor = SPICE_ROPD_OP_PUT;
    canvas.ops()->draw_fill(canvas.get(), &box, &clip.clip, &fill);
    EXPECT_EQ(canvas.cache().images.count(pattern.image()->descriptor.id), 1u);
    canvas.expect_pixels([](int, int) { return 0u; });
}

TEST(DrawMask, InvertedMaskBlackensWhereBitsAreClear) {
    TestCanvas canvas(8, 4);
    canvas.fill([](int, int) { return 0x777777u; });
    TestBitmap mask({"11110000", "10101010", "00000000", "11111111"});
    SpiceRect box = rect(0, 0, 8, 4);
    SpiceClip clip = no_clip();
    SpiceWhiteness blackness{};
    blackness.mask = {SPICE_MASK_FLAGS_INVERS, {0, 0}, mask.image()};
    canvas.ops()->draw_blackness(canvas.get(), &box, &clip, &blackness);
    const char* rows[] = {"11110000", "10101010", "00000000", "11111111"};
    canvas.expect_pixels([&](int x, int y) { return rows[y][x] == '1' ? 0x777777u : 0u; });
}

TEST(DrawMask, MaskReadFromItsPositionPastAWordBoundary) {
    // Mask pixels 40-43 are set; 32-39 are set too, so reading from the rounded-down word without the shift
    // would show.
    TestCanvas canvas(8, 2);
    TestBitmap mask({"0000000000000000000000000000000011111111111100000000000000000000",
                     "0000000000000000000000000000000011111111000011110000000000000000"});
    SpiceRect box = rect(0, 0, 8, 2);
    SpiceClip clip = no_clip();
    SpiceWhiteness whiteness{};
    whiteness.mask = {0, {40, 0}, mask.image()};
    canvas.ops()->draw_whiteness(canvas.get(), &box, &clip, &whiteness);
    canvas.expect_pixels([](int x, int y) { return (y == 0 ? x < 4 : x >= 4) ? 0xFFFFFFFFu : 0u; });
}

TEST(DrawCopy, SameSizeCopiesWithOperation) {
    TestBitmap src(4, 4, source_pixel);
    for (uint16_t descriptor : {uint16_t(SPICE_ROPD_OP_PUT), uint16_t(SPICE_ROPD_OP_XOR)}) {
        TestCanvas canvas;
        canvas.fill(gradient);
        SpiceRect box = rect(5, 6, 7, 8);
        SpiceClip clip = no_clip();
        SpiceCopy copy{};
        copy.src_bitmap = src.image();
        copy.src_area = rect(1, 2, 3, 4);
        copy.rop_descriptor = descriptor;
        canvas.ops()->draw_copy(canvas.get(), &box, &clip, &copy);
        canvas.expect_pixels([&](int x, int y) {
            if (!inside(x, y, box)) {
                return gradient(x, y);
            }
            const uint32_t s = source_pixel(x - 4, y - 4);
            return descriptor == SPICE_ROPD_OP_PUT ? s : s ^ gradient(x, y);
        });
    }
}

TEST(DrawCopy, DifferentSizeScales) {
    TestCanvas canvas;
    TestBitmap src(2, 2, source_pixel);
    SpiceRect box = rect(4, 4, 8, 8);
    SpiceClip clip = no_clip();
    SpiceCopy copy{};
    copy.src_bitmap = src.image();
    copy.src_area = rect(0, 0, 2, 2);
    copy.rop_descriptor = SPICE_ROPD_OP_PUT;
    copy.scale_mode = SPICE_IMAGE_SCALE_MODE_NEAREST;
    canvas.ops()->draw_blend(canvas.get(), &box, &clip, &copy);
    canvas.expect_pixels(
        [&](int x, int y) { return inside(x, y, box) ? source_pixel((x - 4) / 2, (y - 4) / 2) : 0u; });
}

TEST(DrawCopy, SurfaceSourceAndMissingSource) {
    TestSurfaces surfaces;
    TestCanvas other(8, 8, SPICE_SURFACE_FMT_32_xRGB);
    other.fill(source_pixel);
    surfaces.canvases[7] = other.get();
    TestCanvas canvas(16, 16, SPICE_SURFACE_FMT_32_xRGB, nullptr, &surfaces);
    SpiceImage surface = surface_image(7);
    SpiceRect box = rect(0, 0, 4, 4);
    SpiceClip clip = no_clip();
    SpiceCopy copy{};
    copy.src_bitmap = &surface;
    copy.src_area = rect(2, 2, 6, 6);
    copy.rop_descriptor = SPICE_ROPD_OP_PUT;
    canvas.ops()->draw_copy(canvas.get(), &box, &clip, &copy);
    canvas.expect_pixels([&](int x, int y) { return inside(x, y, box) ? source_pixel(x + 2, y + 2) : 0u; });

    // An unknown surface and a missing image draw nothing.
    SpiceImage unknown = surface_image(8);
    copy.src_bitmap = &unknown;
    box = rect(8, 8, 12, 12);
    canvas.ops()->draw_copy(canvas.get(), &box, &clip, &copy);
    copy.src_bitmap = nullptr;
    canvas.ops()->draw_copy(canvas.get(), &box, &clip, &copy);
    EXPECT_EQ(canvas.pixel(9, 9), 0u);
}

TEST(DrawOpaque, CopiesSourceThenAppliesBrush) {
    TestCanvas canvas;
    TestBitmap src(4, 4, source_pixel);
    SpiceRect box = rect(0, 0, 4, 4);
    SpiceClip clip = no_clip();
    SpiceOpaque opaque{};
    opaque.src_bitmap = src.image();
    opaque.src_area = rect(0, 0, 4, 4);
    opaque.brush = solid_brush(0x30FF0F);
    opaque.rop_descriptor = SPICE_ROPD_OP_AND;
    canvas.ops()->draw_opaque(canvas.get(), &box, &clip, &opaque);
    canvas.expect_pixels(
        [&](int x, int y) { return inside(x, y, box) ? source_pixel(x, y) & 0x30FF0F : 0u; });
}

TEST(DrawInvers, InvertsRegion) {
    TestCanvas canvas;
    canvas.fill(gradient);
    SpiceRect box = rect(3, 3, 20, 5);
    SpiceClip clip = no_clip();
    SpiceWhiteness invers{};
    canvas.ops()->draw_invers(canvas.get(), &box, &clip, &invers);
    canvas.expect_pixels([&](int x, int y) { return inside(x, y, box) ? ~gradient(x, y) : gradient(x, y); });
}

TEST(CopyBits, MovesOnlyPixelsWhoseSourceIsOnCanvas) {
    TestCanvas canvas;
    canvas.fill(gradient);
    SpiceClip clip = no_clip();
    SpiceRect box = rect(2, 0, 10, 4);
    SpicePoint same = {2, 0};
    canvas.ops()->copy_bits(canvas.get(), &box, &clip, &same);
    canvas.expect_pixels(gradient);

    // The box reaches past the left edge of the source: those pixels keep their value.
    box = rect(0, 0, 4, 4);
    SpicePoint from = {-2, 1};
    canvas.ops()->copy_bits(canvas.get(), &box, &clip, &from);
    canvas.expect_pixels(
        [&](int x, int y) { return inside(x, y, box) && x >= 2 ? gradient(x - 2, y + 1) : gradient(x, y); });
}

TEST(CopyBits, OverlappingMoveDown) {
    TestCanvas canvas;
    canvas.fill(gradient);
    SpiceClip clip = no_clip();
    SpiceRect box = rect(1, 3, 15, 16);
    SpicePoint from = {0, 0};
    canvas.ops()->copy_bits(canvas.get(), &box, &clip, &from);
    canvas.expect_pixels(
        [&](int x, int y) { return inside(x, y, box) ? gradient(x - 1, y - 3) : gradient(x, y); });
}

SpiceRop3 rop3_of(SpiceImage* src, SpiceRect src_area, uint8_t code) {
    SpiceRop3 rop3{};
    rop3.src_bitmap = src;
    rop3.src_area = src_area;
    rop3.rop3 = code;
    rop3.scale_mode = SPICE_IMAGE_SCALE_MODE_NEAREST;
    return rop3;
}

TEST(DrawRop3, SourceCopyAndColourAndBoxOffCanvas) {
    TestBitmap src(8, 8, source_pixel);
    SpiceClip clip = no_clip();
    {
        // 0x66 is source xor destination. The box's top-left part lies off the canvas: only the rest is read.
        TestCanvas canvas;
        canvas.fill(gradient);
        SpiceRect box = rect(-4, -3, 4, 5);
        SpiceRop3 rop3 = rop3_of(src.image(), rect(0, 0, 8, 8), 0x66);
        canvas.ops()->draw_rop3(canvas.get(), &box, &clip, &rop3);
        canvas.expect_pixels([&](int x, int y) {
            return inside(x, y, box) ? source_pixel(x + 4, y + 3) ^ gradient(x, y) : gradient(x, y);
        });
    }
    {
        // 0xF0 is the brush colour.
        TestCanvas canvas;
        canvas.fill(gradient);
        SpiceRect box = rect(10, 10, 14, 14);
        SpiceRop3 rop3 = rop3_of(src.image(), rect(2, 2, 6, 6), 0x66);
        canvas.ops()->draw_rop3(canvas.get(), &box, &clip, &rop3);
        SpiceRect box2 = rect(0, 0, 2, 2);
        SpiceRop3 fill = rop3_of(src.image(), rect(0, 0, 2, 2), 0xF0);
        fill.brush = solid_brush(0x123456);
        canvas.ops()->draw_rop3(canvas.get(), &box2, &clip, &fill);
        canvas.expect_pixels([&](int x, int y) {
            if (inside(x, y, box)) {
                return source_pixel(x - 8, y - 8) ^ gradient(x, y);
            }
            return inside(x, y, box2) ? 0x123456u : gradient(x, y);
        });
    }
}

TEST(DrawRop3, ScalesSourceAreaOfOtherSize) {
    TestCanvas canvas;
    TestBitmap src(20, 20, [](int x, int y) { return source_pixel(x / 2, y / 2); });
    SpiceRect box = rect(0, 0, 10, 10);
    SpiceClip clip = no_clip();
    SpiceRop3 rop3 = rop3_of(src.image(), rect(0, 0, 20, 20), 0xCC);
    canvas.ops()->draw_rop3(canvas.get(), &box, &clip, &rop3);
    canvas.expect_pixels([&](int x, int y) { return inside(x, y, box) ? source_pixel(x, y) : 0u; });
}

TEST(DrawRop3, SourceTooSmallDrawsNothing) {
    // The source must cover the whole box, also when the clip hides the column it lacks.
    TestBitmap src(10, 10, source_pixel);
    SpiceRect box = rect(0, 0, 10, 10);
    SpiceRop3 rop3 = rop3_of(src.image(), rect(1, 0, 11, 10), 0xCC);
    TestClip hides_last_column({rect(0, 0, 9, 10)});
    for (SpiceClip clip : {no_clip(), hides_last_column.clip}) {
        TestCanvas canvas;
        canvas.ops()->draw_rop3(canvas.get(), &box, &clip, &rop3);
        canvas.expect_pixels([](int, int) { return 0u; });
    }
}

TEST(DrawRop3, PatternStartsInsidePattern) {
    // Pattern at x = 5, box left 2, width 8: the box's first pixel takes pattern pixel 5 (-3 mod 8).
    TestCanvas canvas;
    TestBitmap src(16, 16, source_pixel);
    TestBitmap pattern(8, 1, [](int x, int) { return uint32_t(0x40 + x); });
    SpiceRect box = rect(2, 0, 14, 3);
    SpiceClip clip = no_clip();
    SpiceRop3 rop3 = rop3_of(src.image(), rect(0, 0, 12, 3), 0xF0);
    rop3.brush = pattern_brush(pattern.image(), 5, 0);
    canvas.ops()->draw_rop3(canvas.get(), &box, &clip, &rop3);
    canvas.expect_pixels(
        [&](int x, int y) { return inside(x, y, box) ? uint32_t(0x40 + ((x - 5) % 8 + 8) % 8) : 0u; });
}

SpiceStroke stroke_of(SpicePath* path, uint32_t color) {
    SpiceStroke stroke{};
    stroke.path = path;
    stroke.brush = solid_brush(color);
    stroke.fore_mode = SPICE_ROPD_OP_PUT;
    stroke.back_mode = SPICE_ROPD_OP_PUT;
    return stroke;
}

// A path of one segment per entry; the record owns everything.
class TestPath {
public:
    struct Segment {
        uint32_t flags;
        std::vector<SpicePointFix> points;
    };
    explicit TestPath(std::vector<Segment> segments) : segments_(std::move(segments)) {
        for (auto& s : segments_) {
            records_.push_back({s.flags, uint32_t(s.points.size()), s.points.data()});
        }
        for (auto& r : records_) {
            pointers_.push_back(&r);
        }
        path.num_segments = uint32_t(pointers_.size());
        path.segments = pointers_.data();
    }
    SpicePath path;

private:
    std::vector<Segment> segments_;
    std::vector<SpicePathSeg> records_;
    std::vector<SpicePathSeg*> pointers_;
};

SpicePointFix fix(int x, int y) {
    return {x * 16, y * 16};
}

TEST(DrawStroke, ClosedPolygonOutline) {
    TestCanvas canvas;
    TestPath path({{SPICE_PATH_BEGIN, {fix(2, 2), fix(10, 2)}},
                   {0, {fix(10, 8)}},
                   {SPICE_PATH_END | SPICE_PATH_CLOSE, {fix(2, 8)}}});
    SpiceRect box = rect(0, 0, 16, 16);
    SpiceClip clip = no_clip();
    SpiceStroke stroke = stroke_of(&path.path, 0xFF00);
    canvas.ops()->draw_stroke(canvas.get(), &box, &clip, &stroke);
    canvas.expect_pixels([](int x, int y) {
        const bool edge =
            ((y == 2 || y == 8) && x >= 2 && x <= 10) || ((x == 2 || x == 10) && y >= 2 && y <= 8);
        return edge ? 0xFF00u : 0u;
    });
}

TEST(DrawStroke, ClippedToBoxAndClip) {
    TestCanvas canvas;
    TestPath path({{SPICE_PATH_BEGIN | SPICE_PATH_END, {fix(0, 4), fix(16, 4)}}});
    SpiceRect box = rect(0, 0, 16, 16);
    TestClip clip({rect(3, 0, 6, 16), rect(9, 0, 11, 16)});
    SpiceStroke stroke = stroke_of(&path.path, 0xFF);
    stroke.fore_mode = SPICE_ROPD_OP_XOR;
    canvas.fill([](int, int) { return 0xF0u; });
    canvas.ops()->draw_stroke(canvas.get(), &box, &clip.clip, &stroke);
    canvas.expect_pixels(
        [](int x, int y) { return y == 4 && ((x >= 3 && x < 6) || (x >= 9 && x < 11)) ? 0x0Fu : 0xF0u; });
}

TEST(DrawStroke, StartWithGapShiftsDashes) {
    // Styles 16 and 32 are dashes of 1 and 2 pixels; with a gap first the dashes are [2, 1] at offset 2: the
    // line starts with its 1-pixel gap.
    TestCanvas canvas;
    TestPath path({{SPICE_PATH_BEGIN | SPICE_PATH_END, {fix(0, 4), fix(15, 4)}}});
    SpiceRect box = rect(0, 0, 16, 16);
    SpiceClip clip = no_clip();
    SPICE_FIXED28_4 styles[] = {16, 32};
    SpiceStroke stroke = stroke_of(&path.path, 0xFF);
    stroke.attr = {SPICE_LINE_FLAGS_STYLED | SPICE_LINE_FLAGS_START_WITH_GAP, 2, styles};
    canvas.ops()->draw_stroke(canvas.get(), &box, &clip, &stroke);
    for (int x = 0; x < 15; x++) {
        EXPECT_EQ(canvas.pixel(x, 4), x % 3 == 0 ? 0u : 0xFFu) << x;
    }
}

TEST(DrawStroke, BezierAndMalformedCurves) {
    TestCanvas canvas;
    SpiceRect box = rect(0, 0, 16, 16);
    SpiceClip clip = no_clip();
    {
        // A straight curve draws its chord.
        TestPath path({{SPICE_PATH_BEGIN | SPICE_PATH_BEZIER | SPICE_PATH_END,
                        {fix(1, 1), fix(4, 1), fix(8, 1), fix(12, 1)}}});
        SpiceStroke stroke = stroke_of(&path.path, 0xAA);
        canvas.ops()->draw_stroke(canvas.get(), &box, &clip, &stroke);
        for (int x = 1; x < 12; x++) {
            EXPECT_EQ(canvas.pixel(x, 1), 0xAAu) << x;
        }
    }
    // A point count that is no multiple of three, a curve with nothing before it and a curve whose points
    // all coincide end without harm.
    TestPath bad_count({{SPICE_PATH_BEGIN | SPICE_PATH_BEZIER, {fix(1, 5), fix(4, 5), fix(8, 5)}}});
    TestPath no_start({{SPICE_PATH_BEZIER, {fix(1, 6), fix(4, 6), fix(8, 6)}}});
    TestPath point({{SPICE_PATH_BEGIN | SPICE_PATH_BEZIER | SPICE_PATH_END,
                     {fix(3, 9), fix(3, 9), fix(3, 9), fix(3, 9)}}});
    for (TestPath* path : {&bad_count, &no_start, &point}) {
        SpiceStroke stroke = stroke_of(&path->path, 0xBB);
        canvas.ops()->draw_stroke(canvas.get(), &box, &clip, &stroke);
    }
    for (int x = 0; x < 16; x++) {
        EXPECT_EQ(canvas.pixel(x, 5), 0u);
        EXPECT_EQ(canvas.pixel(x, 6), 0u);
    }
}

TEST(DrawStroke, PathOfTooManyCurvePointsIsNotDrawn) {
    // Each wild curve flattens into up to a thousand points; thousands of them are refused whole rather
    // than held in memory.
    TestCanvas canvas;
    std::vector<SpicePointFix> points = {fix(1, 1)};
    for (int i = 0; i < 2000; i++) {
        points.push_back({1 << 30, 0});
        points.push_back({0, 1 << 30});
        points.push_back(fix(1 + i % 2, 1));
    }
    TestPath path({{SPICE_PATH_BEGIN | SPICE_PATH_BEZIER | SPICE_PATH_END, points}});
    SpiceRect box = rect(0, 0, 16, 16);
    SpiceClip clip = no_clip();
    SpiceStroke stroke = stroke_of(&path.path, 0xCC);
    canvas.ops()->draw_stroke(canvas.get(), &box, &clip, &stroke);
    canvas.expect_pixels([](int, int) { return 0u; });
}

TEST(DrawTransparent, KeyConvertedToCanvasFormat) {
    // On a 5-6-5 canvas the key 0xFF0000 becomes 0xF800.
    TestCanvas canvas(8, 8, SPICE_SURFACE_FMT_16_565);
    canvas.fill([](int, int) { return 0x1234u; });
    TestBitmap src(4, 4, [](int x, int) { return x < 2 ? 0xFF0000u : 0x00FF00u; });
    SpiceRect box = rect(0, 0, 4, 4);
    SpiceClip clip = no_clip();
    SpiceTransparent transparent{};
    transparent.src_bitmap = src.image();
    transparent.src_area = rect(0, 0, 4, 4);
    transparent.true_color = 0xFF0000;
    canvas.ops()->draw_transparent(canvas.get(), &box, &clip, &transparent);
    canvas.expect_pixels([&](int x, int y) { return inside(x, y, box) && x >= 2 ? 0x07E0u : 0x1234u; });
}

TEST(DrawAlphaBlend, BlendsWithOverallAlpha) {
    TestBitmap src(
        4, 4, [](int, int) { return 0xFF000080u; }, SPICE_BITMAP_FMT_RGBA);
    for (uint8_t alpha : {uint8_t(255), uint8_t(0)}) {
        TestCanvas canvas;
        canvas.fill([](int, int) { return 0x00FF00u; });
        SpiceRect box = rect(0, 0, 4, 4);
        SpiceClip clip = no_clip();
        SpiceAlphaBlend blend{};
        blend.alpha = alpha;
        blend.src_bitmap = src.image();
        blend.src_area = rect(0, 0, 4, 4);
        canvas.ops()->draw_alpha_blend(canvas.get(), &box, &clip, &blend);
        canvas.expect_pixels(
            [&](int x, int y) { return inside(x, y, box) && alpha ? 0x000080u : 0x00FF00u; });
    }
}

TEST(DrawScaled, TransparentAndAlphaBlendScaleNearest) {
    // A 2x2 source drawn into a 4x4 box: each source pixel becomes a 2x2 block.
    TestBitmap keyed(2, 2, [](int x, int y) { return x == y ? 0x00FF00u : source_pixel(x, y); });
    TestBitmap opaque(
        2, 2, [](int x, int y) { return 0xFF000000u | source_pixel(x, y); }, SPICE_BITMAP_FMT_RGBA);
    SpiceRect box = rect(2, 2, 6, 6);
    SpiceClip clip = no_clip();
    {
        TestCanvas canvas;
        canvas.fill(gradient);
        SpiceTransparent transparent{};
        transparent.src_bitmap = keyed.image();
        transparent.src_area = rect(0, 0, 2, 2);
        transparent.true_color = 0x00FF00;
        canvas.ops()->draw_transparent(canvas.get(), &box, &clip, &transparent);
        canvas.expect_pixels([&](int x, int y) {
            const int sx = (x - 2) / 2, sy = (y - 2) / 2;
            return inside(x, y, box) && sx != sy ? source_pixel(sx, sy) : gradient(x, y);
        });
    }
    {
        TestCanvas canvas;
        canvas.fill(gradient);
        SpiceAlphaBlend blend{};
        blend.alpha = 255;
        blend.src_bitmap = opaque.image();
        blend.src_area = rect(0, 0, 2, 2);
        canvas.ops()->draw_alpha_blend(canvas.get(), &box, &clip, &blend);
        canvas.expect_pixels([&](int x, int y) {
            return inside(x, y, box) ? source_pixel((x - 2) / 2, (y - 2) / 2) : gradient(x, y);
        });
    }
}

SpiceComposite composite_of(SpiceImage* src, uint32_t flags) {
    SpiceComposite composite{};
    composite.flags = flags;
    composite.src_bitmap = src;
    return composite;
}

TEST(DrawComposite, OverWithBoxOffCanvas) {
    // Half-transparent red over blue; the box's top-left part lies off the canvas, and the rest must still be
    // read from the canvas and blended with it.
    TestCanvas canvas;
    canvas.fill([](int, int) { return 0x0000FFu; });
    TestBitmap src(
        8, 8, [](int, int) { return 0x80800000u; }, SPICE_BITMAP_FMT_RGBA);
    SpiceRect box = rect(-2, -3, 4, 4);
    SpiceClip clip = no_clip();
    SpiceComposite composite = composite_of(src.image(), PIXMAN_OP_OVER);
    canvas.ops()->draw_composite(canvas.get(), &box, &clip, &composite);
    canvas.expect_pixels([&](int x, int y) {
        return canvas.pixel(x, y) >> 24 << 24 | (inside(x, y, box) ? 0x80007Fu : 0x0000FFu);
    });
}

TEST(DrawComposite, UnknownOperatorOrFilterDrawsNothing) {
    TestCanvas canvas;
    TestBitmap src(8, 8, source_pixel);
    SpiceRect box = rect(0, 0, 4, 4);
    SpiceClip clip = no_clip();
    for (uint32_t flags :
         {0x0Eu, 0x3Fu, uint32_t(PIXMAN_OP_SRC | (5u << 8)), uint32_t(PIXMAN_OP_SRC | (7u << 11))}) {
        SpiceComposite composite = composite_of(src.image(), flags);
        canvas.ops()->draw_composite(canvas.get(), &box, &clip, &composite);
    }
    canvas.expect_pixels([](int, int) { return 0u; });
}

TEST(DrawComposite, SharedSourceLosesTransformAndRepeat) {
    TestCanvas canvas;
    TestBitmap src(4, 4, source_pixel);
    src.image()->descriptor.flags = SPICE_IMAGE_FLAGS_CACHE_ME;
    SpiceRect box = rect(0, 0, 8, 8);
    SpiceClip clip = no_clip();
    // Repeat normal, shifted by one pixel.
    SpiceComposite composite =
        composite_of(src.image(), PIXMAN_OP_SRC | (1u << 14) | SPICE_COMPOSITE_HAS_SRC_TRANSFORM);
    composite.src_transform = {0x10000, 0, 0x10000, 0, 0x10000, 0};
    canvas.ops()->draw_composite(canvas.get(), &box, &clip, &composite);
    EXPECT_EQ(canvas.pixel(0, 0), source_pixel(1, 0));
    EXPECT_EQ(canvas.pixel(7, 0), source_pixel(0, 0));

    pixman_image_t* cached = canvas.cache().images.at(src.image()->descriptor.id);
    const std::vector<uint32_t> shown = render(cached, 8, 8);
    for (int y = 0; y < 8; y++) {
        for (int x = 0; x < 8; x++) {
            EXPECT_EQ(shown[size_t(y * 8 + x)], x < 4 && y < 4 ? source_pixel(x, y) : 0u) << x << "," << y;
        }
    }
}

}  // namespace
