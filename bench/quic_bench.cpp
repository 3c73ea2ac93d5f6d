// QUIC decoding of 1920x1080 RGB32 images of three kinds, in pixels per second (items/s), beside a memcpy of
// the decoded size: a desktop (flat areas, window frames and text), a photo-like gradient with noise, and
// noise in every channel (no runs, the longest codewords).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "codecs/quic.h"
#include "codecs/tests/support/quic_encoder.h"

namespace {

constexpr unsigned kWidth = 1920, kHeight = 1080;

QuicTestImage desktop() {
    QuicTestImage img(QUIC_IMAGE_TYPE_RGB32, kWidth, kHeight);
    std::mt19937 rng(1);
    for (unsigned y = 0; y < kHeight; y++) {
        for (unsigned x = 0; x < kWidth; x++) {
            img.at(x, y) = {58, 110, 165, 0};  // the wallpaper
        }
    }
    // Windows: a gradient title bar over a white body with lines of glyph-like marks.
    for (unsigned w = 0; w < 6; w++) {
        const unsigned left = 60 + w * 290, top = 40 + w * 150, right = left + 700, bottom = top + 520;
        for (unsigned y = top; y < bottom && y < kHeight; y++) {
            for (unsigned x = left; x < right && x < kWidth; x++) {
                auto& p = img.at(x, y);
                if (y < top + 24) {
                    p = {uint8_t(20 + (x - left) / 4), uint8_t(60 + (x - left) / 8), 200, 0};
                } else {
                    const unsigned line = (y - top - 24) % 18, column = (x - left) % 9;
                    const bool ink = line > 3 && line < 14 && column < 7 && (rng() % 3 == 0);
                    p = ink ? std::array<uint8_t, 4>{30, 30, 30, 0}
                            : std::array<uint8_t, 4>{255, 255, 255, 0};
                }
            }
        }
    }
    return img;
}

QuicTestImage photo() {
    QuicTestImage img(QUIC_IMAGE_TYPE_RGB32, kWidth, kHeight);
    std::mt19937 rng(2);
    for (unsigned y = 0; y < kHeight; y++) {
        for (unsigned x = 0; x < kWidth; x++) {
            auto noisy = [&](int v) { return uint8_t(std::min(255, std::max(0, v + int(rng() % 17) - 8))); };
            img.at(x, y) = {noisy(x * 255 / kWidth), noisy(y * 255 / kHeight), noisy(128 + (x - y) / 16), 0};
        }
    }
    return img;
}

QuicTestImage noise() {
    QuicTestImage img(QUIC_IMAGE_TYPE_RGB32, kWidth, kHeight);
    std::mt19937 rng(3);
    for (auto& p : img.pixels) {
        p = {uint8_t(rng()), uint8_t(rng()), uint8_t(rng()), 0};
    }
    return img;
}

const std::vector<uint8_t>& stream(int kind) {
    static const std::vector<uint8_t> streams[] = {quic_test_encode(desktop()), quic_test_encode(photo()),
                                                   quic_test_encode(noise())};
    return streams[kind];
}

void report(QuicUsrContext*, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
}

void* allocate(QuicUsrContext*, size_t size) {
    return malloc(size);
}

void release(QuicUsrContext*, void* ptr) {
    free(ptr);
}

int64_t no_more_space(QuicUsrContext*, const uint8_t**, int) {
    return 0;
}

int no_more_lines(QuicUsrContext*, uint8_t**) {
    return 0;
}

void BM_QuicDecodeRgb32(benchmark::State& state) {
    quic_init();
    QuicUsrContext usr{report, report, report, allocate, release, no_more_space, no_more_lines};
    QuicContext* quic = quic_create(&usr);
    const std::vector<uint8_t>& data = stream(int(state.range(0)));
    std::vector<uint8_t> pixels(size_t(kWidth) * kHeight * 4);
    for (auto _ : state) {
        QuicImageType type;
        int width, height;
        if (quic_decode_begin(quic, data.data(), data.size(), kWidth, kHeight, &type, &width, &height) != 0 ||
            quic_decode(quic, QUIC_IMAGE_TYPE_RGB32, pixels.data(), kWidth * 4) != 0) {
            state.SkipWithError("decode failed");
            break;
        }
        benchmark::DoNotOptimize(pixels.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kWidth * kHeight);
    state.SetLabel(std::string(state.range(0) == 0   ? "desktop"
                               : state.range(0) == 1 ? "photo"
                                                     : "noise") +
                   ", " + std::to_string(data.size() / 1024) + " KiB");
    quic_destroy(quic);
}
BENCHMARK(BM_QuicDecodeRgb32)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

void BM_MemcpyRgb32Frame(benchmark::State& state) {
    std::vector<uint8_t> from(size_t(kWidth) * kHeight * 4, 1), to(from.size());
    for (auto _ : state) {
        memcpy(to.data(), from.data(), from.size());
        benchmark::DoNotOptimize(to.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kWidth * kHeight);
}
BENCHMARK(BM_MemcpyRgb32Frame)->Unit(benchmark::kMillisecond);

}  // namespace
