#include "parser_test_util.h"

namespace {

const int V1 = 1, V2 = 2;
const uint8_t DISPLAY = SPICE_CHANNEL_DISPLAY;

// The display base of the current generation without a clip: 21 bytes.
Body base_v2(uint32_t surface = 0) {
    return Body().u32(surface).rect(0, 0, 640, 480).u8(SPICE_CLIP_TYPE_NONE);
}

// Generation 1: rectangle, u32 clip type, u64 clip pointer; 28 bytes.
Body base_v1() {
    return Body().rect(0, 0, 640, 480).u32(0).u64(0);
}

Body mask_none_v2() {
    return Body().u8(0).point(0, 0).u32(0);
}

Body mask_none_v1() {
    return Body().u8(0).point(0, 0).u64(0);
}

class DisplayMessages : public ::testing::TestWithParam<MinimalBody> {};

TEST_P(DisplayMessages, MinimalBodyParsesAndEveryShorterBodyFails) {
    expect_minimal(GetParam());
}

std::vector<MinimalBody> display_bodies() {
    Body copy_v2 = base_v2().u32(0).rect(0, 0, 1, 1).u16(8).u8(0).bytes(mask_none_v2());
    Body copy_v1 = base_v1().u64(0).rect(0, 0, 1, 1).u16(8).u8(0).bytes(mask_none_v1());
    return {
        {"mode", V2, DISPLAY, SPICE_MSG_DISPLAY_MODE, Body().u32(640).u32(480).u32(32), 2},
        {"mark", V2, DISPLAY, SPICE_MSG_DISPLAY_MARK, {}, 2},
        {"reset", V2, DISPLAY, SPICE_MSG_DISPLAY_RESET, {}, 2},
        {"copy_bits", V2, DISPLAY, SPICE_MSG_DISPLAY_COPY_BITS, base_v2().point(1, 2), 2},
        {"inval_list", V2, DISPLAY, SPICE_MSG_DISPLAY_INVAL_LIST, Body().u16(0), 2},
        {"inval_all_pixmaps", V2, DISPLAY, SPICE_MSG_DISPLAY_INVAL_ALL_PIXMAPS, Body().u8(0), 2},
        {"inval_palette", V2, DISPLAY, SPICE_MSG_DISPLAY_INVAL_PALETTE, Body().u64(1), 2},
        {"inval_all_palettes", V2, DISPLAY, SPICE_MSG_DISPLAY_INVAL_ALL_PALETTES, {}, 2},
        {"stream_create", V2, DISPLAY, SPICE_MSG_DISPLAY_STREAM_CREATE,
         Body().u32(0).u32(0).u8(1).u8(1).u64(0).u32(32).u32(400).u32(32).u32(400).rect(0, 0, 32, 400).u8(0),
         2},
        {"stream_data", V2, DISPLAY, SPICE_MSG_DISPLAY_STREAM_DATA, Body().u32(0).u32(0).u32(0), 2},
        {"stream_clip", V2, DISPLAY, SPICE_MSG_DISPLAY_STREAM_CLIP, Body().u32(0).u8(0), 2},
        {"stream_destroy", V2, DISPLAY, SPICE_MSG_DISPLAY_STREAM_DESTROY, Body().u32(0), 2},
        {"stream_destroy_all", V2, DISPLAY, SPICE_MSG_DISPLAY_STREAM_DESTROY_ALL, {}, 2},
        {"draw_fill", V2, DISPLAY, SPICE_MSG_DISPLAY_DRAW_FILL, base_v2().u8(0).u16(8).bytes(mask_none_v2()),
         2},
        {"draw_opaque", V2, DISPLAY, SPICE_MSG_DISPLAY_DRAW_OPAQUE,
         base_v2().u32(0).rect(0, 0, 1, 1).u8(0).u16(8).u8(0).bytes(mask_none_v2()), 2},
        {"draw_copy", V2, DISPLAY, SPICE_MSG_DISPLAY_DRAW_COPY, copy_v2, 2},
        {"draw_blend", V2, DISPLAY, SPICE_MSG_DISPLAY_DRAW_BLEND, copy_v2, 2},
        {"draw_blackness", V2, DISPLAY, SPICE_MSG_DISPLAY_DRAW_BLACKNESS, base_v2().bytes(mask_none_v2()), 2},
        {"draw_whiteness", V2, DISPLAY, SPICE_MSG_DISPLAY_DRAW_WHITENESS, base_v2().bytes(mask_none_v2()), 2},
        {"draw_invers", V2, DISPLAY, SPICE_MSG_DISPLAY_DRAW_INVERS, base_v2().bytes(mask_none_v2()), 2},
        {"draw_rop3", V2, DISPLAY, SPICE_MSG_DISPLAY_DRAW_ROP3,
         base_v2().u32(0).rect(0, 0, 1, 1).u8(0).u8(0xCA).u8(0).bytes(mask_none_v2()), 2},
        // The path (no segments) right behind the 31 fixed bytes.
        {"draw_stroke", V2, DISPLAY, SPICE_MSG_DISPLAY_DRAW_STROKE,
         base_v2().u32(31).u8(0).u8(0).u16(8).u16(8).u32(0), 2},
        {"draw_text", V2, DISPLAY, SPICE_MSG_DISPLAY_DRAW_TEXT,
         base_v2().u32(0).rect(0, 0, 1, 1).u8(0).u8(0).u16(8).u16(8), 2},
        {"draw_transparent", V2, DISPLAY, SPICE_MSG_DISPLAY_DRAW_TRANSPARENT,
         base_v2().u32(0).rect(0, 0, 1, 1).u32(0).u32(0), 2},
        {"draw_alpha_blend", V2, DISPLAY, SPICE_MSG_DISPLAY_DRAW_ALPHA_BLEND,
         base_v2().u8(1).u8(255).u32(0).rect(0, 0, 1, 1), 2},
        {"surface_create", V2, DISPLAY, SPICE_MSG_DISPLAY_SURFACE_CREATE,
         Body().u32(0).u32(640).u32(480).u32(32).u32(1), 2},
        {"surface_destroy", V2, DISPLAY, SPICE_MSG_DISPLAY_SURFACE_DESTROY, Body().u32(0), 2},
        {"stream_data_sized", V2, DISPLAY, SPICE_MSG_DISPLAY_STREAM_DATA_SIZED,
         Body().u32(0).u32(0).u32(1).u32(1).rect(0, 0, 1, 1).u32(0), 2},
        {"monitors_config", V2, DISPLAY, SPICE_MSG_DISPLAY_MONITORS_CONFIG, Body().u16(0).u16(1), 2},
        {"draw_composite", V2, DISPLAY, SPICE_MSG_DISPLAY_DRAW_COMPOSITE,
         base_v2().u32(3).u32(0).u32(0).u32(0), 2},
        {"stream_activate_report", V2, DISPLAY, SPICE_MSG_DISPLAY_STREAM_ACTIVATE_REPORT,
         Body().u32(0).u32(1).u32(5).u32(1000), 2},
        {"extra_320", V2, DISPLAY, SPICE_MSG_DISPLAY_EXTRA_320, Body().u32(1).u32(0).u32(0), 2},
        {"video_fragment", V2, DISPLAY, SPICE_MSG_DISPLAY_VIDEO_FRAGMENT,
         Body().u32(1).u64(2).u32(0).u16(0).u16(1).u32(0), 2},
        {"draw_cache_build", V2, DISPLAY, SPICE_MSG_DISPLAY_DRAW_CACHE_BUILD,
         Body().u64(1).u8(8).u8(0).u32(4).u32(4).u32(1).u32(0).rect(0, 0, 4, 4), 2},
        {"draw_cache_copy", V2, DISPLAY, SPICE_MSG_DISPLAY_DRAW_CACHE_COPY, Body().bytes(copy_v2).u64(7), 2},
        {"extra_362", V2, DISPLAY, SPICE_MSG_DISPLAY_EXTRA_362, {}, 2},
        {"draw_refresh", V2, DISPLAY, SPICE_MSG_DISPLAY_DRAW_REFRESH, {}, 2},
        {"invalidate_layer", V2, DISPLAY, SPICE_MSG_DISPLAY_INVALIDATE_LAYER, {}, 2},

        {"mode", V1, DISPLAY, SPICE_MSG_DISPLAY_MODE, Body().u32(640).u32(480).u32(32), 2},
        {"mark", V1, DISPLAY, SPICE_MSG_DISPLAY_MARK, {}, 2},
        {"reset", V1, DISPLAY, SPICE_MSG_DISPLAY_RESET, {}, 2},
        {"copy_bits", V1, DISPLAY, SPICE_MSG_DISPLAY_COPY_BITS, base_v1().point(1, 2), 2},
        {"inval_list", V1, DISPLAY, SPICE_MSG_DISPLAY_INVAL_LIST, Body().u16(0), 2},
        {"inval_all_pixmaps", V1, DISPLAY, SPICE_MSG_DISPLAY_INVAL_ALL_PIXMAPS, Body().u8(0), 2},
        {"inval_palette", V1, DISPLAY, SPICE_MSG_DISPLAY_INVAL_PALETTE, Body().u64(1), 2},
        {"inval_all_palettes", V1, DISPLAY, SPICE_MSG_DISPLAY_INVAL_ALL_PALETTES, {}, 2},
        {"stream_create", V1, DISPLAY, SPICE_MSG_DISPLAY_STREAM_CREATE,
         Body()
             .u32(0)
             .u32(1)
             .u32(1)
             .u64(0)
             .u32(32)
             .u32(400)
             .u32(32)
             .u32(400)
             .rect(0, 0, 32, 400)
             .u32(0)
             .u64(0),
         2},
        {"stream_data", V1, DISPLAY, SPICE_MSG_DISPLAY_STREAM_DATA, Body().u32(0).u32(0).u32(0).u32(0), 2},
        {"stream_clip", V1, DISPLAY, SPICE_MSG_DISPLAY_STREAM_CLIP, Body().u32(0).u32(0).u64(0), 2},
        {"stream_destroy", V1, DISPLAY, SPICE_MSG_DISPLAY_STREAM_DESTROY, Body().u32(0), 2},
        {"stream_destroy_all", V1, DISPLAY, SPICE_MSG_DISPLAY_STREAM_DESTROY_ALL, {}, 2},
        {"draw_fill", V1, DISPLAY, SPICE_MSG_DISPLAY_DRAW_FILL, base_v1().u32(0).u16(8).bytes(mask_none_v1()),
         2},
        {"draw_opaque", V1, DISPLAY, SPICE_MSG_DISPLAY_DRAW_OPAQUE,
         base_v1().u64(0).rect(0, 0, 1, 1).u32(0).u16(8).u8(0).bytes(mask_none_v1()), 2},
        {"draw_copy", V1, DISPLAY, SPICE_MSG_DISPLAY_DRAW_COPY, copy_v1, 2},
        {"draw_blend", V1, DISPLAY, SPICE_MSG_DISPLAY_DRAW_BLEND, copy_v1, 2},
        {"draw_blackness", V1, DISPLAY, SPICE_MSG_DISPLAY_DRAW_BLACKNESS, base_v1().bytes(mask_none_v1()), 2},
        {"draw_whiteness", V1, DISPLAY, SPICE_MSG_DISPLAY_DRAW_WHITENESS, base_v1().bytes(mask_none_v1()), 2},
        {"draw_invers", V1, DISPLAY, SPICE_MSG_DISPLAY_DRAW_INVERS, base_v1().bytes(mask_none_v1()), 2},
        {"draw_rop3", V1, DISPLAY, SPICE_MSG_DISPLAY_DRAW_ROP3,
         base_v1().u64(0).rect(0, 0, 1, 1).u32(0).u8(0xCA).u8(0).bytes(mask_none_v1()), 2},
        // 28 + 8 + 20 (line attributes) + 4 + 2 + 2 fixed bytes, then a path of no segments.
        {"draw_stroke", V1, DISPLAY, SPICE_MSG_DISPLAY_DRAW_STROKE,
         base_v1().u64(64).u8(0).u8(0).u8(0).u8(0).u32(16).u32(16).u64(0).u32(0).u16(8).u16(8).u32(0), 2},
        {"draw_text", V1, DISPLAY, SPICE_MSG_DISPLAY_DRAW_TEXT,
         base_v1().u64(0).rect(0, 0, 1, 1).u32(0).u32(0).u16(8).u16(8), 2},
        {"draw_transparent", V1, DISPLAY, SPICE_MSG_DISPLAY_DRAW_TRANSPARENT,
         base_v1().u64(0).rect(0, 0, 1, 1).u32(0).u32(0), 2},
        {"draw_alpha_blend", V1, DISPLAY, SPICE_MSG_DISPLAY_DRAW_ALPHA_BLEND,
         base_v1().u8(255).u64(0).rect(0, 0, 1, 1), 2},
        {"invalidate_layer", V1, DISPLAY, SPICE_MSG_DISPLAY_INVALIDATE_LAYER, {}, 2},
    };
}

INSTANTIATE_TEST_SUITE_P(BothGenerations, DisplayMessages, ::testing::ValuesIn(display_bodies()),
                         minimal_body_name);

// A DRAW_COPY as the real server sends it: base, copy body, and the source image at 57 = 21 + 36: a 2 x 2
// 32-bit top-down bitmap with its rows inline.
Body real_draw_copy() {
    return base_v2(0)
        .u32(57)
        .rect(0, 0, 2, 2)
        .u16(SPICE_ROPD_OP_PUT)
        .u8(SPICE_IMAGE_SCALE_MODE_NEAREST)
        .bytes(mask_none_v2())
        .u64(0x1234)
        .u8(SPICE_IMAGE_TYPE_BITMAP)
        .u8(SPICE_IMAGE_FLAGS_CACHE_ME)
        .u32(2)
        .u32(2)
        .u8(SPICE_BITMAP_FMT_32BIT)
        .u8(SPICE_BITMAP_FLAGS_TOP_DOWN)
        .u32(2)
        .u32(2)
        .u32(8)
        .u32(0)
        .bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
}

TEST(DisplayDrawCopy, ParsesTheRealLayoutWithItsImageDataInPlace) {
    Parsed msg(V2, DISPLAY, SPICE_MSG_DISPLAY_DRAW_COPY, real_draw_copy());
    ASSERT_TRUE(msg.ok());
    auto m = msg.as<SpiceMsgDisplayDrawCopy>();
    EXPECT_EQ(m->base.surface_id, 0u);
    EXPECT_EQ(m->base.box.left, 0);
    EXPECT_EQ(m->base.box.top, 0);
    EXPECT_EQ(m->base.box.right, 640);
    EXPECT_EQ(m->base.box.bottom, 480);
    EXPECT_EQ(m->base.clip.type, SPICE_CLIP_TYPE_NONE);
    EXPECT_EQ(m->base.clip.rects, nullptr);
    EXPECT_EQ(m->data.rop_descriptor, SPICE_ROPD_OP_PUT);
    EXPECT_EQ(m->data.scale_mode, SPICE_IMAGE_SCALE_MODE_NEAREST);
    EXPECT_EQ(m->data.mask.bitmap, nullptr);

    const SpiceImage* img = m->data.src_bitmap;
    ASSERT_NE(img, nullptr);
    EXPECT_TRUE(msg.in_block(img));
    EXPECT_EQ(img->descriptor.id, 0x1234u);
    EXPECT_EQ(img->descriptor.type, SPICE_IMAGE_TYPE_BITMAP);
    EXPECT_EQ(img->descriptor.width, 2u);
    const SpiceBitmap& bmp = img->u.bitmap;
    EXPECT_EQ(bmp.format, SPICE_BITMAP_FMT_32BIT);
    EXPECT_EQ(bmp.stride, 8u);
    EXPECT_EQ(bmp.palette, nullptr);
    ASSERT_EQ(bmp.data->num_chunks, 1u);
    EXPECT_EQ(bmp.data->data_size, 16u);
    EXPECT_EQ(bmp.data->chunk[0].data, msg.body() + 57 + 18 + 18);
    EXPECT_EQ(bmp.data->chunk[0].len, 16u);
}

// A fill with the given clip and brush bytes, a ROP and an empty mask.
Body fill(const Body& clip, const Body& brush) {
    return Body().u32(0).rect(0, 0, 10, 10).bytes(clip).bytes(brush).u16(8).bytes(mask_none_v2());
}

TEST(DisplayClip, RectanglesAreParsedAndACountPastTheEndFails) {
    Parsed two(V2, DISPLAY, SPICE_MSG_DISPLAY_DRAW_FILL,
               fill(Body().u8(1).u32(2).rect(1, 2, 3, 4).rect(5, 6, 7, 8), Body().u8(1).u32(0xFF0000)));
    ASSERT_TRUE(two.ok());
    auto m = two.as<SpiceMsgDisplayDrawFill>();
    ASSERT_NE(m->base.clip.rects, nullptr);
    ASSERT_EQ(m->base.clip.rects->num_rects, 2u);
    EXPECT_EQ(m->base.clip.rects->rects[1].left, 5);
    EXPECT_EQ(m->base.clip.rects->rects[1].bottom, 8);
    EXPECT_EQ(m->data.brush.type, uint32_t(SPICE_BRUSH_TYPE_SOLID));
    EXPECT_EQ(m->data.brush.u.color, 0xFF0000u);

    EXPECT_FALSE(Parsed(V2, DISPLAY, SPICE_MSG_DISPLAY_DRAW_FILL,
                        fill(Body().u8(1).u32(3).rect(1, 2, 3, 4).rect(5, 6, 7, 8), Body().u8(0)))
                     .ok());
    // 2^28 rectangles of 16 bytes are 2^32 bytes: a 32-bit product would be 0.
    EXPECT_FALSE(
        Parsed(V2, DISPLAY, SPICE_MSG_DISPLAY_DRAW_FILL, fill(Body().u8(1).u32(1u << 28), Body().u8(0)))
            .ok());
}

// A 1 x 1 FROM_CACHE image: the descriptor alone.
Body cached_image(uint64_t id) {
    return Body().u64(id).u8(SPICE_IMAGE_TYPE_FROM_CACHE).u8(0).u32(1).u32(1);
}

TEST(DisplayBrushAndMask, PatternNeedsItsImageAMaskDoesNot) {
    // Fill: base 21, brush 13 (pattern at 49), rop 2, mask 13 -> 49 bytes, then the image.
    Parsed pattern(
        V2, DISPLAY, SPICE_MSG_DISPLAY_DRAW_FILL,
        Body().bytes(fill(Body().u8(0), Body().u8(2).u32(49).point(3, 4))).bytes(cached_image(77)));
    ASSERT_TRUE(pattern.ok());
    auto m = pattern.as<SpiceMsgDisplayDrawFill>();
    ASSERT_NE(m->data.brush.u.pattern.pat, nullptr);
    EXPECT_EQ(m->data.brush.u.pattern.pat->descriptor.id, 77u);
    EXPECT_EQ(m->data.brush.u.pattern.pos.y, 4);
    EXPECT_EQ(m->data.mask.bitmap, nullptr);

    EXPECT_FALSE(
        Parsed(V2, DISPLAY, SPICE_MSG_DISPLAY_DRAW_FILL,
               Body().bytes(fill(Body().u8(0), Body().u8(2).u32(0).point(3, 4))).bytes(cached_image(77)))
            .ok());

    // Blackness with a mask image at 34.
    Parsed masked(V2, DISPLAY, SPICE_MSG_DISPLAY_DRAW_BLACKNESS,
                  base_v2().u8(1).point(1, 2).u32(34).bytes(cached_image(5)));
    ASSERT_TRUE(masked.ok());
    auto b = masked.as<SpiceMsgDisplayDrawBlackness>();
    EXPECT_EQ(b->data.mask.flags, 1);
    EXPECT_EQ(b->data.mask.pos.x, 1);
    ASSERT_NE(b->data.mask.bitmap, nullptr);
    EXPECT_EQ(b->data.mask.bitmap->descriptor.id, 5u);
}

struct ImageCase {
    const char* name;
    Body image;  // the image, placed right behind a DRAW_COPY's 57 fixed bytes
    bool ok;
};

Body descriptor(uint8_t type, uint8_t flags = 0, uint32_t width = 2, uint32_t height = 2) {
    return Body().u64(9).u8(type).u8(flags).u32(width).u32(height);
}

Body bitmap(uint8_t format, uint8_t flags, uint32_t x, uint32_t y, uint32_t stride) {
    return descriptor(SPICE_IMAGE_TYPE_BITMAP).u8(format).u8(flags).u32(x).u32(y).u32(stride);
}

TEST(DisplayImages, EachTypesPayloadIsBoundedByTheBody) {
    const uint32_t at = 57;       // image offset
    const uint32_t payload = 75;  // image offset + descriptor
    const ImageCase cases[] = {
        {"bitmap, inline rows", bitmap(8, 0, 2, 2, 8).u32(0).zeros(16), true},
        {"bitmap, rows short by one", bitmap(8, 0, 2, 2, 8).u32(0).zeros(15), false},
        {"bitmap, stride below a row", bitmap(8, 0, 3, 1, 8).u32(0).zeros(8), false},
        {"bitmap, 1 bpp row fits", bitmap(1, 0, 9, 1, 2).u32(0).zeros(2), true},
        {"bitmap, stride x height past 32 bits", bitmap(5, 0, 1, 0x10000, 0x10000).u32(0).zeros(64), false},
        {"bitmap, palette from cache", bitmap(5, SPICE_BITMAP_FLAGS_PAL_FROM_CACHE, 1, 1, 1).u64(42).zeros(1),
         true},
        {"bitmap, palette pointer",
         bitmap(5, 0, 1, 1, 1).u32(payload + 18 + 1).zeros(1).u64(42).u16(2).u32(1).u32(2), true},
        {"bitmap, palette count past the end",
         bitmap(5, 0, 1, 1, 1).u32(payload + 18 + 1).zeros(1).u64(42).u16(3).u32(1).u32(2), false},
        {"quic", descriptor(SPICE_IMAGE_TYPE_QUIC).u32(4).text("QUIC"), true},
        {"quic, size past the end", descriptor(SPICE_IMAGE_TYPE_QUIC).u32(5).text("QUIC"), false},
        {"lz_rgb", descriptor(SPICE_IMAGE_TYPE_LZ_RGB).u32(0), true},
        {"glz_rgb", descriptor(SPICE_IMAGE_TYPE_GLZ_RGB).u32(1).u8(0), true},
        {"jpeg", descriptor(SPICE_IMAGE_TYPE_JPEG).u32(2).bytes({0xFF, 0xD8}), true},
        {"lz_plt, palette pointer 0", descriptor(SPICE_IMAGE_TYPE_LZ_PLT).u8(0).u32(0).u32(0), false},
        {"lz_plt, palette from cache",
         descriptor(SPICE_IMAGE_TYPE_LZ_PLT).u8(SPICE_BITMAP_FLAGS_PAL_FROM_CACHE).u32(1).u64(3).u8(0), true},
        {"lz_plt, palette pointer",
         descriptor(SPICE_IMAGE_TYPE_LZ_PLT).u8(0).u32(0).u32(payload + 9).u64(3).u16(0), true},
        {"surface", descriptor(SPICE_IMAGE_TYPE_SURFACE).u32(1), true},
        {"zlib_glz_rgb", descriptor(SPICE_IMAGE_TYPE_ZLIB_GLZ_RGB).u32(100).u32(1).u8(0x78), true},
        {"zlib_glz_rgb, size past the end",
         descriptor(SPICE_IMAGE_TYPE_ZLIB_GLZ_RGB).u32(100).u32(2).u8(0x78), false},
        {"jpeg_alpha", descriptor(SPICE_IMAGE_TYPE_JPEG_ALPHA).u8(1).u32(1).u32(2).u8(0).u8(0), true},
        {"jpeg_alpha, jpeg part larger than the data",
         descriptor(SPICE_IMAGE_TYPE_JPEG_ALPHA).u8(1).u32(3).u32(2).u8(0).u8(0), false},
        {"from_cache_lossless", descriptor(SPICE_IMAGE_TYPE_FROM_CACHE_LOSSLESS), true},
        {"type 110 outside the compact encoding: descriptor only", descriptor(SPICE_IMAGE_TYPE_COMPACT_110),
         true},
        {"descriptor cut short", Body().u64(9).u8(SPICE_IMAGE_TYPE_FROM_CACHE).u8(0).u32(1), false},
    };
    for (const ImageCase& c : cases) {
        Body body = base_v2().u32(at).rect(0, 0, 2, 2).u16(8).u8(0).bytes(mask_none_v2()).bytes(c.image);
        Parsed msg(V2, DISPLAY, SPICE_MSG_DISPLAY_DRAW_COPY, body);
        EXPECT_EQ(msg.ok(), c.ok) << c.name;
    }
}

TEST(DisplayImages, PayloadFieldsAndPalettesAreParsed) {
    const uint32_t palette_at = 57 + 18 + 18 + 1;
    Body body = base_v2()
                    .u32(57)
                    .rect(0, 0, 1, 1)
                    .u16(8)
                    .u8(0)
                    .bytes(mask_none_v2())
                    .bytes(bitmap(5, SPICE_BITMAP_FLAGS_PAL_CACHE_ME, 1, 1, 1).u32(palette_at).u8(1))
                    .u64(42)
                    .u16(2)
                    .u32(0x000000)
                    .u32(0xFFFFFF);
    Parsed msg(V2, DISPLAY, SPICE_MSG_DISPLAY_DRAW_COPY, body);
    ASSERT_TRUE(msg.ok());
    const SpiceBitmap& bmp = msg.as<SpiceMsgDisplayDrawCopy>()->data.src_bitmap->u.bitmap;
    ASSERT_NE(bmp.palette, nullptr);
    EXPECT_TRUE(msg.in_block(bmp.palette));
    EXPECT_EQ(bmp.palette->unique, 42u);
    ASSERT_EQ(bmp.palette->num_ents, 2);
    EXPECT_EQ(bmp.palette->ents[1], 0xFFFFFFu);

    Body jpeg_alpha =
        base_v2()
            .u32(57)
            .rect(0, 0, 1, 1)
            .u16(8)
            .u8(0)
            .bytes(mask_none_v2())
            .bytes(descriptor(SPICE_IMAGE_TYPE_JPEG_ALPHA).u8(1).u32(2).u32(3).bytes({1, 2, 3}));
    Parsed ja(V2, DISPLAY, SPICE_MSG_DISPLAY_DRAW_COPY, jpeg_alpha);
    ASSERT_TRUE(ja.ok());
    const SpiceJPEGAlphaData& d = ja.as<SpiceMsgDisplayDrawCopy>()->data.src_bitmap->u.jpeg_alpha;
    EXPECT_EQ(d.flags, 1);
    EXPECT_EQ(d.jpeg_size, 2u);
    EXPECT_EQ(d.data_size, 3u);
    EXPECT_EQ(d.data->chunk[0].data, ja.body() + 57 + 18 + 9);
}

TEST(DisplayImages, AnOffsetAtTheBodysEndFails) {
    Body body = base_v2().u32(57).rect(0, 0, 1, 1).u16(8).u8(0).bytes(mask_none_v2());
    EXPECT_FALSE(Parsed(V2, DISPLAY, SPICE_MSG_DISPLAY_DRAW_COPY, body).ok());
    // An absent source image is left to the handler.
    Parsed none(V2, DISPLAY, SPICE_MSG_DISPLAY_DRAW_COPY, Body().bytes(body).patch_u32(21, 0));
    ASSERT_TRUE(none.ok());
    EXPECT_EQ(none.as<SpiceMsgDisplayDrawCopy>()->data.src_bitmap, nullptr);
}

// Stroke: base 21, path pointer, line attributes (styled: 6 bytes), solid brush 5, two modes: 40 bytes.
TEST(DisplayStroke, PathSegmentsAndStylesAreParsed) {
    Body body =
        base_v2().u32(40).u8(SPICE_LINE_FLAGS_STYLED).u8(2).u32(40 + 38).u8(1).u32(0xFF).u16(8).u16(8);
    ASSERT_EQ(body.size(), 40u);
    body.u32(2)
        .u8(SPICE_PATH_BEGIN)
        .u32(2)
        .point(16, 32)
        .point(48, 64)
        .u8(SPICE_PATH_END | SPICE_PATH_CLOSE)
        .u32(1)
        .point(0, 0);
    body.u32(48).u32(32);
    Parsed msg(V2, DISPLAY, SPICE_MSG_DISPLAY_DRAW_STROKE, body);
    ASSERT_TRUE(msg.ok());
    const SpiceStroke& s = msg.as<SpiceMsgDisplayDrawStroke>()->data;
    ASSERT_NE(s.path, nullptr);
    ASSERT_EQ(s.path->num_segments, 2u);
    EXPECT_EQ(s.path->segments[0]->flags, uint32_t(SPICE_PATH_BEGIN));
    ASSERT_EQ(s.path->segments[0]->count, 2u);
    EXPECT_EQ(s.path->segments[0]->points[1].y, 64);
    EXPECT_EQ(s.path->segments[1]->flags, uint32_t(SPICE_PATH_END | SPICE_PATH_CLOSE));
    EXPECT_EQ(s.path->segments[1]->count, 1u);
    EXPECT_TRUE(msg.in_block(s.path->segments[1]->points));
    EXPECT_EQ(s.attr.style_nseg, 2);
    EXPECT_EQ(s.attr.style[0], 48);
    EXPECT_EQ(s.attr.style[1], 32);
    EXPECT_EQ(s.brush.u.color, 0xFFu);

    // The same with no path, a style pointer of 0, or a segment count past the end.
    EXPECT_FALSE(
        Parsed(V2, DISPLAY, SPICE_MSG_DISPLAY_DRAW_STROKE, Body().bytes(body).patch_u32(21, 0)).ok());
    EXPECT_FALSE(
        Parsed(V2, DISPLAY, SPICE_MSG_DISPLAY_DRAW_STROKE, Body().bytes(body).patch_u32(27, 0)).ok());
    EXPECT_FALSE(
        Parsed(V2, DISPLAY, SPICE_MSG_DISPLAY_DRAW_STROKE, Body().bytes(body).patch_u32(40, 0x40000000))
            .ok());
}

TEST(DisplayStroke, GenerationOnePathGivesItsByteSize) {
    // Base 28, pointer 8, attributes 20, brush 4, modes 4: the path at 64.
    Body body = base_v1().u64(64).u8(0).u8(0).u8(0).u8(0).u32(16).u32(16).u64(0).u32(0).u16(8).u16(8);
    body.u32(2 * 8 + 8 + 8).u32(SPICE_PATH_BEGIN).u32(1).point(1, 2).u32(SPICE_PATH_END).u32(1).point(3, 4);
    Parsed msg(V1, DISPLAY, SPICE_MSG_DISPLAY_DRAW_STROKE, body);
    ASSERT_TRUE(msg.ok());
    const SpicePath* path = msg.as<SpiceMsgDisplayDrawStroke>()->data.path;
    ASSERT_EQ(path->num_segments, 2u);
    EXPECT_EQ(path->segments[1]->points[0].x, 3);
    EXPECT_EQ(msg.as<SpiceMsgDisplayDrawStroke>()->base.surface_id, 0u);

    // A byte size that ends inside a segment.
    EXPECT_FALSE(
        Parsed(V1, DISPLAY, SPICE_MSG_DISPLAY_DRAW_STROKE, Body().bytes(body).patch_u32(64, 30)).ok());
}

TEST(DisplayText, GlyphRowsAreSizedByTheRasterDepth) {
    // Text: base 21, string pointer, back area, two empty brushes, two modes: 47 bytes; two 8 x 10 1-bpp
    // glyphs.
    Body body = base_v2().u32(47).rect(0, 0, 16, 10).u8(0).u8(0).u16(8).u16(8);
    body.u16(2).u8(SPICE_STRING_FLAGS_RASTER_A1);
    for (int g = 0; g < 2; g++) {
        body.point(8 * g, 10).point(0, -10).u16(8).u16(10).zeros(10);
    }
    Parsed msg(V2, DISPLAY, SPICE_MSG_DISPLAY_DRAW_TEXT, body);
    ASSERT_TRUE(msg.ok());
    const SpiceString* str = msg.as<SpiceMsgDisplayDrawText>()->data.str;
    ASSERT_EQ(str->length, 2);
    EXPECT_EQ(str->glyphs[1]->render_pos.x, 8);
    EXPECT_EQ(str->glyphs[1]->glyph_origin.y, -10);
    EXPECT_EQ(str->glyphs[1]->data, msg.body() + 47 + 3 + 30 + 20);

    std::vector<uint8_t> bytes = body;
    bytes[47 + 2] = SPICE_STRING_FLAGS_RASTER_A8;  // rows of 8 bytes no longer fit
    EXPECT_FALSE(Parsed(V2, DISPLAY, SPICE_MSG_DISPLAY_DRAW_TEXT, bytes).ok());
    bytes[47 + 2] = 0;  // no raster depth at all
    EXPECT_FALSE(Parsed(V2, DISPLAY, SPICE_MSG_DISPLAY_DRAW_TEXT, bytes).ok());
}

// The real server's two forms: flags 0x3 (16 bytes after the base) and 0x180003 (mask and source transform).
TEST(DisplayComposite, OptionalFieldsFollowTheFlags) {
    Parsed plain(V2, DISPLAY, SPICE_MSG_DISPLAY_DRAW_COMPOSITE,
                 base_v2().u32(3).u32(37).u16(1).u16(2).u16(3).u16(4).bytes(cached_image(1)));
    ASSERT_TRUE(plain.ok());
    auto p = plain.as<SpiceMsgDisplayDrawComposite>();
    EXPECT_EQ(p->data.src_bitmap->descriptor.id, 1u);
    EXPECT_EQ(p->data.mask_bitmap, nullptr);
    EXPECT_EQ(p->data.mask_origin.y, 4);

    Body full = base_v2().u32(0x180003).u32(65).u32(83);
    full.u32(0x10000).u32(0).u32(0).u32(0).u32(0x10000).u32(5).u16(1).u16(2).u16(3).u16(4);
    ASSERT_EQ(full.size(), 21u + 44u);
    full.bytes(cached_image(1)).bytes(cached_image(2));
    Parsed masked(V2, DISPLAY, SPICE_MSG_DISPLAY_DRAW_COMPOSITE, full);
    ASSERT_TRUE(masked.ok());
    auto m = masked.as<SpiceMsgDisplayDrawComposite>();
    EXPECT_EQ(m->data.mask_bitmap->descriptor.id, 2u);
    EXPECT_EQ(m->data.src_transform.t12, 5u);
    EXPECT_EQ(m->data.mask_transform.t00, 0u);
    EXPECT_EQ(m->data.src_origin.x, 1);
}

// The real server's 51-byte body has a u64 stamp between the codec and the sizes.
TEST(DisplayStreams, CreateCarriesTheStampAndDataStaysInPlace) {
    Parsed create(V2, DISPLAY, SPICE_MSG_DISPLAY_STREAM_CREATE,
                  Body()
                      .u32(0)
                      .u32(0x31)
                      .u8(1)
                      .u8(1)
                      .u64(0)
                      .u32(32)
                      .u32(400)
                      .u32(32)
                      .u32(400)
                      .rect(0, 0, 32, 400)
                      .u8(0));
    ASSERT_TRUE(create.ok());
    auto c = create.as<SpiceMsgDisplayStreamCreate>();
    EXPECT_EQ(c->id, 0x31u);
    EXPECT_EQ(c->codec_type, SPICE_VIDEO_CODEC_TYPE_MJPEG);
    EXPECT_EQ(c->stream_height, 400u);
    EXPECT_EQ(c->dest.right, 32);
    EXPECT_EQ(c->dest.bottom, 400);

    Parsed v1(
        V1, DISPLAY, SPICE_MSG_DISPLAY_STREAM_CREATE,
        Body().u32(3).u32(1).u32(0x101).u64(0).u32(1).u32(1).u32(1).u32(1).rect(0, 0, 1, 1).u32(0).u64(0));
    EXPECT_FALSE(v1.ok());  // a codec that does not fit the parsed byte

    Parsed data(V2, DISPLAY, SPICE_MSG_DISPLAY_STREAM_DATA,
                Body().u32(1).u32(2).u32(3).bytes({0xFF, 0xD8, 0xFF}));
    ASSERT_TRUE(data.ok());
    EXPECT_EQ(data.as<SpiceMsgDisplayStreamData>()->data, data.body() + 12);
    EXPECT_FALSE(Parsed(V2, DISPLAY, SPICE_MSG_DISPLAY_STREAM_DATA,
                        Body().u32(1).u32(2).u32(4).bytes({0xFF, 0xD8, 0xFF}))
                     .ok());
    // Generation 1: the pad bytes after the frame must be there too.
    EXPECT_TRUE(
        Parsed(V1, DISPLAY, SPICE_MSG_DISPLAY_STREAM_DATA, Body().u32(1).u32(2).u32(1).u32(2).zeros(3)).ok());
    EXPECT_FALSE(
        Parsed(V1, DISPLAY, SPICE_MSG_DISPLAY_STREAM_DATA, Body().u32(1).u32(2).u32(1).u32(2).zeros(2)).ok());
}

TEST(DisplayGenerationOne, ClipRectanglesAreReachedThroughAPointer) {
    // Base: rectangle, clip type 1, pointer to the list at 45 (after the 17-byte mask of blackness).
    Body body = Body().rect(0, 0, 8, 8).u32(SPICE_CLIP_TYPE_RECTS).u64(45).bytes(mask_none_v1());
    body.u32(1).rect(1, 1, 2, 2);
    Parsed msg(V1, DISPLAY, SPICE_MSG_DISPLAY_DRAW_BLACKNESS, body);
    ASSERT_TRUE(msg.ok());
    const SpiceClip& clip = msg.as<SpiceMsgDisplayDrawBlackness>()->base.clip;
    ASSERT_NE(clip.rects, nullptr);
    EXPECT_EQ(clip.rects->num_rects, 1u);
    EXPECT_EQ(clip.rects->rects[0].right, 2);
    // Rectangles announced without a list.
    EXPECT_FALSE(Parsed(V1, DISPLAY, SPICE_MSG_DISPLAY_DRAW_BLACKNESS,
                        Body().rect(0, 0, 8, 8).u32(SPICE_CLIP_TYPE_RECTS).u64(0).bytes(mask_none_v1()))
                     .ok());
}

TEST(DisplayGenerationOne, BitmapRowsAreReachedThroughAPointer) {
    // Copy: base 28, pointer 8, rect 16, rop 2, scale 1, mask 17 = 72; the image at 72 with its rows after
    // it.
    Body body = base_v1().u64(72).rect(0, 0, 1, 1).u16(8).u8(0).bytes(mask_none_v1());
    body.bytes(descriptor(SPICE_IMAGE_TYPE_BITMAP, 0, 1, 1))
        .u8(8)
        .u8(0)
        .u32(1)
        .u32(1)
        .u32(4)
        .u64(0)
        .u64(72 + 18 + 30);
    body.bytes({1, 2, 3, 4});
    Parsed msg(V1, DISPLAY, SPICE_MSG_DISPLAY_DRAW_COPY, body);
    ASSERT_TRUE(msg.ok());
    const SpiceBitmap& bmp = msg.as<SpiceMsgDisplayDrawCopy>()->data.src_bitmap->u.bitmap;
    EXPECT_EQ(bmp.data->chunk[0].data, msg.body() + 120);
    EXPECT_EQ(bmp.data->chunk[0].len, 4u);
    EXPECT_FALSE(Parsed(V1, DISPLAY, SPICE_MSG_DISPLAY_DRAW_COPY, Body().bytes(body).patch_u32(112, 0)).ok());
}

TEST(DisplayCaches, InvalListAndMonitorsArrays) {
    Parsed inval(V2, DISPLAY, SPICE_MSG_DISPLAY_INVAL_LIST, Body().u16(1).u8(1).u64(0xABCDEF));
    ASSERT_TRUE(inval.ok());
    EXPECT_EQ(inval.as<SpiceMsgDisplayInvalList>()->resources[0].id, 0xABCDEFu);
    EXPECT_FALSE(Parsed(V2, DISPLAY, SPICE_MSG_DISPLAY_INVAL_LIST, Body().u16(2).u8(1).u64(0xABCDEF)).ok());

    Parsed monitors(V2, DISPLAY, SPICE_MSG_DISPLAY_MONITORS_CONFIG,
                    Body().u16(1).u16(1).u32(0).u32(0).u32(640).u32(480).u32(0).u32(0).u32(0));
    ASSERT_TRUE(monitors.ok());
    EXPECT_EQ(monitors.as<SpiceMsgDisplayMonitorsConfig>()->heads[0].height, 480u);
}

// ---- The server's own display messages ----

TEST(DisplayExtra320, CopiesBothRunsBehindTheRecord) {
    Parsed msg(V2, DISPLAY, SPICE_MSG_DISPLAY_EXTRA_320, Body().u32(9).u32(2).u32(1).bytes({1, 2, 3}));
    ASSERT_TRUE(msg.ok());
    EXPECT_EQ(msg.parsed_size(), 12u + 3u);
    auto m = msg.as<SpiceMsgDisplayExtra320>();
    EXPECT_EQ(m->value, 9u);
    EXPECT_EQ(m->data()[2], 3);
    // size1 + size2 past the body, and a sum that wraps in 32 bits to 1.
    EXPECT_FALSE(
        Parsed(V2, DISPLAY, SPICE_MSG_DISPLAY_EXTRA_320, Body().u32(9).u32(2).u32(2).bytes({1, 2, 3})).ok());
    EXPECT_FALSE(Parsed(V2, DISPLAY, SPICE_MSG_DISPLAY_EXTRA_320,
                        Body().u32(9).u32(0xFFFFFFFF).u32(2).bytes({1, 2, 3}))
                     .ok());
}

TEST(DisplayVideoFragment, DataIsCopiedBehindThe32ByteRecord) {
    Parsed empty(V2, DISPLAY, SPICE_MSG_DISPLAY_VIDEO_FRAGMENT,
                 Body().u32(1).u64(2).u32(3).u16(1).u16(0).u32(0));
    ASSERT_TRUE(empty.ok());
    EXPECT_EQ(empty.parsed_size(), 32u);

    Parsed msg(V2, DISPLAY, SPICE_MSG_DISPLAY_VIDEO_FRAGMENT,
               Body().u32(0xA).u32(77).u32(4).u32(2).u16(0).u16(1).u32(2).bytes({5, 6}));
    ASSERT_TRUE(msg.ok());
    EXPECT_EQ(msg.parsed_size(), 34u);
    auto m = msg.as<SpiceMsgDisplayVideoFragment>();
    EXPECT_EQ(m->id, 0xAu);
    EXPECT_EQ(m->frame_number(), 77u);
    EXPECT_EQ(m->fragment_count(), 4u);
    EXPECT_EQ(m->index, 2u);
    EXPECT_EQ(m->last, 1);
    EXPECT_EQ(m->data()[1], 6);
    EXPECT_FALSE(Parsed(V2, DISPLAY, SPICE_MSG_DISPLAY_VIDEO_FRAGMENT,
                        Body().u32(0xA).u64(77).u32(2).u16(0).u16(1).u32(0xFFFFFFFF).bytes({5, 6}))
                     .ok());
}

TEST(DisplayDrawCacheBuild, FortyTwoBytesGiveTheAreaAsLeftTopRightBottom) {
    Parsed msg(V2, DISPLAY, SPICE_MSG_DISPLAY_DRAW_CACHE_BUILD,
               Body().u64(5).u8(8).u8(1).u32(64).u32(32).u32(2).u32(0).rect(10, 20, 74, 52));
    ASSERT_TRUE(msg.ok());
    EXPECT_EQ(msg.parsed_size(), 48u);
    auto m = msg.as<SpiceMsgDisplayDrawCacheBuild>();
    EXPECT_EQ(m->cache_id, 5u);
    EXPECT_EQ(m->width, 64u);
    EXPECT_EQ(m->surface_id, 2u);
    EXPECT_EQ(m->area.left, 10);
    EXPECT_EQ(m->area.top, 20);
    EXPECT_EQ(m->area.right, 74);
    EXPECT_EQ(m->area.bottom, 52);
}

TEST(DisplayDrawCacheCopy, IsADrawCopyWithTheKeyBehindTheMask) {
    // The key behind the 57 fixed bytes of the copy, the image after it.
    Body copy = real_draw_copy();
    std::vector<uint8_t> bytes = copy;
    std::vector<uint8_t> cache(bytes.begin(), bytes.begin() + 57);
    Body body =
        Body().bytes(cache).u64(0xC0FFEE).bytes(std::vector<uint8_t>(bytes.begin() + 57, bytes.end()));
    body.patch_u32(21, 65);
    Parsed msg(V2, DISPLAY, SPICE_MSG_DISPLAY_DRAW_CACHE_COPY, body);
    ASSERT_TRUE(msg.ok());
    auto m = msg.as<SpiceMsgDisplayDrawCacheCopy>();
    EXPECT_EQ(m->cache_id, 0xC0FFEEu);
    EXPECT_EQ(m->data.src_bitmap->u.bitmap.stride, 8u);
    EXPECT_EQ(m->data.mask.bitmap, nullptr);
    EXPECT_EQ(offsetof(SpiceMsgDisplayDrawCacheCopy, cache_id) % 8, 0u);

    Parsed plain(V2, DISPLAY, SPICE_MSG_DISPLAY_DRAW_COPY, copy);
    ASSERT_TRUE(plain.ok());
    EXPECT_EQ(plain.as<SpiceMsgDisplayDrawCopy>()->data.src_area.right, m->data.src_area.right);
    EXPECT_EQ(plain.as<SpiceMsgDisplayDrawCopy>()->data.rop_descriptor, m->data.rop_descriptor);
}

}  // namespace
