#include "devices/playback_channel.h"
#include "platform/session_block.h"
#include "runtime/exception.h"
#include "support/audio_fakes.h"
#include "transport/tests/support/channel_test_support.h"
#include "transport/tests/support/fake_spice_server.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

using audio_test::FakePlayer;
using audio_test::PlayerLog;
using channel_test::TestClient;
using fake_spice::Connection;
using fake_spice::kCommonCapMiniHeader;
using fake_spice::LinkRequest;
using fake_spice::put16;
using fake_spice::put32;
using fake_spice::put64;
using fake_spice::Server;

class TestPlayback : public PlaybackChannel {
public:
    TestPlayback(TestClient& client, PlayerLog& log) : PlaybackChannel(client, 0), _log(log) {}

protected:
    WavePlaybackAbstract* create_player(uint32_t rate, uint32_t channels, uint32_t frame_samples) override {
        std::lock_guard<std::mutex> hold(_log.lock);
        _log.created++;
        _log.rate = rate;
        _log.channels = channels;
        _log.frame_samples = frame_samples;
        if (_log.fail_create) {
            THROW("no output device");
        }
        return new FakePlayer(_log);
    }

private:
    PlayerLog& _log;
};

std::vector<uint8_t> mode_body(uint16_t mode) {
    std::vector<uint8_t> body;
    put32(body, 1);
    put16(body, mode);
    return body;
}

std::vector<uint8_t> start_body(uint32_t channels, uint16_t format, uint32_t frequency) {
    std::vector<uint8_t> body;
    put32(body, channels);
    put16(body, format);
    put32(body, frequency);
    put32(body, 0);
    return body;
}

std::vector<uint8_t> data_body(uint32_t time, size_t size, uint8_t fill = 0x5A) {
    std::vector<uint8_t> body;
    put32(body, time);
    body.resize(4 + size, fill);
    return body;
}

std::vector<uint8_t> volume_body(const std::vector<uint16_t>& values) {
    std::vector<uint8_t> body = {uint8_t(values.size())};
    for (uint16_t v : values) {
        put16(body, v);
    }
    return body;
}

class PlaybackChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        SessionBlock::clear();
        SessionBlock::set_u32(SessionBlock::FORCE_LINK, 1);  // plain TCP
        client.port = server.port();
    }

    void TearDown() override {
        if (channel) {
            EXPECT_TRUE(channel_test::wait_until(channel_test::kWaitMs, [&] { return channel->abort(); }));
            channel.reset();
        }
        SessionBlock::clear();
    }

    std::unique_ptr<Connection> connect(const std::vector<uint32_t>& server_caps = {},
                                        LinkRequest* request = nullptr) {
        if (!channel) {
            channel.reset(new TestPlayback(client, log));
            channel->start();
        }
        channel->connect();
        std::unique_ptr<Connection> conn = server.accept();
        if (!conn || !conn->accept_link(request, {kCommonCapMiniHeader}, server_caps) ||
            !channel_test::wait_until(channel_test::kWaitMs,
                                      [&] { return channel->get_state() == RedChannel::CONNECTED; })) {
            return nullptr;
        }
        return conn;
    }

    // True once the channel handled everything sent before: it answers a ping in order.
    bool sync(Connection& conn) {
        std::vector<uint8_t> ping;
        put32(ping, ++ping_id);
        put64(ping, 0);
        conn.send_message(SPICE_MSG_PING, ping);
        fake_spice::Message pong;
        return conn.read_message_of_type(3, &pong) && fake_spice::get32(pong.body.data()) == ping_id;
    }

    // Mode, then start at 48000 Hz stereo.
    void start_raw(Connection& conn, uint32_t frequency = 48000) {
        conn.send_message(SPICE_MSG_PLAYBACK_MODE, mode_body(SPICE_AUDIO_DATA_MODE_RAW));
        conn.send_message(SPICE_MSG_PLAYBACK_START, start_body(2, SPICE_AUDIO_FMT_S16, frequency));
    }

    size_t writes() {
        std::lock_guard<std::mutex> hold(log.lock);
        return log.writes.size();
    }

    Server server;
    TestClient client;
    PlayerLog log;
    std::unique_ptr<TestPlayback> channel;
    uint32_t ping_id = 0;
};

