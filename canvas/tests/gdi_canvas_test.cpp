// The GDI back end: the same draw messages through it and through the software back end give the same pixels
// (differences listed where they are known), its raster-operation codes, and its own edge cases.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

// The fixture first: canvas_utils.h brings the Windows macros IN and OUT, which the codec headers must not
// see.
#include "sw_canvas_fixture.h"

#include "canvas/canvas.h"
#include "canvas/gdi_canvas.h"
#include "canvas/red_drawable.h"
#include "runtime/exception.h"

namespace {

// A GDI canvas over its own pixmap, its pixels read and written directly.
class GdiTestCanvas {
public:
    GdiTestCanvas(int width, int height, uint32_t format, TestImageCache* cache, TestSurfaces* surfaces)
        : pixmap_(width, height, RedDrawable::format_from_surface(format)), format_(format) {
        gdi_canvas_ops_init();
        const PixelsSource::PlatformArea& area = pixmap_.get_platform_area();
        canvas_ = gdi_canvas_new(width, height, area.dc, area.lock, format, cache, &palettes_, surfaces,
                                 nullptr, nullptr, nullptr);
    }
    ~GdiTestCanvas() {
        if (canvas_) {
            canvas_->ops->destroy(canvas_);
        }
    }
    SpiceCanvas* get() const { return canvas_; }
    int bytes_per_pixel() const { return RedPixmap::bits_per_pixel(pixmap_.get_format()) / 8; }
    uint32_t pixel(int x, int y) const {
        const uint8_t* at = pixmap_.get_data() + ptrdiff_t(y) * pixmap_.get_stride() + x * bytes_per_pixel();
        uint32_t value = 0;
        memcpy(&value, at, size_t(bytes_per_pixel()));
        return value;
    }
    void set_pixel(int x, int y, uint32_t value) {
        memcpy(pixmap_.get_data() + ptrdiff_t(y) * pixmap_.get_stride() + x * bytes_per_pixel(), &value,
               size_t(bytes_per_pixel()));
    }

private:
    mutable RedPixmapGdi pixmap_;
    uint32_t format_;
    TestPaletteCache palettes_;
    SpiceCanvas* canvas_;
};

constexpr int W = 16, H = 12;

uint32_t background(int x, int y) {
    return 0x9E3779B9u * uint32_t(7 * x + 3 * y + 1) & 0x00FFFFFF;
}

// One canvas of each back end, same size, same format, same starting pixels, and a second surface of each
// (id 1) that a draw may read from.
struct CanvasPair {
    explicit CanvasPair(uint32_t format)
        : format(format),
          sw(W, H, format, nullptr, &sw_surfaces),
          gdi(W, H, format, &gdi_cache, &gdi_surfaces),
          sw_source(W, H, format),
          gdi_source(W, H, format, &gdi_cache, &gdi_surfaces) {
        sw_surfaces.canvases[1] = sw_source.get();
        gdi_surfaces.canvases[1] = gdi_source.get();
        for (int y = 0; y < H; y++) {
            for (int x = 0; x < W; x++) {
                const uint32_t value = narrow(background(x, y));
                sw.set_pixel(x, y, value);
                gdi.set_pixel(x, y, value);
                sw_source.set_pixel(x, y, narrow(background(y, x) ^ 0x5A5A5A));
                gdi_source.set_pixel(x, y, narrow(background(y, x) ^ 0x5A5A5A));
            }
        }
    }
    uint32_t narrow(uint32_t rgb) const {
        const uint32_t r = rgb >> 16 & 0xFF, g = rgb >> 8 & 0xFF, b = rgb & 0xFF;
        switch (format) {
            case SPICE_SURFACE_FMT_16_555:
                return (r >> 3) << 10 | (g >> 3) << 5 | b >> 3;
            case SPICE_SURFACE_FMT_16_565:
                return (r >> 3) << 11 | (g >> 2) << 5 | b >> 3;
            default:
                return rgb;
        }
    }
    void draw(const std::function<void(SpiceCanvas*)>& op) {
        op(sw.get());
        op(gdi.get());
    }
    // Every channel within tolerance; the unused bits of xRGB and x1r5g5b5 pixels mean nothing and are not
    // compared.
    void expect_same(const std::string& name, int tolerance = 0) const {
        const bool wide = format == SPICE_SURFACE_FMT_32_xRGB || format == SPICE_SURFACE_FMT_32_ARGB;
        const uint32_t keep = format == SPICE_SURFACE_FMT_32_xRGB  ? 0x00FFFFFF
                              : format == SPICE_SURFACE_FMT_16_555 ? 0x7FFF
                                                                   : 0xFFFFFFFF;
        int failures = 0;
        for (int y = 0; y < H && failures < 4; y++) {
            for (int x = 0; x < W && failures < 4; x++) {
                const uint32_t a = sw.pixel(x, y) & keep, b = gdi.pixel(x, y) & keep;
                bool close = a == b;
                if (!close && tolerance > 0) {
                    // Channels as (shift, bits).
                    static const int wide_channels[][2] = {{0, 8}, {8, 8}, {16, 8}, {24, 8}};
                    static const int channels_555[][2] = {{0, 5}, {5, 5}, {10, 5}, {0, 0}};
                    static const int channels_565[][2] = {{0, 5}, {5, 6}, {11, 5}, {0, 0}};
                    const auto& channels = wide                                 ? wide_channels
                                           : format == SPICE_SURFACE_FMT_16_555 ? channels_555
                                                                                : channels_565;
                    close = true;
                    for (const auto& channel : channels) {
                        const uint32_t m = (1u << channel[1]) - 1;
                        close = close &&
                                std::abs(int(a >> channel[0] & m) - int(b >> channel[0] & m)) <= tolerance;
                    }
                }
                if (!close) {
                    ADD_FAILURE() << name << " format " << format << ": pixel (" << x << ", " << y
                                  << ") software 0x" << std::hex << a << ", GDI 0x" << b;
                    failures++;
                }
            }
        }
    }

