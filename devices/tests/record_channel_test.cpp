#include "devices/playback_channel.h"
#include "devices/record_channel.h"
#include "platform/session_block.h"
#include "runtime/exception.h"
#include "support/audio_fakes.h"
#include "transport/tests/support/channel_test_support.h"
#include "transport/tests/support/fake_spice_server.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

using audio_test::FakeRecorder;
using audio_test::RecorderLog;
using channel_test::TestClient;
using fake_spice::Connection;
using fake_spice::get16;
using fake_spice::get32;
using fake_spice::kCommonCapMiniHeader;
using fake_spice::LinkRequest;
using fake_spice::put16;
using fake_spice::put32;
using fake_spice::Server;

class TestRecord : public RecordChannel {
public:
    TestRecord(TestClient& client, RecorderLog& log) : RecordChannel(client, 0), _log(log) {}

protected:
    WaveRecordAbstract* create_recorder(uint32_t rate, uint32_t channels, uint32_t frame_samples) override {
        std::lock_guard<std::mutex> hold(_log.lock);
        _log.created++;
        _log.rate = rate;
        _log.channels = channels;
        _log.frame_samples = frame_samples;
        if (_log.fail_create) {
            THROW("cannot open playback device");
        }
        return new FakeRecorder(_log, *this);
    }

private:
    RecorderLog& _log;
};

std::vector<uint8_t> start_body(uint32_t channels, uint16_t format, uint32_t frequency) {
    std::vector<uint8_t> body;
    put32(body, channels);
    put16(body, format);
    put32(body, frequency);
    return body;
}

std::vector<uint8_t> frame(size_t size, uint8_t seed) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; i++) {
        bytes[i] = uint8_t(seed + i * 13);
    }
    return bytes;
}

class RecordChannelTest : public ::testing::Test {
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
            channel.reset(new TestRecord(client, log));
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

    // The client messages of the record range up to and including the pong of a ping sent now.
    std::vector<fake_spice::Message> messages_until_sync(Connection& conn) {
        std::vector<uint8_t> ping;
        put32(ping, ++ping_id);
        fake_spice::put64(ping, 0);
        conn.send_message(SPICE_MSG_PING, ping);
        std::vector<fake_spice::Message> seen;
        fake_spice::Message message;
        while (conn.read_message(&message)) {
            if (message.type == 3 && get32(message.body.data()) == ping_id) {
                synced = true;
                return seen;
            }
            if (message.type >= SPICE_MSGC_RECORD_DATA) {
                seen.push_back(message);
            }
        }
        synced = false;
        return seen;
    }

    Server server;
    TestClient client;
    RecorderLog log;
    std::unique_ptr<TestRecord> channel;
    uint32_t ping_id = 0;
    bool synced = false;
};

TEST_F(RecordChannelTest, LinkOffersLossyRecordingOnlyWithACodec) {
    struct Case {
        uint32_t lossy;
        bool bits;
    } cases[] = {{0, false}, {1, snd_codec_celt051_available()}};
    for (const Case& c : cases) {
        SessionBlock::set_u32(SessionBlock::RECORD_LOSSY, c.lossy);
        RecordChannel made(client, 0);
        bool any = false;
        for (uint32_t word : made.get_caps()) {
            any = any || word != 0;
        }
        EXPECT_EQ(any, c.bits) << "lossy " << c.lossy;
    }
}

