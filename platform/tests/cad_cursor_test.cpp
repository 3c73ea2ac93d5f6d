// The CAD cross-hair cursor: its data, geometry and drawing, the choice between the hardware cursor and the
// layered window as the pointer moves, the redraw queue, and the 3D plug-in taking over, on an X server.
#include <gtest/gtest.h>

#include <vector>

#include <X11/Xlib.h>  // after gtest: its macros clash with gtest's names
#include <X11/Xutil.h>
#include <X11/extensions/Xfixes.h>

#include "winapi/tests/support/layer_access.h"
#include "platform/platform.h"
#include "platform/cad_cursor.h"
#include "winapi/tests/support/xvfb_server.h"

namespace {

std::vector<uint8_t> cad_bytes(const CadCursorData& data) {
    std::vector<uint8_t> bytes(kCadCursorDataSize);
    serialize_cad_cursor_data(data, bytes.data());
    return bytes;
}

GuestCursorShape cad_shape(const std::vector<uint8_t>& bytes) {
    return {GUEST_CURSOR_CAD, 0, 0, 0, 0, bytes.empty() ? nullptr : bytes.data(), bytes.size()};
}

}  // namespace

TEST(CadCursorData, ParsedFromTwentyFourLittleEndianBytes) {
    const uint8_t bytes[24] = {0x33, 0x22, 0x11, 0x00, 0x05, 0x00, 0x2C, 0x01, 0xF6, 0xFF, 0xFF, 0xFF,
                               0x0A, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00};
    CadCursorData data{};
    ASSERT_TRUE(parse_cad_cursor_data(bytes, sizeof(bytes), &data));
    EXPECT_EQ(data.color, 0x112233u);
    EXPECT_EQ(data.pick_box, 5);
    EXPECT_EQ(data.cross, 300);
    EXPECT_EQ(data.area_left, -10);
    EXPECT_EQ(data.area_top, 10);
    EXPECT_EQ(data.area_right, 1024);
    EXPECT_EQ(data.area_bottom, 768);
    EXPECT_EQ(cad_bytes(data), std::vector<uint8_t>(bytes, bytes + 24));
    EXPECT_FALSE(parse_cad_cursor_data(bytes, 23, &data));
    EXPECT_FALSE(parse_cad_cursor_data(nullptr, 24, &data));
}

TEST(CadCursorData, HardwareCursorFitsOnlySmallAndInsideTheArea) {
    struct Case {
        uint16_t pick, cross;
        POINT point;
        bool fits;
    } cases[] = {
        {10, 300, {300, 300}, true}, {10, 301, {300, 300}, false},  // 301 never, wherever it is
        {10, 100, {150, 150}, true}, {10, 100, {149, 150}, false},  // box 100..200 against area from 100
        {10, 100, {450, 450}, true}, {10, 100, {451, 300}, false},  // and to 500
        {400, 20, {300, 300}, true}, {0, 0, {100, 100}, true},
    };
    for (const Case& c : cases) {
        CadCursorData data{0, c.pick, c.cross, 100, 100, 500, 500};
        EXPECT_EQ(cad_hardware_cursor_fits(data, c.point), c.fits)
            << c.pick << "/" << c.cross << " at " << c.point.x << "," << c.point.y;
    }
}

TEST(CadCursorDrawing, LinesLeaveOutTheirEndAndTheBoxIsHollow) {
    // Cross-hair 9 with a 5-pixel pick box: a 9 x 9 bitmap centred on 4.
    CadCursorData data{0x0000FF, 5, 9, 0, 0, 0, 0};
    std::vector<uint32_t> pixels(81);
    CadCanvas canvas{pixels.data(), 9, 9};
    draw_cad_bitmap(canvas, data, 0x000000, 0xFF0000);
    auto at = [&](int x, int y) { return pixels[static_cast<size_t>(y) * 9 + x]; };
    EXPECT_EQ(at(0, 4), 0xFF0000u);  // the horizontal line from 0 ...
    EXPECT_EQ(at(7, 4), 0xFF0000u);
    EXPECT_EQ(at(8, 4), 0u);  // ... to 8, which is left out
    EXPECT_EQ(at(4, 0), 0xFF0000u);
    EXPECT_EQ(at(4, 8), 0u);
    EXPECT_EQ(at(2, 2), 0xFF0000u);  // the pick box outline 2..7
    EXPECT_EQ(at(7, 7), 0xFF0000u);
    EXPECT_EQ(at(3, 3), 0u);  // hollow
    EXPECT_EQ(at(8, 8), 0u);

    // The layered picture: a pick box smaller than the cross-hair grows by one; drawing is clipped to the
    // canvas.
    std::vector<uint32_t> layer(25);
    CadCanvas small{layer.data(), 5, 5};
    draw_cad_layer(small, {0, 4, 40, 0, 0, 0, 0}, 2, 2, 0x00FF00);
    EXPECT_EQ(layer[0], 0x00FF00u);          // (0, 0): the box's corner
    EXPECT_EQ(layer[4 * 5 + 4], 0x00FF00u);  // (4, 4): the grown corner
    EXPECT_EQ(layer[1 * 5 + 1], 0u);
}

