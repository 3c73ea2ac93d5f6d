// The display channel on real server traffic: each strip recording (codecs/tests/fixtures/strips, one
// full-screen repaint of the benchmark guest as QEMU's SPICE server sent it under one image-compression
// setting, with the boot screen before it) replayed message by message through the channel's handling into
// a software canvas: parse, dispatch, image decode and draw. Figures in pixels of the recording's images per
// second (items/s), the unit of strips_bench's BM_StripsWholeRecording, which decodes the same images through
// the decoders alone: the difference is the channel's own cost. Surfaces are made on a loop thread, as the
// main loop makes them, and are counted in the time.
//
// Also:
//   first frame  from the message that makes the 1024x768 surface to the last image of the repaint drawn: the
//                time a session takes from a new screen to its first full picture
//   streams      display/tests/fixtures/streams.display.rec (tools/record_streams.sh: QEMU streaming the
//                motion guest's block as ten 32x240 MJPEG streams, then its lossless repaint) through a
//                channel with no screen, every frame due as it arrives: each frame decoded and drawn (items:
//                frame pixels); beside it the same frames through the MJPEG decoder alone
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "codecs/mjpeg_decoder.h"
#include "codecs/tests/support/strip_fixtures.h"
#include "display/display_channel.h"
#include "display/palette_cache.h"
#include "display/video_streams.h"
#include "runtime/exception.h"
#include "display/tests/support/fake_application.h"
#include "transport/tests/support/channel_test_support.h"
#include "transport/tests/support/recording.h"

