// Megapixels per second of whole-screen draws through a 1920x1080 x8r8g8b8 canvas of each back end, software
// and GDI (fill, copy, a ternary raster operation and an alpha blend, their sources taken from the image
// cache as the server's repeated images are), beside memcpy and pixman's own block transfer of the same area;
// and the time of a line of text and of a stroked path on each.
#include <benchmark/benchmark.h>
#include <pixman.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "canvas/canvas_base.h"
#include "canvas/canvas_utils.h"
#include "canvas/gdi_canvas.h"
#include "canvas/red_drawable.h"
#include "canvas/sw_canvas.h"

namespace {

constexpr int WIDTH = 1920;
constexpr int HEIGHT = 1080;

pixman_image_t* random_image(pixman_format_code_t format) {
    pixman_image_t* image = pixman_image_create_bits(format, WIDTH, HEIGHT, nullptr, 0);
    std::mt19937 random(5);
    uint32_t* data = pixman_image_get_data(image);
    for (size_t i = 0; i < size_t(WIDTH) * HEIGHT; i++) {
        data[i] = uint32_t(random());
    }
    // The image fetch wants the format recorded, as on every image the canvas code makes.
    pixman_image_add_data(image)->format = format;
    return image;
}

struct BenchCache : SpiceImageCache {
    std::map<uint64_t, pixman_image_t*> images;
    BenchCache() { ops = &cache_ops; }
    ~BenchCache() {
        for (auto& entry : images) {
            pixman_image_unref(entry.second);
        }
    }
    static void put(SpiceImageCache* cache, uint64_t id, pixman_image_t* image) {
        static_cast<BenchCache*>(cache)->images[id] = pixman_image_ref(image);
    }
    static pixman_image_t* get(SpiceImageCache* cache, uint64_t id) {
        auto& images = static_cast<BenchCache*>(cache)->images;
        auto it = images.find(id);
        return it == images.end() ? nullptr : pixman_image_ref(it->second);
    }
    static inline const SpiceImageCacheOps cache_ops = {put, get, put, put, get};
};

struct NoPalettes : SpicePaletteCache {
    NoPalettes() { ops = &palette_ops; }
    static void put(SpicePaletteCache*, SpicePalette*) {}
    static SpicePalette* get(SpicePaletteCache*, uint64_t) { return nullptr; }
    static void release(SpicePaletteCache*, SpicePalette*) {}
    static inline SpicePaletteCacheOps palette_ops = {put, get, release};
};

struct NoSurfaces : SpiceSurfaces {
    NoSurfaces() { ops = &surfaces_ops; }
    static SpiceCanvas* get(SpiceSurfaces*, uint32_t) { return nullptr; }
    static inline SpiceSurfacesOps surfaces_ops = {get};
};

enum : uint64_t { OPAQUE_ID = 1, ALPHA_ID = 2 };

// A screen-sized canvas of either back end and two cached screen-sized sources, one opaque and one with
// alpha.
struct Screen {
    BenchCache cache;
    NoPalettes palettes;
    NoSurfaces surfaces;
    std::unique_ptr<RedPixmapGdi> pixmap;  // the GDI canvas's pixels
    SpiceCanvas* canvas;
    SpiceImage opaque_source{};
    SpiceImage alpha_source{};
    SpiceRect box = {0, 0, WIDTH, HEIGHT};
    SpiceClip clip = {SPICE_CLIP_TYPE_NONE, nullptr};