TEST_F(PlaybackChannelTest, LinkOffersVolumeAndShortFramesAndLossyOnlyWithACodec) {
    struct Case {
        uint32_t lossy;
        std::vector<uint32_t> words;
    } cases[] = {
        {0, {0x12}},
        {1, snd_codec_celt051_available() ? std::vector<uint32_t>{0x33, 0, 0, 0, 7, 2}
                                          : std::vector<uint32_t>{0x12}},
    };
    for (const Case& c : cases) {
        SessionBlock::set_u32(SessionBlock::PLAYBACK_LOSSY, c.lossy);
        SessionBlock::set_u32(SessionBlock::PLAYBACK_ALGORITHM, 7);
        SessionBlock::set_u32(SessionBlock::PLAYBACK_QUALITY, 2);
        PlaybackChannel made(client, 0);
        EXPECT_EQ(made.get_caps(), c.words) << "lossy " << c.lossy;
    }
    LinkRequest request;
    SessionBlock::set_u32(SessionBlock::PLAYBACK_LOSSY, 0);
    ASSERT_TRUE(connect({}, &request));
    EXPECT_EQ(request.channel_type, SPICE_CHANNEL_PLAYBACK);
    EXPECT_EQ(request.channel_caps, std::vector<uint32_t>{0x12});
}

// The frame follows the server's capability and the mode; a raw frame longer than that ends the channel, a
// shorter one is played.
TEST_F(PlaybackChannelTest, FrameSizeFollowsTheServerAndTheMode) {
    struct Case {
        std::vector<uint32_t> server_caps;
        uint16_t mode;
        uint32_t frame_samples;
    } cases[] = {
        {{}, SPICE_AUDIO_DATA_MODE_RAW, 480},
        {{1u << SPICE_PLAYBACK_CAP_FRAME_448}, SPICE_AUDIO_DATA_MODE_RAW, 448},
        {{}, SPICE_AUDIO_DATA_MODE_CELT_0_5_1, 448},
    };
    for (const Case& c : cases) {
        if (c.mode == SPICE_AUDIO_DATA_MODE_CELT_0_5_1 && snd_codec_celt051_available()) {
            continue;  // a real decoder needs real CELT data
        }
        {
            std::lock_guard<std::mutex> hold(log.lock);
            log.writes.clear();
        }
        std::unique_ptr<Connection> conn = connect(c.server_caps);
        ASSERT_TRUE(conn);
        conn->send_message(SPICE_MSG_PLAYBACK_MODE, mode_body(c.mode));
        conn->send_message(SPICE_MSG_PLAYBACK_START, start_body(2, SPICE_AUDIO_FMT_S16, 48000));
        uint32_t frame_bytes = c.frame_samples * 4;
        conn->send_message(SPICE_MSG_PLAYBACK_DATA, data_body(1, frame_bytes));
        conn->send_message(SPICE_MSG_PLAYBACK_DATA, data_body(2, 100));
        ASSERT_TRUE(sync(*conn));
        {
            std::lock_guard<std::mutex> hold(log.lock);
            EXPECT_EQ(log.frame_samples, c.frame_samples);
            EXPECT_EQ(log.rate, 48000u);
            if (c.mode == SPICE_AUDIO_DATA_MODE_RAW) {
                ASSERT_EQ(log.writes.size(), 2u);
                EXPECT_EQ(log.writes[0].size(), frame_bytes);
                EXPECT_EQ(log.writes[1].size(), 100u);
            } else {
                EXPECT_TRUE(log.writes.empty()) << "CELT data without a codec is dropped";
            }
        }
        if (c.mode == SPICE_AUDIO_DATA_MODE_RAW) {
            conn->send_message(SPICE_MSG_PLAYBACK_DATA, data_body(3, frame_bytes + 1));
            EXPECT_TRUE(conn->wait_closed()) << "a frame one byte too long";
        }
        channel->abort();
        channel.reset();
    }
}

