// The software cursor on a private X server: in server mouse mode the cursor channel's layer is composed over
// the desktop layer and the session window shows the shape at the cursor rectangle, follows a move (the old
// spot shows the desktop again) and disappears on hide; a CAD drawing order follows the local pointer.
#include "support/screen_pixels.h"

#include "display/cursor_channel.h"
#include "transport/tests/support/channel_test_support.h"

namespace {

using namespace screen_pixels;

const uint32_t kDesktop = 0x123456;

class ServerModeChannel : public CursorChannel {
public:
    using CursorChannel::CursorChannel;

protected:
    uint32_t mouse_mode() override { return RedClient::MOUSE_MODE_SERVER; }
    void attach_display_of_client() override {}
};

TEST(CursorX11Test, WindowShowsTheSoftwareCursor) {
    KTW_REQUIRE_XVFB();
    FakeApplication app;
    test_support::X11Observer observer;
    ASSERT_NE(observer.display(), nullptr);
    RedScreen* screen = new RedScreen(app, 0, "cursor pixels %d", WIDTH, HEIGHT);
    channel_test::TestClient client;
    ServerModeChannel channel(client, 0, app);

    RecordingLayer desktop(0, true, kDesktop);
    screen->attach_layer(desktop);
    screen->attach_layer(channel);
    desktop.set_rect_area(RECT{0, 0, WIDTH, HEIGHT});
    screen->show();
    Window window = observer.wait_for_window("cursor pixels 0");
    ASSERT_NE(window, 0u);
    pump_messages();

    // A 4 x 3 colour-32 shape: opaque red, but its top-left pixel black with the AND bit (transparent).
    std::vector<uint8_t> data;
    for (int i = 0; i < 12; i++) {
        uint32_t pixel = i == 0 ? 0 : 0xFF0000;
        for (int b = 0; b < 4; b++) {
            data.push_back(uint8_t(pixel >> (8 * b)));
        }
    }
    data.insert(data.end(), {0x80, 0x00, 0x00});
    SpiceMsgCursorSet set{};
    set.position = SpicePoint16{101, 51};
    set.cursor.header = SpiceCursorHeader{1, 6, 4, 3, 1, 1};
    set.cursor.data = data.data();
    set.cursor.data_size = uint32_t(data.size());
    channel.handle_cursor_set(set);
    screen->invalidate_rect(RECT{0, 0, WIDTH, HEIGHT}, false);
    screen->periodic_update();

    auto cursor_at = [](int left, int top) {
        return [left, top](int x, int y) -> uint32_t {
            bool inside = x >= left && x < left + 4 && y >= top && y < top + 3;
            return inside && !(x == left && y == top) ? 0xFF0000 : kDesktop;
        };
    };
    EXPECT_EQ(differences(window_pixels(observer.display(), window), cursor_at(100, 50)), "");

    SpiceMsgCursorMove move{SpicePoint16{201, 121}};
    channel.handle_cursor_move(move);
    screen->periodic_update();
    EXPECT_EQ(differences(window_pixels(observer.display(), window), cursor_at(200, 120)), "");

    channel.handle_cursor_hide();
    screen->periodic_update();
    EXPECT_EQ(differences(window_pixels(observer.display(), window), [](int, int) { return kDesktop; }), "");

    // With the layer on a screen, a CAD drawing order counts only while the local pointer is inside its
    // rectangle (window coordinates moved to the screen's).
    POINT origin = screen->get_window().get_screen_position();
    ASSERT_TRUE(SetCursorPos(origin.x + 50, origin.y + 40));
    SpiceMsgCursorDraw away{0xFF, 10, 20, 100, 100, 140, 120};
    channel.handle_cursor_draw(away);
    EXPECT_FALSE(channel.state().visible);
    SpiceMsgCursorDraw around{0xFF, 10, 20, 0, 0, 100, 60};
    channel.handle_cursor_draw(around);
    CursorChannel::State state = channel.state();
    EXPECT_TRUE(state.visible);
    EXPECT_EQ(state.header.type, 7);
    ASSERT_EQ(state.data.size(), 24u);
    int32_t right =
        int32_t(state.data[16] | state.data[17] << 8 | state.data[18] << 16 | state.data[19] << 24);
    EXPECT_EQ(right, origin.x + 100);

    screen->detach_layer(channel);
    screen->detach_layer(desktop);
    screen->unref();
    while (!channel.abort()) {
        app.run_events();
    }
}

}  // namespace
