// Megapixels per second of the raster helpers over a 1920x1080 x8r8g8b8 surface, beside memcpy and pixman's
// own block transfer of the same area, and the line rasteriser on 10,000 random segments.
#include <benchmark/benchmark.h>
#include <pixman.h>

#include <cstring>
#include <random>
#include <vector>

#include "canvas/lines.h"
#include "canvas/pixman_utils.h"
#include "canvas/rop3.h"

namespace {

constexpr int WIDTH = 1920;
constexpr int HEIGHT = 1080;

struct Surface {
    std::vector<uint32_t> pixels = std::vector<uint32_t>(size_t(WIDTH) * HEIGHT);
    pixman_image_t* image;

    Surface(int width = WIDTH, int height = HEIGHT) {
        pixels.resize(size_t(width) * size_t(height));
        std::mt19937 random(5);
        for (uint32_t& p : pixels) {
            p = uint32_t(random());
        }
        image = pixman_image_create_bits(PIXMAN_x8r8g8b8, width, height, pixels.data(), width * 4);
    }
    ~Surface() { pixman_image_unref(image); }
};

void count_pixels(benchmark::State& state) {
    state.counters["Mpx"] =
        benchmark::Counter(double(state.iterations()) * WIDTH * HEIGHT / 1e6, benchmark::Counter::kIsRate);
}

void BM_Memcpy(benchmark::State& state) {
    Surface src, dest;
    for (auto _ : state) {
        memcpy(dest.pixels.data(), src.pixels.data(), dest.pixels.size() * 4);
        benchmark::ClobberMemory();
    }
    count_pixels(state);
}
BENCHMARK(BM_Memcpy);

void BM_PixmanBlt(benchmark::State& state) {
    Surface src, dest;
    for (auto _ : state) {
        pixman_blt(src.pixels.data(), dest.pixels.data(), WIDTH, WIDTH, 32, 32, 0, 0, 0, 0, WIDTH, HEIGHT);
        benchmark::ClobberMemory();
    }
    count_pixels(state);
}
BENCHMARK(BM_PixmanBlt);

void BM_Copy(benchmark::State& state) {
    Surface src, dest;
    for (auto _ : state) {
        spice_pixman_blit(dest.image, src.image, 0, 0, 0, 0, WIDTH, HEIGHT);
        benchmark::ClobberMemory();
    }
    count_pixels(state);
}
BENCHMARK(BM_Copy);

void BM_CopyXor(benchmark::State& state) {
    Surface src, dest;
    for (auto _ : state) {
        spice_pixman_blit_rop(dest.image, src.image, 0, 0, 0, 0, WIDTH, HEIGHT, ROP_XOR);
        benchmark::ClobberMemory();
    }
    count_pixels(state);
}
BENCHMARK(BM_CopyXor);

void BM_Fill(benchmark::State& state) {
    Surface dest;
    for (auto _ : state) {
        spice_pixman_fill_rect(dest.image, 0, 0, WIDTH, HEIGHT, 0x00336699);
        benchmark::ClobberMemory();
    }
    count_pixels(state);
}
BENCHMARK(BM_Fill);

void BM_FillXor(benchmark::State& state) {
    Surface dest;
    for (auto _ : state) {
        spice_pixman_fill_rect_rop(dest.image, 0, 0, WIDTH, HEIGHT, 0x00336699, ROP_XOR);
        benchmark::ClobberMemory();
    }
    count_pixels(state);
}
BENCHMARK(BM_FillXor);

void BM_TileCopy(benchmark::State& state) {
    Surface dest, tile(8, 8);
    for (auto _ : state) {
        spice_pixman_tile_rect(dest.image, 0, 0, WIDTH, HEIGHT, tile.image, 3, 5);
        benchmark::ClobberMemory();
    }
    count_pixels(state);
}
BENCHMARK(BM_TileCopy);

// 0xB8: the source where the source is 1, else the pattern, a ternary code that needs all three operands.
void BM_Rop3WithColor(benchmark::State& state) {
    Surface src, dest;
    const SpicePoint origin = {0, 0};
    for (auto _ : state) {
        do_rop3_with_color(0xB8, dest.image, src.image, &origin, 0x00112233);
        benchmark::ClobberMemory();
    }
    count_pixels(state);
}
BENCHMARK(BM_Rop3WithColor);

void BM_Rop3WithPattern(benchmark::State& state) {
    Surface src, dest, pattern(8, 8);
    const SpicePoint origin = {0, 0};
    for (auto _ : state) {
        do_rop3_with_pattern(0xB8, dest.image, src.image, &origin, pattern.image, &origin);
        benchmark::ClobberMemory();
    }
    count_pixels(state);
}
BENCHMARK(BM_Rop3WithPattern);

struct CountingSink : LineContext {
    uint64_t pixels = 0;

    static void fill_spans(LineContext* context, int count, SpicePoint*, int* widths, int, int) {
        for (int i = 0; i < count; i++) {
            static_cast<CountingSink*>(context)->pixels += uint64_t(widths[i]);
        }
    }
    static void fill_rects(LineContext* context, int count, LineRect* rects, int) {
        for (int i = 0; i < count; i++) {
            static_cast<CountingSink*>(context)->pixels +=
                uint64_t(rects[i].width) * uint64_t(rects[i].height);
        }
    }
};

const SpanSink COUNTING_SINK = {&CountingSink::fill_spans, &CountingSink::fill_rects};

// 10,000 segments between random points of an area a little larger than the surface, as one polyline.
void stroke(benchmark::State& state, bool dashed) {
    std::mt19937 random(17);
    std::vector<SpicePoint> points(10001);
    for (SpicePoint& p : points) {
        p = {int(random() % (WIDTH + 200)) - 100, int(random() % (HEIGHT + 200)) - 100};
    }
    const uint8_t dashes[] = {6, 3};
    CountingSink sink;
    sink.width = WIDTH;
    sink.height = HEIGHT;
    sink.raster_op = ROP_COPY;
    sink.line_width = dashed ? 1 : 0;
    sink.dash_offset = 0;
    sink.dash_count = dashed ? 2 : 0;
    sink.dashes = dashes;
    sink.line_style = dashed ? LINE_STYLE_ON_OFF_DASH : LINE_STYLE_SOLID;
    sink.cap_style = LINE_CAP_NOT_LAST;
    sink.join_style = LINE_JOIN_MITER;
    sink.sink = &COUNTING_SINK;
    for (auto _ : state) {
        if (dashed) {
            stroke_wide_line(&sink, int(points.size()), points.data());
        } else {
            stroke_thin_line(&sink, int(points.size()), points.data());
        }
    }
    benchmark::DoNotOptimize(sink.pixels);
    state.counters["segments"] =
        benchmark::Counter(double(state.iterations()) * 10000, benchmark::Counter::kIsRate);
}

void BM_StrokeThin10000Segments(benchmark::State& state) {
    stroke(state, false);
}
BENCHMARK(BM_StrokeThin10000Segments)->Unit(benchmark::kMillisecond);

void BM_StrokeDashed10000Segments(benchmark::State& state) {
    stroke(state, true);
}
BENCHMARK(BM_StrokeDashed10000Segments)->Unit(benchmark::kMillisecond);

}  // namespace
