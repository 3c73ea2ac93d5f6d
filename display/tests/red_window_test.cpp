// The session window's procedure, driven with injected window messages and a recording listener.
#include "display/red_window.h"
#include "platform/local_cursor.h"
#include "platform/session_block.h"
#include "support/fake_application.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class RecordingListener : public RedWindow::Listener {
public:
    void on_exposed_rect(const RECT&) override { log("expose"); }
    bool ParseCommand(const std::string&) override { return false; }
    void OnCopyData(HWND, const COPYDATASTRUCT*) override { log("copy"); }
    void NotifyNavBar(int code) override { log("nav " + std::to_string(code)); }
    void OnSessionChangeDesk(int code) override { log("session " + std::to_string(code)); }
    void LockWorkStation() override { log("lock"); }
    void CloseRestartDialogs(WPARAM) override {}
    void ForwardRestartResult(WPARAM) override {}
    void set_restart_state(int) override {}
    void ShowRestartDlg() override {}
    void ShowNetworkDlg() override {}
    void ShowRestartWaitDlg() override {}
    void OnGetResetSuccess() override {}
    void ForwardToParent(HWND) override {}
    void ShowRestoreWaitDlg() override {}
    void on_pointer_enter(int x, int y, unsigned int b) override { log(point("enter", x, y, b)); }
    void on_pointer_motion(int x, int y, unsigned int b) override { log(point("motion", x, y, b)); }
    void on_pointer_leave() override { log("leave"); }
    void on_mouse_button_press(int button, unsigned int b) override { log(point("press", button, 0, b)); }
    void on_mouse_button_release(int button, unsigned int b) override { log(point("release", button, 0, b)); }
    void on_key_press(int code) override { log("key down " + std::to_string(code)); }
    void on_key_release(int code) override { log("key up " + std::to_string(code)); }
    void on_char(uint32_t ch) override { log("char " + std::to_string(ch)); }
    void on_deactivate() override { log("deactivate"); }
    void on_activate() override { log("activate"); }
    void enter_full_screen() override {}
    void restore_screen() override {}
    void on_start_key_interception() override {}
    void on_stop_key_interception() override {}
    void enter_modal_loop() override { log("enter modal"); }
    void exit_modal_loop() override { log("exit modal"); }

    std::vector<std::string> events;

private:
    void log(const std::string& event) { events.push_back(event); }
    static std::string point(const char* what, int x, int y, unsigned int buttons) {
        return std::string(what) + " " + std::to_string(x) + "," + std::to_string(y) + " " +
               std::to_string(buttons);
    }
};

class RedWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        window.resize(640, 480);
        listener.events.clear();
    }
    LRESULT send(UINT message, WPARAM wparam = 0, LPARAM lparam = 0) {
        return SendMessageW(window.hwnd(), message, wparam, lparam);
    }
    static LPARAM key_lparam(int scan, bool extended = false) {
        return LPARAM(1 | (scan << 16) | (extended ? 1 << 24 : 0));
    }

    FakeApplication app;
    RecordingListener listener;
    RedWindow window{app, listener};
};