// Handlers follow the states: nothing before a mode and a start, data only while playing, a start while
// playing ignored, a later start reusing the first player.
TEST_F(PlaybackChannelTest, MessagesAreHandledOnlyInTheirStates) {
    std::unique_ptr<Connection> conn = connect();
    ASSERT_TRUE(conn);
    conn->send_message(SPICE_MSG_PLAYBACK_DATA, data_body(1, 16));
    conn->send_message(SPICE_MSG_PLAYBACK_START, start_body(2, SPICE_AUDIO_FMT_S16, 48000));
    conn->send_message(SPICE_MSG_PLAYBACK_STOP);
    ASSERT_TRUE(sync(*conn));
    EXPECT_EQ(log.created, 0) << "a start before any mode";

    start_raw(*conn);
    conn->send_message(SPICE_MSG_PLAYBACK_DATA, data_body(2, 16));
    conn->send_message(SPICE_MSG_PLAYBACK_START, start_body(1, 9, 5));  // ignored while playing
    conn->send_message(SPICE_MSG_PLAYBACK_STOP);
    conn->send_message(SPICE_MSG_PLAYBACK_DATA, data_body(3, 16));  // ignored after the stop
    conn->send_message(SPICE_MSG_PLAYBACK_START, start_body(2, SPICE_AUDIO_FMT_S16, 44100));
    conn->send_message(SPICE_MSG_PLAYBACK_DATA, data_body(4, 16));
    ASSERT_TRUE(sync(*conn));
    std::lock_guard<std::mutex> hold(log.lock);
    EXPECT_EQ(log.created, 1);
    EXPECT_EQ(log.rate, 48000u) << "the first start's player is kept";
    EXPECT_EQ(log.stops, 1);
    EXPECT_EQ(log.writes.size(), 2u);
}

TEST_F(PlaybackChannelTest, BadServerValuesEndTheChannel) {
    struct Case {
        const char* what;
        uint16_t mode;
        uint32_t channels;
        uint16_t format;
        uint32_t frequency;
    } cases[] = {
        {"mode 3", 3, 2, SPICE_AUDIO_FMT_S16, 48000},
        {"format 2", SPICE_AUDIO_DATA_MODE_RAW, 2, 2, 48000},
        {"one channel", SPICE_AUDIO_DATA_MODE_RAW, 1, SPICE_AUDIO_FMT_S16, 48000},
        {"no rate", SPICE_AUDIO_DATA_MODE_RAW, 2, SPICE_AUDIO_FMT_S16, 0},
        {"999 Hz", SPICE_AUDIO_DATA_MODE_RAW, 2, SPICE_AUDIO_FMT_S16, 999},
        {"7999 Hz", SPICE_AUDIO_DATA_MODE_RAW, 2, SPICE_AUDIO_FMT_S16, 7999},
        {"192001 Hz", SPICE_AUDIO_DATA_MODE_RAW, 2, SPICE_AUDIO_FMT_S16, 192001},
    };
    for (const Case& c : cases) {
        std::unique_ptr<Connection> conn = connect();
        ASSERT_TRUE(conn) << c.what;
        conn->send_message(SPICE_MSG_PLAYBACK_MODE, mode_body(c.mode));
        conn->send_message(SPICE_MSG_PLAYBACK_START, start_body(c.channels, c.format, c.frequency));
        EXPECT_TRUE(conn->wait_closed()) << c.what;
        EXPECT_EQ(log.created, 0) << c.what;
        ASSERT_TRUE(channel_test::wait_until(
            channel_test::kWaitMs, [&] { return channel->get_state() == RedChannel::DISCONNECTED; }));
    }
}

// The clock is set from the first data message after each start and every 1000th after it, less the
// player's delay.
TEST_F(PlaybackChannelTest, MultimediaClockFollowsTheFirstAndEveryThousandthFrame) {
    log.delay_ms = 40;
    std::unique_ptr<Connection> conn = connect();
    ASSERT_TRUE(conn);
    start_raw(*conn);
    conn->send_message(SPICE_MSG_PLAYBACK_DATA, data_body(5000, 4));
    ASSERT_TRUE(sync(*conn));
    EXPECT_EQ(client.get_mm_time(), 4960u);
    for (uint32_t i = 1; i < 1000; i++) {
        conn->send_message(SPICE_MSG_PLAYBACK_DATA, data_body(5000 + i, 4));
    }
    ASSERT_TRUE(sync(*conn));
    EXPECT_EQ(client.get_mm_time(), 4960u);
    conn->send_message(SPICE_MSG_PLAYBACK_DATA, data_body(9000, 4));
    ASSERT_TRUE(sync(*conn));
    EXPECT_EQ(client.get_mm_time(), 8960u);
    conn->send_message(SPICE_MSG_PLAYBACK_STOP);
    conn->send_message(SPICE_MSG_PLAYBACK_START, start_body(2, SPICE_AUDIO_FMT_S16, 48000));
    conn->send_message(SPICE_MSG_PLAYBACK_DATA, data_body(20, 4));
    ASSERT_TRUE(sync(*conn));
    EXPECT_EQ(client.get_mm_time(), uint32_t(20 - 40)) << "the server's clock wraps; so does ours";
}

