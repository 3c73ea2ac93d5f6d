// Keys and the pointer end to end on the private X server: events injected with XTest into the session
// window reach a scripted server as the inputs channel's messages. Also logs the time from injecting a key
// to the server reading its message.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "app/application.h"
#include "display/inputs_channel.h"
#include "display/red_screen.h"
#include "support/session_window.h"
#include "platform/session_block.h"
#include "transport/tests/support/channel_test_support.h"
#include "transport/tests/support/fake_spice_server.h"
#include "winapi/tests/support/peer_programs.h"
#include "winapi/tests/support/xvfb_server.h"

using namespace channel_test;

namespace {

using session_window::pump_for;

const uint16_t kKeyDown = 101, kKeyUp = 102, kMotion = 111, kPress = 113, kRelease = 114;
typedef std::chrono::steady_clock Clock;

uint32_t u32_at(const std::vector<uint8_t>& body, size_t offset) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4 && offset + i < body.size(); i++) {
        value |= uint32_t(body[offset + i]) << (8 * i);
    }
    return value;
}

class InputsX11Test : public testing::Test {
protected:
    void SetUp() override {
        KTW_REQUIRE_XVFB();
        ASSERT_TRUE(test_support::ensure_xvfb());
        peer = XOpenDisplay(nullptr);
        ASSERT_NE(peer, nullptr);
        SessionBlock::clear();
        SessionBlock::set_u32(SessionBlock::FORCE_LINK, 1);
        screen = session_window::open_focused(app);
        ASSERT_EQ(GetFocus(), screen->window);

        client.port = server.port();
        channel.reset(new InputsChannel(client, 0, *app));
        channel->start();
        channel->connect();
        conn = server.accept();
        ASSERT_TRUE(conn && conn->accept_link());
        std::vector<uint8_t> init;
        fake_spice::put16(init, uint16_t(InputsChannel::local_lock_keys()));
        conn->send_message(SPICE_MSG_INPUTS_INIT, init);
        // The init releases the modifiers; then the channel takes the application's input.
        fake_spice::Message message;
        for (int releases = 0; releases < 4 && conn->read_message(&message);) {
            releases += message.type == kKeyUp;
        }
        pump_for(3000, [this] {
            app->main_loop().run_queued_events();
            return app->key_handler == channel.get();
        });
        ASSERT_EQ(app->key_handler, channel.get());
        pump_for(3000,
                 [this] { return (screen->get_window().input_ready() & RedWindow::READY_INPUTS) != 0; });
        reader = std::thread([this] { read_inputs(); });
    }

    void TearDown() override {
        if (reader.joinable()) {
            stop_reading = true;
            reader.join();
        }
        conn.reset();
        if (channel) {
            pump_for(5000, [this] {
                app->main_loop().run_queued_events();
                return channel->abort();
            });
            channel.reset();
        }
        app.reset();
        Application::parts() = ApplicationParts();
        SessionBlock::clear();
        if (peer) {
            XCloseDisplay(peer);
        }
    }

    // The server side: every inputs message with the time it was read.
    void read_inputs() {
        fake_spice::Message message;
        while (!stop_reading) {
            if (!conn->read_message(&message, 100)) {
                continue;
            }
            if (message.type >= 100) {
                std::lock_guard<std::mutex> lock(mutex);
                received.push_back(message);
                times.push_back(Clock::now());
            }
        }
    }

    // Pumps the session window's messages until n inputs messages arrived (5 s at most).
    std::vector<fake_spice::Message> wait_for(size_t n) {
        pump_for(5000, [&] {
            std::lock_guard<std::mutex> lock(mutex);
            return received.size() >= n;
        });
        std::lock_guard<std::mutex> lock(mutex);
        return received;
    }

    void key(KeySym symbol, bool down) {
        XTestFakeKeyEvent(peer, XKeysymToKeycode(peer, symbol), down ? True : False, CurrentTime);
        XSync(peer, False);
    }

