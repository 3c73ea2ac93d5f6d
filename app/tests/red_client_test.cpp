// The main channel client without a server: what it makes of channel lists, its multimedia clock, the
// serial table's waits, the disconnection report and the cache sizing.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "app/red_client.h"
#include "platform/session_block.h"
#include "runtime/exception.h"
#include "support/fake_channels.h"
#include "winapi/windows.h"

using namespace app_test;

namespace {

const uint64_t MiB = 1024 * 1024;

class RecordingListener : public RedClient::Listener {
public:
    std::atomic<int> connected{0};
    std::atomic<int> connect_failed{0};
    std::vector<int> disconnects;  // application loop's thread
    std::vector<uint32_t> mouse_modes;

    void on_connected() override { connected++; }
    void on_disconnected(int error_code) override { disconnects.push_back(error_code); }
    void on_mouse_mode_changed(uint32_t mode) override { mouse_modes.push_back(mode); }
    void on_connect_failed() override { connect_failed++; }
};

// The application loop is never run here: the test thread runs its queued events.
class RedClientTest : public testing::Test {
protected:
    void SetUp() override { SessionBlock::clear(); }
    void TearDown() override {
        while (!client.abort()) {
            loop.run_queued_events();
        }
        SessionBlock::clear();
    }

    void register_all() {
        for (RecordingFactory* factory : {&display, &inputs, &cursor, &playback, &record, &usb}) {
            client.register_channel_factory(*factory);
        }
    }

    static SpiceMsgChannels list(std::vector<SpiceChannelId>& ids) {
        return SpiceMsgChannels{uint32_t(ids.size()), ids.data()};
    }

