// The keyboard hook on the private X server: keys injected with XTest reach the session window through the
// hook as the right key codes, and the window holds the keyboard exactly while it intercepts.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <functional>
#include <vector>

#include "display/keyboard_hook.h"
#include "support/hook_window.h"
#include "winapi/sysinfoapi.h"
#include "winapi/tests/support/peer_programs.h"
#include "winapi/tests/support/xvfb_server.h"
#include "winapi/winuser.h"

namespace {

std::vector<int> keys;  // key codes the window procedure made of its key messages; releases negative
std::vector<WPARAM> locks;

LRESULT CALLBACK session_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_KEYDOWN:
        case WM_SYSKEYDOWN:
        case WM_KEYUP:
        case WM_SYSKEYUP: {
            int code = int(translate_key_message(lparam, wparam, message));
            if (code) {
                keys.push_back(message == WM_KEYDOWN || message == WM_SYSKEYDOWN ? code : -code);
            }
            return 0;
        }
        case WM_HOOK_LOCK_WORKSTATION:
            locks.push_back(wparam);
            return 0;
        default:
            return DefWindowProcW(hwnd, message, wparam, lparam);
    }
}

void pump_for(DWORD ms, const std::function<bool()>& done) {
    DWORD start = GetTickCount();
    MSG msg;
    while (GetTickCount() - start < ms && !done()) {
        MsgWaitForMultipleObjectsEx(0, nullptr, 20, QS_ALLINPUT, 0);
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}

class KeyboardHookX11 : public testing::Test {
protected:
    void SetUp() override {
        KTW_REQUIRE_XVFB();
        ASSERT_TRUE(test_support::ensure_xvfb());
        peer = XOpenDisplay(nullptr);
        ASSERT_NE(peer, nullptr);
        WNDCLASSW wc{};
        wc.lpfnWndProc = session_proc;
        wc.lpszClassName = u"ktw_hook_test";
        RegisterClassW(&wc);
        hook_window.window = CreateWindowExW(0, u"ktw_hook_test", u"hook", WS_OVERLAPPEDWINDOW, 20, 20, 200,
                                             150, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(hook_window.window, nullptr);
        ShowWindow(hook_window.window, SW_SHOW);
        pump_for(3000, [this] { return GetFocus() == hook_window.window; });
        ASSERT_EQ(GetFocus(), hook_window.window);
        ASSERT_TRUE(KeyboardHook::install(hook_window));
        keys.clear();
        locks.clear();
    }

    void TearDown() override {
        KeyboardHook::remove();
        if (hook_window.window) {
            DestroyWindow(hook_window.window);
        }
        if (peer) {
            XCloseDisplay(peer);
        }
    }

    void key(KeySym symbol, bool down) {
        XTestFakeKeyEvent(peer, XKeysymToKeycode(peer, symbol), down ? True : False, CurrentTime);
        XSync(peer, False);
    }

    // Another client trying to take the keyboard: false while the session window holds it.
    bool peer_can_grab() {
        int status =
            XGrabKeyboard(peer, DefaultRootWindow(peer), False, GrabModeAsync, GrabModeAsync, CurrentTime);
        XUngrabKeyboard(peer, CurrentTime);
        XSync(peer, False);
        return status == GrabSuccess;
    }

    Display* peer = nullptr;
    HookWindow hook_window;
};

TEST_F(KeyboardHookX11, InterceptedKeysReachTheWindowAsScanCodes) {
    KeyboardHook::set_interception(true);
    EXPECT_FALSE(peer_can_grab());

    const struct {
        KeySym symbol;
        bool down;
    } presses[] = {
        {XK_a, true},         {XK_a, false},         {XK_Alt_L, true},   {XK_Tab, true},
        {XK_Tab, false},      {XK_Alt_L, false},     {XK_Super_L, true}, {XK_Super_L, false},
        {XK_Control_R, true}, {XK_Control_R, false}, {XK_Print, true},   {XK_Print, false},
        {XK_Pause, true},     {XK_Pause, false},
    };
    for (const auto& press : presses) {
        key(press.symbol, press.down);
    }
    // The Windows key's release is both reposted and passed on, so on X it reaches the window twice.
    const std::vector<int> expected = {0x1E,   -0x1E, 0x38,   0x0F,  -0x0F,  -0x38, 0x15B, -0x15B,
                                       -0x15B, 0x11D, -0x11D, 0x137, -0x137, 0x15E, -0x15E};
    pump_for(3000, [&] { return keys.size() >= expected.size(); });
    EXPECT_EQ(keys, expected);

    KeyboardHook::set_interception(false);
    EXPECT_TRUE(peer_can_grab());
}

TEST_F(KeyboardHookX11, WinLLocksTheWorkstationAndTheGuestSeesNoL) {
    KeyboardHook::set_interception(true);
    hook_window.pressed[0x15B] = 1;  // the application saw the left Windows key go down
    key(XK_l, true);
    key(XK_l, false);
    pump_for(3000, [&] { return !locks.empty(); });
    pump_for(200, [] { return false; });
    hook_window.pressed[0x15B] = 0;
    key(XK_b, true);
    key(XK_b, false);
    pump_for(3000, [&] { return keys.size() >= 2; });
    EXPECT_EQ(locks, std::vector<WPARAM>({0x15B}));
    EXPECT_EQ(keys, std::vector<int>({0x30, -0x30}));
}

}  // namespace
