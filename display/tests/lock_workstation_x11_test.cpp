// Locking the workstation on the private X server: the session screen types Win+L through the X server, and
// the four marked keys pass the session's keyboard hook, Windows key held or not, on to the next hook.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "display/keyboard_hook.h"
#include "display/red_screen.h"
#include "platform/session_block.h"
#include "support/hook_window.h"
#include "support/session_window.h"
#include "winapi/tests/support/peer_programs.h"
#include "winapi/tests/support/xvfb_server.h"

namespace {

using session_window::pump_for;

struct Hooked {
    WPARAM message;
    KBDLLHOOKSTRUCT event;
};
std::vector<Hooked> hooked;  // what reached the hook behind the session's

LRESULT CALLBACK recording_hook(int code, WPARAM message, LPARAM lparam) {
    hooked.push_back(Hooked{message, *reinterpret_cast<KBDLLHOOKSTRUCT*>(lparam)});
    return CallNextHookEx(nullptr, code, message, lparam);
}

class LockWorkStationX11 : public testing::Test {
protected:
    void SetUp() override {
        KTW_REQUIRE_XVFB();
        ASSERT_TRUE(test_support::ensure_xvfb());
        SessionBlock::clear();
        // Installed first, so that it runs after the session's hook and sees only what that one lets by.
        recorder = SetWindowsHookExW(WH_KEYBOARD_LL, recording_hook, nullptr, 0);
        ASSERT_NE(recorder, nullptr);
        screen = session_window::open_focused(app);
        ASSERT_EQ(GetFocus(), screen->window);
        session.window = screen->window;
        ASSERT_TRUE(KeyboardHook::install(session));
        KeyboardHook::set_interception(true);
        hooked.clear();
    }

    void TearDown() override {
        KeyboardHook::remove();
        if (recorder) {
            UnhookWindowsHookEx(recorder);
        }
        app.reset();
        Application::parts() = ApplicationParts();
        SessionBlock::clear();
    }

    HHOOK recorder = nullptr;
    std::unique_ptr<Application> app;
    RedScreen* screen = nullptr;
    HookWindow session;
};

TEST_F(LockWorkStationX11, WinLIsTypedMarkedAndPassesTheSessionHook) {
    // Either way the user got here: the Windows key still down in the application's table (an unmarked L
    // would ask for another lock) or already released.
    for (bool win_held : {true, false}) {
        SCOPED_TRACE(win_held);
        session.pressed[0x15B] = win_held;
        hooked.clear();
        screen->LockWorkStation();
        pump_for(3000, [] { return hooked.size() >= 4; });
        pump_for(200, [] { return false; });  // nothing more follows
        const struct {
            WPARAM message;
            DWORD vk;
            DWORD scan;
            DWORD flags;
        } expected[] = {
            {WM_KEYDOWN, VK_LWIN, 0x5B, LLKHF_EXTENDED | LLKHF_INJECTED},
            {WM_KEYDOWN, 'L', 0x26, LLKHF_INJECTED},
            {WM_KEYUP, 'L', 0x26, LLKHF_INJECTED | LLKHF_UP},
            {WM_KEYUP, VK_LWIN, 0x5B, LLKHF_EXTENDED | LLKHF_INJECTED | LLKHF_UP},
        };
        ASSERT_EQ(4u, hooked.size());
        for (size_t i = 0; i < 4; ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(expected[i].message, hooked[i].message);
            EXPECT_EQ(expected[i].vk, hooked[i].event.vkCode);
            EXPECT_EQ(expected[i].scan, hooked[i].event.scanCode);
            EXPECT_EQ(expected[i].flags, hooked[i].event.flags);
            EXPECT_EQ(SYNTHESIZED_KEY_MARKER, hooked[i].event.dwExtraInfo);
        }
    }
}

}  // namespace
