// The cursor channel against QEMU's SPICE server running the demo guest on 127.0.0.1: the channel is made by
// its factory from the server's channel list, links and gets the server's init: the layer attaches to the
// screen, the session window hears the ready bit and the channel stays up. The demo guest drives the VGA
// screen without a guest driver, so the server has no guest shape to send (its init carries none, and no set
// follows); the shapes themselves are covered against the scripted server. QEMU is stopped by its process
// id, also when the test fails.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>

#include "app/red_client.h"
#include "display/cursor_channel.h"
#include "display/red_screen.h"
#include "platform/session_block.h"
#include "qemu_peer.h"
#include "support/fake_application.h"
#include "winapi/tests/support/peer_programs.h"
#include "winapi/windows.h"
#include "winapi/winsock2.h"

namespace {

const uint32_t kWaitMs = 20000;

class QuietListener : public RedClient::Listener {
public:
    void on_connected() override {}
    void on_disconnected(int) override {}
    void on_mouse_mode_changed(uint32_t) override {}
    void on_connect_failed() override {}
};

// The channel as the program makes it, with the client's mouse mode; the display link is left out (there is
// no display channel here).
class QemuCursorChannel : public CursorChannel {
public:
    QemuCursorChannel(ChannelClient& client, uint8_t id, ApplicationInterface& app, RedClient& red_client)
        : CursorChannel(client, id, app), _red_client(red_client) {}

protected:
    uint32_t mouse_mode() override { return _red_client.get_mouse_mode(); }
    void attach_display_of_client() override {}

private:
    RedClient& _red_client;
};

class Factory : public ChannelFactory {
public:
    Factory(ApplicationInterface& app, RedClient& client)
        : ChannelFactory(SPICE_CHANNEL_CURSOR), _app(app), _client(client) {}
    RedChannel* create(ChannelClient& client, uint8_t id) override {
        QemuCursorChannel* channel = new QemuCursorChannel(client, id, _app, _client);
        made = channel;
        return channel;
    }
    std::atomic<QemuCursorChannel*> made{nullptr};

private:
    ApplicationInterface& _app;
    RedClient& _client;
};

TEST(CursorChannelQemu, InitArrivesAndAttachesTheLayer) {
    KTW_REQUIRE_PROGRAM("qemu-system-x86_64");
    SessionBlock::clear();
    WSADATA wsa;
    ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &wsa));
    qemu_peer::Qemu qemu;
    ASSERT_TRUE(qemu.start("disable-ticketing=on", "-drive file=" + qemu_peer::demo_guest_image() +
                                                       ",format=raw,if=floppy,readonly=on"))
        << qemu.output();

    FakeApplication app;
    RedScreen* screen = static_cast<RedScreen*>(app.get_screen(0));
    HWND window = screen->get_window().hwnd();
    CursorChannel::set_ready_window(window);
    QuietListener listener;
    RedClient client(app.main_loop(), listener);
    Factory factory(app, client);
    client.register_channel_factory(factory);
    std::map<uint8_t, uint32_t> plain;
    for (uint8_t type = 1; type <= 10; type++) {
        plain[type] = RedPeer::ConnectionOptions::CON_OP_UNSECURE;
    }
    client.set_security(plain);
    client.set_target("127.0.0.1", qemu.port, -1, 0);
    client.set_vm_id(1);
    client.connect();

    // The main loop runs here, on the test's thread, as the program's main thread would.
    auto run_until = [&](const std::function<bool()>& done, uint32_t timeout_ms = kWaitMs) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            app.run_events();
            Sleep(10);
        }
        return true;
    };
    // The init attaches the layer to screen 0 and posts the ready bit to the session window.
    EXPECT_TRUE(run_until([&] { return factory.made && factory.made.load()->screen() == screen; }))
        << qemu.output();
    MSG msg;
    bool ready = false;
    while (PeekMessageW(&msg, window, CursorChannel::WM_CURSOR_READY, CursorChannel::WM_CURSOR_READY,
                        PM_REMOVE)) {
        ready = ready || (msg.wParam == CursorChannel::CURSOR_READY_BIT && msg.lParam == 1);
    }
    EXPECT_TRUE(ready);

    // The init was taken: the channel is still up a moment later.
    run_until([] { return false; }, 300);
    if (QemuCursorChannel* channel = factory.made) {
        EXPECT_EQ(channel->get_state(), RedChannel::CONNECTED);
    }

    CursorChannel::set_ready_window(nullptr);
    while (!client.abort()) {
        app.run_events();
    }
    qemu.stop();
    screen->unref();
    WSACleanup();
}

}  // namespace
