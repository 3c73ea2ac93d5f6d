// Display-message decompression of messages that carry a 1920x1080 32-bit picture of three kinds, placed in a
// level-8 window (8 MB, which such a message just fits) and bypassing a level-1 window, beside a memcpy of
// the output size.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "codecs/md/min_deflate.h"
#include "codecs/tests/support/jpeg_test_support.h"
#include "codecs/tests/support/md_encoder.h"

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr size_t kSize = size_t(kWidth) * kHeight * 4;

std::vector<uint8_t> picture32(int kind) {
    std::vector<uint8_t> rgb = make_test_rgb(TestPicture(kind), kWidth, kHeight);
    std::vector<uint8_t> out(kSize);
    for (size_t i = 0, j = 0; i < rgb.size(); i += 3, j += 4) {
        out[j] = rgb[i + 2];
        out[j + 1] = rgb[i + 1];
        out[j + 2] = rgb[i];
        out[j + 3] = 0;
    }
    return out;
}

// The message as the server sends it first on a fresh connection: no history before it.
const std::vector<uint8_t>& compressed(int kind, unsigned level) {
    static std::vector<uint8_t> messages[3][11];
    std::vector<uint8_t>& m = messages[kind][level];
    if (m.empty()) {
        md_test::Encoder encoder(level);
        m = encoder.encode(picture32(kind));
    }
    return m;
}

void run(benchmark::State& state, unsigned level) {
    int kind = int(state.range(0));
    const std::vector<uint8_t>& msg = compressed(kind, level);
    MdDecoder* decoder = md_dec_new(level);
    std::vector<uint8_t> out(kSize);
    for (auto _ : state) {
        decoder->position = 0;  // each round is the connection's first message again
        size_t produced = out.size();
        if (md_decompress(decoder, msg.data(), msg.size(), out.data(), &produced) != MD_OK) {
            state.SkipWithError("decompression failed");
            break;
        }
        benchmark::DoNotOptimize(out.data());
    }
    md_dec_free(decoder);
    state.counters["Mpx/s"] = benchmark::Counter(double(kWidth) * kHeight * double(state.iterations()) / 1e6,
                                                 benchmark::Counter::kIsRate);
    state.counters["ratio"] = double(msg.size()) / double(kSize);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kSize));
}

void BM_MdInWindow(benchmark::State& state) {
    run(state, 8);
}

void BM_MdBypassingWindow(benchmark::State& state) {
    run(state, 1);
}

void BM_MemcpyOutputSize(benchmark::State& state) {
    std::vector<uint8_t> from(kSize, 1);
    std::vector<uint8_t> to(kSize);
    for (auto _ : state) {
        memcpy(to.data(), from.data(), kSize);
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    state.counters["Mpx/s"] = benchmark::Counter(double(kWidth) * kHeight * double(state.iterations()) / 1e6,
                                                 benchmark::Counter::kIsRate);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kSize));
}

// Arguments: 0 desktop, 1 photo, 2 noise.
BENCHMARK(BM_MdInWindow)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MdBypassingWindow)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemcpyOutputSize)->Unit(benchmark::kMillisecond);

}  // namespace
