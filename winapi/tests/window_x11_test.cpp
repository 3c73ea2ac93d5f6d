// Windows on the X display (a private Xvfb): what a window shows, keys and buttons from the server, titles,
// the close button and sizes changed from outside.
#include "support/xvfb_server.h"
#include "winapi/synchapi.h"
#include "winapi/sysinfoapi.h"
#include "winapi/wingdi.h"
#include "winapi/winuser.h"
#include "winapi/winuser_display.h"

#include <gtest/gtest.h>

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <functional>
#include <string>
#include <vector>

namespace {

std::vector<MSG> seen;  // every message the window procedure got, sent or posted
COLORREF fill_colour = RGB(255, 0, 0);

LRESULT CALLBACK recording_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    seen.push_back(MSG{hwnd, message, wparam, lparam, 0, POINT{0, 0}});
    if (message == WM_PAINT) {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(hwnd, &paint);
        HBRUSH brush = CreateSolidBrush(fill_colour);
        RECT client;
        GetClientRect(hwnd, &client);
        FillRect(dc, &client, brush);
        DeleteObject(brush);
        EndPaint(hwnd, &paint);
        return 0;
    }
    return DefWindowProcW(hwnd, message, wparam, lparam);
}

// Runs the thread's messages for `ms`, or until `done` says so.
void pump_for(DWORD ms, const std::function<bool()>& done = nullptr) {
    DWORD start = GetTickCount();
    MSG msg;
    while (GetTickCount() - start < ms && !(done && done())) {
        MsgWaitForMultipleObjectsEx(0, nullptr, 20, QS_ALLINPUT, 0);
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}

bool saw(UINT message) {
    for (const MSG& msg : seen) {
        if (msg.message == message) {
            return true;
        }
    }
    return false;
}

std::vector<MSG> only(std::initializer_list<UINT> messages) {
    std::vector<MSG> out;
    for (const MSG& msg : seen) {
        for (UINT m : messages) {
            if (msg.message == m) {
                out.push_back(msg);
            }
        }
    }
    return out;
}

class WindowX11 : public ::testing::Test {
protected:
    // What fails here fails each test in SetUp: a failure in a suite's set-up would only skip them.
    static void SetUpTestSuite() {
        if (!test_support::ensure_xvfb()) {
            return;
        }
        // The test's own connection plays the user and the window manager.
        peer_ = XOpenDisplay(nullptr);
        WNDCLASSW wc{};
        wc.lpfnWndProc = recording_proc;
        wc.lpszClassName = u"ktw_x11_test";
        registered_ = RegisterClassW(&wc) != 0;
    }
    static void TearDownTestSuite() {
        if (peer_) {
            XCloseDisplay(peer_);
            peer_ = nullptr;
        }
    }

    void SetUp() override {
        KTW_REQUIRE_XVFB();
        ASSERT_NE(peer_, nullptr) << "no second connection to the private X server";
        ASSERT_TRUE(registered_);
        seen.clear();
    }

    // A shown window at (x, y), painted and focused.
    HWND show_window(const char16_t* title, int x = 40, int y = 30) {
        HWND hwnd = CreateWindowExW(0, u"ktw_x11_test", title, WS_OVERLAPPEDWINDOW, x, y, 120, 80, nullptr,
                                    nullptr, nullptr, nullptr);
        EXPECT_NE(hwnd, nullptr);
        ShowWindow(hwnd, SW_SHOW);
        pump_for(3000, [] { return saw(WM_PAINT) && saw(WM_SETFOCUS); });
        return hwnd;
    }

    // The X window whose WM_NAME is `title`, found the way a window manager would.
    static Window find_x_window(const char* title) {
        Window root_return, parent, *children = nullptr;
        unsigned count = 0;
        Window found = 0;
        XQueryTree(peer_, DefaultRootWindow(peer_), &root_return, &parent, &children, &count);
        for (unsigned i = 0; i < count && !found; ++i) {
            char* name = nullptr;
            if (XFetchName(peer_, children[i], &name) && name) {
                if (std::string(name) == title) {
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

    static unsigned long root_pixel(int x, int y) {
        XImage* image = XGetImage(peer_, DefaultRootWindow(peer_), x, y, 1, 1, AllPlanes, ZPixmap);
        if (!image) {
            return 0xDEADBEEF;
        }
        unsigned long pixel = XGetPixel(image, 0, 0) & 0xFFFFFF;
        XDestroyImage(image);
        return pixel;
    }

    static void key(KeySym symbol, bool down) {
        XTestFakeKeyEvent(peer_, XKeysymToKeycode(peer_, symbol), down ? True : False, CurrentTime);
        XSync(peer_, False);
    }

    static Display* peer_;
    static bool registered_;
};

Display* WindowX11::peer_ = nullptr;
bool WindowX11::registered_ = false;

TEST_F(WindowX11, PaintedPixelsReachTheScreen) {
    fill_colour = RGB(255, 0, 0);
    HWND hwnd = show_window(u"paint");
    ASSERT_TRUE(saw(WM_PAINT));
    EXPECT_EQ(root_pixel(40 + 10, 30 + 10), 0xFF0000u);
    EXPECT_EQ(root_pixel(40 + 119, 30 + 79), 0xFF0000u);

    // A new colour appears after invalidation, through WM_PAINT again.
    fill_colour = RGB(0, 0x80, 0xFF);
    seen.clear();
    InvalidateRect(hwnd, nullptr, FALSE);
    UpdateWindow(hwnd);
    pump_for(500);
    EXPECT_EQ(root_pixel(40 + 60, 30 + 40), 0x0080FFu);
    DestroyWindow(hwnd);
}

TEST_F(WindowX11, KeysCarryScanCodesAndTransitionBits) {
    HWND hwnd = show_window(u"keys");
    ASSERT_EQ(GetFocus(), hwnd);
    seen.clear();
    key(XK_a, true);
    key(XK_a, false);
    key(XK_Control_R, true);
    key(XK_Control_R, false);
    key(XK_Shift_R, true);
    key(XK_Shift_R, false);
    pump_for(2000, [] { return only({WM_KEYDOWN, WM_KEYUP}).size() >= 6; });
    std::vector<MSG> keys = only({WM_KEYDOWN, WM_KEYUP});
    ASSERT_EQ(keys.size(), 6u);
    struct Expected {
        UINT message;
        WPARAM vk;
        LPARAM lparam;
    };
    const Expected expected[] = {
        {WM_KEYDOWN, 'A', 0x001E0001},        {WM_KEYUP, 'A', 0xC01E0001},
        {WM_KEYDOWN, VK_CONTROL, 0x011D0001}, {WM_KEYUP, VK_CONTROL, 0xC11D0001},
        {WM_KEYDOWN, VK_SHIFT, 0x00360001},   {WM_KEYUP, VK_SHIFT, 0xC0360001},  // right Shift: not extended
    };
    for (size_t i = 0; i < keys.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(keys[i].message, expected[i].message);
        EXPECT_EQ(keys[i].wParam, expected[i].vk);
        EXPECT_EQ(static_cast<DWORD>(keys[i].lParam), static_cast<DWORD>(expected[i].lparam));
    }
    EXPECT_EQ(GetKeyState(VK_CONTROL) & 0x8000, 0);
    DestroyWindow(hwnd);
}

TEST_F(WindowX11, AltMakesSystemKeysAndAltF4Closes) {
    HWND hwnd = show_window(u"alt");
    seen.clear();
    key(XK_Alt_L, true);
    key(XK_F4, true);
    pump_for(2000, [hwnd] { return !IsWindow(hwnd); });
    std::vector<MSG> keys = only({WM_SYSKEYDOWN, WM_KEYDOWN});
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys[0].message, static_cast<UINT>(WM_SYSKEYDOWN));
    EXPECT_EQ(keys[0].wParam, static_cast<WPARAM>(VK_MENU));
    EXPECT_EQ(keys[1].message, static_cast<UINT>(WM_SYSKEYDOWN));
    EXPECT_EQ(keys[1].wParam, static_cast<WPARAM>(VK_F4));
    EXPECT_TRUE(keys[1].lParam & (1 << 29));  // Alt held
    EXPECT_FALSE(IsWindow(hwnd));
    key(XK_F4, false);
    key(XK_Alt_L, false);
}

TEST_F(WindowX11, LowLevelHookSeesKeysFirstAndCanSwallowThem) {
    static std::vector<KBDLLHOOKSTRUCT> hooked;
    hooked.clear();
    HHOOK hook = SetWindowsHookExW(
        WH_KEYBOARD_LL,
        [](int code, WPARAM message, LPARAM lparam) -> LRESULT {
            auto* info = reinterpret_cast<KBDLLHOOKSTRUCT*>(lparam);
            hooked.push_back(*info);
            return info->vkCode == 'B' ? 1 : CallNextHookEx(nullptr, code, message, lparam);
        },
        nullptr, 0);
    ASSERT_NE(hook, nullptr);
    HWND hwnd = show_window(u"hook");
    seen.clear();
    key(XK_b, true);
    key(XK_b, false);
    key(XK_Control_L, true);
    key(XK_Control_L, false);
    pump_for(2000, [] { return only({WM_KEYUP}).size() >= 1; });
    EXPECT_TRUE(UnhookWindowsHookEx(hook));
    ASSERT_EQ(hooked.size(), 4u);
    EXPECT_EQ(hooked[0].vkCode, static_cast<DWORD>('B'));
    EXPECT_EQ(hooked[0].scanCode, 0x30u);
    EXPECT_EQ(hooked[1].flags & LLKHF_UP, static_cast<DWORD>(LLKHF_UP));
    EXPECT_EQ(hooked[2].vkCode, static_cast<DWORD>(VK_LCONTROL));  // the hook gets the sided code
    std::vector<MSG> keys = only({WM_KEYDOWN, WM_KEYUP});
    ASSERT_EQ(keys.size(), 2u);  // 'B' was swallowed
    EXPECT_EQ(keys[0].wParam, static_cast<WPARAM>(VK_CONTROL));
    DestroyWindow(hwnd);
}

TEST_F(WindowX11, KeybdEventTypesThroughTheHookWithTheCallersRecord) {
    static std::vector<std::pair<WPARAM, KBDLLHOOKSTRUCT>> hooked;
    hooked.clear();
    HHOOK hook = SetWindowsHookExW(
        WH_KEYBOARD_LL,
        [](int code, WPARAM message, LPARAM lparam) -> LRESULT {
            hooked.emplace_back(message, *reinterpret_cast<KBDLLHOOKSTRUCT*>(lparam));
            return CallNextHookEx(nullptr, code, message, lparam);
        },
        nullptr, 0);
    ASSERT_NE(hook, nullptr);
    HWND hwnd = show_window(u"inject");
    ASSERT_EQ(GetFocus(), hwnd);
    seen.clear();
    struct Case {
        BYTE vk;
        BYTE scan;
        DWORD flags;
        ULONG_PTR extra;
        DWORD hook_vk;
        DWORD hook_flags;
        WPARAM message_vk;
        DWORD lparam;
    };
    const DWORD up = LLKHF_UP, ext = LLKHF_EXTENDED, injected = LLKHF_INJECTED;
    const Case cases[] = {
        {VK_LWIN, 0x5B, KEYEVENTF_EXTENDEDKEY, 0x4321DCBA, VK_LWIN, injected | ext, VK_LWIN, 0x015B0001},
        {'L', 0x26, 0, 0x4321DCBA, 'L', injected, 'L', 0x00260001},
        {'L', 0x26, KEYEVENTF_KEYUP, 0x4321DCBA, 'L', injected | up, 'L', 0xC0260001},
        {VK_LWIN, 0x5B, KEYEVENTF_EXTENDEDKEY | KEYEVENTF_KEYUP, 0x4321DCBA, VK_LWIN, injected | ext | up,
         VK_LWIN, 0xC15B0001},
        // The extended flag picks the navigation Home over the keypad's; the key's own scan code is not
        // needed.
        {VK_HOME, 0x47, KEYEVENTF_EXTENDEDKEY, 7, VK_HOME, injected | ext, VK_HOME, 0x01470001},
        {VK_HOME, 0x47, KEYEVENTF_EXTENDEDKEY | KEYEVENTF_KEYUP, 7, VK_HOME, injected | ext | up, VK_HOME,
         0xC1470001},
        // By scan code: the keypad's Enter; the hook names the key.
        {0, 0x1C, KEYEVENTF_SCANCODE | KEYEVENTF_EXTENDEDKEY, 9, VK_RETURN, injected | ext, VK_RETURN,
         0x011C0001},
        {0, 0x1C, KEYEVENTF_SCANCODE | KEYEVENTF_EXTENDEDKEY | KEYEVENTF_KEYUP, 9, VK_RETURN,
         injected | ext | up, VK_RETURN, 0xC11C0001},
    };
    for (const Case& c : cases) {
        keybd_event(c.vk, c.scan, c.flags, c.extra);
    }
    keybd_event(0, 0, KEYEVENTF_UNICODE, 5);  // not offered: nothing arrives
    // A key of the user's afterwards is neither injected nor marked.
    key(XK_b, true);
    key(XK_b, false);
    const size_t count = sizeof(cases) / sizeof(cases[0]);
    pump_for(3000, [&] { return only({WM_KEYDOWN, WM_KEYUP}).size() >= count + 2; });
    EXPECT_TRUE(UnhookWindowsHookEx(hook));
    std::vector<MSG> keys = only({WM_KEYDOWN, WM_KEYUP});
    ASSERT_EQ(count + 2, hooked.size());
    ASSERT_EQ(count + 2, keys.size());
    for (size_t i = 0; i < count; ++i) {
        SCOPED_TRACE(i);
        const Case& c = cases[i];
        const UINT message = (c.flags & KEYEVENTF_KEYUP) ? WM_KEYUP : WM_KEYDOWN;
        EXPECT_EQ(message, hooked[i].first);
        EXPECT_EQ(c.hook_vk, hooked[i].second.vkCode);
        EXPECT_EQ(DWORD(c.scan), hooked[i].second.scanCode);
        EXPECT_EQ(c.hook_flags, hooked[i].second.flags);
        EXPECT_EQ(c.extra, hooked[i].second.dwExtraInfo);
        EXPECT_EQ(message, keys[i].message);
        EXPECT_EQ(c.message_vk, keys[i].wParam);
        EXPECT_EQ(c.lparam, DWORD(keys[i].lParam));
    }
    for (size_t i = count; i < count + 2; ++i) {
        EXPECT_EQ(DWORD('B'), hooked[i].second.vkCode);
        EXPECT_EQ(0u, hooked[i].second.flags & LLKHF_INJECTED);
        EXPECT_EQ(0u, hooked[i].second.dwExtraInfo);
    }
    DestroyWindow(hwnd);
}

TEST_F(WindowX11, ButtonsAndWheelBecomeMouseMessages) {
    HWND hwnd = show_window(u"mouse", 100, 100);
    seen.clear();
    XTestFakeMotionEvent(peer_, DefaultScreen(peer_), 110, 120, CurrentTime);
    XTestFakeButtonEvent(peer_, 1, True, CurrentTime);
    XTestFakeButtonEvent(peer_, 1, False, CurrentTime);
    XTestFakeButtonEvent(peer_, 4, True, CurrentTime);
    XTestFakeButtonEvent(peer_, 4, False, CurrentTime);
    XSync(peer_, False);
    pump_for(2000, [] { return saw(WM_MOUSEWHEEL); });
    std::vector<MSG> mouse = only({WM_LBUTTONDOWN, WM_LBUTTONUP, WM_MOUSEWHEEL});
    ASSERT_EQ(mouse.size(), 3u);
    EXPECT_EQ(mouse[0].message, static_cast<UINT>(WM_LBUTTONDOWN));
    EXPECT_EQ(mouse[0].wParam, static_cast<WPARAM>(MK_LBUTTON));
    EXPECT_EQ(GET_X_LPARAM(mouse[0].lParam), 10);  // client coordinates
    EXPECT_EQ(GET_Y_LPARAM(mouse[0].lParam), 20);
    EXPECT_EQ(mouse[1].wParam, 0u);
    EXPECT_EQ(GET_WHEEL_DELTA_WPARAM(mouse[2].wParam), WHEEL_DELTA);
    EXPECT_EQ(GET_X_LPARAM(mouse[2].lParam), 110);  // the wheel reports screen coordinates
    DestroyWindow(hwnd);
}

TEST_F(WindowX11, CaptureKeepsTheMouseAndLeavingIsReportedOnce) {
    HWND hwnd = show_window(u"capture", 100, 100);
    XTestFakeMotionEvent(peer_, DefaultScreen(peer_), 150, 150, CurrentTime);
    XSync(peer_, False);
    pump_for(1000, [] { return saw(WM_MOUSEMOVE); });
    TRACKMOUSEEVENT track{sizeof track, TME_LEAVE, hwnd, HOVER_DEFAULT};
    ASSERT_TRUE(TrackMouseEvent(&track));
    seen.clear();
    XTestFakeMotionEvent(peer_, DefaultScreen(peer_), 400, 400, CurrentTime);
    XTestFakeMotionEvent(peer_, DefaultScreen(peer_), 150, 150, CurrentTime);
    XTestFakeMotionEvent(peer_, DefaultScreen(peer_), 410, 410, CurrentTime);
    XSync(peer_, False);
    pump_for(500);
    EXPECT_EQ(only({WM_MOUSELEAVE}).size(), 1u);  // tracking ends with the first leave

    // Outside the window, the captured window still gets the click, in its own client coordinates.
    EXPECT_EQ(SetCapture(hwnd), nullptr);
    EXPECT_EQ(GetCapture(), hwnd);
    seen.clear();
    XTestFakeButtonEvent(peer_, 3, True, CurrentTime);
    XTestFakeButtonEvent(peer_, 3, False, CurrentTime);
    XSync(peer_, False);
    pump_for(2000, [] { return saw(WM_RBUTTONUP); });
    std::vector<MSG> clicks = only({WM_RBUTTONDOWN});
    ASSERT_EQ(clicks.size(), 1u);
    EXPECT_EQ(clicks[0].hwnd, hwnd);
    EXPECT_EQ(GET_X_LPARAM(clicks[0].lParam), 310);
    EXPECT_EQ(GET_Y_LPARAM(clicks[0].lParam), 310);
    seen.clear();
    EXPECT_TRUE(ReleaseCapture());
    EXPECT_TRUE(saw(WM_CAPTURECHANGED));
    EXPECT_EQ(GetCapture(), nullptr);
    DestroyWindow(hwnd);
}

TEST_F(WindowX11, ApplicationActivationReachesHiddenTopLevelWindows) {
    HWND hidden =
        CreateWindowExW(0, u"ktw_x11_test", u"platform", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    HWND shown = show_window(u"activation");
    // Focus moves to a window of no application (the root): the application is deactivated.
    seen.clear();
    XSetInputFocus(peer_, DefaultRootWindow(peer_), RevertToNone, CurrentTime);
    XSync(peer_, False);
    pump_for(2000, [] { return saw(WM_ACTIVATEAPP); });
    std::vector<MSG> app = only({WM_ACTIVATEAPP});
    ASSERT_EQ(app.size(), 2u);
    EXPECT_EQ(app[0].wParam, static_cast<WPARAM>(FALSE));
    EXPECT_TRUE((app[0].hwnd == hidden) != (app[1].hwnd == hidden));
    EXPECT_EQ(GetFocus(), nullptr);
    EXPECT_EQ(only({WM_KILLFOCUS}).size(), 1u);
    DestroyWindow(shown);
    DestroyWindow(hidden);
}

TEST_F(WindowX11, TitleCloseButtonAndOutsideResize) {
    HWND hwnd = show_window(u"Sessi\u00f6n");
    Window x_window = find_x_window("Sessi\xc3\xb6n");
    ASSERT_NE(x_window, 0u);
    // _NET_WM_NAME carries the title as UTF-8.
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* value = nullptr;
    XGetWindowProperty(peer_, x_window, XInternAtom(peer_, "_NET_WM_NAME", False), 0, 64, False,
                       XInternAtom(peer_, "UTF8_STRING", False), &type, &format, &count, &after, &value);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(value), count), "Sessi\xc3\xb6n");
    XFree(value);

    seen.clear();
    XResizeWindow(peer_, x_window, 200, 150);
    XSync(peer_, False);
    pump_for(3000, [] { return saw(WM_EXITSIZEMOVE); });
    // A size change from outside comes bracketed like Windows' size loop, which the program waits for.
    std::vector<MSG> sizes = only({WM_ENTERSIZEMOVE, WM_SIZE, WM_EXITSIZEMOVE});
    ASSERT_EQ(sizes.size(), 3u);
    EXPECT_EQ(sizes[0].message, static_cast<UINT>(WM_ENTERSIZEMOVE));
    EXPECT_EQ(sizes[1].lParam, MAKELPARAM(200, 150));
    EXPECT_EQ(sizes[2].message, static_cast<UINT>(WM_EXITSIZEMOVE));
    RECT client;
    GetClientRect(hwnd, &client);
    EXPECT_EQ(client.right, 200);

    // The window manager's close button.
    seen.clear();
    XEvent close{};
    close.xclient.type = ClientMessage;
    close.xclient.window = x_window;
    close.xclient.message_type = XInternAtom(peer_, "WM_PROTOCOLS", False);
    close.xclient.format = 32;
    close.xclient.data.l[0] = static_cast<long>(XInternAtom(peer_, "WM_DELETE_WINDOW", False));
    XSendEvent(peer_, x_window, False, NoEventMask, &close);
    XSync(peer_, False);
    pump_for(2000, [hwnd] { return !IsWindow(hwnd); });
    std::vector<MSG> closing = only({WM_SYSCOMMAND, WM_CLOSE});
    ASSERT_EQ(closing.size(), 2u);
    EXPECT_EQ(closing[0].wParam & 0xFFF0, static_cast<WPARAM>(SC_CLOSE));
    EXPECT_EQ(closing[1].message, static_cast<UINT>(WM_CLOSE));
    EXPECT_FALSE(IsWindow(hwnd));
    // Requests of two X clients are not ordered: look until the server has handled ours.
    Window left = x_window;
    for (int i = 0; i < 100 && left; ++i) {
        Sleep(10);
        left = find_x_window("Sessi\xc3\xb6n");
    }
    EXPECT_EQ(left, 0u);
}

}  // namespace