    uint32_t format;
    TestImageCache gdi_cache;
    TestSurfaces sw_surfaces, gdi_surfaces;
    TestCanvas sw;
    GdiTestCanvas gdi;
    TestCanvas sw_source;
    GdiTestCanvas gdi_source;
};

uint32_t image_pixel(int x, int y) {
    return 0xFF000000u | (0x3D1F0Bu * uint32_t(5 * x + 11 * y + 2) & 0x00FFFFFF);
}

SpiceFill fill_of(SpiceBrush brush, uint16_t descriptor) {
    SpiceFill fill{};
    fill.brush = brush;
    fill.rop_descriptor = descriptor;
    return fill;
}

SpiceCopy copy_of(SpiceImage* image, SpiceRect area, uint16_t descriptor, uint8_t scale_mode) {
    SpiceCopy copy{};
    copy.src_bitmap = image;
    copy.src_area = area;
    copy.rop_descriptor = descriptor;
    copy.scale_mode = scale_mode;
    return copy;
}

// A one-bit glyph string of one glyph, rows given top row first and stored bottom row first.
struct GlyphString {
    GlyphString(int x, int y, std::vector<uint8_t> rows_top_first, int width, uint32_t flags) {
        data.assign(rows_top_first.rbegin(), rows_top_first.rend());
        glyph.render_pos = {x, y};
        glyph.glyph_origin = {0, 0};
        glyph.width = uint16_t(width);
        glyph.height =
            uint16_t(flags & SPICE_STRING_FLAGS_RASTER_A4 ? data.size() / ((width + 1) / 2) : data.size());
        glyph.data = data.data();
        glyphs[0] = &glyph;
        storage.resize(sizeof(SpiceString));
        str = reinterpret_cast<SpiceString*>(storage.data());
        str->length = 1;
        str->flags = uint16_t(flags);
        str->glyphs = glyphs;
    }
    std::vector<uint8_t> data;
    SpiceRasterGlyph glyph;
    SpiceRasterGlyph* glyphs[1];
    std::vector<uint8_t> storage;
    SpiceString* str;
};

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

struct DrawCase {
    const char* name;
    std::function<void(SpiceCanvas*)> draw;
    int tolerance;
    bool only_32 = false;  // a known difference on 16-bit canvases (below)
};

TEST(GdiCanvasDifferential, EveryOperationDrawsAsTheSoftwareCanvas) {
    TestBitmap image(7, 5, image_pixel);
    // Premultiplied: no colour above its alpha.
    TestBitmap rgba(
        6, 4,
        [](int x, int y) {
            const uint32_t alpha = uint32_t(0x20 + 0x30 * x);
            return alpha << 24 | (alpha * uint32_t(y + 1) / 5) << 16 | (alpha / 2) << 8 |
                   alpha * uint32_t(x) / 6;
        },
        SPICE_BITMAP_FMT_RGBA);
    TestBitmap pattern(3, 2, [](int x, int y) { return uint32_t(0x00405060 + 0x1F * x + 0x1F00 * y); });
    TestBitmap mask({"1100110011", "0110011001", "0011001100", "1001100110"});
    TestBitmap keyed(5, 4, [](int x, int y) { return (x + y) % 3 == 0 ? 0x00123456u : image_pixel(x, y); });
    SpiceImage surface = surface_image(1);
    TestClip clip_rects({rect(0, 0, 5, 12), rect(8, 4, 12, 9)});
    TestClip no_rects({});
    GlyphString glyph(4, 8, {0xF0, 0x90, 0x66, 0x0F, 0xFF}, 8, SPICE_STRING_FLAGS_RASTER_A1);
    GlyphString glyph4(3, 9, {0x0F, 0xF0, 0x8C, 0x37, 0xFF, 0x00}, 4, SPICE_STRING_FLAGS_RASTER_A4);
    TestPath outline({{SPICE_PATH_BEGIN, {fix(2, 2), fix(10, 2)}},
                      {0, {fix(10, 8)}},
                      {SPICE_PATH_END | SPICE_PATH_CLOSE, {fix(2, 8)}}});
    const SpiceRect box = rect(2, 3, 13, 11);
    SpiceClip none = no_clip();

    auto fill = [&](SpiceBrush brush, uint16_t descriptor, SpiceClip* clip = nullptr,
                    SpiceImage* mask_image = nullptr, uint8_t mask_flags = 0) {
        return [=, &none](SpiceCanvas* c) {
            SpiceRect b = box;
            SpiceFill f = fill_of(brush, descriptor);
            f.mask.bitmap = mask_image;
            f.mask.flags = mask_flags;
            f.mask.pos = {1, 0};
            c->ops->draw_fill(c, &b, clip ? clip : &none, &f);
        };
    };
    auto copy = [&](SpiceImage* src, SpiceRect area, SpiceRect dest, uint16_t descriptor, uint8_t scale_mode,
                    SpiceImage* mask_image = nullptr) {
        return [=, &none](SpiceCanvas* c) {
            SpiceRect b = dest;
            SpiceCopy cp = copy_of(src, area, descriptor, scale_mode);
            cp.mask.bitmap = mask_image;
            c->ops->draw_copy(c, &b, &none, &cp);
        };
    };
    auto opaque = [&](uint16_t descriptor, SpiceBrush brush) {
        return [=, &none, &image](SpiceCanvas* c) {
            SpiceRect b = rect(3, 2, 10, 7);
            SpiceOpaque o{};
            o.src_bitmap = image.image();
            o.src_area = rect(0, 0, 7, 5);
            o.brush = brush;
            o.rop_descriptor = descriptor;
            o.scale_mode = SPICE_IMAGE_SCALE_MODE_NEAREST;
            c->ops->draw_opaque(c, &b, &none, &o);
        };
    };
    auto rop3 = [&](uint8_t code, SpiceBrush brush, SpiceImage* src) {
        return [=, &none](SpiceCanvas* c) {
            SpiceRect b = rect(1, 2, 8, 7);
            SpiceRop3 r{};
            r.src_bitmap = src;
            r.src_area = rect(0, 0, 7, 5);
            r.brush = brush;
            r.rop3 = code;
            r.scale_mode = SPICE_IMAGE_SCALE_MODE_NEAREST;
            c->ops->draw_rop3(c, &b, &none, &r);
        };
    };
    auto constant = [&](int which) {
        return [=, &clip_rects](SpiceCanvas* c) {
            SpiceRect b = box;
            SpiceWhiteness w{};
            auto op = which == 0   ? c->ops->draw_blackness
                      : which == 1 ? c->ops->draw_whiteness
                                   : c->ops->draw_invers;
            op(c, &b, &clip_rects.clip, &w);
        };
    };

    const SpiceBrush solid = solid_brush(0x00C0FFEE);
    const SpiceBrush tiled = pattern_brush(pattern.image(), 5, 1);
    const DrawCase cases[] = {
        {"fill put", fill(solid, SPICE_ROPD_OP_PUT), 0},
        {"fill or", fill(solid, SPICE_ROPD_OP_OR), 0},
        {"fill and", fill(solid, SPICE_ROPD_OP_AND), 0},
        {"fill xor", fill(solid, SPICE_ROPD_OP_XOR), 0},
        {"fill put, brush inverted", fill(solid, SPICE_ROPD_OP_PUT | SPICE_ROPD_INVERS_BRUSH), 0},
        {"fill and, destination inverted", fill(solid, SPICE_ROPD_OP_AND | SPICE_ROPD_INVERS_DEST), 0},
        {"fill or, result inverted", fill(solid, SPICE_ROPD_OP_OR | SPICE_ROPD_INVERS_RES), 0},
        {"fill whiteness", fill(solid, SPICE_ROPD_OP_WHITENESS), 0},
        {"fill pattern", fill(tiled, SPICE_ROPD_OP_PUT), 0},
        {"fill pattern xor", fill(tiled, SPICE_ROPD_OP_XOR), 0},
        {"fill clip rectangles", fill(solid, SPICE_ROPD_OP_PUT, &clip_rects.clip), 0},
        {"fill clip without rectangles", fill(solid, SPICE_ROPD_OP_PUT, &no_rects.clip), 0},
        {"fill mask", fill(solid, SPICE_ROPD_OP_PUT, nullptr, mask.image()), 0},
        {"fill inverted mask", fill(tiled, SPICE_ROPD_OP_PUT, nullptr, mask.image(), SPICE_MASK_FLAGS_INVERS), 0},
        {"copy", copy(image.image(), rect(1, 1, 6, 5), rect(4, 2, 9, 6), SPICE_ROPD_OP_PUT, 0), 0},
        {"copy off the canvas", copy(image.image(), rect(0, 0, 7, 5), rect(12, -2, 19, 3), SPICE_ROPD_OP_PUT, 0), 0},
        {"copy xor", copy(image.image(), rect(0, 0, 7, 5), rect(3, 3, 10, 8), SPICE_ROPD_OP_XOR, 0), 0},
        {"copy not-source", copy(image.image(), rect(0, 0, 7, 5), rect(3, 3, 10, 8), 0x408, 0), 0},
        {"copy scaled nearest", copy(image.image(), rect(0, 0, 7, 5), rect(1, 1, 15, 11), SPICE_ROPD_OP_PUT, 1), 0},
        {"copy scaled down", copy(image.image(), rect(0, 0, 7, 5), rect(1, 1, 4, 4), SPICE_ROPD_OP_PUT, 1), 0},
        {"copy scaled interpolated", copy(image.image(), rect(0, 0, 7, 5), rect(1, 1, 15, 11), SPICE_ROPD_OP_PUT, 0), 0},
        {"copy masked", copy(image.image(), rect(0, 0, 7, 5), rect(2, 3, 9, 8), SPICE_ROPD_OP_PUT, 0, mask.image()), 0},
        {"copy from a surface", copy(&surface, rect(3, 2, 11, 9), rect(1, 4, 9, 11), SPICE_ROPD_OP_AND, 0), 0},
        {"copy from a surface scaled", copy(&surface, rect(3, 2, 7, 5), rect(1, 1, 13, 10), SPICE_ROPD_OP_PUT, 1), 0},
        {"blend",
         [&](SpiceCanvas* c) {
             SpiceRect b = rect(5, 5, 12, 10);
             SpiceBlend bl = copy_of(image.image(), rect(0, 0, 7, 5), SPICE_ROPD_OP_AND | SPICE_ROPD_INVERS_SRC, 1);
             c->ops->draw_blend(c, &b, &none, &bl);
         },
         0},
        {"opaque or", opaque(SPICE_ROPD_OP_OR, solid), 0},
        {"opaque and", opaque(SPICE_ROPD_OP_AND, tiled), 0},
        {"opaque xor, brush inverted", opaque(SPICE_ROPD_OP_XOR | SPICE_ROPD_INVERS_BRUSH, solid), 0},
        {"opaque put", opaque(SPICE_ROPD_OP_PUT, solid), 0},
        {"opaque without brush", opaque(SPICE_ROPD_OP_OR, SpiceBrush{}), 0},
        {"rop3 0x5A", rop3(0x5A, solid, image.image()), 0},
        {"rop3 0x96", rop3(0x96, tiled, image.image()), 0},
        {"rop3 0xB8", rop3(0xB8, tiled, image.image()), 0},
        {"rop3 0xE2", rop3(0xE2, solid, image.image()), 0},
        {"rop3 0x1E from a surface", rop3(0x1E, tiled, &surface), 0},
        {"blackness", constant(0), 0},
        {"whiteness", constant(1), 0},
        {"invers", constant(2), 0},
        {"copy bits, overlapping",
         [&](SpiceCanvas* c) {
             SpiceRect b = rect(2, 2, 10, 10);
             SpicePoint from = {4, 3};
             c->ops->copy_bits(c, &b, &none, &from);
         },
         0},
        {"copy bits, clipped",
         [&](SpiceCanvas* c) {
             SpiceRect b = rect(5, 3, 14, 12);
             SpicePoint from = {2, 1};
             c->ops->copy_bits(c, &b, &clip_rects.clip, &from);
         },
         0},
        {"transparent",
         [&](SpiceCanvas* c) {
             SpiceRect b = rect(3, 4, 8, 8);
             SpiceTransparent t{};
             t.src_bitmap = keyed.image();
             t.src_area = rect(0, 0, 5, 4);
             t.src_color = 0x123456;
             t.true_color = 0x123456;
             c->ops->draw_transparent(c, &b, &none, &t);
         },
         0},
        {"alpha blend, constant alpha",
         [&](SpiceCanvas* c) {
             SpiceRect b = rect(2, 2, 9, 7);
             SpiceAlphaBlend a{};
             a.alpha = 0x80;
             a.src_bitmap = image.image();
             a.src_area = rect(0, 0, 7, 5);
             c->ops->draw_alpha_blend(c, &b, &none, &a);
         },
         1},
        {"alpha blend, per-pixel alpha",
         [&](SpiceCanvas* c) {
             SpiceRect b = rect(6, 5, 12, 9);
             SpiceAlphaBlend a{};
             a.alpha = 0xFF;
             a.src_bitmap = rgba.image();
             a.src_area = rect(0, 0, 6, 4);
             c->ops->draw_alpha_blend(c, &b, &none, &a);
         },
         1,
         // The software back end converts the image to the canvas format first, and so loses its alpha on
         // 16-bit canvases; the GDI back end blends by it there too.
         true},
        {"text, one-bit glyphs on a back area",
         [&](SpiceCanvas* c) {
             SpiceRect b = rect(1, 1, 15, 11);
             SpiceText t{};
             t.str = glyph.str;
             t.back_area = rect(2, 2, 13, 10);
             t.fore_brush = solid_brush(0x00FF8000);
             t.back_brush = solid_brush(0x00002040);
             t.fore_mode = SPICE_ROPD_OP_PUT;
             t.back_mode = SPICE_ROPD_OP_PUT;
             c->ops->draw_text(c, &b, &none, &t);
         },
         0,
         // On 5-6-5 canvases the software back end reads a text brush's colour as 5-5-5 (its fills take the
         // colour as the pixel value); the GDI back end reads every brush colour as 5-6-5 there.
         true},
        {"text, pattern on four-bit glyphs",
         [&](SpiceCanvas* c) {
             SpiceRect b = rect(0, 0, 16, 12);
             SpiceText t{};
             t.str = glyph4.str;
             t.fore_brush = tiled;
             t.fore_mode = SPICE_ROPD_OP_PUT;
             c->ops->draw_text(c, &b, &none, &t);
         },
         1},
        {"stroke, closed outline",
         [&](SpiceCanvas* c) {
             SpiceRect b = rect(0, 0, 16, 12);
             SpiceStroke s{};
             s.path = &outline.path;
             s.brush = solid_brush(0x0000FF00);
             s.fore_mode = SPICE_ROPD_OP_PUT;
             c->ops->draw_stroke(c, &b, &none, &s);
         },
         0},
        {"stroke xor, clipped",
         [&](SpiceCanvas* c) {
             SpiceRect b = rect(0, 0, 16, 12);
             SpiceStroke s{};
             s.path = &outline.path;
             s.brush = solid_brush(0x00FF00FF);
             s.fore_mode = SPICE_ROPD_OP_XOR;
             c->ops->draw_stroke(c, &b, &clip_rects.clip, &s);
         },
         0},
        {"put image",
         [&](SpiceCanvas* c) {
             std::vector<uint32_t> pixels(4 * 3);
             for (size_t i = 0; i < pixels.size(); i++) {
                 pixels[i] = image_pixel(int(i), 1) & 0x00FFFFFF;
             }
             SpiceRect dest = rect(5, 2, 13, 8);
             pixman_region32_t region;
             pixman_region32_init_rect(&region, 0, 0, 10, 12);
             c->ops->put_image(c, nullptr, &dest, reinterpret_cast<uint8_t*>(pixels.data()), 4, 3, 16, &region);
             pixman_region32_fini(&region);
         },
         0},
    };
    for (uint32_t format : {SPICE_SURFACE_FMT_32_xRGB, SPICE_SURFACE_FMT_16_555, SPICE_SURFACE_FMT_16_565}) {
        for (const DrawCase& c : cases) {
            if (c.only_32 && format != SPICE_SURFACE_FMT_32_xRGB) {
                continue;
            }
            CanvasPair pair(format);
            ASSERT_NE(pair.gdi.get(), nullptr);
            pair.draw(c.draw);
            pair.expect_same(c.name, c.tolerance);
        }
    }
}

TEST(GdiCanvasRop, CodesFromDescriptorsAndTheTable) {
    const struct {
        uint16_t descriptor;
        bool brush;
        uint8_t expected;
    } cases[] = {
        {SPICE_ROPD_OP_PUT, false, 0xCC},
        {SPICE_ROPD_OP_PUT | SPICE_ROPD_INVERS_RES, false, 0x33},
        {SPICE_ROPD_OP_OR, true, 0xFA},
        {SPICE_ROPD_OP_AND | SPICE_ROPD_INVERS_DEST, false, 0x44},
        {SPICE_ROPD_OP_XOR | SPICE_ROPD_INVERS_BRUSH, true, 0xA5},
        {SPICE_ROPD_OP_BLACKNESS, false, 0x00},
        {SPICE_ROPD_OP_WHITENESS, true, 0xFF},
        {SPICE_ROPD_OP_INVERS, false, 0x55},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(gdi_calc_rop3(c.descriptor, c.brush), c.expected) << std::hex << c.descriptor;
    }
    // An opaque draw puts the brush over the source: put gives the brush, not black.
    EXPECT_EQ(gdi_opaque_rop3(SPICE_ROPD_OP_PUT), 0xF0);
    EXPECT_EQ(gdi_opaque_rop3(SPICE_ROPD_OP_OR), 0xFC);
    EXPECT_EQ(gdi_opaque_rop3(SPICE_ROPD_OP_AND | SPICE_ROPD_INVERS_SRC), 0x30);

    const struct {
        uint8_t index;
        DWORD code;
    } named[] = {{0x00, BLACKNESS},  {0x11, NOTSRCERASE}, {0x33, NOTSRCCOPY}, {0x44, SRCERASE},
                 {0x55, DSTINVERT},  {0x5A, PATINVERT},   {0x66, SRCINVERT},  {0x88, SRCAND},
                 {0xAA, 0x00AA0029}, {0xBB, MERGEPAINT},  {0xC0, MERGECOPY},  {0xCC, SRCCOPY},
                 {0xEE, SRCPAINT},   {0xF0, PATCOPY},     {0xFB, PATPAINT},   {0xFF, WHITENESS}};
    for (const auto& n : named) {
        EXPECT_EQ(gdi_rop3_code(n.index), n.code) << std::hex << int(n.index);
    }
    for (int i = 0; i < 256; i++) {
        EXPECT_EQ(gdi_rop3_code(uint8_t(i)) >> 16, DWORD(i));
    }
}

TEST(GdiCanvasStroke, CoordinatesStyleAndMix) {
    EXPECT_EQ(gdi_fixed_to_int(0x1F), 2);
    EXPECT_EQ(gdi_fixed_to_int(0x18), 1);
    EXPECT_EQ(gdi_fixed_to_int(0x30), 3);
    EXPECT_EQ(gdi_fixed_to_int(-0x18), -1);  // -2 + 8/15, toward zero
    EXPECT_EQ(gdi_stroke_mix(SPICE_ROPD_OP_PUT), R2_COPYPEN);
    EXPECT_EQ(gdi_stroke_mix(SPICE_ROPD_OP_AND | SPICE_ROPD_INVERS_DEST), R2_MASKPENNOT);
    EXPECT_EQ(gdi_stroke_mix(SPICE_ROPD_OP_XOR | SPICE_ROPD_INVERS_RES), R2_NOTXORPEN);
    EXPECT_EQ(gdi_stroke_mix(SPICE_ROPD_OP_XOR | SPICE_ROPD_INVERS_SRC), R2_NOP);

    // A styled line of lengths 3 and 2 (28.4 values 0x30 and 0x20) that starts with a gap: the first length
    // goes last, so dashes of 2 and gaps of 3. (The software back end starts such a line with a 3-pixel gap.)
    TestImageCache cache;
    TestSurfaces surfaces;
    GdiTestCanvas canvas(16, 4, SPICE_SURFACE_FMT_32_xRGB, &cache, &surfaces);
    TestPath line({{SPICE_PATH_BEGIN | SPICE_PATH_END, {fix(0, 1), fix(15, 1)}}});
    SPICE_FIXED28_4 style[] = {0x30, 0x20};
    SpiceStroke stroke{};
    stroke.path = &line.path;
    stroke.brush = solid_brush(0x00FFFFFF);
    stroke.fore_mode = SPICE_ROPD_OP_PUT;
    stroke.attr.flags = SPICE_LINE_FLAGS_STYLED | SPICE_LINE_FLAGS_START_WITH_GAP;
    stroke.attr.style_nseg = 2;
    stroke.attr.style = style;
    SpiceRect box = rect(0, 0, 16, 4);
    SpiceClip clip = no_clip();
    canvas.get()->ops->draw_stroke(canvas.get(), &box, &clip, &stroke);
    std::string row;
    for (int x = 0; x < 16; x++) {
        row += (canvas.pixel(x, 1) & 0xFFFFFF) ? '#' : '.';
    }
    EXPECT_EQ(row, "##...##...##....");
}

TEST(GdiCanvas, FillWithoutBrushAndUnreadableMaskDrawNothing) {
    TestImageCache cache;
    TestSurfaces surfaces;
    GdiTestCanvas canvas(8, 8, SPICE_SURFACE_FMT_32_xRGB, &cache, &surfaces);
    SpiceRect box = rect(0, 0, 8, 8);
    SpiceClip clip = no_clip();
    SpiceFill fill = fill_of(SpiceBrush{}, SPICE_ROPD_OP_PUT);
    canvas.get()->ops->draw_fill(canvas.get(), &box, &clip, &fill);
    // A mask from the cache that is not there.
    SpiceImage missing{};
    missing.descriptor.type = SPICE_IMAGE_TYPE_FROM_CACHE;
    missing.descriptor.id = 77;
    fill = fill_of(solid_brush(0xFFFFFF), SPICE_ROPD_OP_PUT);
    fill.mask.bitmap = &missing;
    canvas.get()->ops->draw_fill(canvas.get(), &box, &clip, &fill);
    for (int y = 0; y < 8; y++) {
        for (int x = 0; x < 8; x++) {
            ASSERT_EQ(canvas.pixel(x, y), 0u) << x << "," << y;
        }
    }
}

TEST(GdiCanvas, HostileSizesNeverEndTheProgram) {
    TestImageCache cache;
    TestSurfaces surfaces;
    GdiTestCanvas canvas(8, 8, SPICE_SURFACE_FMT_32_xRGB, &cache, &surfaces);
    SpiceCanvas* c = canvas.get();
    TestBitmap image(4, 4, image_pixel);
    SpiceClip clip = no_clip();
    SpiceRect dest = rect(0, 0, 2, 2);
    // An empty clip region draws nothing.
    pixman_region32_t empty;
    pixman_region32_init(&empty);
    std::vector<uint32_t> white(4, 0xFFFFFF);
    c->ops->put_image(c, nullptr, &dest, reinterpret_cast<uint8_t*>(white.data()), 2, 2, 8, &empty);
    pixman_region32_fini(&empty);
    EXPECT_EQ(canvas.pixel(0, 0) & 0xFFFFFF, 0u);
    const SpiceRect boxes[] = {rect(INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX), rect(5, 5, 2, 2),
                               rect(0, 0, INT32_MAX, 1), rect(-100, -100, -50, -50)};
    for (SpiceRect b : boxes) {
        SpiceCopy copy = copy_of(image.image(), rect(0, 0, 4, 4), SPICE_ROPD_OP_PUT, 0);
        c->ops->draw_copy(c, &b, &clip, &copy);
        copy.src_area = rect(INT32_MIN, 0, INT32_MAX, 4);
        c->ops->draw_copy(c, &b, &clip, &copy);
        copy.scale_mode = 7;
        c->ops->draw_copy(c, &b, &clip, &copy);
        SpicePoint from = {INT32_MAX, INT32_MIN};
        c->ops->copy_bits(c, &b, &clip, &from);
        SpiceAlphaBlend blend{};
        blend.alpha = 0x80;
        blend.src_bitmap = image.image();
        blend.src_area = rect(-4, -4, 8, 8);
        c->ops->draw_alpha_blend(c, &b, &clip, &blend);
        SpiceTransparent transparent{};
        transparent.src_bitmap = image.image();
        transparent.src_area = rect(0, 0, INT32_MAX, INT32_MAX);
        c->ops->draw_transparent(c, &b, &clip, &transparent);
    }
    std::vector<uint32_t> pixels(4);
    c->ops->put_image(c, nullptr, &dest, reinterpret_cast<uint8_t*>(pixels.data()), 0x10000, 1, 4, nullptr);
    c->ops->put_image(c, nullptr, &dest, reinterpret_cast<uint8_t*>(pixels.data()), 2, 2, 4, nullptr);
}

TEST(GdiCanvas, CacheBuildAndCopyLeaveTheCanvasAlone) {
    TestImageCache cache;
    TestSurfaces surfaces;
    GdiTestCanvas canvas(8, 8, SPICE_SURFACE_FMT_32_xRGB, &cache, &surfaces);
    SpiceCanvas* c = canvas.get();
    SpiceMsgDisplayDrawCacheBuild build{};
    build.cache_id = 5;
    build.format = SPICE_BITMAP_FMT_32BIT;
    build.area = rect(10, 10, 14, 13);
    c->ops->draw_cache_build(c, &build);
    ASSERT_EQ(cache.images.count(5), 1u);
    EXPECT_EQ(pixman_image_get_format(cache.images.at(5)), PIXMAN_x8r8g8b8);
    EXPECT_EQ(pixman_image_get_width(cache.images.at(5)), 4);
    build.cache_id = 6;
    build.area = rect(0, 0, 0x8000, 2);
    c->ops->draw_cache_build(c, &build);
    build.format = 11;
    build.area = rect(0, 0, 2, 2);
    c->ops->draw_cache_build(c, &build);
    EXPECT_EQ(cache.images.count(6), 0u);

    TestBitmap src(4, 4, [](int x, int y) { return uint32_t(0x100 * y + x + 1); });
    SpiceMsgDisplayDrawCacheCopy copy{};
    copy.data.src_bitmap = src.image();
    copy.data.src_area = rect(0, 0, 4, 4);
    copy.cache_id = 5;
    SpiceRect box = rect(1, 1, 5, 5);
    SpiceClip clip = no_clip();
    c->ops->draw_cache_copy(c, &box, &clip, &copy);
    pixman_image_t* built = cache.images.at(5);
    // Bottom-up: row 0 is at the end of the block.
    const uint8_t* top = reinterpret_cast<const uint8_t*>(pixman_image_get_data(built));
    uint32_t corner;
    memcpy(&corner, top + pixman_image_get_stride(built) * 1 + 4, 4);
    EXPECT_EQ(corner, 1u);
    copy.cache_id = 99;
    c->ops->draw_cache_copy(c, &box, &clip, &copy);
    for (int y = 0; y < 8; y++) {
        for (int x = 0; x < 8; x++) {
            ASSERT_EQ(canvas.pixel(x, y), 0u);
        }
    }
}

TEST(GdiCanvas, ClientCanvasChosenByType) {
    gdi_canvas_ops_init();
    sw_canvas_ops_init();
    TestImageCache images;
    TestPaletteCache palettes;
    CanvasSurfaces surfaces;
    GlzDecoderCanvasDebug debug;
    GlzDecoderWindow window(debug);
    std::unique_ptr<Canvas> gdi_canvas(create_onscreen_canvas(
        CANVAS_TYPE_GDI, 8, 6, SPICE_SURFACE_FMT_32_xRGB, &images, &palettes, window, &surfaces));
    std::unique_ptr<Canvas> sw_canvas(create_onscreen_canvas(CANVAS_TYPE_SW, 8, 6, SPICE_SURFACE_FMT_32_xRGB,
                                                             &images, &palettes, window, &surfaces));
    EXPECT_EQ(gdi_canvas->get_pixmap_type(), 3);
    EXPECT_EQ(sw_canvas->get_pixmap_type(), 1);
    EXPECT_TRUE(is_gdi_canvas(gdi_canvas->get_internal_canvas()));
    EXPECT_FALSE(is_gdi_canvas(sw_canvas->get_internal_canvas()));

    // Drawn, then copied out to a screen pixmap.
    SpiceCanvas* spice = gdi_canvas->get_internal_canvas();
    SpiceRect box = rect(1, 1, 5, 3);
    SpiceClip clip = no_clip();
    SpiceFill fill = fill_of(solid_brush(0x00ABCDEF), SPICE_ROPD_OP_PUT);
    spice->ops->draw_fill(spice, &box, &clip, &fill);
    RedPixmapSw screen(8, 6, RedDrawable::RGB32, true);
    pixman_region32_t region;
    pixman_region32_init_rect(&region, 0, 0, 3, 2);
    gdi_canvas->copy_pixels(region, screen);
    pixman_region32_fini(&region);
    auto at = [&](int x, int y) {
        return *(uint32_t*)(screen.get_data() + y * screen.get_stride() + 4 * x) & 0xFFFFFF;
    };
    EXPECT_EQ(at(1, 1), 0xABCDEFu);
    EXPECT_EQ(at(0, 0), 0u);
    EXPECT_EQ(at(3, 1), 0u);  // outside the copied region

    const struct {
        int type;
        uint32_t format;
        const char* text;
    } refused[] = {{CANVAS_TYPE_GDI, SPICE_SURFACE_FMT_8_A, "Unsupported RedPixman format"},
                   {0, SPICE_SURFACE_FMT_32_xRGB, "unsupported canvas type"},
                   {3, SPICE_SURFACE_FMT_32_xRGB, "unsupported canvas type"}};
    for (const auto& r : refused) {
        try {
            delete create_onscreen_canvas(r.type, 4, 4, r.format, &images, &palettes, window, &surfaces);
            ADD_FAILURE() << "type " << r.type << " format " << r.format << " accepted";
        } catch (const Exception& e) {
            EXPECT_NE(std::string(e.what()).find(r.text), std::string::npos) << e.what();
        }
    }
}

}  // namespace