namespace {

LRESULT CALLBACK session_window_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    return DefWindowProcW(hwnd, message, wparam, lparam);
}

int plugin_calls = 0;
PluginCursorRecord last_plugin_record{};
int plugin_accepts(PluginCursorRecord* record) {
    ++plugin_calls;
    last_plugin_record = *record;
    return 1;
}

// A session window covering the screen, the pointer on it, and the CAD cursor made for it.
class CadCursorOnScreen : public ::testing::Test {
protected:
    void SetUp() override {
        KTW_REQUIRE_XVFB();
        display_ = XOpenDisplay(nullptr);  // a second connection to read back what the server shows
        ASSERT_NE(display_, nullptr);
        WNDCLASSW window_class{};
        window_class.lpfnWndProc = session_window_proc;
        window_class.lpszClassName = u"cad_session_window";
        RegisterClassW(&window_class);
        session_ = CreateWindowExW(0, u"cad_session_window", u"session", WS_POPUP, 0, 0, 1280, 1024, nullptr,
                                   nullptr, nullptr, nullptr);
        ASSERT_NE(session_, nullptr);
        ShowWindow(session_, SW_SHOW);
        XSync(display_, False);
    }

    void TearDown() override {
        set_cad_plugin_cursor(nullptr);
        Platform::destroy_cad_cursor();
        while (ShowCursor(TRUE) < 0) {
        }
        if (session_) {
            DestroyWindow(session_);
        }
        if (display_) {
            XCloseDisplay(display_);
        }
    }

    LocalCursor* cad_cursor(const CadCursorData& data) {
        std::vector<uint8_t> bytes = cad_bytes(data);
        return Platform::create_local_cursor(cad_shape(bytes));
    }

    void move_to(int x, int y) {
        SetCursorPos(x, y);
        settle();
    }

    // What this process sent the server has been done before the second connection looks.
    void settle() {
        XSync(test_support::layer_x11_display(), False);
        XSync(display_, False);
    }

    int shown_cursor_width() {
        settle();
        int width = 0;
        if (XFixesCursorImage* image = XFixesGetCursorImage(display_)) {
            width = image->width;
            XFree(image);
        }
        return width;
    }

    unsigned long screen_pixel(int x, int y) {
        settle();
        XImage* image = XGetImage(display_, DefaultRootWindow(display_), x, y, 1, 1, AllPlanes, ZPixmap);
        unsigned long pixel = image ? XGetPixel(image, 0, 0) & 0xFFFFFF : 0;
        if (image) {
            XDestroyImage(image);
        }
        return pixel;
    }

    Display* display_ = nullptr;
    HWND session_ = nullptr;
};

}  // namespace

TEST_F(CadCursorOnScreen, OnlySmallCrossHairsBecomeHardwareCursors) {
    LocalCursor* cursor = cad_cursor({0x0000FF, 10, 300, 0, 0, 1280, 1024});
    EXPECT_NE(cad_hardware_cursor(), nullptr);
    // The same cursor object is shared: a second shape updates it.
    LocalCursor* again = cad_cursor({0x0000FF, 10, 301, 0, 0, 1280, 1024});
    EXPECT_EQ(again, cursor);
    EXPECT_EQ(cad_hardware_cursor(), nullptr);

    // A guest pick box of 65535 pixels asks for no bitmap at all (it would take gigabytes).
    cad_cursor({0x0000FF, 65535, 10, 0, 0, 1280, 1024})->unref();
    EXPECT_EQ(cad_hardware_cursor(), nullptr);

    // A shape without its 24 bytes keeps the previous drawing.
    cad_cursor({0x00FF00, 10, 50, 0, 0, 1280, 1024})->unref();
    HCURSOR built = cad_hardware_cursor();
    ASSERT_NE(built, nullptr);
    std::vector<uint8_t> short_data(23, 0x7F);
    LocalCursor* without = Platform::create_local_cursor(cad_shape(short_data));
    EXPECT_EQ(cad_hardware_cursor(), built);
    without->unref();
    again->unref();
    cursor->unref();
}

