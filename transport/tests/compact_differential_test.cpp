// The compact draw encoding against the ordinary one: full-form draw messages (hand-made ones covering every
// brush, mask, clip, path and image form, and the draw copies QEMU sent) are parsed by the ordinary parser,
// turned into compact bodies by the test encoder, and parsed again by the compact parsers against one context
// that runs through the whole sequence; both structures must be equal. Every compact body cut short must
// fail.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "parser_test_util.h"
#include "support/compact_compare.h"
#include "support/compact_encoder.h"
#include "support/recording.h"

namespace {

// ---- Full-form bodies of the current generation ----

// A body whose pointer fields are filled in when the structures they point to are appended.
struct Full {
    Body b;

    size_t pointer() {
        size_t at = b.size();
        b.u32(0);
        return at;
    }
    void here(size_t pointer_at) { b.patch_u32(pointer_at, uint32_t(b.size())); }
};

void base(Full& f, SpiceRect box, const std::vector<SpiceRect>& clip = {}) {
    f.b.u32(0).rect(box.left, box.top, box.right, box.bottom);
    if (clip.empty()) {
        f.b.u8(SPICE_CLIP_TYPE_NONE);
        return;
    }
    f.b.u8(SPICE_CLIP_TYPE_RECTS).u32(uint32_t(clip.size()));
    for (const SpiceRect& r : clip) {
        f.b.rect(r.left, r.top, r.right, r.bottom);
    }
}

void descriptor(Full& f, uint64_t id, uint8_t type, uint32_t width, uint32_t height, uint8_t flags = 0) {
    f.b.u64(id).u8(type).u8(flags).u32(width).u32(height);
}

// An image written where the caller's pointer points; each kind of payload once.
enum class Img {
    FromCache,
    Bitmap32,
    Bitmap8Palette,
    Bitmap1CachedPalette,
    Quic,
    LzRgb,
    GlzRgb,
    Jpeg,
    LzPlt,
    LzPltCachedPalette,
    Surface,
    ZlibGlz,
    JpegAlpha,
    FromCacheLossless
};

void image(Full& f, Img kind, uint64_t id, uint32_t w = 2, uint32_t h = 2) {
    switch (kind) {
        case Img::FromCache:
            descriptor(f, id, SPICE_IMAGE_TYPE_FROM_CACHE, w, h);
            break;
        case Img::FromCacheLossless:
            descriptor(f, id, SPICE_IMAGE_TYPE_FROM_CACHE_LOSSLESS, w, h, SPICE_IMAGE_FLAGS_CACHE_ME);
            break;
        case Img::Bitmap32:
            descriptor(f, id, SPICE_IMAGE_TYPE_BITMAP, w, h, SPICE_IMAGE_FLAGS_CACHE_ME);
            f.b.u8(SPICE_BITMAP_FMT_32BIT).u8(SPICE_BITMAP_FLAGS_TOP_DOWN).u32(w).u32(h).u32(4 * w).u32(0);
            for (uint32_t i = 0; i < 4 * w * h; i++) {
                f.b.u8(uint8_t(i * 7 + id));
            }
            break;
        case Img::Bitmap8Palette: {
            descriptor(f, id, SPICE_IMAGE_TYPE_BITMAP, w, h);
            f.b.u8(SPICE_BITMAP_FMT_8BIT).u8(SPICE_BITMAP_FLAGS_PAL_CACHE_ME).u32(w).u32(h).u32(w);
            size_t pal = f.pointer();
            for (uint32_t i = 0; i < w * h; i++) {
                f.b.u8(uint8_t(i % 3));
            }
            f.here(pal);
            f.b.u64(id + 1000).u16(3).u32(0x000000).u32(0x808080).u32(0xFFFFFF);
            break;
        }
        case Img::Bitmap1CachedPalette:
            descriptor(f, id, SPICE_IMAGE_TYPE_BITMAP, w, h);
            f.b.u8(SPICE_BITMAP_FMT_1BIT_BE)
                .u8(SPICE_BITMAP_FLAGS_PAL_FROM_CACHE)
                .u32(w)
                .u32(h)
                .u32(1)
                .u64(id + 2000);
            for (uint32_t i = 0; i < h; i++) {
                f.b.u8(0xA5);
            }
            break;
        case Img::Quic:
        case Img::LzRgb:
        case Img::GlzRgb:
        case Img::Jpeg: {
            uint8_t type = kind == Img::Quic     ? SPICE_IMAGE_TYPE_QUIC
                           : kind == Img::LzRgb  ? SPICE_IMAGE_TYPE_LZ_RGB
                           : kind == Img::GlzRgb ? SPICE_IMAGE_TYPE_GLZ_RGB
                                                 : SPICE_IMAGE_TYPE_JPEG;
            descriptor(f, id, type, w, h);
            f.b.u32(5).bytes({1, 2, 3, 4, 5});
            break;
        }
        case Img::LzPlt: {
            descriptor(f, id, SPICE_IMAGE_TYPE_LZ_PLT, w, h);
            f.b.u8(0).u32(3);
            size_t pal = f.pointer();
            f.b.bytes({9, 8, 7});
            f.here(pal);
            f.b.u64(id + 3000).u16(1).u32(0x123456);
            break;
        }
        case Img::LzPltCachedPalette:
            descriptor(f, id, SPICE_IMAGE_TYPE_LZ_PLT, w, h);
            f.b.u8(SPICE_BITMAP_FLAGS_PAL_FROM_CACHE).u32(2).u64(id + 4000).bytes({6, 5});
            break;
        case Img::Surface:
            descriptor(f, id, SPICE_IMAGE_TYPE_SURFACE, w, h);
            f.b.u32(3);
            break;
        case Img::ZlibGlz:
            descriptor(f, id, SPICE_IMAGE_TYPE_ZLIB_GLZ_RGB, w, h);
            f.b.u32(200).u32(2).bytes({0x78, 0x9C});
            break;
        case Img::JpegAlpha:
            descriptor(f, id, SPICE_IMAGE_TYPE_JPEG_ALPHA, w, h);
            f.b.u8(1).u32(2).u32(4).bytes({0xFF, 0xD8, 0x10, 0x20});
            break;
    }
}

struct MaskSpec {
    uint8_t flags;
    SpicePoint pos;
    bool with_image;
};

struct Draw {
    std::string name;
    uint16_t type;
    std::vector<uint8_t> body;
};

// Brush: 0 none, 1 solid, 2 pattern (a cached image). The pattern image and the mask image follow the fixed
// part.
struct BrushSpec {
    uint8_t type;
    uint32_t color;
    SpicePoint pos;
};

Draw fill(const std::string& name, SpiceRect box, std::vector<SpiceRect> clip, BrushSpec brush, uint16_t rop,
          MaskSpec mask = {0, {0, 0}, false}) {
    Full f;
    base(f, box, clip);
    f.b.u8(brush.type);
    size_t pat = 0;
    if (brush.type == SPICE_BRUSH_TYPE_SOLID) {
        f.b.u32(brush.color);
    } else if (brush.type == SPICE_BRUSH_TYPE_PATTERN) {
        pat = f.pointer();
        f.b.point(brush.pos.x, brush.pos.y);
    }
    f.b.u16(rop).u8(mask.flags).point(mask.pos.x, mask.pos.y);
    size_t mask_image = f.pointer();
    if (brush.type == SPICE_BRUSH_TYPE_PATTERN) {
        f.here(pat);
        image(f, Img::FromCache, 77, 100, 50);
    }
    if (mask.with_image) {
        f.here(mask_image);
        image(f, Img::Bitmap1CachedPalette, 78, 8, 3);
    }
    return {name, SPICE_MSG_DISPLAY_DRAW_FILL, f.b};
}

// A copy, or with cache_id a draw_cache_copy; src absent when image is null.
Draw copy(const std::string& name, SpiceRect box, const Img* src, SpiceRect area, uint16_t rop, uint8_t scale,
          MaskSpec mask = {0, {0, 0}, false}, const uint64_t* cache_id = nullptr,
          std::vector<SpiceRect> clip = {}) {
    Full f;
    base(f, box, clip);
    size_t src_at = f.pointer();
    f.b.rect(area.left, area.top, area.right, area.bottom).u16(rop).u8(scale);
    f.b.u8(mask.flags).point(mask.pos.x, mask.pos.y);
    size_t mask_at = f.pointer();
    if (cache_id) {
        f.b.u64(*cache_id);
    }
    if (src) {
        f.here(src_at);
        image(f, *src, 500 + f.b.size(), uint32_t(area.right - area.left), uint32_t(area.bottom - area.top));
    }
    if (mask.with_image) {
        f.here(mask_at);
        image(f, Img::FromCache, 600, 4, 4);
    }
    return {name,
            cache_id ? uint16_t(SPICE_MSG_DISPLAY_DRAW_CACHE_COPY) : uint16_t(SPICE_MSG_DISPLAY_DRAW_COPY),
            f.b};
}

struct Segment {
    uint8_t flags;
    std::vector<SpicePointFix> points;
};

Draw stroke(const std::string& name, SpiceRect box, const std::vector<Segment>& path, uint8_t line_flags,
            const std::vector<int32_t>& style, BrushSpec brush, uint16_t fore, uint16_t back) {
    Full f;
    base(f, box);
    size_t path_at = f.pointer();
    f.b.u8(line_flags);
    size_t style_at = 0;
    if (line_flags & SPICE_LINE_FLAGS_STYLED) {
        f.b.u8(uint8_t(style.size()));
        style_at = f.pointer();
    }
    f.b.u8(brush.type);
    size_t pat = 0;
    if (brush.type == SPICE_BRUSH_TYPE_SOLID) {
        f.b.u32(brush.color);
    } else if (brush.type == SPICE_BRUSH_TYPE_PATTERN) {
        pat = f.pointer();
        f.b.point(brush.pos.x, brush.pos.y);
    }
    f.b.u16(fore).u16(back);
    f.here(path_at);
    f.b.u32(uint32_t(path.size()));
    for (const Segment& s : path) {
        f.b.u8(s.flags).u32(uint32_t(s.points.size()));
        for (const SpicePointFix& p : s.points) {
            f.b.point(p.x, p.y);
        }
    }
    if ((line_flags & SPICE_LINE_FLAGS_STYLED) && !style.empty()) {
        f.here(style_at);
        for (int32_t v : style) {
            f.b.i32(v);
        }
    }
    if (brush.type == SPICE_BRUSH_TYPE_PATTERN) {
        f.here(pat);
        image(f, Img::Bitmap32, 90, 2, 1);
    }
    return {name, SPICE_MSG_DISPLAY_DRAW_STROKE, f.b};
}

// One sequence through one context: the kinds interleave, values repeat and move by small and large steps.
std::vector<Draw> hand_made_draws() {
    const SpiceRect screen{0, 0, 640, 480};
    const uint64_t key1 = 0x1122334455667788ull, key2 = 7;
    const Img bitmap32 = Img::Bitmap32, bitmap8 = Img::Bitmap8Palette, quic = Img::Quic, lz_rgb = Img::LzRgb,
              glz = Img::GlzRgb, jpeg = Img::Jpeg, lz_plt = Img::LzPlt,
              lz_plt_cached = Img::LzPltCachedPalette, surface = Img::Surface, zlib = Img::ZlibGlz,
              jpeg_alpha = Img::JpegAlpha, lossless = Img::FromCacheLossless, cached = Img::FromCache;
    const std::vector<Segment> path3 = {
        {SPICE_PATH_BEGIN, {{16, 16}, {0x7FFFFFF0, -0x7FFFFFF0}}},
        {0, {{32, 48}, {32 + 100, 48 - 100}}},
        {SPICE_PATH_END | SPICE_PATH_CLOSE, {{1000, 2000}, {1000, 2000 + 30000}, {-5, -6}}},
    };
    return {
        fill("minimal fill", screen, {}, {0, 0, {0, 0}}, SPICE_ROPD_OP_PUT),
        fill("solid fill with three clip rectangles", {10, 20, 30, 40},
             {{10, 20, 15, 25}, {16, 20, 30, 25}, {-300, 400, 20000, -20000}},
             {SPICE_BRUSH_TYPE_SOLID, 0x00FF8040, {0, 0}}, 0x0108),
        fill("the same fill again", {10, 20, 30, 40}, {}, {SPICE_BRUSH_TYPE_SOLID, 0x00FF8040, {0, 0}},
             0x0108),
        fill("pattern fill with a mask", {-8, -9, 32000, -32000}, {}, {SPICE_BRUSH_TYPE_PATTERN, 0, {3, -4}},
             SPICE_ROPD_OP_XOR, {SPICE_MASK_FLAGS_INVERS, {5, 6}, true}),
        fill("pattern fill moved", {-8, -9, 32000, -32000}, {},
             {SPICE_BRUSH_TYPE_PATTERN, 0, {3 + 100, -4 - 1000}}, SPICE_ROPD_OP_XOR,
             {SPICE_MASK_FLAGS_INVERS, {5, 6}, true}),
        copy("minimal copy", screen, nullptr, {0, 0, 1, 1}, SPICE_ROPD_OP_PUT, 0),
        copy("bitmap copy", {100, 100, 102, 102}, &bitmap32, {0, 0, 2, 2}, SPICE_ROPD_OP_PUT,
             SPICE_IMAGE_SCALE_MODE_NEAREST),
        copy("palette bitmap copy with a mask", {100, 102, 103, 104}, &bitmap8, {0, 0, 3, 2},
             SPICE_ROPD_OP_PUT, SPICE_IMAGE_SCALE_MODE_NEAREST, {0, {1, 1}, true}, nullptr,
             {{100, 102, 101, 103}}),
        copy("cache copy, lz_plt with a cached palette", {4, 4, 6, 6}, &lz_plt_cached, {0, 0, 2, 2}, 0x0400,
             1, {0, {0, 0}, false}, &key1),
        copy("quic copy", {200, 0, 210, 5}, &quic, {0, 0, 10, 5}, SPICE_ROPD_OP_PUT, 0),
        copy("lz_rgb copy", {210, 0, 220, 5}, &lz_rgb, {0, 0, 10, 5}, SPICE_ROPD_OP_PUT, 0),
        copy("glz_rgb copy", {220, 0, 230, 5}, &glz, {0, 0, 10, 5}, SPICE_ROPD_OP_PUT, 0),
        copy("jpeg copy", {230, 0, 240, 5}, &jpeg, {0, 0, 10, 5}, SPICE_ROPD_OP_PUT, 0),
        copy("lz_plt copy", {240, 0, 250, 5}, &lz_plt, {0, 0, 10, 5}, SPICE_ROPD_OP_PUT, 0),
        copy("surface copy", {250, 0, 260, 5}, &surface, {5, 5, 15, 10}, SPICE_ROPD_OP_PUT, 0),
        copy("zlib_glz_rgb copy", {260, 0, 270, 5}, &zlib, {0, 0, 10, 5}, SPICE_ROPD_OP_PUT, 0),
        copy("jpeg_alpha copy", {270, 0, 280, 5}, &jpeg_alpha, {0, 0, 10, 5}, SPICE_ROPD_OP_PUT, 0),
        copy("from_cache_lossless copy", {280, 0, 290, 5}, &lossless, {0, 0, 10, 5}, SPICE_ROPD_OP_PUT, 0),
        stroke("minimal stroke", screen, {}, 0, {}, {0, 0, {0, 0}}, 8, 8),
        stroke("styled stroke of three segments", {1, 2, 3, 4}, path3, SPICE_LINE_FLAGS_STYLED,
               {16 << 4, 32 << 4, -48}, {SPICE_BRUSH_TYPE_SOLID, 0xFFFFFF, {0, 0}}, 8, 0x7F00),
        stroke("unstyled stroke after a styled one", {1, 2, 3, 4}, path3, 0, {},
               {SPICE_BRUSH_TYPE_SOLID, 0xFFFFFF, {0, 0}}, 8, 0x7F00),
        stroke("styled again without lengths", {1, 2, 3, 4}, {{0, {}}}, SPICE_LINE_FLAGS_STYLED, {},
               {SPICE_BRUSH_TYPE_PATTERN, 0, {-1, 1}}, 0x10, 0),
        copy("minimal cache copy", screen, nullptr, {0, 0, 1, 1}, SPICE_ROPD_OP_PUT, 0, {0, {0, 0}, false},
             &key2),
        copy("cache copy from the cache", {4, 4, 6, 6}, &cached, {0, 0, 2, 2}, 0x0400, 1, {0, {0, 0}, false},
             &key1),
        fill("fill after the others", {10, 20, 30, 40}, {}, {SPICE_BRUSH_TYPE_SOLID, 0x00FF8040, {0, 0}},
             0x0108),
    };
}

// ---- Fuzz seeds ----

// With KTW_PARSER_SEED_DIR set, each sequence is also written as a seed of fuzz_parser_compact: byte 0 the
// generation (bit 0 set for protocol 1), then per message u8 header flags, u16 type, u16 body size, body.
class SeedFile {
public:
    SeedFile(const std::string& name, bool generation1) {
        const char* dir = getenv("KTW_PARSER_SEED_DIR");
        if (dir) {
            out_.open(std::string(dir) + "/parser_compact/" + name, std::ios::binary);
            out_.put(char(generation1 ? 1 : 0));
        }
    }
    void add(uint16_t type, const CompactMessage& m) {
        if (!out_.is_open() || m.body.size() > 0xFFFF) {
            return;
        }
        uint16_t size = uint16_t(m.body.size());
        out_.put(char(m.header_flags)).put(char(type & 0xFF)).put(char(type >> 8));
        out_.put(char(size & 0xFF)).put(char(size >> 8));
        out_.write(reinterpret_cast<const char*>(m.body.data()), std::streamsize(size));
    }

private:
    std::ofstream out_;
};

// ---- The differential run ----

struct Variant {
    const char* name;
    CompactEncoder::Mode mode;
    spice_parse_display_opt_func_t parser;
    bool generation1;
};

std::ostream& operator<<(std::ostream& os, const Variant& v) {
    return os << v.name;
}

// Runs full-form draws through the ordinary parser, the encoder and the compact parser, in order, with one
// encoder and one context. Each compact body is also parsed cut short against a copy of the context as it was
// before the message: every prefix when all_prefixes, else the body one byte short.
class Differential {
public:
    Differential(const Variant& v, const std::string& seed_name)
        : v_(v), encoder_(v.mode), seeds_(seed_name + "-" + v.name, v.generation1) {}

