// The keyboard hook's decision for key events as a table, and key translation's special keys.
#include <gtest/gtest.h>

#include "display/keyboard_hook.h"
#include "display/inputs_channel.h"

namespace {

typedef KeyHookDecision D;

KBDLLHOOKSTRUCT key(DWORD vk, DWORD scan, DWORD flags = 0, ULONG_PTR extra = 0) {
    KBDLLHOOKSTRUCT event{};
    event.vkCode = vk;
    event.scanCode = scan;
    event.flags = flags;
    event.dwExtraInfo = extra;
    return event;
}

TEST(KeyboardHookTest, Decisions) {
    enum Pressed { NONE, LWIN, RWIN, LWIN_CTRL };
    struct Case {
        const char* name;
        WPARAM message;
        KBDLLHOOKSTRUCT event;
        bool intercepting;  // interception on, our foreground window, focus on the session window
        Pressed pressed;
        D::Action action;
        WPARAM lock_wparam;
    };
    const Case cases[] = {
        {"Tab of Alt+Tab reposted", WM_SYSKEYDOWN, key(VK_TAB, 0x0F, LLKHF_ALTDOWN), true, NONE, D::REPOST,
         0},
        {"plain key reposted", WM_KEYDOWN, key('A', 0x1E), true, NONE, D::REPOST, 0},
        {"Windows key down reposted", WM_KEYDOWN, key(VK_LWIN, 0x5B, LLKHF_EXTENDED), true, NONE, D::REPOST,
         0},
        {"Windows key up reposted and passed", WM_KEYUP, key(VK_RWIN, 0x5C, LLKHF_EXTENDED | LLKHF_UP), true,
         NONE, D::REPOST_PASS, 0},
        {"modifiers pass", WM_KEYDOWN, key(VK_LCONTROL, 0x1D), true, NONE, D::PASS, 0},
        {"right Alt passes", WM_SYSKEYDOWN, key(VK_RMENU, 0x38, LLKHF_EXTENDED), true, NONE, D::PASS, 0},
        {"lock keys pass", WM_KEYDOWN, key(VK_CAPITAL, 0x3A), true, NONE, D::PASS, 0},
        {"synthesized keys pass", WM_KEYDOWN, key('A', 0x1E, LLKHF_INJECTED, SYNTHESIZED_KEY_MARKER), true,
         NONE, D::PASS, 0},
        {"Win+L locks", WM_KEYDOWN, key('L', 0x26), true, LWIN, D::LOCK_STATION, 0x15B},
        {"right Win+L locks", WM_KEYDOWN, key('L', 0x26), true, RWIN, D::LOCK_STATION, 0x15C},
        {"Win+L release swallowed", WM_KEYUP, key('L', 0x26, LLKHF_UP), true, LWIN, D::SWALLOW, 0},
        {"Ctrl+Win+L goes to the guest", WM_KEYDOWN, key('L', 0x26), true, LWIN_CTRL, D::REPOST, 0},
        {"not intercepting: passes", WM_KEYDOWN, key(VK_LWIN, 0x5B, LLKHF_EXTENDED), false, NONE, D::PASS, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uint8_t pressed[351] = {};
        if (c.pressed == LWIN || c.pressed == LWIN_CTRL) {
            pressed[0x15B] = 1;
        }
        if (c.pressed == RWIN) {
            pressed[0x15C] = 1;
        }
        if (c.pressed == LWIN_CTRL) {
            pressed[0x1D] = 1;
        }
        KeyHookInput input;
        input.message = c.message;
        input.event = c.event;
        input.interception_active = input.foreground_is_ours = input.focus_is_session_window = c.intercepting;
        input.pressed_keys = pressed;
        D decision = decide_key_hook(input);
        EXPECT_EQ(decision.action, c.action);
        EXPECT_EQ(decision.lock_wparam, c.lock_wparam);
        if (c.action == D::REPOST || c.action == D::REPOST_PASS) {
            EXPECT_EQ(decision.message, c.message);
            EXPECT_EQ(decision.wparam, c.event.vkCode);
        }
    }
}

TEST(KeyboardHookTest, InterceptionNeedsAllThreeConditionsAndAntiCaptureSwallows) {
    KeyHookInput input;
    input.event = key('A', 0x1E);
    for (int mask = 0; mask < 8; mask++) {
        input.interception_active = mask & 1;
        input.foreground_is_ours = mask & 2;
        input.focus_is_session_window = mask & 4;
        EXPECT_EQ(decide_key_hook(input).action, mask == 7 ? D::REPOST : D::PASS) << mask;
    }
    input.interception_active = false;
    input.anti_capture = true;
    EXPECT_EQ(decide_key_hook(input).action, D::SWALLOW);
    input.session_window_minimized = true;
    EXPECT_EQ(decide_key_hook(input).action, D::PASS);
    input.code = 3;
    input.session_window_minimized = false;
    EXPECT_EQ(decide_key_hook(input).action, D::PASS) << "not HC_ACTION";
}

TEST(KeyboardHookTest, RepostedLParam) {
    EXPECT_EQ(key_event_lparam(key('A', 0x1E)), LPARAM(0x001E0001));
    EXPECT_EQ(
        key_event_lparam(key(VK_RMENU, 0x138, LLKHF_EXTENDED | LLKHF_ALTDOWN | LLKHF_UP | LLKHF_INJECTED)),
        LPARAM(0xB1380001u));
}

TEST(KeyboardHookTest, TranslateKey) {
    const LPARAM ext = LPARAM(1) << 24;
    auto lp = [](uint32_t scan) { return LPARAM(scan) << 16 | 1; };
    struct Case {
        const char* name;
        LPARAM lparam;
        WPARAM vk;
        bool altgr_ctrl;
        uint32_t expected;
    };
    const Case cases[] = {
        {"plain", lp(0x1E), 'A', false, 0x1E},
        {"extended", lp(0x1D) | ext, VK_CONTROL, false, 0x11D},
        {"no scan byte", lp(0), 'A', false, 0},
        {"fake Control before AltGr", lp(0x1D), VK_CONTROL, true, 0},
        {"left Control", lp(0x1D), VK_CONTROL, false, 0x1D},
        {"Pause", lp(0x45), VK_PAUSE, false, 0x15E},
        {"Hangul", lp(0x72), VK_HANGUL, false, 0xF2},
        {"Hanja", lp(0x71), VK_HANJA, false, 0xF1},
        {"Print Screen", lp(0x37) | ext, VK_SNAPSHOT, false, 0x137},
        {"Num Lock", lp(0x45) | ext, VK_NUMLOCK, false, 0x45},
        {"IME F1", lp(0xF1), VK_PROCESSKEY, false, 0},
        {"IME F2", lp(0xF2), VK_PROCESSKEY, false, 0xF2},
        {"IME other", lp(0x1E), VK_PROCESSKEY, false, 0x1E},
        {"highest code", lp(0xFF) | ext, 0xFF, false, 0x1FF},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(translate_key(c.lparam, c.vk, c.altgr_ctrl), c.expected);
    }
}

// Every code key translation can give is looked up inside the scan table.
TEST(KeyboardHookTest, EveryTranslatedCodeHasABoundedLookup) {
    for (uint32_t scan = 0; scan <= 0xFF; scan++) {
        for (LPARAM ext : {LPARAM(0), LPARAM(1) << 24}) {
            uint32_t code = translate_key(LPARAM(scan) << 16 | ext, 'A', false);
            ScanCodes codes = scan_codes_of(int32_t(code));
            if (code > 350) {
                EXPECT_EQ(codes.make, 0u) << code;
                EXPECT_EQ(codes.brk, 0u) << code;
            }
        }
    }
}

}  // namespace
