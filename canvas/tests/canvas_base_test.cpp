// Common canvas state: the operation table's defaults, set-up, clipping, groups and raster-operation
// descriptors.
#include "canvas/canvas_base.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

class StateCanvas {
public:
    explicit StateCanvas(uint32_t format = SPICE_SURFACE_FMT_32_xRGB, int width = 100, int height = 50)
        : canvas(static_cast<SpiceCanvas*>(calloc(1, sizeof(SpiceCanvas)))) {
        canvas_ops_set_defaults(&ops);
        EXPECT_EQ(canvas_state_init(canvas, &ops, width, height, format, nullptr, nullptr, nullptr, nullptr,
                                    nullptr, nullptr),
                  1);
    }
    ~StateCanvas() {
        canvas_state_free(canvas);
        free(canvas);
    }

    SpiceCanvasOps ops{};
    SpiceCanvas* canvas;
};

std::vector<pixman_box32_t> boxes(pixman_region32_t* region) {
    int n;
    pixman_box32_t* b = pixman_region32_rectangles(region, &n);
    return std::vector<pixman_box32_t>(b, b + n);
}

std::string describe(pixman_region32_t* region) {
    std::string out;
    for (const pixman_box32_t& b : boxes(region)) {
        out += "(" + std::to_string(b.x1) + "," + std::to_string(b.y1) + "," + std::to_string(b.x2) + "," +
               std::to_string(b.y2) + ")";
    }
    return out;
}

// ---- raster-operation descriptors ----

TEST(RopDescriptor, TranslatesEachOperationWithItsInversions) {
    enum { SRC = 0, BRUSH = 1, DEST = 2 };
    struct Case {
        uint16_t descriptor;
        int a;
        int b;
        RasterOp want;
    };
    const Case cases[] = {
        // put
        {0x408, SRC, DEST, ROP_COPY_INVERTED},
        {0x409, SRC, DEST, ROP_COPY},
        {0x009, SRC, DEST, ROP_COPY_INVERTED},
        {0x00c, SRC, DEST, ROP_COPY},  // the second input's inversion does not matter to put
        {0x400, SRC, DEST, ROP_COPY},
        {0x000, SRC, DEST, ROP_COPY},
        // or
        {0x010, SRC, DEST, ROP_OR},
        {0x014, SRC, DEST, ROP_OR_REVERSE},
        {0x011, SRC, DEST, ROP_OR_INVERTED},
        {0x015, SRC, DEST, ROP_NAND},
        {0x016, BRUSH, DEST, ROP_NAND},
        {0x015, BRUSH, DEST, ROP_OR_REVERSE},
        {0x410, SRC, DEST, ROP_NOR},
        {0x414, SRC, DEST, ROP_AND_INVERTED},
        {0x411, SRC, DEST, ROP_AND_REVERSE},
        {0x415, SRC, DEST, ROP_AND},
        // and
        {0x020, SRC, DEST, ROP_AND},
        {0x024, SRC, DEST, ROP_AND_REVERSE},
        {0x021, SRC, DEST, ROP_AND_INVERTED},
        {0x025, SRC, DEST, ROP_NOR},
        {0x420, SRC, DEST, ROP_NAND},
        {0x424, SRC, DEST, ROP_OR_INVERTED},
        {0x421, SRC, DEST, ROP_OR_REVERSE},
        {0x425, SRC, DEST, ROP_OR},
        // xor: the parity of the three inversions
        {0x040, SRC, DEST, ROP_XOR},
        {0x041, SRC, DEST, ROP_EQUIV},
        {0x045, SRC, DEST, ROP_XOR},
        {0x440, SRC, DEST, ROP_EQUIV},
        {0x445, SRC, DEST, ROP_EQUIV},
        {0x042, BRUSH, SRC, ROP_EQUIV},
        // the first operation bit decides
        {0x080, SRC, DEST, ROP_CLEAR},
        {0x100, SRC, DEST, ROP_SET},
        {0x200, SRC, DEST, ROP_INVERT},
        {0x0a0, SRC, DEST, ROP_AND},
        {0x018, SRC, DEST, ROP_COPY},
        {0x380, SRC, DEST, ROP_CLEAR},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(int(rop_descriptor_to_pixel_op(c.descriptor, c.a, c.b)), int(c.want))
            << std::hex << "descriptor 0x" << c.descriptor << " inputs " << c.a << "," << c.b;
    }
}

