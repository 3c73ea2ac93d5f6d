#include "display/video_streams.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "canvas/raster_types.h"
#include "codecs/tests/support/jpeg_test_support.h"
#include "display/display_channel.h"
#include "runtime/exception.h"

namespace {

// An off-screen software canvas that counts the frames drawn into it.
class CountingCanvas : public SCanvas {
public:
    CountingCanvas(int width, int height, DisplaySharedImages& images, PaletteCache& palette)
        : SCanvas(false, width, height, SPICE_SURFACE_FMT_32_xRGB, &images.pixmap_cache, &palette,
                  images.glz_window, nullptr) {}
    void touched_bbox(const SpiceRect*) override { draws++; }
    std::atomic<int> draws{0};
};

// The channel, layer, screen and loops around the streams, on a clock the test moves.
class FakeHost : public VideoStreamsHost {
public:
    uint32_t get_mm_time() override { return now; }
    Canvas* stream_canvas(uint32_t surface_id) override {
        auto found = canvases.find(surface_id);
        return found == canvases.end() ? nullptr : found->second.get();
    }
    uint64_t invalidate_layer_urgent(const RECT&) override {
        layer_invalidations++;
        return ++mark;
    }
    uint64_t invalidate_screen_urgent(const RECT&) override {
        screen_invalidations++;
        if (on_screen_invalidate) {
            on_screen_invalidate();
        }
        return ++mark;
    }
    void post_activate_timer() override { activations_posted++; }
    void set_streams_timer(uint32_t interval_ms) override { timer_interval = interval_ms; }
    void fire_streams_trigger() override { triggers++; }

    std::atomic<uint32_t> now{100000};
    std::map<uint32_t, std::unique_ptr<CountingCanvas>> canvases;
    std::atomic<uint64_t> mark{0};
    int layer_invalidations = 0;
    int screen_invalidations = 0;
    int activations_posted = 0;
    uint32_t timer_interval = 0;
    int triggers = 0;
    std::function<void()> on_screen_invalidate;
};

SpiceMsgDisplayStreamCreate stream_create(uint32_t id, uint32_t width, uint32_t height,
                                          uint32_t surface_id = 0) {
    SpiceMsgDisplayStreamCreate create = {};
    create.surface_id = surface_id;
    create.id = id;
    create.flags = 1;  // top-down
    create.codec_type = 1;
    create.stream_width = create.src_width = width;
    create.stream_height = create.src_height = height;
    create.dest = {0, 0, int32_t(width), int32_t(height)};
    create.clip.type = SPICE_CLIP_TYPE_NONE;
    return create;
}

// A JPEG of the top half red and the bottom half blue.
std::vector<uint8_t> two_band_jpeg(int width, int height) {
    std::vector<uint8_t> rgb(size_t(width) * height * 3);
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            uint8_t* p = &rgb[(size_t(y) * width + x) * 3];
            p[0] = y < height / 2 ? 255 : 0;
            p[2] = y < height / 2 ? 0 : 255;
        }
    }
    JpegEncodeOptions options;
    options.quality = 95;
    return jpeg_encode(rgb, width, height, options);
}

class VideoStreamsTest : public ::testing::Test {
protected:
    void SetUp() override {
        display_canvas_init();
        add_surface(0, 64, 64);
    }
    void add_surface(uint32_t id, int width, int height) {
        host.canvases[id].reset(new CountingCanvas(width, height, images, palette));
    }
    CountingCanvas& canvas(uint32_t id = 0) { return *host.canvases[id]; }

    void send(uint32_t id, uint32_t mm_time) {
        SpiceMsgDisplayStreamData data = {};
        data.base.id = id;
        data.base.multi_media_time = mm_time;
        data.data = frame.data();
        data.data_size = uint32_t(frame.size());
        streams.data(data);
    }

    DisplaySharedImages images;
    PaletteCache palette;
    FakeHost host;
    VideoStreams streams{host};
    std::vector<uint8_t> frame = two_band_jpeg(16, 16);
};

TEST_F(VideoStreamsTest, LateFramesAreDroppedAndTheNextWaitsForTheScreen) {
    streams.create(stream_create(3, 16, 16), false);
    const uint32_t now = host.now;
    send(3, now - 20);  // more than 15 ms late: never decoded
    EXPECT_EQ(canvas().draws, 0);
    send(3, now - 10);  // shown at once
    EXPECT_EQ(canvas().draws, 1);
    EXPECT_EQ(host.layer_invalidations, 1);
    send(3, now + 5);  // waits until the screen has shown the previous one
    EXPECT_EQ(canvas().draws, 1);
    EXPECT_EQ(streams.queued_times(3), std::vector<uint32_t>{now + 5});

    // An older repaint completing releases nothing; the one carrying the mark does.
    streams.on_update_completion(0);
    streams.on_trigger();
    EXPECT_EQ(canvas().draws, 1);
    streams.on_update_completion(host.mark);
    EXPECT_EQ(host.triggers, 2);
    streams.on_trigger();
    EXPECT_EQ(canvas().draws, 2);
    EXPECT_EQ(host.layer_invalidations, 2);
    EXPECT_TRUE(streams.queued_times(3).empty());
    EXPECT_EQ(host.activations_posted, 0);
}