namespace {

struct Replay {
    // id: the channel's, which is also its screen's; the stand-in application has a screen for id 0 only.
    explicit Replay(int id = 0) {
        app.canvas_types = {CANVAS_TYPE_SW};
        loop = std::thread([this] {
            while (!stop) {
                app.run_events();
                Sleep(0);
            }
        });
        channel = new DisplayChannel(client, id, app, images);
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

std::vector<RecordedMessage> display_messages(const std::string& path) {
    std::vector<RecordedMessage> all;
    std::string error;
    if (!load_recording(path, &all, &error)) {
        fprintf(stderr, "%s: %s\n", path.c_str(), error.c_str());
        abort();
    }
    std::vector<RecordedMessage> display;
    for (RecordedMessage& message : all) {
        if (message.channel_type == SPICE_CHANNEL_DISPLAY && message.type != SPICE_MSG_PING &&
            message.type != SPICE_MSG_SET_ACK) {  // answered by a connected channel only
            display.push_back(std::move(message));
        }
    }
    return display;
}

std::vector<RecordedMessage> strip_messages(const char* name) {
    return display_messages(std::string(KTW_STRIP_FIXTURE_DIR) + "/" + name + ".display.rec");
}

// The pixels of the recording's images, as strips_bench counts them.
uint64_t image_pixels(const char* name) {
    StripRecording recording;
    std::string error;
    if (!recording.load(KTW_STRIP_FIXTURE_DIR, name, &error)) {
        fprintf(stderr, "%s\n", error.c_str());
        abort();
    }
    uint64_t pixels = 0;
    for (const StripImage& image : recording.images) {
        pixels += image.pixels();
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

void reset(Replay& replay) {
    replay.channel->destroy_all_surfaces();
    replay.images.pixmap_cache.clear();
    replay.images.glz_window.clear();
}

void BM_ReplayThroughChannel(benchmark::State& state, const char* name) {
    static Replay* replay = new Replay();
    const std::vector<RecordedMessage> messages = strip_messages(name);
    for (auto _ : state) {
        for (const RecordedMessage& message : messages) {
            handle(*replay->channel, message);
        }
        state.PauseTiming();
        reset(*replay);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(int64_t(state.iterations() * image_pixels(name)));
}

// The boot screen replayed untimed; timed from the message making the 1024x768 surface to the last image
// drawn.
void BM_FirstFrame(benchmark::State& state, const char* name) {
    static Replay* replay = new Replay();
    const std::vector<RecordedMessage> messages = strip_messages(name);
    size_t first = messages.size(), last = 0;
    for (size_t i = 0; i < messages.size(); i++) {
        const RecordedMessage& m = messages[i];
        uint32_t width = 0;
        if (m.type == SPICE_MSG_DISPLAY_SURFACE_CREATE && m.body.size() >= 8) {
            memcpy(&width, m.body.data() + 4, 4);
            if (width == 1024) {
                first = i;
            }
        }
        if (m.type == SPICE_MSG_DISPLAY_DRAW_COPY) {
            last = i;
        }
    }
    if (first >= last) {
        state.SkipWithError("no 1024x768 surface before the repaint");
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        reset(*replay);
        for (size_t i = 0; i < first; i++) {
            handle(*replay->channel, messages[i]);
        }
        state.ResumeTiming();
        for (size_t i = first; i <= last; i++) {
            handle(*replay->channel, messages[i]);
        }
    }
    state.SetLabel(std::to_string(last - first + 1) + " messages");
}

// The stream session with every frame's time put to the clock's, so that each is due as it arrives.
std::vector<RecordedMessage> stream_messages(uint32_t now) {
    std::vector<RecordedMessage> messages =
        display_messages(std::string(KTW_STREAM_FIXTURE_DIR) + "/streams.display.rec");
    for (RecordedMessage& m : messages) {
        if (m.type == SPICE_MSG_DISPLAY_STREAM_DATA && m.body.size() >= 12) {
            memcpy(m.body.data() + 4, &now, 4);
        }
    }
    return messages;
}

// The frames: (stream id, body offset of the data, size); their pixels by the streams' source sizes.
struct StreamFrames {
    explicit StreamFrames(const std::vector<RecordedMessage>& messages) {
        for (const RecordedMessage& m : messages) {
            if (m.type == SPICE_MSG_DISPLAY_STREAM_CREATE && m.body.size() >= 34) {
                uint32_t id, width, height;
                memcpy(&id, m.body.data() + 4, 4);
                memcpy(&width, m.body.data() + 26, 4);
                memcpy(&height, m.body.data() + 30, 4);
                sizes[id] = {width, height};
            } else if (m.type == SPICE_MSG_DISPLAY_STREAM_DATA && m.body.size() >= 12) {
                uint32_t id, size;
                memcpy(&id, m.body.data(), 4);
                memcpy(&size, m.body.data() + 8, 4);
                if (size <= m.body.size() - 12 && sizes.count(id)) {
                    frames.push_back({&m, id, size});
                    pixels += uint64_t(sizes[id].first) * sizes[id].second;
                }
            }
        }
    }
    struct Frame {
        const RecordedMessage* message;
        uint32_t id;
        uint32_t size;
    };
    std::map<uint32_t, std::pair<uint32_t, uint32_t>> sizes;
    std::vector<Frame> frames;
    uint64_t pixels = 0;
};

// The streams with no screen behind them (a frame shown needs no screen update, so none waits): each message
// parsed as the channel parses it and handed to the streams, which decode every frame and draw it onto a
// 640x400 software surface.
class NoScreenHost : public VideoStreamsHost {
public:
    NoScreenHost()
        : initialised((display_canvas_init(), true)),
          canvas(false, 640, 400, SPICE_SURFACE_FMT_32_xRGB, &images.pixmap_cache, &palette,
                 images.glz_window, nullptr) {}
    uint32_t get_mm_time() override { return kNow; }
    Canvas* stream_canvas(uint32_t surface_id) override { return surface_id == 0 ? &canvas : nullptr; }
    uint64_t invalidate_layer_urgent(const RECT&) override { return 0; }
    uint64_t invalidate_screen_urgent(const RECT&) override { return 0; }
    void post_activate_timer() override {}
    void set_streams_timer(uint32_t) override {}
    void fire_streams_trigger() override {}

    static const uint32_t kNow = 100000;
    bool initialised;
    DisplaySharedImages images;
    PaletteCache palette;
    SCanvas canvas;
};

void BM_StreamsThroughStreamsCode(benchmark::State& state) {
    NoScreenHost host;
    VideoStreams streams(host);
    const std::vector<RecordedMessage> messages = stream_messages(NoScreenHost::kNow);
    const StreamFrames frames(messages);
    const SpiceChannelParser* parser = spice_get_server_channel_parser(SPICE_CHANNEL_DISPLAY, 2);
    for (auto _ : state) {
        for (const RecordedMessage& m : messages) {
            if (m.type < SPICE_MSG_DISPLAY_STREAM_CREATE || m.type > SPICE_MSG_DISPLAY_STREAM_DESTROY_ALL) {
                continue;
            }
            size_t size = 0;
            message_destructor_t release = nullptr;
            uint8_t* parsed = parser->parser(const_cast<uint8_t*>(m.body.data()),
                                             const_cast<uint8_t*>(m.body.data()) + m.body.size(), m.type, 2,
                                             &size, &release);
            if (!parsed) {
                state.SkipWithError("a stream message does not parse");
                return;
            }
            switch (m.type) {
                case SPICE_MSG_DISPLAY_STREAM_CREATE:
                    streams.create(*reinterpret_cast<SpiceMsgDisplayStreamCreate*>(parsed), false);
                    break;
                case SPICE_MSG_DISPLAY_STREAM_DATA:
                    streams.data(*reinterpret_cast<SpiceMsgDisplayStreamData*>(parsed));
                    break;
                case SPICE_MSG_DISPLAY_STREAM_CLIP:
                    streams.clip(*reinterpret_cast<SpiceMsgDisplayStreamClip*>(parsed));
                    break;
                case SPICE_MSG_DISPLAY_STREAM_DESTROY:
                    streams.destroy(reinterpret_cast<SpiceMsgDisplayStreamDestroy*>(parsed)->id);
                    break;
                default:
                    streams.destroy_all();
                    break;
            }
            release(parsed);
        }
    }
    state.SetItemsProcessed(int64_t(state.iterations() * frames.pixels));
    state.counters["frames/s"] =
        benchmark::Counter(double(frames.frames.size()), benchmark::Counter::kIsIterationInvariantRate);
    state.SetLabel(std::to_string(frames.frames.size()) + " frames of " +
                   std::to_string(frames.sizes.size()) + " streams");
}

void BM_StreamsMjpegAlone(benchmark::State& state) {
    const std::vector<RecordedMessage> messages = stream_messages(NoScreenHost::kNow);
    const StreamFrames frames(messages);
    std::map<uint32_t, std::pair<std::vector<uint8_t>, std::unique_ptr<MJpegDecoder>>> decoders;
    for (const auto& size : frames.sizes) {
        auto& d = decoders[size.first];
        d.first.resize(size_t(size.second.first) * size.second.second * 4);
        d.second.reset(new MJpegDecoder(int(size.second.first), int(size.second.second),
                                        int(size.second.first * 4), d.first.data(), false));
    }
    for (auto _ : state) {
        for (const StreamFrames::Frame& f : frames.frames) {
            if (!decoders[f.id].second->decode_data(f.message->body.data() + 12, f.size)) {
                state.SkipWithError("decode failed");
                break;
            }
        }
    }
    state.SetItemsProcessed(int64_t(state.iterations() * frames.pixels));
    state.counters["frames/s"] =
        benchmark::Counter(double(frames.frames.size()), benchmark::Counter::kIsIterationInvariantRate);
}

BENCHMARK_CAPTURE(BM_ReplayThroughChannel, quic, "quic")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReplayThroughChannel, lz, "lz")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReplayThroughChannel, glz, "glz")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReplayThroughChannel, zlib_glz, "zlib-glz")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReplayThroughChannel, jpeg, "jpeg")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FirstFrame, quic, "quic")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FirstFrame, lz, "lz")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FirstFrame, glz, "glz")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FirstFrame, zlib_glz, "zlib-glz")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FirstFrame, jpeg, "jpeg")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StreamsThroughStreamsCode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StreamsMjpegAlone)->Unit(benchmark::kMillisecond);

}  // namespace
