// Keys typed into the session window reach a real guest: XTest key events on the private X server go through
// the session window and the inputs channel to QEMU's SPICE server (127.0.0.1, stopped by its process id),
// and the demo guest echoes them on its screen, read back with QMP's screendump.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <memory>

#include "app/application.h"
#include "display/inputs_channel.h"
#include "display/red_screen.h"
#include "support/session_window.h"
#include "platform/session_block.h"
#include "qemu_peer.h"
#include "winapi/tests/support/peer_programs.h"
#include "winapi/tests/support/xvfb_server.h"
#include "winapi/winsock2.h"

namespace {

using session_window::pump_for;

typedef std::chrono::steady_clock Clock;

// The demo guest's title is text row 18 and its text box starts at row 20; QEMU doubles its 320x200 mode, so
// a cell is 16x16.
const int kTitleTop = 18 * 16;
const int kTextTop = 20 * 16;

// The pixels of the typed-key box, or empty when the screendump failed or has another size. With title, also
// whether the guest's title row holds any lit pixel.
std::vector<uint8_t> text_box(qemu_peer::Qemu& qemu, bool* title = nullptr) {
    qemu_peer::Screen screen;
    if (!qemu.screendump(screen) || screen.width != 640 || screen.height != 400) {
        return {};
    }
    if (title) {
        auto row = screen.rgb.begin() + size_t(kTitleTop) * 640 * 3;
        *title = std::any_of(row, row + 16 * 640 * 3, [](uint8_t value) { return value != 0; });
    }
    return std::vector<uint8_t>(screen.rgb.begin() + size_t(kTextTop) * 640 * 3, screen.rgb.end());
}

class InputsQemuTest : public testing::Test {
protected:
    void SetUp() override {
        KTW_REQUIRE_PROGRAM("qemu-system-x86_64");
        KTW_REQUIRE_XVFB();
        ASSERT_TRUE(test_support::ensure_xvfb());
        peer = XOpenDisplay(nullptr);
        ASSERT_NE(peer, nullptr);
        WSADATA wsa;
        ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &wsa));
        SessionBlock::clear();
        screen = session_window::open_focused(app);
        ASSERT_EQ(GetFocus(), screen->window);

        ASSERT_TRUE(qemu.start("disable-ticketing=on", "-drive file=" + qemu_peer::demo_guest_image() +
                                                           ",format=raw,if=floppy,readonly=on"))
            << qemu.output();
        // Only the inputs channel: the session's other channels play no part here.
        RedClient& client = app->get_client();
        inputs_factory.reset(new InputsFactory(*app));
        client.register_channel_factory(*inputs_factory);
        std::map<uint8_t, uint32_t> plain;
        for (uint8_t type = 1; type <= 10; type++) {
            plain[type] = RedPeer::ConnectionOptions::CON_OP_UNSECURE;
        }
        client.set_security(plain);
        client.set_target("127.0.0.1", qemu.port, -1, 0);
        client.set_vm_id(1);
        client.connect();
        pump_for(20000, [this] {
            app->main_loop().run_queued_events();
            return dynamic_cast<InputsChannel*>(app->key_handler) != nullptr &&
                   (screen->get_window().input_ready() & RedWindow::READY_INPUTS) != 0;
        });
        ASSERT_TRUE((screen->get_window().input_ready() & RedWindow::READY_INPUTS) != 0) << qemu.output();
    }

    void TearDown() override {
        if (app) {
            pump_for(5000, [this] {
                app->main_loop().run_queued_events();
                return app->get_client().abort();
            });
            app.reset();
        }
        qemu.stop();
        Application::parts() = ApplicationParts();
        SessionBlock::clear();
        if (peer) {
            XCloseDisplay(peer);
        }
        WSACleanup();
    }

    void tap(KeySym symbol) {
        KeyCode code = XKeysymToKeycode(peer, symbol);
        XTestFakeKeyEvent(peer, code, True, CurrentTime);
        XTestFakeKeyEvent(peer, code, False, CurrentTime);
        XSync(peer, False);
    }

    // Pumps the session window while the guest runs, until `done` holds for its text box (timeout_ms at
    // most).
    std::vector<uint8_t> box_when(const std::function<bool(const std::vector<uint8_t>&)>& done,
                                  uint32_t timeout_ms) {
        std::vector<uint8_t> now;
        Clock::time_point next_dump = Clock::now();
        pump_for(timeout_ms, [&] {
            app->main_loop().run_queued_events();
            if (Clock::now() < next_dump) {
                return false;
            }
            next_dump = Clock::now() + std::chrono::milliseconds(100);
            now = text_box(qemu);
            return !now.empty() && done(now);
        });
        return now;
    }

    Display* peer = nullptr;
    std::unique_ptr<InputsFactory> inputs_factory;  // outlives the client that uses it
    std::unique_ptr<Application> app;
    RedScreen* screen = nullptr;
    qemu_peer::Qemu qemu;
};

TEST_F(InputsQemuTest, KeysTypedIntoTheSessionWindowAppearOnTheGuestScreen) {
    // The guest has drawn its picture once its title is there; its text box is still empty, all black. (The
    // firmware's text screen has the same size: it has no title row and is not taken for the guest's.)
    std::vector<uint8_t> empty;
    pump_for(20000, [&] {
        app->main_loop().run_queued_events();
        bool title = false;
        empty = text_box(qemu, &title);
        return title && !empty.empty() &&
               std::all_of(empty.begin(), empty.end(), [](uint8_t v) { return v == 0; });
    });
    ASSERT_FALSE(empty.empty()) << qemu.output();
    // A guest still setting up its keyboard on a loaded machine can miss a key: type again while nothing
    // shows.
    int typed = 0;
    std::vector<uint8_t> one;
    while (typed < 3 && (one.empty() || one == empty)) {
        tap(XK_h);
        typed++;
        one =
            box_when([&](const std::vector<uint8_t>& box) { return box != empty; }, typed < 3 ? 5000 : 20000);
    }
    ASSERT_NE(one, empty) << "the typed key never showed on the guest's screen";
    ASSERT_FALSE(one.empty());
    // As many Backspaces as keys typed bring the empty box back.
    std::vector<uint8_t> erased;
    for (int i = 0; i < typed && erased != empty; i++) {
        tap(XK_BackSpace);
        erased = box_when([&](const std::vector<uint8_t>& box) { return box == empty; },
                          i + 1 < typed ? 3000 : 20000);
    }
    EXPECT_EQ(erased, empty);  // Backspace reached the guest too: the box is empty again
}

}  // namespace
