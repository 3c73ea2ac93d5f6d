// The audio channels against QEMU's SPICE server: a boot sector that turns the PC speaker on plays through
// the server's audio back end, so the playback channel gets a start and data, plays them and moves the clock.
// Without qemu-system-x86_64 installed, skipped, or failed under CI.
#include "devices/playback_channel.h"
#include "devices/record_channel.h"
#include "platform/session_block.h"
#include "qemu_peer.h"
#include "runtime/exception.h"
#include "support/audio_fakes.h"
#include "transport/tests/support/channel_test_support.h"
#include "winapi/tests/support/peer_programs.h"
#include "winapi/windows.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using audio_test::FakePlayer;
using audio_test::PlayerLog;
using channel_test::TestClient;
using channel_test::wait_until;

const uint32_t kQemuWaitMs = 20000;

class MainChannel : public RedChannel {
public:
    typedef MessageHandlerImp<MainChannel, SPICE_CHANNEL_MAIN> Handler;
    explicit MainChannel(TestClient& client) : MainChannel(client, new Handler(*this)) {}
    void handle_init(const SpiceMsgMainInit& init) {
        _session_id = init.session_id;
        _init = true;
    }
    bool wait_init() {
        return wait_until(kQemuWaitMs, [&] { return _init.load(); });
    }
    uint32_t session_id() const { return _session_id; }

private:
    MainChannel(TestClient& client, Handler* handler) : RedChannel(client, SPICE_CHANNEL_MAIN, 0, handler) {
        handler->set_handler<SPICE_MSG_SET_ACK>(&MainChannel::handle_set_ack);
        handler->set_handler<SPICE_MSG_PING>(&MainChannel::handle_ping);
        handler->set_handler<SPICE_MSG_WAIT_FOR_CHANNELS>(&MainChannel::handle_wait_for_channels);
        handler->set_handler<SPICE_MSG_DISCONNECTING>(&MainChannel::handle_disconnect);
        handler->set_handler<SPICE_MSG_NOTIFY>(&MainChannel::handle_notify);
        handler->set_handler<SPICE_MSG_MAIN_INIT>(&MainChannel::handle_init);
    }
    std::atomic<bool> _init{false};
    std::atomic<uint32_t> _session_id{0};
};

class TestPlayback : public PlaybackChannel {
public:
    TestPlayback(TestClient& client, PlayerLog& log) : PlaybackChannel(client, 0), _log(log) {}

protected:
    WavePlaybackAbstract* create_player(uint32_t rate, uint32_t channels, uint32_t frame_samples) override {
        std::lock_guard<std::mutex> hold(_log.lock);
        _log.created++;
        _log.rate = rate;
        _log.frame_samples = frame_samples;
        return new FakePlayer(_log);
    }

private:
    PlayerLog& _log;
};

// A boot sector: PIT channel 2 at about 1 kHz, speaker gate and data on, then halt.
std::string speaker_guest(const std::string& dir) {
    std::vector<uint8_t> sector = {0xB0, 0xB6, 0xE6, 0x43, 0xB8, 0xA9, 0x04, 0xE6, 0x42, 0x88, 0xE0,
                                   0xE6, 0x42, 0xE4, 0x61, 0x0C, 0x03, 0xE6, 0x61, 0xF4, 0xEB, 0xFD};
    sector.resize(510, 0);
    sector.push_back(0x55);
    sector.push_back(0xAA);
    sector.resize(1474560, 0);  // a whole floppy
    std::string path = dir + "/speaker_guest_" + std::to_string(getpid()) + ".img";
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(sector.data()), std::streamsize(sector.size()));
    return path;
}

class QemuAudioTest : public ::testing::Test {
protected:
    void SetUp() override {
        KTW_REQUIRE_PROGRAM("qemu-system-x86_64");
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        SessionBlock::clear();
        SessionBlock::set_u32(SessionBlock::FORCE_LINK, 1);
    }

    void TearDown() override {
        for (RedChannel* channel :
             {static_cast<RedChannel*>(playback.get()), static_cast<RedChannel*>(record.get()),
              static_cast<RedChannel*>(main.get())}) {
            if (channel) {
                EXPECT_TRUE(wait_until(kQemuWaitMs, [&] { return channel->abort(); }));
            }
        }
        playback.reset();
        record.reset();
        main.reset();
        qemu.stop();
        if (!image.empty()) {
            std::remove(image.c_str());
        }
        SessionBlock::clear();
    }

    qemu_peer::Qemu qemu;
    std::string image;
    TestClient main_client;
    TestClient audio_client;
    PlayerLog log;
    std::unique_ptr<MainChannel> main;
    std::unique_ptr<TestPlayback> playback;
    std::unique_ptr<RecordChannel> record;
};

TEST_F(QemuAudioTest, SpeakerSoundArrivesIsPlayedAndMovesTheClockAndRecordLinks) {
    image = speaker_guest("/tmp");
    ASSERT_TRUE(qemu.start("disable-ticketing=on",
                           "-audiodev spice,id=snd0 -machine pcspk-audiodev=snd0 -device intel-hda -device "
                           "hda-duplex,audiodev=snd0 -drive file=" +
                               image + ",format=raw,if=floppy"))
        << qemu.output();
    main_client.port = qemu.port;
    main_client.password = "";
    main_client.connection_id = 0;
    main.reset(new MainChannel(main_client));
    main_client.main_channel = main.get();
    main->start();
    main->connect();
    ASSERT_TRUE(wait_until(kQemuWaitMs, [&] { return main->get_state() == RedChannel::CONNECTED; }));
    ASSERT_TRUE(main->wait_init());

    audio_client.port = qemu.port;
    audio_client.password = "";
    audio_client.connection_id = main->session_id();
    audio_client.main_channel = main.get();
    audio_client.set_mm_time(0);
    playback.reset(new TestPlayback(audio_client, log));
    playback->start();
    playback->connect();
    record.reset(new RecordChannel(audio_client, 0));
    record->start();
    record->connect();
    ASSERT_TRUE(wait_until(kQemuWaitMs, [&] { return playback->get_state() == RedChannel::CONNECTED; }));
    ASSERT_TRUE(wait_until(kQemuWaitMs, [&] { return record->get_state() == RedChannel::CONNECTED; }));

    ASSERT_TRUE(wait_until(kQemuWaitMs, [&] {
        std::lock_guard<std::mutex> hold(log.lock);
        return log.writes.size() >= 20;
    })) << qemu.output();
    {
        std::lock_guard<std::mutex> hold(log.lock);
        EXPECT_EQ(log.created, 1);
        EXPECT_GE(log.rate, AUDIO_MIN_RATE);
        size_t nonzero = 0;
        for (const std::vector<uint8_t>& frame : log.writes) {
            EXPECT_LE(frame.size(), log.frame_samples * 4u);
            for (uint8_t b : frame) {
                nonzero += b != 0;
            }
        }
        EXPECT_GT(nonzero, 0u) << "the speaker's square wave";
    }
    EXPECT_NE(audio_client.get_mm_time(), 0u);
    EXPECT_EQ(record->get_state(), RedChannel::CONNECTED);
    EXPECT_EQ(audio_client.disconnects(), 0);
}

}  // namespace