TEST_F(VideoStreamsTest, EarlyFrameIsDecodedAtOnceAndShownByTheTimer) {
    streams.create(stream_create(0, 16, 16), false);
    const uint32_t start = host.now;
    send(0, start + 40);
    EXPECT_EQ(canvas().draws, 1);
    EXPECT_EQ(host.layer_invalidations, 0);
    EXPECT_EQ(streams.next_timer_time(), start + 40);
    EXPECT_EQ(host.activations_posted, 1);

    // The activation arms the timer for the frame's time.
    streams.activate_timer();
    EXPECT_EQ(host.timer_interval, 40u);

    // 20 ms later the frame is still 20 ms ahead: not shown; the timer runs on every 15 ms.
    host.now = start + 20;
    streams.timer_action();
    EXPECT_EQ(host.screen_invalidations, 0);
    EXPECT_EQ(host.timer_interval, 15u);
    EXPECT_EQ(streams.next_timer_time(), start + 35);

    // Within 15 ms of its time it goes to the screen, and a later frame waits for that repaint.
    host.now = start + 35;
    streams.timer_action();
    EXPECT_EQ(host.screen_invalidations, 1);
    send(0, start + 36);
    EXPECT_EQ(canvas().draws, 1);
    streams.on_update_completion(host.mark);
    streams.on_trigger();
    EXPECT_EQ(canvas().draws, 2);
}

TEST_F(VideoStreamsTest, FullRingDropsFramesSpreadOverIt) {
    streams.create(stream_create(1, 16, 16), false);
    host.now = 5;
    send(1, 5);  // shown; everything after it queues behind its repaint
    ASSERT_EQ(canvas().draws, 1);
    send(1, 0);  // time 0 is kept as 1
    std::vector<uint32_t> expected{1};
    for (uint32_t t = 105; t <= 133; t++) {
        send(1, t);
        expected.push_back(t);
    }
    ASSERT_EQ(streams.queued_times(1), expected);
    ASSERT_EQ(expected.size(), size_t(VideoStreams::RING_SIZE));

    send(1, 134);  // the frame at tail - 2 goes first (132, the one before the newest)...
    expected.erase(expected.end() - 2);
    expected.push_back(134);
    EXPECT_EQ(streams.queued_times(1), expected);
    send(1, 135);  // ...then the one at tail - 3 (131)
    expected.erase(expected.end() - 3);
    expected.push_back(135);
    EXPECT_EQ(streams.queued_times(1), expected);
    EXPECT_EQ(canvas().draws, 1);
}

TEST_F(VideoStreamsTest, FrameIsDrawnTopDownOrBottomUpIntoItsDestination) {
    struct Case {
        const char* name;
        uint8_t flags;
        uint32_t src_height;
        uint32_t top_colour;  // x8r8g8b8 at the destination's top row
    };
    const Case cases[] = {
        {"top-down", 1, 16, 0xFF0000},
        {"bottom-up", 0, 16, 0x0000FF},
        {"top-down, source of the top half only", 1, 8, 0xFF0000},
    };
    uint32_t id = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        add_surface(0, 64, 64);
        SpiceMsgDisplayStreamCreate create = stream_create(id, 16, 16);
        create.flags = c.flags;
        create.src_height = c.src_height;
        create.dest = {8, 4, 24, int32_t(4 + c.src_height)};
        streams.create(create, false);
        send(id, host.now);
        ASSERT_EQ(canvas().draws, 1);

        std::vector<uint32_t> pixels(64 * 64);
        const SpiceRect all = {0, 0, 64, 64};
        SpiceCanvas* spice = canvas().get_internal_canvas();
        spice->ops->read_bits(spice, reinterpret_cast<uint8_t*>(pixels.data()), 64 * 4, &all);
        auto near = [](uint32_t a, uint32_t b) {
            for (int shift = 0; shift < 24; shift += 8) {
                if (std::abs(int((a >> shift) & 0xFF) - int((b >> shift) & 0xFF)) > 24) {
                    return false;
                }
            }
            return true;
        };
        EXPECT_TRUE(near(pixels[4 * 64 + 8], c.top_colour)) << std::hex << pixels[4 * 64 + 8];
        EXPECT_TRUE(near(pixels[4 * 64 + 23], c.top_colour)) << std::hex << pixels[4 * 64 + 23];
        // Nothing outside the destination.
        EXPECT_EQ(pixels[4 * 64 + 7] & 0xFFFFFF, 0u);
        EXPECT_EQ(pixels[(4 + c.src_height) * 64 + 8] & 0xFFFFFF, 0u);
        streams.destroy(id);
        id++;
    }
}