    void run(const std::string& name, uint16_t type, const std::vector<uint8_t>& full, bool all_prefixes) {
        SCOPED_TRACE(name);
        Parsed plain(2, SPICE_CHANNEL_DISPLAY, type, full);
        ASSERT_TRUE(plain.ok()) << "the full form does not parse";
        CompactMessage m;
        ASSERT_TRUE(encoder_.encode(type, plain.result(), &m)) << "no compact form";
        seeds_.add(type, m);
        // The sub-header's other bits (size width, type code) are the display channel's and must not matter.
        uint8_t header = uint8_t(m.header_flags | 0x05);

        const OptDrawContext before = context_;
        for (size_t n = all_prefixes ? 0 : m.body.size() - 1; n < m.body.size(); n++) {
            OptDrawContext scratch = before;
            std::vector<uint8_t> cut(m.body.begin(), m.body.begin() + n);
            EXPECT_FALSE(CompactParsed(v_.parser, header, &scratch, type, cut).ok())
                << "cut to " << n << " bytes";
        }

        CompactParsed compact(v_.parser, header, &context_, type, m.body);
        ASSERT_TRUE(compact.ok()) << "the compact form does not parse";
        compact_compare::draw(type, plain.result(), compact.result(), name);
        messages_++;
    }

    size_t messages() const { return messages_; }

private:
    Variant v_;
    CompactEncoder encoder_;
    OptDrawContext context_{};
    SeedFile seeds_;
    size_t messages_ = 0;
};

class CompactDifferential : public ::testing::TestWithParam<Variant> {};

const Variant kVariants[] = {
    {"smallest", CompactEncoder::Mode::Smallest, parse_display_msg_opt, false},
    {"explicit", CompactEncoder::Mode::Explicit, parse_display_msg_opt, false},
    {"smallest_generation1", CompactEncoder::Mode::Smallest, parse_display_msg_opt1, true},
};

INSTANTIATE_TEST_SUITE_P(Modes, CompactDifferential, ::testing::ValuesIn(kVariants),
                         [](const ::testing::TestParamInfo<Variant>& info) {
                             return std::string(info.param.name);
                         });

TEST_P(CompactDifferential, HandMadeDrawsParseToTheOrdinaryStructures) {
    Differential d(GetParam(), "hand_made");
    for (const Draw& draw : hand_made_draws()) {
        d.run(draw.name, draw.type, draw.body, true);
    }
}

std::string fixture_dir() {
#ifdef KTW_QEMU_FIXTURE_DIR
    return KTW_QEMU_FIXTURE_DIR;
#else
    std::string here = __FILE__;
    return here.substr(0, here.rfind('/')) + "/fixtures/qemu";
#endif
}

// QEMU's draw copies of each recorded session, each also sent as a draw_cache_copy, in the order they came.
TEST_P(CompactDifferential, RecordedDrawCopiesParseToTheOrdinaryStructures) {
    size_t copies = 0;
    for (const std::string& path : list_files(fixture_dir(), ".display.rec")) {
        std::vector<RecordedMessage> messages;
        std::string error;
        ASSERT_TRUE(load_recording(path, &messages, &error)) << error;
        std::string name = path.substr(path.rfind('/') + 1);
        Differential d(GetParam(), "qemu_" + name.substr(0, name.find('.')));
        for (size_t i = 0; i < messages.size(); i++) {
            if (messages[i].type != SPICE_MSG_DISPLAY_DRAW_COPY) {
                continue;
            }
            std::string where = name + " message " + std::to_string(i);
            d.run(where, SPICE_MSG_DISPLAY_DRAW_COPY, messages[i].body, false);
            d.run(where + " as a cache copy", SPICE_MSG_DISPLAY_DRAW_CACHE_COPY,
                  Body().bytes(messages[i].body).u64(0xC0DE0000 + i), false);
            copies++;
        }
        EXPECT_GT(d.messages(), 0u) << name;
    }
    EXPECT_GT(copies, 0u) << "no recorded draw copies under " << fixture_dir();
}

}  // namespace