    ProcessLoop loop{nullptr};
    RecordingListener listener;
    Journal journal;
    RecordingFactory display{SPICE_CHANNEL_DISPLAY, journal};
    RecordingFactory inputs{SPICE_CHANNEL_INPUTS, journal};
    RecordingFactory cursor{SPICE_CHANNEL_CURSOR, journal};
    RecordingFactory playback{SPICE_CHANNEL_PLAYBACK, journal};
    RecordingFactory record{SPICE_CHANNEL_RECORD, journal};
    RecordingFactory usb{SPICE_CHANNEL_USBREDIR, journal};
    RedClient client{loop, listener};
};

// The main channel offers the video plug-in when the session forces it, or on a tunnelled connection when the
// session wants it there; the graphic type plays no part here (the display channel checks it).
class OfferingClient : public RedClient {
public:
    using RedClient::RedClient;
    ChannelCaps offer(bool tunnelled) {
        set_tunnelled(tunnelled);
        before_send_link_msg();
        return get_caps();
    }
};

TEST(RedClientOffer, VideoPluginByForceOrTunnel) {
    struct Case {
        uint32_t force, on_tunnel;
        bool tunnelled, offered;
    } const cases[] = {
        {1, 0, false, true},  {1, 0, true, true},  {0, 1, true, true},
        {0, 1, false, false}, {0, 0, true, false}, {0, 0, false, false},
    };
    for (const Case& c : cases) {
        SessionBlock::clear();
        SessionBlock::set_u32(SessionBlock::GRAPHIC_TYPE, 2);
        SessionBlock::set_u32(SessionBlock::VIDEO_PLUGIN, c.force);
        SessionBlock::set_u32(SessionBlock::VIDEO_PLUGIN_TUNNEL, c.on_tunnel);
        ProcessLoop loop(nullptr);
        RecordingListener listener;
        OfferingClient client(loop, listener);
        ChannelCaps caps = client.offer(c.tunnelled);
        EXPECT_EQ(c.offered, caps_has(caps, RedClient::CAP_VIDEO_PLUGIN))
            << "force " << c.force << " on tunnel " << c.on_tunnel
            << (c.tunnelled ? " tunnelled" : " direct");
        while (!client.abort()) {
            loop.run_queued_events();
        }
    }
    SessionBlock::clear();
}

struct ChannelsCase {
    const char* name;
    std::vector<SpiceChannelId> ids;
    bool sound_off;
    bool register_all;  // otherwise only the inputs factory
    const char* created;
    uint32_t usb_count;
};

std::vector<SpiceChannelId> usb_ids(int count) {
    std::vector<SpiceChannelId> ids;
    for (int i = 0; i < count; i++) {
        ids.push_back(SpiceChannelId{SPICE_CHANNEL_USBREDIR, uint8_t(i)});
    }
    return ids;
}

const char* const TWENTY_USB =
    "9:19 9:18 9:17 9:16 9:15 9:14+ 9:13+ 9:12 9:11 9:10 9:9 9:8 9:7 9:6 9:5 9:4 9:3 9:2 9:1 9:0";

TEST_F(RedClientTest, ChannelListTable) {
    const ChannelsCase cases[] = {
        // Walked from the last entry to the first; display and cursor only with id 0.
        {"one monitor", {{2, 0}, {2, 1}, {3, 0}, {4, 0}, {4, 1}}, false, true, "4:0+ 3:0+ 2:0+", 0},
        {"sound on", {{5, 0}, {6, 0}}, false, true, "6:0+ 5:0+", 0},
        {"sound off", {{5, 0}, {3, 0}, {6, 0}}, true, true, "3:0+", 0},
        {"no factory", {{2, 0}, {3, 0}, {10, 0}, {11, 0}, {255, 7}}, false, false, "3:0+", 0},
        // Only ids 13 and 14 connect at once; the count stops at 15.
        {"twenty usb", usb_ids(20), false, true, TWENTY_USB, 15},
        {"empty", {}, false, true, "", 0},
    };
    for (const ChannelsCase& c : cases) {
        SCOPED_TRACE(c.name);
        Journal cases_journal;
        RecordingFactory factories[] = {{2, cases_journal}, {3, cases_journal}, {4, cases_journal},
                                        {5, cases_journal}, {6, cases_journal}, {9, cases_journal}};
        ProcessLoop case_loop(nullptr);
        RecordingListener case_listener;
        RedClient case_client(case_loop, case_listener);
        for (RecordingFactory& factory : factories) {
            if (c.register_all || factory.type() == SPICE_CHANNEL_INPUTS) {
                case_client.register_channel_factory(factory);
            }
        }
        SessionBlock::set_u32(SessionBlock::NO_AUDIO, c.sound_off ? 1 : 0);
        std::vector<SpiceChannelId> ids = c.ids;
        case_client.handle_channels(list(ids));
        EXPECT_EQ(c.created, cases_journal.summary());
        EXPECT_EQ(c.usb_count, case_client.get_usb_channel_count());
        int listed = 0;
        case_client.for_each_channel([&](RedChannel&) { return ++listed < 1000; });
        EXPECT_EQ(cases_journal.created().size(), size_t(listed));
        while (!case_client.abort()) {
            case_loop.run_queued_events();
        }
        SessionBlock::clear();
    }
}

TEST_F(RedClientTest, SecondChannelListInOneConnectionIsIgnored) {
    register_all();
    std::vector<SpiceChannelId> ids = {{2, 0}, {3, 0}};
    client.handle_channels(list(ids));
    client.handle_channels(list(ids));
    EXPECT_EQ("3:0+ 2:0+", journal.summary());
    int channels = 0;
    client.for_each_channel([&](RedChannel&) { return ++channels > 0; });
    EXPECT_EQ(2, channels);
}

TEST_F(RedClientTest, ForEachChannelStopsAtFalse) {
    register_all();
    std::vector<SpiceChannelId> ids = {{2, 0}, {3, 0}, {4, 0}};
    client.handle_channels(list(ids));
    std::vector<int> seen;
    client.for_each_channel([&](RedChannel& channel) {
        seen.push_back(channel.get_type());
        return seen.size() < 2;
    });
    EXPECT_EQ((std::vector<int>{4, 3}), seen);
    EXPECT_EQ(SPICE_CHANNEL_DISPLAY, client.get_display_channel()->get_type());
}

uint64_t fake_now = 0;
uint64_t fake_clock() {
    return fake_now;
}

// The clock must not wrap with a 32-bit millisecond tick (49.7 days).
TEST_F(RedClientTest, MultimediaClockRunsAcrossTheThirtyTwoBitTick) {
    RedClient::set_clock_for_testing(fake_clock);
    fake_now = 0xFFFFFF00ull;
    client.set_mm_time(1000);
    fake_now = 0x100000100ull;  // 512 ms later, past 2^32
    EXPECT_EQ(1000u + 512u, client.get_mm_time());
    fake_now += 60000;
    EXPECT_EQ(1000u + 512u + 60000u, client.get_mm_time());
    ChannelClient& as_client = client;
    as_client.set_mm_time(7);
    EXPECT_EQ(7u, as_client.get_mm_time());
    RedClient::set_clock_for_testing(nullptr);
}

TEST_F(RedClientTest, WaitForChannels) {
    // Reached serials return at once; a type beyond the table is refused.
    ChannelClient::SyncInfo display_slot = client.get_sync_info(SPICE_CHANNEL_DISPLAY, 0);
    {
        Lock lock(*display_slot.lock);
        *display_slot.message_serial = 5;
    }
    SpiceWaitForChannel reached[] = {{SPICE_CHANNEL_DISPLAY, 0, 5}, {SPICE_CHANNEL_CURSOR, 0, 0}};
    client.wait_for_channels(2, reached);
    SpiceWaitForChannel invalid[] = {{11, 0, 1}};
    EXPECT_THROW(client.wait_for_channels(1, invalid), Exception);

    // A waiter is released by a later serial.
    std::atomic<bool> done{false};
    std::thread waiter([&] {
        SpiceWaitForChannel item[] = {{SPICE_CHANNEL_DISPLAY, 0, 9}};
        client.wait_for_channels(1, item);
        done = true;
    });
    Sleep(50);
    EXPECT_FALSE(done);
    {
        Lock lock(*display_slot.lock);
        *display_slot.message_serial = 9;
        display_slot.condition->notify_all();
    }
    waiter.join();
    EXPECT_TRUE(done);

    // And by the client's abort, with "aborting".
    std::atomic<bool> aborted{false};
    std::thread blocked([&] {
        SpiceWaitForChannel item[] = {{SPICE_CHANNEL_INPUTS, 3, 1}};
        try {
            client.wait_for_channels(1, item);
        } catch (Exception& e) {
            aborted = std::string(e.what()).find("aborting") != std::string::npos;
        }
    });
    Sleep(50);
    while (!client.abort()) {
        loop.run_queued_events();
    }
    blocked.join();
    EXPECT_TRUE(aborted);
}

TEST_F(RedClientTest, CacheSizing) {
    // One display: 16 MiB of cache needs 68 MiB free.
    client.calc_pixmap_cache_and_glz_window_size(1, 256 * MiB, 100 * MiB, UINT64_MAX);
    EXPECT_EQ(20 * MiB / 4, client.get_glz_window_size());  // a third of the 60 MiB left
    EXPECT_EQ(16 * MiB / 4, client.get_pixmap_cache_size());
    client.calc_pixmap_cache_and_glz_window_size(0, 512 * MiB, 4096 * MiB, 8 * MiB);
    EXPECT_EQ(64 * MiB / 4, client.get_glz_window_size());
    EXPECT_EQ(8 * MiB / 4, client.get_pixmap_cache_size());
    try {
        client.calc_pixmap_cache_and_glz_window_size(1, 256 * MiB, 60 * MiB, UINT64_MAX);
        FAIL() << "no low-memory exception";
    } catch (Exception& e) {
        EXPECT_EQ(8, e.get_error_code());
    }
}

TEST_F(RedClientTest, MouseModeChangeReachesTheApplicationOnce) {
    client.set_mouse_mode(RedClient::MOUSE_MODE_SERVER, RedClient::MOUSE_MODE_SERVER);
    loop.run_queued_events();
    EXPECT_TRUE(listener.mouse_modes.empty());
    client.set_mouse_mode(3, RedClient::MOUSE_MODE_CLIENT);
    client.set_mouse_mode(3, RedClient::MOUSE_MODE_CLIENT);
    loop.run_queued_events();
    EXPECT_EQ(std::vector<uint32_t>{RedClient::MOUSE_MODE_CLIENT}, listener.mouse_modes);
    EXPECT_EQ(uint32_t(RedClient::MOUSE_MODE_CLIENT), client.get_mouse_mode());
}

TEST_F(RedClientTest, AgentTokensStopAtTheLargestCount) {
    // The agent's start takes one token for the client's capabilities.
    client.handle_agent_connected_tokens(SpiceMsgMainAgentTokens{0xFFFFFFF0u});
    EXPECT_EQ(INT32_MAX - 1, client.get_agent_tokens());
    client.handle_agent_connected_tokens(SpiceMsgMainAgentTokens{10});
    client.handle_agent_tokens(SpiceMsgMainAgentTokens{0x7FFFFFFFu});
    client.handle_agent_tokens(SpiceMsgMainAgentTokens{0xFFFFFFFFu});
    EXPECT_EQ(INT32_MAX, client.get_agent_tokens());
}

TEST_F(RedClientTest, MessagesWithoutHandlerAreIgnored) {
    std::unique_ptr<RedChannel::MessageHandler> handler(RedClient::create_message_handler(client));
    // 2: migrate data, 114: the VM's UUID; the client registers neither.
    for (uint16_t type : {uint16_t(2), uint16_t(114)}) {
        SCOPED_TRACE(type);
        RedPeer::CompoundInMessage* message = new RedPeer::CompoundInMessage(16, type);
        memset(message->data(), 0x41, 16);
        EXPECT_NO_THROW(handler->handle_message(*message));
        message->unref();
    }
    // A registered one is handled.
    RedPeer::CompoundInMessage* time = new RedPeer::CompoundInMessage(4, SPICE_MSG_MAIN_MULTI_MEDIA_TIME);
    uint32_t value = 123456;
    memcpy(time->data(), &value, 4);
    handler->handle_message(*time);
    time->unref();
    EXPECT_GE(client.get_mm_time(), value);
}

}  // namespace
