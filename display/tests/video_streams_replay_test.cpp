// A real server's video streams through the display channel: fixtures/streams.display.rec is QEMU's SPICE
// server streaming the motion guest's moving block (ten 32x240 MJPEG streams, recorded by
// tools/record_streams.sh) until the guest freezes, after which the server ends the streams and repaints the
// block losslessly. Sent message by message from a scripted server to a connected channel drawing into a
// software canvas, each frame due as it arrives (the application loop, its timers included, turns on a thread
// of its own and completes the screen's updates, which release the streams' next frames): the streams must
// draw their frames where the block is, and the last frames (the frozen picture, lossy) must come within a
// stated PSNR of the lossless repaint of the same picture, which checks the frames' colours, their
// orientation and their placement.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "display/display_channel.h"
#include "platform/session_block.h"
#include "support/fake_application.h"
#include "transport/tests/support/channel_test_support.h"
#include "transport/tests/support/fake_spice_server.h"
#include "transport/tests/support/recording.h"

namespace {

// The block on the guest's 640x400 screen.
const SpiceRect kBlock = {128, 80, 448, 320};
// The lowest accepted PSNR of the last stream frames against the lossless repaint, in dB. MJPEG of this
// picture (saturated hues, sharp edges) gives about 29 dB; another frame of the guest about 6.
const double kMinPsnr = 25.0;

double psnr(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b) {
    double squared = 0;
    for (size_t i = 0; i < a.size(); i++) {
        for (int shift = 0; shift < 24; shift += 8) {
            double d = double((a[i] >> shift) & 0xFF) - double((b[i] >> shift) & 0xFF);
            squared += d * d;
        }
    }
    double mse = squared / (double(a.size()) * 3);
    return mse == 0 ? INFINITY : 10 * std::log10(255.0 * 255.0 / mse);
}

class StreamsReplayTest : public testing::Test {
protected:
    void SetUp() override {
        SessionBlock::clear();
        SessionBlock::set_u32(SessionBlock::FORCE_LINK, 1);
        std::string error;
        ASSERT_TRUE(load_recording(std::string(KTW_TEST_SOURCE_DIR) + "/fixtures/streams.display.rec",
                                   &messages, &error))
            << error;
        app.canvas_types = {CANVAS_TYPE_SW};
        loop = std::thread([this] {
            while (!stop) {
                app.run_events();
                app.main_loop().get_timers_queue().run_due_timers();  // the screen's and the streams' timers
                Sleep(1);
            }
        });
        client.port = server.port();
        channel.reset(new DisplayChannel(client, 0, app, images));
        channel->start();
        channel->connect();
        conn = server.accept();
        ASSERT_TRUE(conn && conn->accept_link(nullptr, {1u << SPICE_COMMON_CAP_MINI_HEADER}, {0}));
        ASSERT_TRUE(channel_test::wait_until(
            channel_test::kWaitMs, [this] { return channel->get_state() == RedChannel::CONNECTED; }));
        fake_spice::Message init;
        ASSERT_TRUE(conn->read_message_of_type(SPICE_MSGC_DISPLAY_INIT, &init));
    }
    void TearDown() override {
        conn.reset();
        if (channel) {
            EXPECT_TRUE(channel_test::wait_until(channel_test::kWaitMs, [this] { return channel->abort(); }));
        }
        channel.reset();
        stop = true;
        if (loop.joinable()) {
            loop.join();
        }
        SessionBlock::clear();
    }

    // Sends a recorded message, a stream frame due as it arrives; true once the channel handled it (it
    // answers a ping in order), false when it closed the connection instead.
    bool send(const RecordedMessage& recorded) {
        if (recorded.channel_type != SPICE_CHANNEL_DISPLAY || recorded.type == SPICE_MSG_PING ||
            recorded.type == SPICE_MSG_SET_ACK) {
            return true;
        }
        if (recorded.type == SPICE_MSG_DISPLAY_STREAM_DATA && recorded.body.size() >= 8) {
            uint32_t mm_time;
            memcpy(&mm_time, recorded.body.data() + 4, 4);
            client.set_mm_time(mm_time);
        }
        // The message and a ping in one write, each behind its mini header (type, size).
        std::vector<uint8_t> bytes;
        auto put = [&bytes](uint16_t type, const std::vector<uint8_t>& body) {
            fake_spice::put16(bytes, type);
            fake_spice::put32(bytes, uint32_t(body.size()));
            bytes.insert(bytes.end(), body.begin(), body.end());
        };
        put(recorded.type, recorded.body);
        put(SPICE_MSG_PING, std::vector<uint8_t>(12, 0));
        conn->send_all(bytes);
        fake_spice::Message message;
        while (conn->read_message(&message, 10000)) {
            if (message.type == SPICE_MSGC_PONG) {
                return true;
            }
        }
        return false;
    }