TEST_F(VideoStreamsTest, RefusedMessagesEndTheChannel) {
    streams.create(stream_create(2, 16, 16), false);
    struct Case {
        const char* name;
        std::function<void(SpiceMsgDisplayStreamCreate&)> change;
    };
    const Case creates[] = {
        {"stream id whose table would wrap", [](SpiceMsgDisplayStreamCreate& c) { c.id = 0xFFFFFFFFu; }},
        {"stream id past the cap",
         [](SpiceMsgDisplayStreamCreate& c) { c.id = VideoStreams::MAX_STREAM_ID + 1; }},
        {"zero width", [](SpiceMsgDisplayStreamCreate& c) { c.stream_width = c.src_width = 0; }},
        {"side past the cap", [](SpiceMsgDisplayStreamCreate& c) { c.stream_height = 0x8000; }},
        {"too many pixels",
         [](SpiceMsgDisplayStreamCreate& c) {
             c.stream_width = c.stream_height = c.src_width = c.src_height = 0x7000;
         }},
        {"source wider than the stream", [](SpiceMsgDisplayStreamCreate& c) { c.src_width = 17; }},
        {"source taller than the stream", [](SpiceMsgDisplayStreamCreate& c) { c.src_height = 17; }},
        {"empty source", [](SpiceMsgDisplayStreamCreate& c) { c.src_height = 0; }},
        {"codec other than MJPEG", [](SpiceMsgDisplayStreamCreate& c) { c.codec_type = 2; }},
        {"unknown clip type", [](SpiceMsgDisplayStreamCreate& c) { c.clip.type = 2; }},
        {"missing surface", [](SpiceMsgDisplayStreamCreate& c) { c.surface_id = 9; }},
        {"stream exist", [](SpiceMsgDisplayStreamCreate& c) { c.id = 2; }},
    };
    for (const Case& c : creates) {
        SCOPED_TRACE(c.name);
        SpiceMsgDisplayStreamCreate create = stream_create(5, 16, 16);
        c.change(create);
        EXPECT_THROW(streams.create(create, false), Exception);
        EXPECT_FALSE(streams.has_stream(5));
    }
    EXPECT_THROW(send(7, host.now), Exception);
    EXPECT_THROW(streams.destroy(7), Exception);
    SpiceMsgDisplayStreamClip clip = {};
    clip.id = 2;
    clip.clip.type = 3;
    EXPECT_THROW(streams.clip(clip), Exception);
    EXPECT_TRUE(streams.has_stream(2));
}

TEST_F(VideoStreamsTest, SurfaceStreamsGoWithTheSurface) {
    add_surface(1, 32, 32);
    streams.create(stream_create(0, 16, 16, 0), false);
    streams.create(stream_create(1, 16, 16, 1), false);
    streams.create(stream_create(2, 16, 16, 1), false);
    streams.destroy_surface_streams(1);
    host.canvases.erase(1);
    EXPECT_TRUE(streams.has_stream(0));
    EXPECT_FALSE(streams.has_stream(1));
    EXPECT_FALSE(streams.has_stream(2));
    EXPECT_THROW(send(1, host.now), Exception);
    send(0, host.now);
    EXPECT_EQ(canvas(0).draws, 1);
    // The id is free again for a new stream.
    add_surface(1, 32, 32);
    streams.create(stream_create(1, 16, 16, 1), false);
    EXPECT_TRUE(streams.has_stream(1));
}

// The timer shows a frame (clearing its update time, then setting the mark) while the channel thread takes
// the next one: the channel must not find the stream with neither pending and decode over the frame on its
// way to the screen.
TEST_F(VideoStreamsTest, TimerPresentingAFrameHoldsOffTheChannelThread) {
    streams.create(stream_create(0, 16, 16), false);
    const uint32_t start = host.now;
    send(0, start + 40);  // decoded early
    send(0, start + 45);  // queued behind it
    ASSERT_EQ(canvas().draws, 1);
    host.now = start + 35;

    std::thread channel_thread;
    std::atomic<int> draws_during_invalidation{-1};
    host.on_screen_invalidate = [&] {
        std::promise<void> done;
        std::future<void> finished = done.get_future();
        channel_thread = std::thread([&, done = std::move(done)]() mutable {
            send(0, start + 50);
            done.set_value();
        });
        // A guarded stream keeps the channel thread waiting until the mark is set: the wait runs out.
        finished.wait_for(std::chrono::milliseconds(300));
        draws_during_invalidation = canvas().draws.load();
    };
    streams.timer_action();
    channel_thread.join();
    EXPECT_EQ(host.screen_invalidations, 1);
    EXPECT_EQ(draws_during_invalidation, 1);
    EXPECT_EQ(canvas().draws, 1) << "the next frame waits for the repaint of the one shown";
    EXPECT_EQ(streams.queued_times(0), (std::vector<uint32_t>{start + 45, start + 50}));
}

}  // namespace