// A start sends the mode, then the start mark, then the captured frames, each as one data message with the
// frame's bytes behind a time.
TEST_F(RecordChannelTest, StartSendsModeThenStartMarkThenRawFrames) {
    log.frames_at_start = {frame(1920, 1), frame(1920, 2)};
    std::unique_ptr<Connection> conn = connect();
    ASSERT_TRUE(conn);
    conn->send_message(SPICE_MSG_RECORD_START, start_body(2, SPICE_AUDIO_FMT_S16, 48000));
    std::vector<fake_spice::Message> seen = messages_until_sync(*conn);
    ASSERT_TRUE(synced);
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0].type, SPICE_MSGC_RECORD_MODE);
    ASSERT_EQ(seen[0].body.size(), 6u);
    EXPECT_EQ(get16(seen[0].body.data() + 4), SPICE_AUDIO_DATA_MODE_RAW);
    EXPECT_EQ(seen[1].type, SPICE_MSGC_RECORD_START_MARK);
    EXPECT_EQ(seen[1].body.size(), 4u);
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(seen[2 + i].type, SPICE_MSGC_RECORD_DATA);
        std::vector<uint8_t> samples(seen[2 + i].body.begin() + 4, seen[2 + i].body.end());
        EXPECT_EQ(samples, frame(1920, uint8_t(1 + i)));
    }
    std::lock_guard<std::mutex> hold(log.lock);
    EXPECT_EQ(log.frame_samples, 480u);
    EXPECT_EQ(log.rate, 48000u);
    EXPECT_EQ(log.starts, 1);
}

// Four data messages exist: frames arriving while all four wait to be sent are dropped, and the messages are
// reused once sent.
TEST_F(RecordChannelTest, AFifthWaitingFrameIsDroppedAndMessagesAreReused) {
    for (int i = 0; i < 6; i++) {
        log.frames_at_start.push_back(frame(1920, uint8_t(10 + i)));
    }
    std::unique_ptr<Connection> conn = connect();
    ASSERT_TRUE(conn);
    for (int round = 0; round < 2; round++) {
        conn->send_message(SPICE_MSG_RECORD_START, start_body(2, SPICE_AUDIO_FMT_S16, 48000));
        conn->send_message(SPICE_MSG_RECORD_STOP);
        std::vector<fake_spice::Message> seen = messages_until_sync(*conn);
        ASSERT_TRUE(synced);
        int data = 0;
        for (const fake_spice::Message& message : seen) {
            if (message.type == SPICE_MSGC_RECORD_DATA) {
                std::vector<uint8_t> samples(message.body.begin() + 4, message.body.end());
                EXPECT_EQ(samples, frame(1920, uint8_t(10 + data)));
                data++;
            }
        }
        EXPECT_EQ(data, RecordChannel::POOL_SIZE) << round;
    }
    std::lock_guard<std::mutex> hold(log.lock);
    EXPECT_EQ(log.created, 2);
    EXPECT_EQ(log.destroyed, 2);
}

TEST_F(RecordChannelTest, BadStartValuesEndTheChannel) {
    struct Case {
        const char* what;
        uint32_t channels;
        uint16_t format;
        uint32_t frequency;
    } cases[] = {
        {"format 2", 2, 2, 48000},
        {"one channel", 1, SPICE_AUDIO_FMT_S16, 48000},
        {"no rate", 2, SPICE_AUDIO_FMT_S16, 0},
        {"511 Hz", 2, SPICE_AUDIO_FMT_S16, 511},
        {"192001 Hz", 2, SPICE_AUDIO_FMT_S16, 192001},
    };
    for (const Case& c : cases) {
        std::unique_ptr<Connection> conn = connect();
        ASSERT_TRUE(conn) << c.what;
        conn->send_message(SPICE_MSG_RECORD_START, start_body(c.channels, c.format, c.frequency));
        EXPECT_TRUE(conn->wait_closed()) << c.what;
        EXPECT_EQ(log.created, 0) << c.what;
        ASSERT_TRUE(channel_test::wait_until(
            channel_test::kWaitMs, [&] { return channel->get_state() == RedChannel::DISCONNECTED; }));
    }
}