TEST_F(RedWindowTest, MessagesReachTheListener) {
    struct Case {
        UINT message;
        WPARAM wparam;
        LPARAM lparam;
        std::vector<std::string> events;
    };
    const std::vector<Case> cases = {
        {WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5), {"press 1,0 1"}},
        {WM_LBUTTONUP, 0, MAKELPARAM(5, 5), {"release 1,0 0"}},
        {WM_RBUTTONDOWN, MK_RBUTTON | MK_LBUTTON, 0, {"press 3,0 5"}},
        {WM_MBUTTONUP, 0, 0, {"release 2,0 0"}},
        // One wheel step down: button 5 pressed and released in one message.
        {WM_MOUSEWHEEL, MAKEWPARAM(MK_MBUTTON, WORD(-120)), 0, {"press 5,0 2", "release 5,0 2"}},
        {WM_MOUSEWHEEL, MAKEWPARAM(0, 120), 0, {"press 4,0 0", "release 4,0 0"}},
        {WM_KEYDOWN, 'A', key_lparam(0x1E), {"key down 30"}},
        {WM_KEYUP, VK_RIGHT, key_lparam(0x4D, true), {"key up 333"}},
        // The Hangul and Hanja keys have no break codes: their key-up sends their make code.
        {WM_KEYUP, 0, key_lparam(0x72), {"key down 242"}},
        {WM_KEYUP, 0, key_lparam(0x71), {"key down 241"}},
        {WM_KEYUP, 0, key_lparam(0xF1), {}},
        {WM_CLOSE + 0x502, 0, 0, {"session 1"}},  // 0x512: the parent ends the session
        {WM_TIMER, 1000, 0, {"session 3"}},
        {WM_TIMER, 7, 0, {}},
        {0x530, 99, 0, {}},  // another session's index
        {0x530, 0, 0, {"session 1"}},
        {0x517, 0, 0, {"lock"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        listener.events.clear();
        send(c.message, c.wparam, c.lparam);
        EXPECT_EQ(listener.events, c.events);
    }
}

TEST_F(RedWindowTest, PointerMotionIsClampedToTheClientArea) {
    send(WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(WORD(-20), 30));
    send(WM_MOUSEMOVE, 0, MAKELPARAM(5000, 5000));
    EXPECT_EQ(listener.events, (std::vector<std::string>{"enter 0,30 1", "motion 639,479 0"}));
}

TEST_F(RedWindowTest, PointerMotionWithoutClientAreaIsDropped) {
    SetWindowPos(window.hwnd(), nullptr, 0, 0, 0, 0, SWP_NOZORDER | SWP_NOMOVE | SWP_NOACTIVATE);
    SIZE size = window.get_size();
    ASSERT_EQ(size.cx * size.cy, 0);
    listener.events.clear();
    send(WM_MOUSEMOVE, 0, MAKELPARAM(5, 5));
    EXPECT_TRUE(listener.events.empty());
}

TEST_F(RedWindowTest, KeyTextBecomesCharactersAndBrokenSurrogatesAreDropped) {
    struct Case {
        std::u16string text;
        std::vector<std::string> chars;
    };
    const std::vector<Case> cases = {
        {u"a", {"char 97"}},
        {u"\U0001F600", {"char 128512"}},
        {std::u16string(1, char16_t(0xD83D)), {}},              // a lone high surrogate
        {std::u16string{char16_t(0xD83D), u'b'}, {"char 98"}},  // high surrogate, then no low one
        {std::u16string{char16_t(0xDE00), u'c'}, {"char 99"}},  // a lone low surrogate
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.chars.size());
        window.key_text = [&](UINT, UINT, char16_t* out, int room) {
            int count = std::min<int>(int(c.text.size()), room);
            std::copy(c.text.begin(), c.text.begin() + count, out);
            return count;
        };
        listener.events.clear();
        send(WM_KEYDOWN, 'A', key_lparam(0x1E));
        std::vector<std::string> expected{"key down 30"};
        expected.insert(expected.end(), c.chars.begin(), c.chars.end());
        EXPECT_EQ(listener.events, expected);
    }
}

class RecordingCursor : public LocalCursor {
public:
    void set(HWND) override { sets++; }
    int sets = 0;
};

TEST_F(RedWindowTest, CursorWaitsUntilTheCursorAndInputsChannelsAreReady) {
    auto* cursor = new RecordingCursor;
    send(WM_MOUSEMOVE, 0, MAKELPARAM(5, 5));  // the pointer is inside
    window.set_cursor(cursor);
    send(0x906, RedWindow::READY_CURSOR, 1);
    EXPECT_EQ(cursor->sets, 0);
    send(0x906, RedWindow::READY_INPUTS, 1);
    EXPECT_EQ(cursor->sets, 1);
    // Once both are ready a cursor applies at once.
    window.set_cursor(cursor);
    EXPECT_EQ(cursor->sets, 2);
    cursor->unref();
}

TEST_F(RedWindowTest, SizeMoveLoopEndsLikeAMenuLoop) {
    send(WM_ENTERSIZEMOVE);
    send(WM_EXITSIZEMOVE);
    send(WM_ENTERMENULOOP);
    send(WM_EXITMENULOOP);
    EXPECT_EQ(listener.events,
              (std::vector<std::string>{"enter modal", "exit modal", "nav 9", "enter modal", "exit modal"}));
}

TEST_F(RedWindowTest, DoubleClickOnTheCaptionTogglesFullScreen) {
    send(WM_NCLBUTTONDBLCLK, HTCAPTION, 0);
    send(WM_NCLBUTTONDBLCLK, 1 /* client area */, 0);
    send(0x907);
    EXPECT_EQ(app.full_screen_toggles, 2);
}

TEST_F(RedWindowTest, GuestResolutionFollowsTheWindowWithEvenSides) {
    std::vector<std::pair<int, int>> requests;
    window.request_resolution = [&](int width, int height) { requests.emplace_back(width, height); };
    RedWindow::channel_connected = false;
    window.resize(1025, 769);
    send(WM_EXITSIZEMOVE);
    EXPECT_TRUE(requests.empty()) << "no channel has connected yet";
    RedWindow::channel_connected = true;
    send(WM_EXITSIZEMOVE);
    ASSERT_EQ(requests, (std::vector<std::pair<int, int>>{{1024, 768}}));
    EXPECT_EQ(app.window_state.width, 1024);
    send(WM_EXITSIZEMOVE);  // the same size again asks nothing
    EXPECT_EQ(requests.size(), 1u);
    RedWindow::channel_connected = false;
}

}  // namespace
