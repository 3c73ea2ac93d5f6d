// Bytes per second through the marshaller for the client's most frequent messages, against memcpy of the same
// bytes. One marshaller is reused with reset, as a channel reuses its out messages.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "transport/protocol/client_marshallers.h"

namespace {

constexpr size_t HEADER_SIZE = 6;
constexpr size_t RECORD_FRAME_BYTES = 1920;  // 480 stereo 16-bit frames

void write_header(SpiceMarshaller* m, uint16_t type) {
    spice_marshaller_add_uint16(m, type);
    spice_marshaller_add_uint32(m, 0);
}

// Header, body and the linearized view the channel sends, with the body size written in as the channel does.
size_t finish(SpiceMarshaller* m) {
    size_t total = spice_marshaller_get_total_size(m);
    size_t length = 0;
    int free_result = 0;
    uint8_t* p = spice_marshaller_flatten(m, 0, &length, &free_result);
    uint32_t body = static_cast<uint32_t>(total - HEADER_SIZE);
    memcpy(p + 2, &body, sizeof body);
    benchmark::DoNotOptimize(p);
    if (free_result) {
        free(p);
    }
    return length;
}

void BM_MarshallMouseMotion(benchmark::State& state) {
    const SpiceMessageMarshallers* table = spice_message_marshallers_get();
    SpiceMarshaller* m = spice_marshaller_create();
    SpiceMsgcMouseMotion motion{3, -1, 1};
    size_t bytes = 0;
    for (auto _ : state) {
        spice_marshaller_reset(m);
        write_header(m, 111);
        table->msgc_inputs_mouse_motion(m, &motion);
        bytes += finish(m);
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    spice_marshaller_destroy(m);
}
BENCHMARK(BM_MarshallMouseMotion);

void BM_MarshallRecordData(benchmark::State& state) {
    const SpiceMessageMarshallers* table = spice_message_marshallers_get();
    SpiceMarshaller* m = spice_marshaller_create();
    std::vector<uint8_t> samples(RECORD_FRAME_BYTES, 0x55);
    SpiceMsgcRecordPacket packet{12345};
    size_t bytes = 0;
    for (auto _ : state) {
        spice_marshaller_reset(m);
        write_header(m, 101);
        table->msgc_record_data(m, &packet);
        memcpy(spice_marshaller_reserve(m, samples.size()), samples.data(), samples.size());
        bytes += finish(m);
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    spice_marshaller_destroy(m);
}
BENCHMARK(BM_MarshallRecordData);

// The floor: copying the same number of bytes as the messages above.
void BM_MemcpyBaseline(benchmark::State& state) {
    size_t size = static_cast<size_t>(state.range(0));
    std::vector<uint8_t> src(size, 0x55), dst(size);
    for (auto _ : state) {
        memcpy(dst.data(), src.data(), size);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}
BENCHMARK(BM_MemcpyBaseline)->Arg(HEADER_SIZE + 10)->Arg(HEADER_SIZE + 4 + RECORD_FRAME_BYTES);

}  // namespace