TEST(RectsSameSize, ComparesWidthAndHeightOnly) {
    const SpiceRect a = {0, 0, 10, 20};
    const SpiceRect b = {5, 7, 15, 27};
    const SpiceRect wider = {0, 0, 11, 20};
    const SpiceRect taller = {0, 0, 10, 21};
    // Extremes whose differences overflow 32 bits must not compare equal by wrapping.
    const SpiceRect huge = {INT32_MIN, 0, INT32_MAX, 20};
    const SpiceRect wrapped = {0, 0, -1, 20};
    EXPECT_TRUE(rects_same_size(&a, &b));
    EXPECT_FALSE(rects_same_size(&a, &wider));
    EXPECT_FALSE(rects_same_size(&a, &taller));
    EXPECT_FALSE(rects_same_size(&huge, &wrapped));
}

// ---- table and state ----

TEST(CanvasOps, DefaultsAreTheCommonOperationsAndUnimplementedOnlyReports) {
    SpiceCanvasOps ops{};
    canvas_ops_set_defaults(&ops);
    EXPECT_EQ(ops.draw_fill, &canvas_draw_fill);
    EXPECT_EQ(ops.draw_copy, &canvas_draw_copy);
    EXPECT_EQ(ops.draw_opaque, &canvas_draw_opaque);
    EXPECT_EQ(ops.copy_bits, &canvas_copy_bits);
    EXPECT_EQ(ops.draw_stroke, &canvas_draw_stroke);
    EXPECT_EQ(ops.draw_rop3, &canvas_draw_rop3);
    EXPECT_EQ(ops.draw_composite, &canvas_draw_composite);
    EXPECT_EQ(ops.draw_blend, &canvas_draw_blend);
    EXPECT_EQ(ops.draw_blackness, &canvas_draw_blackness);
    EXPECT_EQ(ops.draw_whiteness, &canvas_draw_whiteness);
    EXPECT_EQ(ops.draw_invers, &canvas_draw_invers);
    EXPECT_EQ(ops.draw_transparent, &canvas_draw_transparent);
    EXPECT_EQ(ops.draw_alpha_blend, &canvas_draw_alpha_blend);
    EXPECT_EQ(ops.group_start, &canvas_group_start);
    EXPECT_EQ(ops.group_end, &canvas_group_end);
    // Every slot is filled.
    void* const* slots = reinterpret_cast<void* const*>(&ops);
    for (size_t i = 0; i < sizeof(ops) / sizeof(void*); i++) {
        EXPECT_NE(slots[i], nullptr) << "slot " << i;
    }

    // The slots left at the default report and return; one that returns an image returns none, and the
    // process goes on (CRITICAL would end it under the default abort level).
    StateCanvas state;
    testing::internal::CaptureStderr();
    EXPECT_EQ(ops.get_image(state.canvas, 1), nullptr);
    ops.draw_cache_build(state.canvas, nullptr);
    pixman_box32_t box = {0, 0, 1, 1};
    ops.fill_solid_rects(state.canvas, &box, 1, 0);
    std::string log = testing::internal::GetCapturedStderr();
    size_t count = 0;
    for (size_t at = log.find("unimplemented canvas operation"); at != std::string::npos;
         at = log.find("unimplemented canvas operation", at + 1)) {
        count++;
    }
    EXPECT_EQ(count, 3u) << log;
}

TEST(CanvasState, ColourShiftAndMaskFollowTheDepth) {
    struct Case {
        uint32_t format;
        uint32_t shift;
        uint32_t mask;
    };
    const Case cases[] = {
        {SPICE_SURFACE_FMT_16_555, 5, 31},   {SPICE_SURFACE_FMT_16_565, 5, 31},
        {SPICE_SURFACE_FMT_32_xRGB, 8, 255}, {SPICE_SURFACE_FMT_32_ARGB, 8, 255},
        {SPICE_SURFACE_FMT_8_A, 8, 255},
    };
    for (const Case& c : cases) {
        StateCanvas state(c.format);
        EXPECT_EQ(state.canvas->base.color_shift, c.shift) << c.format;
        EXPECT_EQ(state.canvas->base.color_mask, c.mask) << c.format;
        EXPECT_EQ(state.canvas->base.format, c.format);
        EXPECT_EQ(describe(&state.canvas->base.canvas_region), "(0,0,100,50)");
        EXPECT_NE(state.canvas->base.quic_data.quic, nullptr);
        EXPECT_NE(state.canvas->base.lz_data.lz, nullptr);
        EXPECT_EQ(state.canvas->base.dc, nullptr);
    }
}