    Display* peer = nullptr;
    std::unique_ptr<Application> app;
    RedScreen* screen = nullptr;
    fake_spice::Server server;
    TestClient client;
    std::unique_ptr<InputsChannel> channel;
    std::unique_ptr<fake_spice::Connection> conn;
    std::thread reader;
    std::atomic<bool> stop_reading{false};
    std::mutex mutex;
    std::vector<fake_spice::Message> received;
    std::vector<Clock::time_point> times;
};

TEST_F(InputsX11Test, KeysTypedIntoTheSessionWindowReachTheServerAsScanCodes) {
    const struct {
        KeySym symbol;
        bool down;
        uint16_t type;
        uint32_t code;
    } presses[] = {
        {XK_a, true, kKeyDown, 0x1E},
        {XK_a, false, kKeyUp, 0x9E},
        {XK_Shift_L, true, kKeyDown, 0x2A},
        {XK_1, true, kKeyDown, 0x02},
        {XK_1, false, kKeyUp, 0x82},
        {XK_Shift_L, false, kKeyUp, 0xAA},
        {XK_Control_R, true, kKeyDown, 0x1DE0},
        {XK_Control_R, false, kKeyUp, 0x9DE0},
        {XK_Left, true, kKeyDown, 0x4BE0},
        {XK_Left, false, kKeyUp, 0xCBE0},
    };
    std::vector<Clock::time_point> sent;
    for (const auto& press : presses) {
        size_t before;
        {
            std::lock_guard<std::mutex> lock(mutex);
            before = received.size();
        }
        sent.push_back(Clock::now());
        key(press.symbol, press.down);
        wait_for(before + 1);  // one at a time, so that each message's time is its own key's
    }
    std::vector<fake_spice::Message> messages = wait_for(std::size(presses));
    ASSERT_EQ(messages.size(), std::size(presses));
    double total_us = 0, worst_us = 0;
    for (size_t i = 0; i < messages.size(); i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(messages[i].type, presses[i].type);
        EXPECT_EQ(messages[i].body.size(), 4u);
        EXPECT_EQ(u32_at(messages[i].body, 0), presses[i].code) << std::hex << u32_at(messages[i].body, 0);
        double us = std::chrono::duration<double, std::micro>(times[i] - sent[i]).count();
        total_us += us;
        worst_us = std::max(worst_us, us);
    }
    // A figure for the record, not a check: injected key to the server reading its message.
    printf("key latency over %zu keys: mean %.0f us, worst %.0f us\n", messages.size(),
           total_us / messages.size(), worst_us);
}

TEST_F(InputsX11Test, CapturedPointerMotionAndButtonsReachTheServer) {
    XTestFakeMotionEvent(peer, -1, 160, 120, CurrentTime);  // into the window (it sits at the top left)
    XSync(peer, False);
    pump_for(200, [] { return false; });
    screen->capture_mouse();
    ASSERT_TRUE(screen->mouse_captured);
    pump_for(200, [] { return false; });
    {
        std::lock_guard<std::mutex> lock(mutex);
        received.clear();
        times.clear();
    }

    XTestFakeRelativeMotionEvent(peer, 7, 4, CurrentTime);
    XSync(peer, False);
    std::vector<fake_spice::Message> messages = wait_for(1);
    ASSERT_GE(messages.size(), 1u);
    EXPECT_EQ(messages[0].type, kMotion);
    EXPECT_EQ(int32_t(u32_at(messages[0].body, 0)), 7);
    EXPECT_EQ(int32_t(u32_at(messages[0].body, 4)), 4);

    // The pointer went back to the anchor; the buttons follow.
    pump_for(200, [] { return false; });
    {
        std::lock_guard<std::mutex> lock(mutex);
        received.clear();
    }
    XTestFakeButtonEvent(peer, 1, True, CurrentTime);
    XTestFakeButtonEvent(peer, 1, False, CurrentTime);
    XSync(peer, False);
    messages = wait_for(2);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].type, kPress);
    EXPECT_EQ(messages[0].body, std::vector<uint8_t>({1, 1, 0}));
    EXPECT_EQ(messages[1].type, kRelease);
    EXPECT_EQ(messages[1].body, std::vector<uint8_t>({1, 0, 0}));
    screen->release_mouse();
}

}  // namespace
