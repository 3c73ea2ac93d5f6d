// Events pushed into a loop and run, per second, beside a memcpy of as many bytes as the events occupy.
#include "runtime/process_loop.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

namespace {

class CountingEvent : public Event {
public:
    explicit CountingEvent(uint64_t& runs) : _runs(runs) {}
    void response(AbstractProcessLoop&) override { _runs++; }

private:
    uint64_t& _runs;
};

void BM_PushAndRunEvents(benchmark::State& state) {
    const int batch = static_cast<int>(state.range(0));
    ProcessLoop loop(nullptr);
    uint64_t runs = 0;
    for (auto _ : state) {
        for (int i = 0; i < batch; i++) {
            Event* event = new CountingEvent(runs);
            loop.push_event(event);
            event->unref();
        }
        loop.run_queued_events();
    }
    benchmark::DoNotOptimize(runs);
    state.SetItemsProcessed(state.iterations() * batch);
    state.SetBytesProcessed(state.iterations() * batch * sizeof(CountingEvent));
}
BENCHMARK(BM_PushAndRunEvents)->Arg(1)->Arg(64)->Arg(1024);

// The same bytes as the events of one batch, copied once.
void BM_MemcpyBaseline(benchmark::State& state) {
    const size_t bytes = state.range(0) * sizeof(CountingEvent);
    std::vector<char> source(bytes, 1);
    std::vector<char> target(bytes);
    for (auto _ : state) {
        memcpy(target.data(), source.data(), bytes);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.SetBytesProcessed(state.iterations() * bytes);
}
BENCHMARK(BM_MemcpyBaseline)->Arg(1)->Arg(64)->Arg(1024);

}  // namespace
