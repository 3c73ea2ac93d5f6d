// JPEG and MJPEG decoding of 1920x1080 pictures of three kinds, beside libjpeg-turbo decoding the same file
// on its own (the decoders' target: within 10% of it) and a memcpy of the output size.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "codecs/jpeg_decoder.h"
#include "codecs/mjpeg_decoder.h"
#include "codecs/tests/support/jpeg_test_support.h"

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

const std::vector<uint8_t>& picture(int kind) {
    static std::vector<uint8_t> files[3];
    if (files[kind].empty()) {
        files[kind] = jpeg_encode(make_test_rgb(TestPicture(kind), kWidth, kHeight), kWidth, kHeight);
    }
    return files[kind];
}

void set_counters(benchmark::State& state) {
    state.counters["Mpx/s"] = benchmark::Counter(double(kWidth) * kHeight * double(state.iterations()) / 1e6,
                                                 benchmark::Counter::kIsRate);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(picture(int(state.range(0))).size()));
}

void BM_JpegDecoder(benchmark::State& state) {
    const std::vector<uint8_t>& jpeg = picture(int(state.range(0)));
    std::vector<uint8_t> surface(size_t(kWidth) * kHeight * 4);
    JpegDecoder decoder;
    for (auto _ : state) {
        int width, height;
        bool ok = decoder.begin(jpeg.data(), uint32_t(jpeg.size()), &width, &height) &&
                  decoder.decode(surface.data(), kWidth * 4, JPEG_BITMAP_FMT_32BIT);
        if (!ok) {
            state.SkipWithError("decode failed");
        }
        benchmark::DoNotOptimize(surface.data());
    }
    set_counters(state);
}

// libjpeg-turbo on its own: the same file and settings, rows of the given layout into a buffer.
void libjpeg_alone(benchmark::State& state, J_COLOR_SPACE space, int bytes, bool video) {
    const std::vector<uint8_t>& jpeg = picture(int(state.range(0)));
    std::vector<uint8_t> out(size_t(kWidth) * kHeight * size_t(bytes));
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr error;
    cinfo.err = jpeg_std_error(&error);
    jpeg_create_decompress(&cinfo);
    for (auto _ : state) {
        jpeg_mem_src(&cinfo, jpeg.data(), (unsigned long)jpeg.size());
        jpeg_read_header(&cinfo, TRUE);
        cinfo.out_color_space = space;
        if (video) {
            cinfo.do_fancy_upsampling = FALSE;
            cinfo.do_block_smoothing = FALSE;
        }
        jpeg_start_decompress(&cinfo);
        while (cinfo.output_scanline < cinfo.output_height) {
            JSAMPROW row = &out[size_t(cinfo.output_scanline) * kWidth * size_t(bytes)];
            jpeg_read_scanlines(&cinfo, &row, 1);
        }
        jpeg_finish_decompress(&cinfo);
        benchmark::DoNotOptimize(out.data());
    }
    jpeg_destroy_decompress(&cinfo);
    set_counters(state);
}

void BM_LibjpegAlone(benchmark::State& state) {
    libjpeg_alone(state, JCS_RGB, 3, false);
}

// The same with libjpeg's own 32-bit layout: as many output bytes as the decoder writes.
void BM_LibjpegAloneBGRX(benchmark::State& state) {
    libjpeg_alone(state, JCS_EXT_BGRX, 4, false);
}

// With the video settings (no fancy upsampling, no block smoothing), for the MJPEG decoder.
void BM_LibjpegAloneVideo(benchmark::State& state) {
    libjpeg_alone(state, JCS_RGB, 3, true);
}

void BM_MJpegDecoder(benchmark::State& state) {
    const std::vector<uint8_t>& jpeg = picture(int(state.range(0)));
    std::vector<uint8_t> frame(size_t(kWidth) * kHeight * 4);
    MJpegDecoder decoder(kWidth, kHeight, kWidth * 4, frame.data(), false);
    for (auto _ : state) {
        if (!decoder.decode_data(jpeg.data(), jpeg.size())) {
            state.SkipWithError("frame not decoded");
        }
        benchmark::DoNotOptimize(frame.data());
    }
    set_counters(state);
}

void BM_MemcpyOutputSize(benchmark::State& state) {
    std::vector<uint8_t> from(size_t(kWidth) * kHeight * 4, 1);
    std::vector<uint8_t> to(from.size());
    for (auto _ : state) {
        memcpy(to.data(), from.data(), from.size());
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    state.counters["Mpx/s"] = benchmark::Counter(double(kWidth) * kHeight * double(state.iterations()) / 1e6,
                                                 benchmark::Counter::kIsRate);
}

// Arguments: 0 desktop, 1 photo, 2 noise.
BENCHMARK(BM_JpegDecoder)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibjpegAlone)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibjpegAloneBGRX)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MJpegDecoder)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibjpegAloneVideo)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemcpyOutputSize)->Unit(benchmark::kMillisecond);

}  // namespace
