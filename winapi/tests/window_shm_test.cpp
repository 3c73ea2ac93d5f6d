// Window back buffers shared with the X server: what a window DC draws reaches the X window whether the
// buffer is shared (XShmPutImage) or not (XPutImage), and a resize keeps the drawn content in the new buffer.
// Before Xlib, whose macros clash with its names.
#include <gtest/gtest.h>

#include "support/layer_access.h"
#include "support/x11_observer.h"
#include "support/xvfb_server.h"
#include "winapi/wingdi.h"
#include "winapi/winuser.h"

#include <X11/Xutil.h>

#include <cstdlib>

namespace {

void pump() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        DispatchMessageW(&msg);
    }
}

unsigned long pixel(Display* display, Window window, int x, int y) {
    XSync(display, False);
    XImage* image = XGetImage(display, window, x, y, 1, 1, AllPlanes, ZPixmap);
    if (!image) {
        return 0xDEADBEEF;
    }
    unsigned long value = XGetPixel(image, 0, 0) & 0xFFFFFF;
    XDestroyImage(image);
    return value;
}

void fill(HWND hwnd, const RECT& rect, COLORREF colour) {
    HDC dc = GetDC(hwnd);
    ASSERT_NE(dc, nullptr);
    HBRUSH brush = CreateSolidBrush(colour);
    FillRect(dc, &rect, brush);
    DeleteObject(brush);
    ReleaseDC(hwnd, dc);  // shows what was drawn
}

TEST(WindowShmTest, DrawingReachesTheWindowSharedOrNot) {
    KTW_REQUIRE_XVFB();
    test_support::X11Observer observer;
    ASSERT_NE(observer.display(), nullptr);
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = u"ktw_shm_test";
    ASSERT_NE(RegisterClassW(&wc), 0);

    struct Case {
        bool shared;
        const char16_t* title;
        const char* x_title;
    };
    for (const Case& c : {Case{true, u"shm shared", "shm shared"}, Case{false, u"shm plain", "shm plain"}}) {
        SCOPED_TRACE(c.x_title);
        if (c.shared) {
            unsetenv("KTW_X11_NO_SHM");
        } else {
            setenv("KTW_X11_NO_SHM", "1", 1);
        }
        HWND hwnd = CreateWindowExW(0, u"ktw_shm_test", c.title, WS_OVERLAPPEDWINDOW, 10, 10, 200, 100,
                                    nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(hwnd, nullptr);
        ShowWindow(hwnd, SW_SHOW);
        pump();
        Window window = observer.wait_for_window(c.x_title);
        ASSERT_NE(window, 0u);

        fill(hwnd, RECT{0, 0, 200, 100}, RGB(0, 0, 255));
        fill(hwnd, RECT{20, 20, 40, 40}, RGB(255, 0, 0));
        EXPECT_EQ(test_support::layer_window_uses_shm(hwnd), c.shared);
        EXPECT_EQ(pixel(observer.display(), window, 30, 30), 0xFF0000u);
        EXPECT_EQ(pixel(observer.display(), window, 100, 50), 0x0000FFu);

        // A larger window gets a new buffer with the old content in it.
        SetWindowPos(hwnd, nullptr, 0, 0, 300, 150, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        pump();
        fill(hwnd, RECT{250, 120, 260, 130}, RGB(0, 255, 0));
        EXPECT_EQ(test_support::layer_window_uses_shm(hwnd), c.shared);
        EXPECT_EQ(pixel(observer.display(), window, 30, 30), 0xFF0000u);
        EXPECT_EQ(pixel(observer.display(), window, 255, 125), 0x00FF00u);
        DestroyWindow(hwnd);
        pump();
    }
    unsetenv("KTW_X11_NO_SHM");
}

}  // namespace
