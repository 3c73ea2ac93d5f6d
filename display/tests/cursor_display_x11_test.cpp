// The display channel as the cursor channel's display on a private X server: in client mouse mode the shape
// the cursor channel hands over becomes the session window's cursor, a hide makes it invisible and a move
// shows it again; with the pointer captured the window keeps the arrow.
#include <gtest/gtest.h>

#include <X11/extensions/XTest.h>
#include <X11/extensions/Xfixes.h>

#include "display/red_screen.h"
#include "support/cursor_display_session.h"
#include "support/session_window.h"
#include "winapi/tests/support/layer_access.h"
#include "winapi/tests/support/x11_observer.h"
#include "winapi/tests/support/xvfb_server.h"

using namespace cursor_display;

namespace {

struct ShownCursor {
    int width = 0, height = 0, hot_x = 0, hot_y = 0;
    unsigned long pixel = 0;  // the centre pixel, ARGB
};

ShownCursor shown_cursor(Display* display) {
    // The layer's requests first: the server orders nothing between two connections.
    XSync(test_support::layer_x11_display(), False);
    XSync(display, False);
    ShownCursor shown;
    if (XFixesCursorImage* image = XFixesGetCursorImage(display)) {
        shown = {image->width, image->height, image->xhot, image->yhot,
                 image->pixels[(image->height / 2) * image->width + image->width / 2] & 0xFFFFFFFF};
        XFree(image);
    }
    return shown;
}

TEST(CursorDisplayX11Test, HandedShapeBecomesTheWindowsCursor) {
    KTW_REQUIRE_XVFB();
    Session session;
    test_support::X11Observer observer;
    Display* x = observer.display();
    ASSERT_NE(x, nullptr);
    IdleDisplay& display = *session.displays.made;
    RedScreen* screen = new RedScreen(session.app, 0, "cursor display %d", 320, 240);
    struct Release {
        RedScreen* screen;
        ScreenLayer& layer;
        ~Release() {
            if (layer.screen()) {
                screen->detach_layer(layer);
            }
            screen->unref();
        }
    } release{screen, display};
    screen->show();
    ASSERT_NE(observer.wait_for_window("cursor display 0"), 0u);
    RedWindow& window = screen->get_window();
    window.set_input_ready(RedWindow::READY_CURSOR | RedWindow::READY_INPUTS, true);

    POINT origin = window.get_screen_position();
    XTestFakeMotionEvent(x, -1, origin.x + 100, origin.y + 80, CurrentTime);
    XSync(x, False);
    session_window::pump_for(3000, [&] { return window.is_pointer_inside(); });
    ASSERT_TRUE(window.is_pointer_inside());

    // The arrow as the server shows it over the window, for the captured case; then the pointer goes to
    // the display layer.
    SetCursor(LoadCursorW(nullptr, IDC_ARROW));
    ShownCursor arrow = shown_cursor(x);
    ASSERT_GT(arrow.width, 1);
    screen->attach_layer(display);
    display.set_rect_area(RECT{0, 0, 320, 240});
    screen->update_pointer_layer();
    ASSERT_EQ(screen->pointer_layer(), &display);

    display.attach_channels();
    display.set_capture_mode(false);
    session.set_shape(1, 24, 16, 5, 7, 0xFF00FF00);
    ShownCursor now = shown_cursor(x);
    EXPECT_EQ(now.width, 24);
    EXPECT_EQ(now.height, 16);
    EXPECT_EQ(now.hot_x, 5);
    EXPECT_EQ(now.hot_y, 7);
    EXPECT_EQ(now.pixel, 0xFF00FF00u);

    session.message(SPICE_MSG_CURSOR_HIDE);
    EXPECT_EQ(shown_cursor(x).pixel & 0xFF000000, 0u);  // the invisible cursor

    // A move shows the shape again.
    session.move(60, 50);
    EXPECT_EQ(shown_cursor(x).width, 24);

    // Captured: the arrow, also when a new shape arrives; released: the current shape.
    display.set_capture_mode(true);
    session.set_shape(2, 12, 10, 1, 1, 0xFFFF0000);
    now = shown_cursor(x);
    EXPECT_EQ(now.width, arrow.width);
    EXPECT_EQ(now.height, arrow.height);
    EXPECT_EQ(now.hot_x, arrow.hot_x);
    EXPECT_EQ(now.pixel, arrow.pixel);
    display.set_capture_mode(false);
    now = shown_cursor(x);
    EXPECT_EQ(now.width, 12);
    EXPECT_EQ(now.pixel, 0xFFFF0000u);
}

}  // namespace