TEST(CanvasState, FreeCallsTheUserDataRelease) {
    static int released = 0;
    static void* seen = nullptr;
    auto* canvas = static_cast<SpiceCanvas*>(calloc(1, sizeof(SpiceCanvas)));
    SpiceCanvasOps ops{};
    ASSERT_EQ(canvas_state_init(canvas, &ops, 4, 4, SPICE_SURFACE_FMT_32_xRGB, nullptr, nullptr, nullptr,
                                nullptr, nullptr, nullptr),
              1);
    int token;
    canvas->base.usr_data = &token;
    canvas->base.usr_data_destroy = [](void* data) {
        released++;
        seen = data;
    };
    canvas_state_free(canvas);
    free(canvas);
    EXPECT_EQ(released, 1);
    EXPECT_EQ(seen, &token);
}

// ---- clip and groups ----

struct ClipRects {
    SpiceClipRects header;
    SpiceRect rects[3];
};

TEST(CanvasClip, NarrowsByCanvasRegionAndClipRectangles) {
    StateCanvas state;
    ClipRects two = {{2, nullptr}, {{0, 0, 10, 10}, {90, 40, 120, 60}, {}}};
    two.header.rects = two.rects;
    ClipRects none = {{0, nullptr}, {}};
    none.header.rects = none.rects;

    struct Case {
        const char* name;
        SpiceClip clip;
        std::string want;
    };
    const Case cases[] = {
        {"no clip: the canvas only", {SPICE_CLIP_TYPE_NONE, nullptr}, "(0,0,100,50)"},
        {"rectangles, cut to the canvas", {SPICE_CLIP_TYPE_RECTS, &two.header}, "(0,0,10,10)(90,40,100,50)"},
        {"an empty rectangle list leaves nothing", {SPICE_CLIP_TYPE_RECTS, &none.header}, ""},
        {"rectangles type without a list leaves nothing", {SPICE_CLIP_TYPE_RECTS, nullptr}, ""},
        {"an unknown type draws as if unclipped", {7, &two.header}, "(0,0,100,50)"},
    };
    for (const Case& c : cases) {
        pixman_region32_t region;
        pixman_region32_init_rect(&region, -50, -50, 500, 500);
        SpiceClip clip = c.clip;
        canvas_clip_pixman(&state.canvas->base, &region, &clip);
        EXPECT_EQ(describe(&region), c.want) << c.name;
        pixman_region32_fini(&region);
    }
}

TEST(CanvasGroup, GroupLimitsDrawingAndDoesNotNest) {
    StateCanvas state;
    SpiceClip no_clip = {SPICE_CLIP_TYPE_NONE, nullptr};
    auto clipped = [&](int x, int y, int w, int h) {
        pixman_region32_t region;
        pixman_region32_init_rect(&region, x, y, unsigned(w), unsigned(h));
        canvas_clip_pixman(&state.canvas->base, &region, &no_clip);
        std::string out = describe(&region);
        pixman_region32_fini(&region);
        return out;
    };

    // A group larger than the canvas still ends at the canvas.
    pixman_region32_t group;
    pixman_region32_init_rect(&group, -10, -10, 1000, 30);
    state.ops.group_start(state.canvas, &group);
    EXPECT_EQ(clipped(0, 0, 200, 200), "(0,0,100,20)");

    // A second start replaces the first.
    pixman_region32_fini(&group);
    pixman_region32_init_rect(&group, 50, 10, 10, 10);
    state.ops.group_start(state.canvas, &group);
    EXPECT_EQ(clipped(0, 0, 200, 200), "(50,10,60,20)");

    state.ops.group_end(state.canvas);
    EXPECT_EQ(clipped(0, 0, 200, 200), "(0,0,100,50)");
    pixman_region32_fini(&group);
}

}  // namespace
