// Layered windows: a colour-keyed picture shows only its non-key pixels, and a transparent layered window
// lets the pointer through, on a real X server.
#include <gtest/gtest.h>

#include <cstring>

#include <X11/Xlib.h>  // after gtest: its macros clash with gtest's names
#include <X11/Xutil.h>
#include <X11/extensions/shape.h>

#include "../src/x11_connection.h"
#include "support/x11_test_display.h"
#include "winapi/wingdi.h"
#include "winapi/winuser.h"
#include "winapi/winuser_display.h"

using namespace winapi_internal;

namespace {

const COLORREF kKey = RGB(0xFF, 0xFF, 0x00);

class LayeredWindow : public ::testing::Test {
protected:
    void SetUp() override {
        KTW_REQUIRE_XVFB();
        display_ = test_support::fresh_x11_display();
        ASSERT_NE(display_, nullptr);
        // A background that painting would put over the picture.
        test_support::register_plain_window_class(u"layered_test_window",
                                                  static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
        hwnd_ = CreateWindowExW(WS_EX_LAYERED | WS_EX_TRANSPARENT | WS_EX_TOOLWINDOW, u"layered_test_window",
                                u"layered", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(hwnd_, nullptr);
        ShowWindow(hwnd_, SW_SHOWNOACTIVATE);
        pump();

        // 20 x 10 source: the left half the key colour, the right half red.
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        info.bmiHeader.biWidth = 20;
        info.bmiHeader.biHeight = -10;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        void* bits = nullptr;
        bitmap_ = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        ASSERT_NE(bitmap_, nullptr);
        bits_ = static_cast<uint32_t*>(bits);
        for (int i = 0; i < 200; ++i) {
            bits_[i] = i % 20 < 10 ? 0x00FFFF00u : 0x00FF0000u;
        }
        source_ = CreateCompatibleDC(nullptr);
        old_bitmap_ = SelectObject(source_, bitmap_);
    }

    void TearDown() override {
        if (source_) {
            SelectObject(source_, old_bitmap_);
            DeleteDC(source_);
        }
        if (bitmap_) {
            DeleteObject(bitmap_);
        }
        if (hwnd_) {
            DestroyWindow(hwnd_);
        }
        x11_close_display();
    }

    void pump() {
        MSG msg;
        for (int i = 0; i < 20; ++i) {
            XSync(display_, False);
            x11_pump_events();
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                DispatchMessageW(&msg);
            }
        }
    }

    // The top-level X window with this title.
    Window window_named(const char* title) {
        Window root, parent, *children = nullptr;
        unsigned count = 0;
        Window found = 0;
        XQueryTree(display_, DefaultRootWindow(display_), &root, &parent, &children, &count);
        for (unsigned i = 0; i < count; ++i) {
            char* name = nullptr;
            if (XFetchName(display_, children[i], &name) && name) {
                if (std::strcmp(name, title) == 0) {
                    found = children[i];
                }
                XFree(name);
            }
        }
        if (children) {
            XFree(children);
        }
        return found;
    }

    unsigned long root_pixel(int x, int y) {
        XImage* image = XGetImage(display_, DefaultRootWindow(display_), x, y, 1, 1, AllPlanes, ZPixmap);
        unsigned long pixel = image ? XGetPixel(image, 0, 0) : 0;
        if (image) {
            XDestroyImage(image);
        }
        return pixel & 0xFFFFFF;
    }

    Display* display_ = nullptr;
    HWND hwnd_ = nullptr;
    HBITMAP bitmap_ = nullptr;
    uint32_t* bits_ = nullptr;
    HDC source_ = nullptr;
    HGDIOBJ old_bitmap_ = nullptr;
};

}  // namespace

TEST_F(LayeredWindow, ColourKeyedPixelsAreLeftOutAndInputPassesThrough) {
    POINT position{50, 60};
    SIZE size{20, 10};
    POINT origin{0, 0};
    ASSERT_TRUE(
        UpdateLayeredWindow(hwnd_, nullptr, &position, &size, source_, &origin, kKey, nullptr, ULW_COLORKEY));
    pump();
    RECT rect{};
    ASSERT_TRUE(GetWindowRect(hwnd_, &rect));
    EXPECT_EQ(rect.left, 50);
    EXPECT_EQ(rect.top, 60);
    EXPECT_EQ(rect.right, 70);
    EXPECT_EQ(rect.bottom, 70);

    Window x_window = window_named("layered");
    ASSERT_NE(x_window, 0u);
    int count = 0, ordering = 0;
    XRectangle* shown = XShapeGetRectangles(display_, x_window, ShapeBounding, &count, &ordering);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(shown[0].x, 10);
    EXPECT_EQ(shown[0].width, 10);
    EXPECT_EQ(shown[0].height, 10);
    XFree(shown);
    XRectangle* input = XShapeGetRectangles(display_, x_window, ShapeInput, &count, &ordering);
    EXPECT_EQ(count, 0);
    if (input) {
        XFree(input);
    }

    EXPECT_EQ(root_pixel(65, 65), 0xFF0000u);  // the red half shows
    EXPECT_NE(root_pixel(55, 65), 0xFFFF00u);  // the key-coloured half does not

    // A picture whose shape grows shows in full, also where the window showed nothing before.
    for (int i = 0; i < 200; ++i) {
        bits_[i] = 0x00FF0000u;
    }
    ASSERT_TRUE(
        UpdateLayeredWindow(hwnd_, nullptr, nullptr, nullptr, source_, &origin, kKey, nullptr, ULW_COLORKEY));
    EXPECT_EQ(root_pixel(55, 65), 0xFF0000u);

    // The pointer over the red half is not over the window: input goes to what lies below.
    ASSERT_TRUE(SetCursorPos(65, 65));
    Window root, child;
    int root_x, root_y, x, y;
    unsigned mask;
    XQueryPointer(display_, DefaultRootWindow(display_), &root, &child, &root_x, &root_y, &x, &y, &mask);
    EXPECT_NE(child, x_window);
}

TEST_F(LayeredWindow, RefusesWhatItCannotShow) {
    SIZE size{20, 10};
    POINT outside{5, 0};  // 5 + 20 columns run past the 20-pixel source
    EXPECT_FALSE(
        UpdateLayeredWindow(hwnd_, nullptr, nullptr, &size, source_, &outside, kKey, nullptr, ULW_COLORKEY));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SIZE empty{0, 10};
    EXPECT_FALSE(
        UpdateLayeredWindow(hwnd_, nullptr, nullptr, &empty, source_, nullptr, kKey, nullptr, ULW_COLORKEY));
    BLENDFUNCTION blend{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    EXPECT_FALSE(UpdateLayeredWindow(hwnd_, nullptr, nullptr, &size, source_, nullptr, 0, &blend, ULW_ALPHA));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));

    HWND plain = CreateWindowExW(0, u"layered_test_window", u"plain", WS_POPUP, 0, 0, 20, 10, nullptr,
                                 nullptr, nullptr, nullptr);
    ASSERT_NE(plain, nullptr);
    EXPECT_FALSE(
        UpdateLayeredWindow(plain, nullptr, nullptr, &size, source_, nullptr, kKey, nullptr, ULW_COLORKEY));
    DestroyWindow(plain);
    EXPECT_FALSE(
        UpdateLayeredWindow(plain, nullptr, nullptr, &size, source_, nullptr, kKey, nullptr, ULW_COLORKEY));
}