    explicit Screen(bool gdi) {
        if (gdi) {
            gdi_canvas_ops_init();
            pixmap.reset(new RedPixmapGdi(WIDTH, HEIGHT, RedDrawable::RGB32));
            const PixelsSource::PlatformArea& area = pixmap->get_platform_area();
            canvas = gdi_canvas_new(WIDTH, HEIGHT, area.dc, area.lock, SPICE_SURFACE_FMT_32_xRGB, &cache,
                                    &palettes, &surfaces, nullptr, nullptr, nullptr);
        } else {
            sw_canvas_ops_init();
            canvas = sw_canvas_new(random_image(PIXMAN_x8r8g8b8), SPICE_SURFACE_FMT_32_xRGB, &cache,
                                   &palettes, &surfaces, nullptr, nullptr, nullptr);
        }
        pixman_image_t* opaque = random_image(PIXMAN_x8r8g8b8);
        pixman_image_t* alpha = random_image(PIXMAN_a8r8g8b8);
        // Premultiplied: no colour above its alpha.
        uint32_t* data = pixman_image_get_data(alpha);
        for (size_t i = 0; i < size_t(WIDTH) * HEIGHT; i++) {
            const uint32_t a = data[i] >> 24;
            uint32_t p = a << 24;
            for (int shift = 0; shift < 24; shift += 8) {
                p |= std::min((data[i] >> shift) & 0xFF, a) << shift;
            }
            data[i] = p;
        }
        BenchCache::put(&cache, OPAQUE_ID, opaque);
        BenchCache::put(&cache, ALPHA_ID, alpha);
        pixman_image_unref(opaque);
        pixman_image_unref(alpha);
        for (auto [image, id] : {std::pair{&opaque_source, OPAQUE_ID}, std::pair{&alpha_source, ALPHA_ID}}) {
            image->descriptor.id = id;
            image->descriptor.type = SPICE_IMAGE_TYPE_FROM_CACHE;
            image->descriptor.width = WIDTH;
            image->descriptor.height = HEIGHT;
        }
    }
    ~Screen() { canvas->ops->destroy(canvas); }
};

void count_pixels(benchmark::State& state) {
    state.counters["Mpx"] =
        benchmark::Counter(double(state.iterations()) * WIDTH * HEIGHT / 1e6, benchmark::Counter::kIsRate);
}

void BM_Memcpy(benchmark::State& state) {
    std::vector<uint32_t> src(size_t(WIDTH) * HEIGHT, 1), dest(size_t(WIDTH) * HEIGHT);
    for (auto _ : state) {
        memcpy(dest.data(), src.data(), dest.size() * 4);
        benchmark::ClobberMemory();
    }
    count_pixels(state);
}
BENCHMARK(BM_Memcpy);

void BM_PixmanBlt(benchmark::State& state) {
    std::vector<uint32_t> src(size_t(WIDTH) * HEIGHT, 1), dest(size_t(WIDTH) * HEIGHT);
    for (auto _ : state) {
        pixman_blt(src.data(), dest.data(), WIDTH, WIDTH, 32, 32, 0, 0, 0, 0, WIDTH, HEIGHT);
        benchmark::ClobberMemory();
    }
    count_pixels(state);
}
BENCHMARK(BM_PixmanBlt);

void BM_CanvasFill(benchmark::State& state, bool gdi) {
    Screen screen(gdi);
    SpiceFill fill{};
    fill.brush.type = SPICE_BRUSH_TYPE_SOLID;
    fill.brush.u.color = 0x336699;
    fill.rop_descriptor = SPICE_ROPD_OP_PUT;
    for (auto _ : state) {
        screen.canvas->ops->draw_fill(screen.canvas, &screen.box, &screen.clip, &fill);
        benchmark::ClobberMemory();
    }
    count_pixels(state);
}
BENCHMARK_CAPTURE(BM_CanvasFill, software, false);
BENCHMARK_CAPTURE(BM_CanvasFill, gdi, true);

void BM_CanvasCopy(benchmark::State& state, bool gdi) {
    Screen screen(gdi);
    SpiceCopy copy{};
    copy.src_bitmap = &screen.opaque_source;
    copy.src_area = screen.box;
    copy.rop_descriptor = SPICE_ROPD_OP_PUT;
    for (auto _ : state) {
        screen.canvas->ops->draw_copy(screen.canvas, &screen.box, &screen.clip, &copy);
        benchmark::ClobberMemory();
    }
    count_pixels(state);
}
BENCHMARK_CAPTURE(BM_CanvasCopy, software, false);
BENCHMARK_CAPTURE(BM_CanvasCopy, gdi, true);

void BM_CanvasRop3(benchmark::State& state, bool gdi) {
    Screen screen(gdi);
    SpiceRop3 rop3{};
    rop3.src_bitmap = &screen.opaque_source;
    rop3.src_area = screen.box;
    rop3.brush.type = SPICE_BRUSH_TYPE_SOLID;
    rop3.brush.u.color = 0x336699;
    rop3.rop3 = 0xB8;  // (P & S) | (~S & D): the source selects brush or destination
    for (auto _ : state) {
        screen.canvas->ops->draw_rop3(screen.canvas, &screen.box, &screen.clip, &rop3);
        benchmark::ClobberMemory();
    }
    count_pixels(state);
}
BENCHMARK_CAPTURE(BM_CanvasRop3, software, false);
BENCHMARK_CAPTURE(BM_CanvasRop3, gdi, true);

void BM_CanvasAlphaBlend(benchmark::State& state, bool gdi) {
    Screen screen(gdi);
    SpiceAlphaBlend blend{};
    blend.alpha = 200;
    blend.src_bitmap = &screen.alpha_source;
    blend.src_area = screen.box;
    for (auto _ : state) {
        screen.canvas->ops->draw_alpha_blend(screen.canvas, &screen.box, &screen.clip, &blend);
        benchmark::ClobberMemory();
    }
    count_pixels(state);
}
BENCHMARK_CAPTURE(BM_CanvasAlphaBlend, software, false);
BENCHMARK_CAPTURE(BM_CanvasAlphaBlend, gdi, true);

// A line of 200 one-bit glyphs of 8x16 across the screen, drawn over a back area.
void BM_CanvasText(benchmark::State& state, bool gdi) {
    Screen screen(gdi);
    constexpr int GLYPHS = 200;
    std::vector<uint8_t> bits(16, 0x5A);
    std::vector<SpiceRasterGlyph> glyphs(GLYPHS);
    std::vector<SpiceRasterGlyph*> pointers;
    for (int i = 0; i < GLYPHS; i++) {
        glyphs[i].render_pos = {8 + 9 * i, 500};
        glyphs[i].glyph_origin = {0, 0};
        glyphs[i].width = 8;
        glyphs[i].height = 16;
        glyphs[i].data = bits.data();
        pointers.push_back(&glyphs[i]);
    }
    std::vector<uint8_t> storage(sizeof(SpiceString));
    SpiceString* str = reinterpret_cast<SpiceString*>(storage.data());
    str->length = GLYPHS;
    str->flags = SPICE_STRING_FLAGS_RASTER_A1;
    str->glyphs = pointers.data();
    SpiceText text{};
    text.str = str;
    text.back_area = {8, 500, 8 + 9 * GLYPHS, 516};
    text.fore_brush.type = SPICE_BRUSH_TYPE_SOLID;
    text.fore_brush.u.color = 0xFFFFFF;
    text.back_brush.type = SPICE_BRUSH_TYPE_SOLID;
    text.back_brush.u.color = 0x000080;
    text.fore_mode = SPICE_ROPD_OP_PUT;
    text.back_mode = SPICE_ROPD_OP_PUT;
    SpiceRect box = text.back_area;
    for (auto _ : state) {
        screen.canvas->ops->draw_text(screen.canvas, &box, &screen.clip, &text);
        benchmark::ClobberMemory();
    }
}
BENCHMARK_CAPTURE(BM_CanvasText, software, false);
BENCHMARK_CAPTURE(BM_CanvasText, gdi, true);

// A closed path round the screen with both diagonals: about 8000 pixels of one-pixel lines.
void BM_CanvasStroke(benchmark::State& state, bool gdi) {
    Screen screen(gdi);
    auto fix = [](int x, int y) { return SpicePointFix{x * 16, y * 16}; };
    std::vector<SpicePointFix> outline = {fix(0, 0), fix(WIDTH - 1, 0), fix(WIDTH - 1, HEIGHT - 1),
                                          fix(0, HEIGHT - 1)};
    std::vector<SpicePointFix> diagonals = {fix(0, 0), fix(WIDTH - 1, HEIGHT - 1), fix(0, HEIGHT - 1),
                                            fix(WIDTH - 1, 0)};
    SpicePathSeg segments[] = {
        {SPICE_PATH_BEGIN | SPICE_PATH_END | SPICE_PATH_CLOSE, uint32_t(outline.size()), outline.data()},
        {SPICE_PATH_BEGIN | SPICE_PATH_END, uint32_t(diagonals.size()), diagonals.data()}};
    SpicePathSeg* pointers[] = {&segments[0], &segments[1]};
    SpicePath path{2, pointers};
    SpiceStroke stroke{};
    stroke.path = &path;
    stroke.brush.type = SPICE_BRUSH_TYPE_SOLID;
    stroke.brush.u.color = 0x00FF00;
    stroke.fore_mode = SPICE_ROPD_OP_PUT;
    stroke.back_mode = SPICE_ROPD_OP_PUT;
    for (auto _ : state) {
        screen.canvas->ops->draw_stroke(screen.canvas, &screen.box, &screen.clip, &stroke);
        benchmark::ClobberMemory();
    }
}
BENCHMARK_CAPTURE(BM_CanvasStroke, software, false);
BENCHMARK_CAPTURE(BM_CanvasStroke, gdi, true);

}  // namespace