    // The block's pixels on surface 0 (0xRRGGBB).
    std::vector<uint32_t> block() {
        Canvas* canvas = channel->canvas_of(0);
        if (!canvas) {
            return {};
        }
        SpiceCanvas* c = canvas->get_internal_canvas();
        const int width = kBlock.right - kBlock.left, height = kBlock.bottom - kBlock.top;
        std::vector<uint32_t> pixels(size_t(width) * height);
        SpiceRect area = kBlock;
        c->ops->read_bits(c, reinterpret_cast<uint8_t*>(pixels.data()), width * 4, &area);
        for (uint32_t& p : pixels) {
            p &= 0xFFFFFF;
        }
        return pixels;
    }

    // The block once it has stayed the same for 200 ms (3 s at most): the streams' queued frames drawn.
    std::vector<uint32_t> settled_block() {
        std::vector<uint32_t> last = block();
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        auto stable_since = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() < deadline &&
               std::chrono::steady_clock::now() - stable_since < std::chrono::milliseconds(200)) {
            Sleep(20);
            std::vector<uint32_t> now = block();
            if (now != last) {
                last = now;
                stable_since = std::chrono::steady_clock::now();
            }
        }
        return last;
    }

    std::vector<RecordedMessage> messages;
    FakeApplication app;
    channel_test::TestClient client;
    fake_spice::Server server;
    std::unique_ptr<fake_spice::Connection> conn;
    DisplaySharedImages images;
    std::atomic<bool> stop{false};
    std::thread loop;
    std::unique_ptr<DisplayChannel> channel;
};

TEST_F(StreamsReplayTest, LastFramesMatchTheLosslessRepaint) {
    // The frames change the block; after the last frame of the last stream, the server's draws repaint it.
    size_t last_frame = 0;
    int creates = 0, destroys = 0;
    for (size_t i = 0; i < messages.size(); i++) {
        if (messages[i].type == SPICE_MSG_DISPLAY_STREAM_DATA) {
            last_frame = i;
        }
        creates += messages[i].type == SPICE_MSG_DISPLAY_STREAM_CREATE;
        destroys += messages[i].type == SPICE_MSG_DISPLAY_STREAM_DESTROY;
    }
    ASSERT_GT(creates, 0);
    ASSERT_EQ(creates, destroys);

    std::vector<uint32_t> before_streams, streamed;
    int changes = 0;
    for (size_t i = 0; i <= last_frame; i++) {
        if (messages[i].type == SPICE_MSG_DISPLAY_STREAM_CREATE && before_streams.empty()) {
            before_streams = block();
            streamed = before_streams;
        }
        ASSERT_TRUE(send(messages[i])) << "the channel closed at message " << i;
        if (messages[i].type == SPICE_MSG_DISPLAY_STREAM_DATA) {
            std::vector<uint32_t> now = block();
            changes += now != streamed;
            streamed = now;
        }
    }
    ASSERT_FALSE(streamed.empty());
    streamed = settled_block();
    EXPECT_GT(changes, 100) << "stream frames that changed the block";
    for (size_t i = last_frame + 1; i < messages.size(); i++) {
        ASSERT_TRUE(send(messages[i])) << "the channel closed at message " << i;
    }
    const std::vector<uint32_t> repainted = block();
    EXPECT_NE(before_streams, repainted);
    const double p = psnr(streamed, repainted);
    EXPECT_GE(p, kMinPsnr);
    printf("%d stream frames changed the block; last frames against the lossless repaint: PSNR %.1f dB\n",
           changes, p);
}

}  // namespace
