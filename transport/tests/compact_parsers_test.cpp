// The compact draw encoding's rules byte by byte: what a message leaves out comes from the last message of
// its kind, the primitive encodings, the failures and what they log, hostile counts, and the display dispatch
// while the encoding is on.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "parser_test_util.h"
#include "support/compact_compare.h"

namespace {

const uint16_t FILL = SPICE_MSG_DISPLAY_DRAW_FILL, COPY = SPICE_MSG_DISPLAY_DRAW_COPY,
               STROKE = SPICE_MSG_DISPLAY_DRAW_STROKE, CACHE_COPY = SPICE_MSG_DISPLAY_DRAW_CACHE_COPY;
const uint8_t BOX_UNCHANGED = SPICE_OPT_HEADER_BOX_UNCHANGED, CLIP = SPICE_OPT_HEADER_CLIP_RECTS;

// A rectangle record with all four values absolute.
Body rect_record(int16_t left, int16_t top, int16_t right, int16_t bottom) {
    return Body().u8(0x0F).u16(uint16_t(left)).u16(uint16_t(top)).u16(uint16_t(right)).u16(uint16_t(bottom));
}

std::string str(const SpiceRect& r) {
    return compact_compare::str(r);
}

SpiceRect rect(int l, int t, int r, int b) {
    return SpiceRect{l, t, r, b};
}

// ---- What is left out comes from the last message of the same kind ----

TEST(CompactContext, ACopyOfNothingButItsImageReusesTheLastCopy) {
    OptDrawContext ctx{};
    // Everything present: box, source area, a u16 ROP, scale mode, and the image's type, flags and size.
    Body first =
        rect_record(10, 20, 30, 40).u16(0x03FC).u32(0).bytes(rect_record(0, 0, 20, 20)).u16(0x0108).u8(1);
    first.patch_u32(11, uint32_t(first.size()));
    first.u64(5).u8(SPICE_IMAGE_TYPE_FROM_CACHE).u8(SPICE_IMAGE_FLAGS_CACHE_ME).u8(20).u8(20);
    ASSERT_TRUE(CompactParsed(parse_display_msg_opt, 0, &ctx, COPY, first).ok());

    // Box unchanged, no clip, flag word 0: the offset and, there, the id alone.
    CompactParsed second(parse_display_msg_opt, BOX_UNCHANGED, &ctx, COPY, Body().u16(0).u32(6).u64(6));
    ASSERT_TRUE(second.ok());
    auto m = second.as<SpiceMsgDisplayDrawCopy>();
    EXPECT_EQ(m->base.surface_id, 0u);
    EXPECT_EQ(str(m->base.box), str(rect(10, 20, 30, 40)));
    EXPECT_EQ(m->base.clip.type, SPICE_CLIP_TYPE_NONE);
    EXPECT_EQ(m->base.clip.rects, nullptr);
    EXPECT_EQ(str(m->data.src_area), str(rect(0, 0, 20, 20)));
    EXPECT_EQ(m->data.rop_descriptor, 0x0108);
    EXPECT_EQ(m->data.scale_mode, 1);
    ASSERT_NE(m->data.src_bitmap, nullptr);
    const SpiceImageDescriptor& d = m->data.src_bitmap->descriptor;
    EXPECT_EQ(d.id, 6u);
    EXPECT_EQ(d.type, SPICE_IMAGE_TYPE_FROM_CACHE);
    EXPECT_EQ(d.flags, SPICE_IMAGE_FLAGS_CACHE_ME);
    EXPECT_EQ(d.width, 20u);
    EXPECT_EQ(d.height, 20u);
    EXPECT_EQ(m->data.mask.flags, 0);
    EXPECT_EQ(m->data.mask.bitmap, nullptr);
}

TEST(CompactContext, EachKindKeepsItsOwnValues) {
    OptDrawContext ctx{};
    auto parse_ok = [&](uint16_t type, uint8_t header, const Body& body) {
        CompactParsed p(parse_display_msg_opt, header, &ctx, type, body);
        EXPECT_TRUE(p.ok()) << "type " << type;
    };
    // A solid fill: type, a 24-bit colour, a u16 ROP.
    parse_ok(
        FILL, 0,
        rect_record(0, 0, 8, 8).u16(0x180B).u8(SPICE_BRUSH_TYPE_SOLID).bytes({0x56, 0x34, 0x12}).u16(0x0108));
    // A cache copy and a copy with values of their own.
    parse_ok(CACHE_COPY, 0,
             rect_record(1, 1, 2, 2).u16(0x03C0).u32(0).bytes(rect_record(0, 0, 1, 1)).u16(4).u8(1).u64(99));
    parse_ok(COPY, 0,
             rect_record(50, 50, 60, 60).u16(0x02C0).u32(0).bytes(rect_record(0, 0, 10, 10)).u8(8).u8(0));

    CompactParsed fill(parse_display_msg_opt, BOX_UNCHANGED, &ctx, FILL, Body().u16(0));
    ASSERT_TRUE(fill.ok());
    auto f = fill.as<SpiceMsgDisplayDrawFill>();
    EXPECT_EQ(str(f->base.box), str(rect(0, 0, 8, 8)));
    EXPECT_EQ(f->data.brush.type, uint32_t(SPICE_BRUSH_TYPE_SOLID));
    EXPECT_EQ(f->data.brush.u.color, 0x123456u);
    EXPECT_EQ(f->data.rop_descriptor, 0x0108);
    EXPECT_EQ(f->data.mask.bitmap, nullptr);

    CompactParsed cache(parse_display_msg_opt, BOX_UNCHANGED, &ctx, CACHE_COPY,
                        Body().u16(0).u32(0).u64(100));
    ASSERT_TRUE(cache.ok());
    auto c = cache.as<SpiceMsgDisplayDrawCacheCopy>();
    EXPECT_EQ(str(c->base.box), str(rect(1, 1, 2, 2)));
    EXPECT_EQ(str(c->data.src_area), str(rect(0, 0, 1, 1)));
    EXPECT_EQ(c->data.rop_descriptor, 4);
    EXPECT_EQ(c->data.scale_mode, 1);
    EXPECT_EQ(c->cache_id, 100u);

    // A pattern: type, offset, x absolute, y relative; the image's type and size. Then a fill that sends only
    // the pattern's offset and the id there.
    Body pattern = Body().u16(0x03E9).u8(SPICE_BRUSH_TYPE_PATTERN).u32(10).u16(5).u8(uint8_t(-3));
    pattern.u64(1).u8(SPICE_IMAGE_TYPE_FROM_CACHE).u8(4).u8(4);
    parse_ok(FILL, BOX_UNCHANGED, pattern);
    CompactParsed again(parse_display_msg_opt, BOX_UNCHANGED, &ctx, FILL, Body().u16(0).u32(6).u64(2));
    ASSERT_TRUE(again.ok());
    auto p = again.as<SpiceMsgDisplayDrawFill>();
    ASSERT_EQ(p->data.brush.type, uint32_t(SPICE_BRUSH_TYPE_PATTERN));
    EXPECT_EQ(p->data.brush.u.pattern.pos.x, 5);
    EXPECT_EQ(p->data.brush.u.pattern.pos.y, -3);
    ASSERT_NE(p->data.brush.u.pattern.pat, nullptr);
    EXPECT_EQ(p->data.brush.u.pattern.pat->descriptor.id, 2u);
    EXPECT_EQ(p->data.brush.u.pattern.pat->descriptor.type, SPICE_IMAGE_TYPE_FROM_CACHE);
    EXPECT_EQ(p->data.brush.u.pattern.pat->descriptor.width, 4u);
    EXPECT_EQ(p->data.rop_descriptor, 0x0108);
}

// ---- Primitive encodings ----

TEST(CompactEncoding, RectangleRecordReadsEachValueInItsWidth) {
    struct Case {
        std::vector<uint8_t> record;
        SpiceRect expected;  // from the previous box (10, 20, 30, 40)
    };
    const Case cases[] = {
        {{0x00}, rect(10, 20, 30, 40)},
        {{0x11, 0x0C, 0xFE}, rect(-500, 20, 30, 40)},       // absolute wins over relative: a 2-byte left only
        {{0x10, 0xFD}, rect(7, 20, 30, 40)},                // one signed byte added to the previous left
        {{0x02, 0x00, 0x80}, rect(10, -32768, 30, 40)},     // absolute top
        {{0xF0, 1, 2, 0xFF, 0x80}, rect(11, 22, 29, -88)},  // every value relative
        {{0x84, 0x34, 0x12, 5}, rect(10, 20, 0x1234, 45)},  // right absolute, bottom relative
    };
    for (const Case& c : cases) {
        OptDrawContext ctx{};
        ctx.fill.box = rect(10, 20, 30, 40);
        // A record longer than its flags say would read the flag word past the end; a shorter one, wrong
        // values.
        std::vector<uint8_t> body = Body().bytes(c.record).u16(0);
        CompactParsed p(parse_display_msg_opt, 0, &ctx, FILL, body);
        ASSERT_TRUE(p.ok()) << str(c.expected);
        EXPECT_EQ(str(p.as<SpiceMsgDisplayDrawFill>()->base.box), str(c.expected));
        EXPECT_EQ(str(ctx.fill.box), str(c.expected));
    }
}

TEST(CompactEncoding, ClipListNibblesGoHighThenLow) {
    // Three rectangles: byte 0's high nibble (left absolute), its low nibble (top absolute), byte 1's high
    // nibble (right absolute); every other value is the previous rectangle's plus an i8.
    Body body = Body().u8(3).u8(0x12).u8(0x40);
    body.u16(100).u8(5).u8(6).u8(7);
    body.u8(1).u16(uint16_t(-200)).u8(uint8_t(-1)).u8(0);
    body.u8(0).u8(10).u16(300).u8(1);
    body.u16(0);
    OptDrawContext ctx{};
    CompactParsed p(parse_display_msg_opt, BOX_UNCHANGED | CLIP, &ctx, FILL, body);
    ASSERT_TRUE(p.ok());
    const SpiceClip& clip = p.as<SpiceMsgDisplayDrawFill>()->base.clip;
    EXPECT_EQ(clip.type, SPICE_CLIP_TYPE_RECTS);
    ASSERT_NE(clip.rects, nullptr);
    ASSERT_EQ(clip.rects->num_rects, 3u);
    EXPECT_EQ(str(clip.rects->rects[0]), str(rect(100, 5, 6, 7)));
    EXPECT_EQ(str(clip.rects->rects[1]), str(rect(101, -200, 5, 7)));
    EXPECT_EQ(str(clip.rects->rects[2]), str(rect(101, -190, 300, 8)));
}

// A stroke (box unchanged, brush and modes from the context) whose path, at offset 6, is the given bytes.
Body stroke_with_path(uint16_t flags, const Body& path) {
    return Body().u16(flags).u32(6).bytes(path);
}

TEST(CompactEncoding, SegmentCountForms) {
    struct Case {
        std::vector<uint8_t> bytes;
        uint32_t count;
    };
    const Case cases[] = {
        {{0x05}, 5},
        {{0x85, 0x10}, 144},  // 128 + the second byte; the first byte's low bits are not
                              // used
        {{0x80, 0x00}, 128},
        {{0x80, 0x80, 0x00, 0x03}, 3},
        {{0x80, 0x80, 0x01, 0x00}, 256},
    };
    for (const Case& c : cases) {
        OptDrawContext ctx{};
        // Every segment: flags and point count carried over (0), no points.
        CompactParsed p(parse_display_msg_opt, BOX_UNCHANGED, &ctx, STROKE,
                        stroke_with_path(0x0001, Body().bytes(c.bytes).zeros((c.count + 1) / 2)));
        ASSERT_TRUE(p.ok()) << c.count;
        const SpicePath* path = p.as<SpiceMsgDisplayDrawStroke>()->data.path;
        ASSERT_EQ(path->num_segments, c.count);
        EXPECT_EQ(path->segments[c.count - 1]->count, 0u);
        EXPECT_EQ(ctx.stroke.num_segments, c.count);
    }
}

TEST(CompactEncoding, PathPointsStartEverySegmentAtTheOrigin) {
    Body path = Body().u8(2).u8(0x33);  // two segments, each with its flags and a u8 point count
    // Segment 0: two points. Point 0 (0xF0): x and y absolute i32. Point 1 (0x60): x plus an i16, y plus an
    // i8.
    path.u8(SPICE_PATH_BEGIN).u8(2).u8(0xF6).i32(0x12345678).i32(-7).u16(uint16_t(-256)).u8(3);
    // Segment 1: one point (0x10): x is 0 plus an i8, y stays 0.
    path.u8(SPICE_PATH_END).u8(1).u8(0x10).u8(5);
    OptDrawContext ctx{};
    CompactParsed p(parse_display_msg_opt, BOX_UNCHANGED, &ctx, STROKE, stroke_with_path(0x0001, path));
    ASSERT_TRUE(p.ok());
    const SpicePath* out = p.as<SpiceMsgDisplayDrawStroke>()->data.path;
    ASSERT_EQ(out->num_segments, 2u);
    const SpicePathSeg& s0 = *out->segments[0];
    EXPECT_EQ(s0.flags, uint32_t(SPICE_PATH_BEGIN));
    ASSERT_EQ(s0.count, 2u);
    EXPECT_EQ(s0.points[0].x, 0x12345678);
    EXPECT_EQ(s0.points[0].y, -7);
    EXPECT_EQ(s0.points[1].x, 0x12345678 - 256);
    EXPECT_EQ(s0.points[1].y, -4);
    const SpicePathSeg& s1 = *out->segments[1];
    EXPECT_EQ(s1.flags, uint32_t(SPICE_PATH_END));
    ASSERT_EQ(s1.count, 1u);
    EXPECT_EQ(s1.points[0].x, 5);
    EXPECT_EQ(s1.points[0].y, 0);
}

TEST(CompactEncoding, BrushColourWidths) {
    struct Case {
        uint16_t flags;
        std::vector<uint8_t> colour;
        uint32_t expected;
    };
    const Case cases[] = {
        {0x0003, {0x11}, 0x11},
        {0x0007, {0x11, 0x22}, 0x2211},
        {0x000B, {0x11, 0x22, 0x33}, 0x332211},  // a type byte (solid) and three colour bytes
        {0x000F, {0x11, 0x22, 0x33, 0x44}, 0x44332211},
    };
    for (const Case& c : cases) {
        OptDrawContext ctx{};
        std::vector<uint8_t> body = Body().u16(c.flags).u8(SPICE_BRUSH_TYPE_SOLID).bytes(c.colour);
        CompactParsed p(parse_display_msg_opt, BOX_UNCHANGED, &ctx, FILL, body);
        ASSERT_TRUE(p.ok()) << c.flags;
        EXPECT_EQ(p.as<SpiceMsgDisplayDrawFill>()->data.brush.u.color, c.expected);
        body.pop_back();
        OptDrawContext scratch{};
        EXPECT_FALSE(CompactParsed(parse_display_msg_opt, BOX_UNCHANGED, &scratch, FILL, body).ok())
            << c.flags;
    }
}

TEST(CompactEncoding, AStyleCountIsReadOnlyForStyledLines) {
    // Flags 0x000F: segment count, line flags, style count, brush type. The line is not styled, so the byte
    // after the line flags is the brush type; read as a style count, the brush would come out wrong.
    OptDrawContext ctx{};
    ctx.stroke.brush.color = 0xABCDEF;
    Body body = Body().u16(0x000F).u32(8).u8(0).u8(SPICE_BRUSH_TYPE_SOLID).u8(0);
    CompactParsed plain(parse_display_msg_opt, BOX_UNCHANGED, &ctx, STROKE, body);
    ASSERT_TRUE(plain.ok());
    auto s = plain.as<SpiceMsgDisplayDrawStroke>();
    EXPECT_EQ(s->data.attr.style_nseg, 0);
    EXPECT_EQ(s->data.attr.style, nullptr);
    EXPECT_EQ(s->data.brush.type, uint32_t(SPICE_BRUSH_TYPE_SOLID));
    EXPECT_EQ(s->data.brush.u.color, 0xABCDEFu);

    // Styled: the count, then an offset to that many lengths.
    Body styled = Body().u16(0x0007).u32(12).u8(SPICE_LINE_FLAGS_STYLED).u8(2).u32(13).u8(0).i32(16).i32(-32);
    CompactParsed with_style(parse_display_msg_opt, BOX_UNCHANGED, &ctx, STROKE, styled);
    ASSERT_TRUE(with_style.ok());
    auto w = with_style.as<SpiceMsgDisplayDrawStroke>();
    ASSERT_EQ(w->data.attr.style_nseg, 2);
    EXPECT_EQ(w->data.attr.style[0], 16);
    EXPECT_EQ(w->data.attr.style[1], -32);

    // The next unstyled stroke has no style, though the context keeps the count for the next styled one.
    CompactParsed after(parse_display_msg_opt, BOX_UNCHANGED, &ctx, STROKE,
                        Body().u16(0x0003).u32(7).u8(0).u8(0));
    ASSERT_TRUE(after.ok());
    EXPECT_EQ(after.as<SpiceMsgDisplayDrawStroke>()->data.attr.style_nseg, 0);
    EXPECT_EQ(ctx.stroke.style_nseg, 2);
}

TEST(CompactEncoding, ImageType110IsLaidOutLikeQuic) {
    OptDrawContext ctx{};
    Body body = Body().u16(0x0004).u32(6).u64(1).u8(SPICE_IMAGE_TYPE_COMPACT_110).u32(3).bytes({7, 8, 9});
    CompactParsed p(parse_display_msg_opt, BOX_UNCHANGED, &ctx, COPY, body);
    ASSERT_TRUE(p.ok());
    const SpiceImage* img = p.as<SpiceMsgDisplayDrawCopy>()->data.src_bitmap;
    ASSERT_NE(img, nullptr);
    EXPECT_EQ(img->descriptor.type, SPICE_IMAGE_TYPE_COMPACT_110);
    EXPECT_EQ(img->u.quic.data_size, 3u);
    ASSERT_EQ(img->u.quic.data->num_chunks, 1u);
    EXPECT_EQ(img->u.quic.data->chunk[0].data, p.body() + 6 + 9 + 4);
    EXPECT_EQ(img->u.quic.data->chunk[0].len, 3u);
}

// ---- Failures ----

struct Refused {
    const char* what;
    uint16_t type;
    Body body;
    std::vector<const char*> logged;
};

// Each malformed body fails the parse, and the reason is logged as a warning: at ERROR the log would end the
// process.
TEST(CompactFailures, AreWarningsAndFailedParses) {
    const Refused cases[] = {
        {"copy: flag word and offset cut short",
         COPY,
         Body().u16(0).bytes({0, 0, 0}),
         {"[error]data src bitmap reach message end================>"}},
        {"copy: image offset past the end",
         COPY,
         Body().u16(0).u32(100),
         {"[error]start is >= message_end=======>", "[error]validate_SpiceImage failed================>"}},
        {"copy: image cut short",
         COPY,
         Body().u16(0).u32(6).u32(1),
         {"[error] start + nw_size is larger than message_end"}},
        {"copy: mask flags byte missing",
         COPY,
         Body().u16(0x0400).u32(0).u16(1),
         {"[error]parse_spice_qmask__size failed================>"}},
        {"fill: pattern offset 0",
         FILL,
         Body().u16(1).u8(SPICE_BRUSH_TYPE_PATTERN).u32(0),
         {"validate_SpiceImage pat value failed ====================================>>",
          "[error]get brush extra size error"}},
        {"fill: pattern record cut short",
         FILL,
         Body().u16(1).u8(SPICE_BRUSH_TYPE_PATTERN).u16(0),
         {"[error]pos reach message end ====================================>>"}},
        {"fill: pattern image past the end",
         FILL,
         Body().u16(1).u8(SPICE_BRUSH_TYPE_PATTERN).u32(50),
         {"validate_SpiceImage pat failed ====================================>>"}},
        {"fill: ROP cut short",
         FILL,
         Body().u16(0x1800).u8(8),
         {"[error] message fits in reported side error======>"}},
        {"fill: mask cut short",
         FILL,
         Body().u16(0x2000).u16(0),
         {"[error]parse_spice_qmask__size error======>"}},
        {"stroke: path offset cut short",
         STROKE,
         Body().u16(0).u16(6),
         {"[error]data path pos reach message end-=-=====================>"}},
        {"stroke: path offset 0",
         STROKE,
         Body().u16(0).u32(0),
         {"[error]path value is zero;===============>"}},
        {"stroke: segment nibbles past the end",
         STROKE,
         Body().u16(1).u32(6).u8(9).u8(0),
         {"pos reach message end ==================>",
          "[error]validate_spice path ptr_size < 0 ========================>"}},
        {"stroke: a segment past the end",
         STROKE,
         Body().u16(1).u32(6).u8(1).u8(0x10),
         {" head_bytes:16 start3:2  reach end"}},
        {"stroke: line flags missing",
         STROKE,
         Body().u16(2).u32(6),
         {"[error]pos + flags bytes > message_end ========================>"}},
        {"stroke: brush type missing",
         STROKE,
         Body().u16(8).u32(6),
         {"[error]get brush extra size failed================>"}},
    };
    for (const Refused& c : cases) {
        OptDrawContext ctx{};
        ::testing::internal::CaptureStderr();
        bool ok = CompactParsed(parse_display_msg_opt, BOX_UNCHANGED, &ctx, c.type, c.body).ok();
        std::string log = ::testing::internal::GetCapturedStderr();
        EXPECT_FALSE(ok) << c.what;
        for (const char* text : c.logged) {
            EXPECT_NE(log.find(text), std::string::npos) << c.what << ": " << text << " not in\n" << log;
        }
        EXPECT_NE(log.find("Spice-Warning"), std::string::npos) << c.what;
        EXPECT_EQ(log.find("ERROR"), std::string::npos) << c.what;
    }
}

// Counts that the encoding lets a few bytes declare must be checked against the bytes behind them before
// anything is sized or looped by them.
TEST(CompactFailures, HostileCountsFailWithoutSizingAnything) {
    struct Case {
        const char* what;
        uint16_t type;
        uint8_t header;
        Body body;
    };
    const Case cases[] = {
        {"clip list of 32767 rectangles", FILL, BOX_UNCHANGED | CLIP,
         Body().bytes({0xFF, 0xFF}).zeros(16).u16(0)},
        {"path of 2^30 - 1 segments", STROKE, BOX_UNCHANGED,
         stroke_with_path(1, Body().bytes({0xFF, 0xFF, 0xFF, 0xFF}).zeros(64))},
        {"segment of 2^32 - 1 points", STROKE, BOX_UNCHANGED,
         stroke_with_path(1, Body().u8(1).u8(0xE0).u32(0xFFFFFFFF).zeros(64))},
        {"styled line of 255 lengths behind 8 bytes", STROKE, BOX_UNCHANGED,
         Body().u16(0x0007).u32(16).u8(SPICE_LINE_FLAGS_STYLED).u8(255).u32(17).u8(0).zeros(8)},
        {"bitmap of stride x height past 32 bits", COPY, BOX_UNCHANGED,
         Body()
             .u16(0x0004)
             .u32(6)
             .u64(1)
             .u8(SPICE_IMAGE_TYPE_BITMAP)
             .u8(8)
             .u8(0)
             .u32(0x10000)
             .u32(0x10000)
             .u32(0x40000)
             .u32(0)
             .zeros(32)},
        {"quic data past the end", COPY, BOX_UNCHANGED,
         Body().u16(0x0004).u32(6).u64(1).u8(SPICE_IMAGE_TYPE_QUIC).u32(0xFFFFFFFF).zeros(8)},
    };
    for (const Case& c : cases) {
        OptDrawContext ctx{};
        EXPECT_FALSE(CompactParsed(parse_display_msg_opt, c.header, &ctx, c.type, c.body).ok()) << c.what;
    }
}

TEST(CompactFailures, NoContextNoCompactParse) {
    EXPECT_FALSE(CompactParsed(parse_display_msg_opt, BOX_UNCHANGED, nullptr, FILL, Body().u16(0)).ok());
}

// ---- Dispatch ----

TEST(CompactDispatch, OnlyTheFourDrawKindsAreCompact) {
    struct Case {
        const char* what;
        spice_parse_display_opt_func_t parser;
        uint16_t type;
        Body body;
        bool ok;
    };
    const Body copy_v2 =
        Body().u32(0).rect(0, 0, 1, 1).u8(0).u32(0).rect(0, 0, 1, 1).u16(8).u8(0).u8(0).point(0, 0).u32(0);
    const Case cases[] = {
        {"mode, ordinary", parse_display_msg_opt, SPICE_MSG_DISPLAY_MODE, Body().u32(640).u32(480).u32(32),
         true},
        {"draw_copy, compact", parse_display_msg_opt, COPY, Body().u16(0).u32(0), true},
        {"draw_blend, ordinary", parse_display_msg_opt, SPICE_MSG_DISPLAY_DRAW_BLEND, copy_v2, true},
        {"draw_cache_build, ordinary", parse_display_msg_opt, SPICE_MSG_DISPLAY_DRAW_CACHE_BUILD,
         Body().u64(1).u8(8).u8(0).u32(4).u32(4).u32(1).u32(0).rect(0, 0, 4, 4), true},
        {"800, empty", parse_display_msg_opt, SPICE_MSG_DISPLAY_INVALIDATE_LAYER, Body(), true},
        {"801, no parser", parse_display_msg_opt, 801, Body(), false},
        {"generation 1: fill, compact", parse_display_msg_opt1, FILL, Body().u16(0), true},
        // The empty path (its count from the context) at the body's end.
        {"generation 1: stroke, compact", parse_display_msg_opt1, STROKE, Body().u16(0).u32(6), true},
        {"generation 1: cache copy, compact", parse_display_msg_opt1, CACHE_COPY, Body().u16(0).u32(0).u64(1),
         true},
        {"generation 1: 800, empty", parse_display_msg_opt1, SPICE_MSG_DISPLAY_INVALIDATE_LAYER, Body(),
         true},
        {"generation 1: mode", parse_display_msg_opt1, SPICE_MSG_DISPLAY_MODE,
         Body().u32(640).u32(480).u32(32), true},
        {"generation 1: blend in its own layout", parse_display_msg_opt1, SPICE_MSG_DISPLAY_DRAW_BLEND,
         Body().rect(0, 0, 1, 1).u32(0).u64(0).u64(0).rect(0, 0, 1, 1).u16(8).u8(0).u8(0).point(0, 0).u64(0),
         true},
        {"generation 1: surface_create is not its message", parse_display_msg_opt1,
         SPICE_MSG_DISPLAY_SURFACE_CREATE, Body().u32(0).u32(1).u32(1).u32(32).u32(1), false},
    };
    for (const Case& c : cases) {
        OptDrawContext ctx{};
        CompactParsed p(c.parser, BOX_UNCHANGED, &ctx, c.type, c.body);
        EXPECT_EQ(p.ok(), c.ok) << c.what;
    }
    EXPECT_EQ(spice_get_display_opt_parser(1), parse_display_msg_opt1);
    EXPECT_EQ(spice_get_display_opt_parser(2), parse_display_msg_opt);
}

}  // namespace
