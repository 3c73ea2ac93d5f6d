// The main channel client against QEMU's SPICE server on 127.0.0.1: link, init, attach, the channel list
// (through recording factories), the mouse mode, the multimedia time, and the end of the server. QEMU is
// stopped by its process id, also when a test fails.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "app/red_client.h"
#include "platform/session_block.h"
#include "qemu_peer.h"
#include "support/fake_channels.h"
#include "winapi/tests/support/peer_programs.h"
#include "winapi/windows.h"
#include "winapi/winsock2.h"

using namespace app_test;

namespace {

const uint32_t kWaitMs = 20000;

bool wait_until(uint32_t timeout_ms, const std::function<bool()>& done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        Sleep(10);
    }
    return true;
}

class Listener : public RedClient::Listener {
public:
    std::atomic<int> connected{0};
    std::atomic<int> disconnects{0};
    std::atomic<int> error_code{-1};
    std::atomic<uint32_t> mouse_mode{0};
    std::atomic<int> connect_failed{0};

    void on_connected() override { connected++; }
    void on_disconnected(int code) override {
        if (disconnects++ == 0) {
            error_code = code;
        }
    }
    void on_mouse_mode_changed(uint32_t mode) override { mouse_mode = mode; }
    void on_connect_failed() override { connect_failed++; }
};

// The application loop runs on its own thread, as the main loop would.
class RedClientQemuTest : public testing::Test {
protected:
    void SetUp() override {
        KTW_REQUIRE_PROGRAM("qemu-system-x86_64");
        SessionBlock::clear();
        WSADATA wsa;
        ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &wsa));
        loop_thread = std::thread([this] { loop.run(); });
        for (RecordingFactory* factory : {&display, &inputs, &cursor, &playback, &record}) {
            client.register_channel_factory(*factory);
        }
        std::map<uint8_t, uint32_t> plain;
        for (uint8_t type = 1; type <= 10; type++) {
            plain[type] = RedPeer::ConnectionOptions::CON_OP_UNSECURE;
        }
        client.set_security(plain);
    }

    void TearDown() override {
        while (!client.abort()) {
        }
        loop.quit(0);
        if (loop_thread.joinable()) {
            loop_thread.join();
        }
        qemu.stop();
        WSACleanup();
    }

    void connect() {
        client.set_target("127.0.0.1", qemu.port, -1, 0);
        client.set_vm_id(1);
        client.connect();
    }

    qemu_peer::Qemu qemu;
    ProcessLoop loop{nullptr};
    std::thread loop_thread;
    Listener listener;
    Journal journal;
    RecordingFactory display{SPICE_CHANNEL_DISPLAY, journal};
    RecordingFactory inputs{SPICE_CHANNEL_INPUTS, journal};
    RecordingFactory cursor{SPICE_CHANNEL_CURSOR, journal};
    RecordingFactory playback{SPICE_CHANNEL_PLAYBACK, journal};
    RecordingFactory record{SPICE_CHANNEL_RECORD, journal};
    RedClient client{loop, listener};
};

bool has(const std::vector<Journal::Created>& created, uint8_t type, uint8_t id) {
    for (const Journal::Created& c : created) {
        if (c.type == type && c.id == id && c.connected) {
            return true;
        }
    }
    return false;
}

TEST_F(RedClientQemuTest, SessionFromLinkToServerLoss) {
    ASSERT_TRUE(qemu.start("disable-ticketing=on")) << qemu.output();
    auto start = std::chrono::steady_clock::now();
    connect();
    ASSERT_TRUE(wait_until(kWaitMs, [&] { return listener.connected == 1; })) << qemu.output();
    // The server sends its channel list once the client attached.
    // Each channel is created, then started and connected: wait for the last of them to be connected.
    ASSERT_TRUE(wait_until(kWaitMs, [&] {
        std::vector<Journal::Created> now = journal.created();
        return has(now, SPICE_CHANNEL_DISPLAY, 0) && has(now, SPICE_CHANNEL_INPUTS, 0) &&
               has(now, SPICE_CHANNEL_CURSOR, 0);
    })) << journal.summary();
    double listed_ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    printf("channel list %.1f ms after connect\n", listed_ms);
    std::vector<Journal::Created> created = journal.created();
    EXPECT_TRUE(has(created, SPICE_CHANNEL_DISPLAY, 0)) << journal.summary();
    EXPECT_TRUE(has(created, SPICE_CHANNEL_INPUTS, 0)) << journal.summary();
    EXPECT_TRUE(has(created, SPICE_CHANNEL_CURSOR, 0)) << journal.summary();
    EXPECT_NE(0u, client.get_connection_id());
    EXPECT_GT(client.get_glz_window_size(), 0u);
    EXPECT_EQ(SPICE_CHANNEL_DISPLAY, client.get_display_channel()->get_type());

    // Without an absolute pointer in the machine the server offers and keeps server mode: no change.
    EXPECT_EQ(uint32_t(RedClient::MOUSE_MODE_SERVER), client.get_mouse_mode());
    EXPECT_EQ(0u, listener.mouse_mode.load());

    // The server's time, running on.
    uint32_t t1 = client.get_mm_time();
    Sleep(200);
    uint32_t t2 = client.get_mm_time();
    EXPECT_GE(t2 - t1, 150u);
    EXPECT_LT(t2 - t1, 10000u);

    // The server goes: one disconnection, with an error code, within a bounded time.
    qemu.stop();
    ASSERT_TRUE(wait_until(kWaitMs, [&] { return listener.disconnects > 0; }));
    EXPECT_NE(0, listener.error_code.load());
    Sleep(100);
    EXPECT_EQ(1, listener.disconnects.load());
    EXPECT_EQ(0, listener.connect_failed.load());
    EXPECT_TRUE(wait_until(kWaitMs, [&] { return client.get_connection_id() == 0; }));
}

TEST_F(RedClientQemuTest, RefusedConnectionIsReportedOnce) {
    qemu.port = qemu_peer::free_port();
    connect();
    ASSERT_TRUE(wait_until(kWaitMs, [&] { return listener.disconnects > 0; }));
    EXPECT_EQ(3, listener.error_code.load());
    EXPECT_EQ(1, listener.connect_failed.load());
    EXPECT_EQ(0, listener.connected.load());
}

}  // namespace
