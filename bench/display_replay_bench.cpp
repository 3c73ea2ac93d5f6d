// The display channel on real server traffic: each strip recording (codecs/tests/fixtures/strips, one
// full-screen repaint of the benchmark guest as QEMU's SPICE server sent it under one image-compression
// setting, with the boot screen before it) replayed message by message through the channel's handling into
// a software canvas: parse, dispatch, image decode and draw. Figures in pixels of draw boxes per second
// (items/s); strips_bench gives the same images through the decoders alone. Surfaces are made on a loop
// thread, as the main loop makes them, and are counted in the time.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "display/display_channel.h"
#include "runtime/exception.h"
#include "display/tests/support/fake_application.h"
#include "transport/tests/support/channel_test_support.h"
#include "transport/tests/support/recording.h"

namespace {

struct Replay {
    Replay() {
        app.canvas_types = {CANVAS_TYPE_SW};
        loop = std::thread([this] {
            while (!stop) {
                app.run_events();
                Sleep(0);
            }
        });
        channel = new DisplayChannel(client, 0, app, images);
    }
    ~Replay() {
        delete channel;
        stop = true;
        loop.join();
    }

    FakeApplication app;
    channel_test::TestClient client;
    DisplaySharedImages images;
    std::atomic<bool> stop{false};
    std::thread loop;
    DisplayChannel* channel;
};

std::vector<RecordedMessage> display_messages(const char* name) {
    std::vector<RecordedMessage> all;
    std::string error;
    std::string path = std::string(KTW_STRIP_FIXTURE_DIR) + "/" + name + ".display.rec";
    if (!load_recording(path, &all, &error)) {
        fprintf(stderr, "%s: %s\n", path.c_str(), error.c_str());
        abort();
    }
    std::vector<RecordedMessage> display;
    for (RecordedMessage& message : all) {
        if (message.channel_type == SPICE_CHANNEL_DISPLAY) {
            display.push_back(std::move(message));
        }
    }
    return display;
}

// The pixels of the boxes of the draw messages (their base starts every draw body: u32 surface, then the
// box as top, left, bottom, right).
uint64_t drawn_pixels(const std::vector<RecordedMessage>& messages) {
    uint64_t pixels = 0;
    for (const RecordedMessage& m : messages) {
        if (m.type < SPICE_MSG_DISPLAY_DRAW_FILL || m.type > SPICE_MSG_DISPLAY_DRAW_ALPHA_BLEND ||
            m.body.size() < 20) {
            continue;
        }
        int32_t box[4];
        memcpy(box, m.body.data() + 4, sizeof(box));
        int64_t width = int64_t(box[3]) - box[1];
        int64_t height = int64_t(box[2]) - box[0];
        if (width > 0 && height > 0) {
            pixels += uint64_t(width * height);
        }
    }
    return pixels;
}

void handle(DisplayChannel& channel, const RecordedMessage& recorded) {
    RedPeer::CompoundInMessage* message =
        new RedPeer::CompoundInMessage(uint32_t(recorded.body.size()), recorded.type);
    if (!recorded.body.empty()) {
        memcpy(message->data(), recorded.body.data(), recorded.body.size());
    }
    try {
        channel.handle_message(*message);
    } catch (Exception& e) {
        fprintf(stderr, "message %u: %s\n", recorded.type, e.what());
    }
    message->unref();
}

void BM_ReplayThroughChannel(benchmark::State& state, const char* name) {
    static Replay* replay = new Replay();
    const std::vector<RecordedMessage> messages = display_messages(name);
    for (auto _ : state) {
        for (const RecordedMessage& message : messages) {
            if (message.type == SPICE_MSG_PING || message.type == SPICE_MSG_SET_ACK) {
                continue;  // answered by a connected channel only
            }
            handle(*replay->channel, message);
        }
        state.PauseTiming();
        replay->channel->destroy_all_surfaces();
        replay->images.pixmap_cache.clear();
        replay->images.glz_window.clear();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(int64_t(state.iterations() * drawn_pixels(messages)));
}

BENCHMARK_CAPTURE(BM_ReplayThroughChannel, quic, "quic")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReplayThroughChannel, lz, "lz")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReplayThroughChannel, glz, "glz")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReplayThroughChannel, zlib_glz, "zlib-glz")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReplayThroughChannel, jpeg, "jpeg")->Unit(benchmark::kMillisecond);

}  // namespace