TEST_F(CadCursorOnScreen, SwitchesBetweenHardwareCursorAndLayeredWindow) {
    // Area 100..600, cross-hair 100: the box reaches 50 pixels around the pointer.
    LocalCursor* cursor = cad_cursor({0x0000FF, 20, 100, 100, 100, 600, 600});
    move_to(300, 300);
    cursor->set(session_);
    CLayerCursorEx* layer = cad_layer_cursor_of(session_);
    ASSERT_NE(layer, nullptr);
    EXPECT_FALSE(layer->IsVisible());
    EXPECT_EQ(shown_cursor_width(), 100);  // the hardware cross-hair

    move_to(120, 300);  // the box crosses the area's left edge
    cursor->set(session_);
    EXPECT_TRUE(layer->IsVisible());
    RECT rect{};
    GetWindowRect(layer->window(), &rect);
    EXPECT_EQ(rect.left, 100);  // only the part inside the area
    EXPECT_EQ(rect.right, 170);
    EXPECT_EQ(rect.top, 250);
    EXPECT_EQ(rect.bottom, 350);
    EXPECT_EQ(screen_pixel(120, 300), 0xFF0000u);  // the cross-hair's centre, in the guest's colour
    MSG msg;
    for (int i = 0; i < 10; ++i) {  // repaints of the window keep its picture
        settle();
        test_support::layer_pump_x11_events();
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&msg);
        }
    }
    EXPECT_EQ(screen_pixel(120, 300), 0xFF0000u);
    EXPECT_LT(ShowCursor(TRUE), 1);  // the system cursor was hidden (count below 0 before this call)
    ShowCursor(FALSE);

    move_to(-500, 300);  // the box lies wholly outside: the last picture stays
    layer->UpdateInner();
    GetWindowRect(layer->window(), &rect);
    EXPECT_EQ(rect.left, 100);
    EXPECT_EQ(rect.right, 170);

    move_to(300, 300);  // back inside: the hardware cursor again, the window hidden
    cursor->set(session_);
    EXPECT_FALSE(layer->IsVisible());
    EXPECT_EQ(ShowCursor(TRUE), 1);
    ShowCursor(FALSE);
    EXPECT_EQ(shown_cursor_width(), 100);
    cursor->hide(session_);
    cursor->unref();
}

TEST_F(CadCursorOnScreen, RedrawsQueueWithinATickAndTheKeyAvoidsTheCursorColour) {
    // Yellow is 0xFFFF, the usual key colour: the key becomes 0x1FFFF so the cross-hair stays visible.
    CadCursorData data{0x00FFFF, 0, 300, 0, 0, 1280, 1024};
    LocalCursor* cursor = cad_cursor(data);
    move_to(640, 512);
    cursor->set(session_);
    CLayerCursorEx* layer = cad_layer_cursor_of(session_);
    ASSERT_NE(layer, nullptr);
    layer->Show();
    layer->Update(data);  // idle: drawn at once, the 15 ms timer starts
    EXPECT_EQ(screen_pixel(640, 512), 0xFFFF00u);
    EXPECT_NE(screen_pixel(645, 520), 0xFFFF00u);

    for (int i = 0; i < 20; ++i) {
        layer->Update(data);
    }
    EXPECT_EQ(layer->pending(), 20u);
    SendMessageW(layer->window(), WM_TIMER, 0, 0);  // the tick draws once for all twenty
    EXPECT_EQ(layer->pending(), 0u);
    EXPECT_EQ(layer->skipped(), 19u);
    SendMessageW(layer->window(), WM_TIMER, 0, 0);  // nothing pending: the timer stops, the next update draws
    unsigned redraws = layer->redraws();
    layer->Update(data);
    EXPECT_EQ(layer->pending(), 0u);
    EXPECT_GE(layer->redraws(), 1u);
    (void)redraws;

    // The queue never grows past 200 entries.
    for (int i = 0; i < 450; ++i) {
        layer->Update(data);
    }
    EXPECT_LE(layer->pending(), kLayerCursorMaxPending + 1);
    cursor->unref();
}

TEST_F(CadCursorOnScreen, ThePluginDrawsTheCursorWhenItAccepts) {
    CadCursorData data{0x0000FF, 20, 400, 0, 0, 1280, 1024};
    LocalCursor* cursor = cad_cursor(data);
    set_cad_plugin_cursor(plugin_accepts);
    plugin_calls = 0;
    move_to(640, 512);
    cursor->set(session_);  // 400 pixels: no hardware cursor, so the layered cursor asks the plug-in
    CLayerCursorEx* layer = cad_layer_cursor_of(session_);
    ASSERT_NE(layer, nullptr);
    EXPECT_TRUE(layer->plugin_mode());
    EXPECT_EQ(plugin_calls, 1);
    EXPECT_FALSE(layer->IsVisible());  // shown before the plug-in took over: the next move shows it
    cursor->set(session_);
    EXPECT_EQ(plugin_calls, 2);
    EXPECT_EQ(last_plugin_record.size, 36u);
    EXPECT_EQ(last_plugin_record.action, 0u);
    EXPECT_EQ(std::vector<uint8_t>(last_plugin_record.data, last_plugin_record.data + 24), cad_bytes(data));
    EXPECT_TRUE(layer->IsVisible());

    cursor->hide(session_);
    EXPECT_EQ(plugin_calls, 3);
    EXPECT_EQ(last_plugin_record.action, 1u);
    EXPECT_FALSE(layer->IsVisible());
    cursor->unref();
}