TEST_F(PlaybackChannelTest, VolumeAndMuteReachThePlayerOnlyWhilePlaying) {
    std::unique_ptr<Connection> conn = connect();
    ASSERT_TRUE(conn);
    conn->send_message(SPICE_MSG_PLAYBACK_VOLUME, volume_body({0x1234}));
    conn->send_message(SPICE_MSG_PLAYBACK_MUTE, {1});
    start_raw(*conn);
    conn->send_message(SPICE_MSG_PLAYBACK_VOLUME, volume_body({}));
    conn->send_message(SPICE_MSG_PLAYBACK_VOLUME, volume_body({0x8000}));
    conn->send_message(SPICE_MSG_PLAYBACK_VOLUME, volume_body({0x1000, 0x2000}));
    conn->send_message(SPICE_MSG_PLAYBACK_VOLUME, volume_body({0x1000, 0x2000, 0x3000}));
    conn->send_message(SPICE_MSG_PLAYBACK_MUTE, {1});
    conn->send_message(SPICE_MSG_PLAYBACK_MUTE, {0});
    ASSERT_TRUE(sync(*conn));
    std::lock_guard<std::mutex> hold(log.lock);
    EXPECT_EQ(log.volumes, (std::vector<uint32_t>{0x8000, 0x20001000, 0x20001000}));
    EXPECT_EQ(log.mutes, (std::vector<bool>{true, false}));
}

TEST_F(PlaybackChannelTest, WithoutAPlayerEveryPlaybackMessageIsIgnoredAndTheChannelStays) {
    log.fail_create = true;
    std::unique_ptr<Connection> conn = connect();
    ASSERT_TRUE(conn);
    start_raw(*conn);
    conn->send_message(SPICE_MSG_PLAYBACK_DATA, data_body(1, 16));
    conn->send_message(SPICE_MSG_PLAYBACK_MODE, mode_body(3));  // would end the channel if handled
    start_raw(*conn);
    conn->send_message(SPICE_MSG_PLAYBACK_VOLUME, volume_body({1}));
    conn->send_message(SPICE_MSG_PLAYBACK_MUTE, {1});
    ASSERT_TRUE(sync(*conn));
    EXPECT_EQ(channel->get_state(), RedChannel::CONNECTED);
    EXPECT_EQ(log.created, 1);
}

// A disconnection drops the player; data arriving on the next connection before a new start is ignored
// instead of reaching the player that is gone.
TEST_F(PlaybackChannelTest, DisconnectionDropsThePlayerAndTheNextConnectionStartsIdle) {
    std::unique_ptr<Connection> conn = connect();
    ASSERT_TRUE(conn);
    start_raw(*conn);
    conn->send_message(SPICE_MSG_PLAYBACK_DATA, data_body(1, 16));
    ASSERT_TRUE(sync(*conn));
    conn->close();
    ASSERT_TRUE(channel_test::wait_until(channel_test::kWaitMs, [&] {
        std::lock_guard<std::mutex> hold(log.lock);
        return log.destroyed == 1;
    }));
    ASSERT_TRUE(channel_test::wait_until(channel_test::kWaitMs,
                                         [&] { return channel->get_state() == RedChannel::DISCONNECTED; }));
    conn = connect();
    ASSERT_TRUE(conn);
    conn->send_message(SPICE_MSG_PLAYBACK_DATA, data_body(2, 16));
    conn->send_message(SPICE_MSG_PLAYBACK_VOLUME, volume_body({5}));
    ASSERT_TRUE(sync(*conn));
    start_raw(*conn);
    conn->send_message(SPICE_MSG_PLAYBACK_DATA, data_body(3, 16));
    ASSERT_TRUE(sync(*conn));
    std::lock_guard<std::mutex> hold(log.lock);
    EXPECT_EQ(log.created, 2);
    EXPECT_EQ(log.writes.size(), 2u);
}

}  // namespace
