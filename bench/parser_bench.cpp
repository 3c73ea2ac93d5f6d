// Parsing a typical DRAW_COPY (no clip, no mask, a QUIC image whose 4 KB of data stay in the message) through
// the display channel parser, against copying the same body with memcpy.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "transport/protocol/server_messages.h"

namespace {

class BodyWriter {
public:
    void put(uint64_t v, int n) {
        for (int i = 0; i < n; i++) {
            bytes.push_back(uint8_t(v >> (8 * i)));
        }
    }
    void rect(int32_t left, int32_t top, int32_t right, int32_t bottom) {
        put(uint32_t(top), 4);
        put(uint32_t(left), 4);
        put(uint32_t(bottom), 4);
        put(uint32_t(right), 4);
    }
    std::vector<uint8_t> bytes;
};

std::vector<uint8_t> typical_draw_copy() {
    const uint32_t data_size = 4096;
    BodyWriter w;
    w.put(0, 4);  // surface id
    w.rect(100, 100, 164, 164);
    w.put(SPICE_CLIP_TYPE_NONE, 1);
    w.put(57, 4);  // source image, right behind the 36 bytes of the copy body
    w.rect(0, 0, 64, 64);
    w.put(SPICE_ROPD_OP_PUT, 2);
    w.put(SPICE_IMAGE_SCALE_MODE_NEAREST, 1);
    w.put(0, 1);  // mask: flags, position, no image
    w.put(0, 8);
    w.put(0, 4);
    w.put(0x123456789ULL, 8);  // image descriptor
    w.put(SPICE_IMAGE_TYPE_QUIC, 1);
    w.put(SPICE_IMAGE_FLAGS_CACHE_ME, 1);
    w.put(64, 4);
    w.put(64, 4);
    w.put(data_size, 4);
    w.bytes.resize(w.bytes.size() + data_size, 0x5A);
    return w.bytes;
}

void BM_ParseDrawCopy(benchmark::State& state) {
    std::vector<uint8_t> body = typical_draw_copy();
    spice_parse_channel_func_t parser = server_channel_parsers[SPICE_CHANNEL_DISPLAY].parser;
    for (auto _ : state) {
        size_t size = 0;
        message_destructor_t release = nullptr;
        uint8_t* parsed =
            parser(body.data(), body.data() + body.size(), SPICE_MSG_DISPLAY_DRAW_COPY, 2, &size, &release);
        if (!parsed) {
            state.SkipWithError("parse failed");
            break;
        }
        benchmark::DoNotOptimize(parsed);
        release(parsed);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(body.size()));
}
BENCHMARK(BM_ParseDrawCopy);

// The floor: copying the body once, as any handling of the message must at least read it.
void BM_MemcpyDrawCopyBody(benchmark::State& state) {
    std::vector<uint8_t> body = typical_draw_copy();
    std::vector<uint8_t> copy(body.size());
    for (auto _ : state) {
        memcpy(copy.data(), body.data(), body.size());
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(body.size()));
}
BENCHMARK(BM_MemcpyDrawCopyBody);

}  // namespace