// Without a capture device nothing is sent; a stop and a new start try again; a stop while idle and a second
// start while recording are ignored.
TEST_F(RecordChannelTest, AMissingDeviceIsRetriedAtTheNextStart) {
    log.fail_create = true;
    log.frames_at_start = {frame(1920, 3)};
    std::unique_ptr<Connection> conn = connect();
    ASSERT_TRUE(conn);
    conn->send_message(SPICE_MSG_RECORD_STOP);
    conn->send_message(SPICE_MSG_RECORD_START, start_body(2, SPICE_AUDIO_FMT_S16, 48000));
    std::vector<fake_spice::Message> seen = messages_until_sync(*conn);
    ASSERT_TRUE(synced);
    EXPECT_TRUE(seen.empty());
    {
        std::lock_guard<std::mutex> hold(log.lock);
        log.fail_create = false;
    }
    conn->send_message(SPICE_MSG_RECORD_STOP);
    conn->send_message(SPICE_MSG_RECORD_START, start_body(2, SPICE_AUDIO_FMT_S16, 44100));
    conn->send_message(SPICE_MSG_RECORD_START, start_body(1, 9, 1));  // ignored while recording
    seen = messages_until_sync(*conn);
    ASSERT_TRUE(synced);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[2].type, SPICE_MSGC_RECORD_DATA);
    std::lock_guard<std::mutex> hold(log.lock);
    EXPECT_EQ(log.created, 2);
    EXPECT_EQ(log.rate, 44100u);
}

// Lossy recording asked for and granted by the server, but no encoder can be made: recording goes on in raw
// mode instead of ending the channel.
TEST_F(RecordChannelTest, AnEncoderThatCannotBeMadeFallsBackToRaw) {
    if (snd_codec_celt051_available()) {
        GTEST_SKIP() << "the encoder can be made in this build";
    }
    SessionBlock::set_u32(SessionBlock::RECORD_LOSSY, 1);
    SessionBlock::set_u32(SessionBlock::RECORD_ALGORITHM, 1);
    SessionBlock::set_u32(SessionBlock::RECORD_QUALITY, 2);
    log.frames_at_start = {frame(1920, 4)};
    std::unique_ptr<Connection> conn =
        connect({(1u << SPICE_RECORD_CAP_CELT_0_5_1) | (1u << SPICE_RECORD_CAP_COMPRESS)});
    ASSERT_TRUE(conn);
    conn->send_message(SPICE_MSG_RECORD_START, start_body(2, SPICE_AUDIO_FMT_S16, 48000));
    std::vector<fake_spice::Message> seen = messages_until_sync(*conn);
    ASSERT_TRUE(synced) << "the channel ended";
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(get16(seen[0].body.data() + 4), SPICE_AUDIO_DATA_MODE_RAW);
    EXPECT_EQ(seen[2].body.size(), 4u + 1920u);
    EXPECT_EQ(log.frame_samples, 480u);
}

}  // namespace

namespace {

// The server closing the connection while recording stops the capture; on the next connection its start
// records again.
TEST_F(RecordChannelTest, AConnectionEndingWhileRecordingLeavesTheNextOneReadyToStart) {
    log.frames_at_start = {frame(1920, 5)};
    std::unique_ptr<Connection> conn = connect();
    ASSERT_TRUE(conn);
    conn->send_message(SPICE_MSG_RECORD_START, start_body(2, SPICE_AUDIO_FMT_S16, 48000));
    messages_until_sync(*conn);
    ASSERT_TRUE(synced);
    conn->close();
    ASSERT_TRUE(channel_test::wait_until(channel_test::kWaitMs,
                                         [&] { return channel->get_state() == RedChannel::DISCONNECTED; }));
    {
        std::lock_guard<std::mutex> hold(log.lock);
        EXPECT_EQ(log.stops, 1);
        EXPECT_EQ(log.destroyed, 1);
    }
    conn = connect();
    ASSERT_TRUE(conn);
    conn->send_message(SPICE_MSG_RECORD_START, start_body(2, SPICE_AUDIO_FMT_S16, 48000));
    std::vector<fake_spice::Message> seen = messages_until_sync(*conn);
    ASSERT_TRUE(synced);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[2].type, SPICE_MSGC_RECORD_DATA);
}

}  // namespace
