#include "display/keyboard_hook.h"

#include "runtime/log.h"

namespace {

const DWORD VK_L_KEY = 0x4C;
const int KEY_L_WIN = 0x15B;
const int KEY_R_WIN = 0x15C;
const int MODIFIER_KEYS[] = {0x1D, 0x11D, 0x2A, 0x36, 0x38, 0x138};

HHOOK hook_handle = nullptr;
KeyboardHook::Window* hook_window = nullptr;
bool interception = false;
bool anti_capture_mode = false;
bool nuvodesk = false;

bool is_key_up(WPARAM message) {
    return message == WM_KEYUP || message == WM_SYSKEYUP;
}

}  // namespace

LPARAM key_event_lparam(const KBDLLHOOKSTRUCT& event) {
    LPARAM lparam = 1 | (LPARAM(event.scanCode & 0xFF) << 16);
    if (event.flags & LLKHF_EXTENDED) {
        lparam |= LPARAM(1) << 24;
    }
    if (event.flags & LLKHF_INJECTED) {
        lparam |= LPARAM(1) << 28;
    }
    if (event.flags & LLKHF_ALTDOWN) {
        lparam |= LPARAM(1) << 29;
    }
    if (event.flags & LLKHF_UP) {
        lparam |= LPARAM(1) << 31;
    }
    return lparam;
}

KeyHookDecision decide_key_hook(const KeyHookInput& input) {
    KeyHookDecision decision;
    if (input.code != HC_ACTION) {
        return decision;
    }
    const KBDLLHOOKSTRUCT& event = input.event;
    decision.message = UINT(input.message);
    decision.wparam = event.vkCode;
    decision.lparam = key_event_lparam(event);

    if (!(input.interception_active && input.foreground_is_ours && input.focus_is_session_window)) {
        if (input.anti_capture && !input.session_window_minimized) {
            decision.action = KeyHookDecision::SWALLOW;
        }
        return decision;
    }
    if (event.dwExtraInfo == SYNTHESIZED_KEY_MARKER) {
        return decision;
    }
    switch (event.vkCode) {
        case VK_CAPITAL:
        case VK_NUMLOCK:
        case VK_SCROLL:
        case VK_LSHIFT:
        case VK_RSHIFT:
        case VK_LCONTROL:
        case VK_RCONTROL:
        case VK_LMENU:
        case VK_RMENU:
            return decision;
        default:
            break;
    }
    if (!input.nuvodesk_mode && event.vkCode == VK_L_KEY && input.pressed_keys) {
        const uint8_t* pressed = input.pressed_keys;
        bool modifier = false;
        for (int key : MODIFIER_KEYS) {
            modifier = modifier || pressed[key];
        }
        if ((pressed[KEY_L_WIN] || pressed[KEY_R_WIN]) && !modifier) {
            if (is_key_up(input.message)) {
                decision.action = KeyHookDecision::SWALLOW;
            } else {
                decision.action = KeyHookDecision::LOCK_STATION;
                decision.lock_wparam = pressed[KEY_L_WIN] ? KEY_L_WIN : KEY_R_WIN;
            }
            return decision;
        }
    }
    bool windows_key = event.vkCode == VK_LWIN || event.vkCode == VK_RWIN;
    decision.action =
        windows_key && is_key_up(input.message) ? KeyHookDecision::REPOST_PASS : KeyHookDecision::REPOST;
    return decision;
}

uint32_t translate_key(LPARAM lparam, WPARAM virtual_key, bool altgr_ctrl) {
    uint32_t scan = uint32_t(lparam >> 16) & 0xFF;
    if (!scan) {
        return 0;
    }
    switch (virtual_key) {
        case VK_CONTROL:
            if (altgr_ctrl) {
                return 0;
            }
            break;
        case VK_PAUSE:
            return 0x15E;
        case VK_HANGUL:
            return 0xF2;
        case VK_HANJA:
            return 0xF1;
        case VK_SNAPSHOT:
            return 0x137;
        case VK_NUMLOCK:
            return 0x45;
        case VK_PROCESSKEY:
            if (scan == 0xF1) {
                return 0;
            }
            if (scan == 0xF2) {
                return 0xF2;
            }
            break;
        default:
            break;
    }
    return (lparam & (LPARAM(1) << 24)) ? scan + 0x100 : scan;
}

bool is_altgr_ctrl(LPARAM lparam, UINT message) {
    if (lparam & (LPARAM(1) << 24)) {
        return false;
    }
    UINT next;
    if (message == WM_KEYDOWN) {
        next = WM_KEYDOWN;
    } else if (message == WM_SYSKEYUP) {
        next = WM_KEYUP;
    } else {
        return false;
    }
    MSG peeked;
    if (!PeekMessageW(&peeked, nullptr, next, next, PM_NOREMOVE)) {
        return false;
    }
    return LONG(peeked.time) == GetMessageTime() && peeked.wParam == VK_MENU &&
           (peeked.lParam & (LPARAM(1) << 24));
}

uint32_t translate_key_message(LPARAM lparam, WPARAM virtual_key, UINT message) {
    return translate_key(lparam, virtual_key, virtual_key == VK_CONTROL && is_altgr_ctrl(lparam, message));
}

bool KeyboardHook::install(Window& window) {
    hook_window = &window;
    if (!hook_handle) {
        hook_handle =
            SetWindowsHookExW(WH_KEYBOARD_LL, &KeyboardHook::procedure, GetModuleHandleW(nullptr), 0);
    }
    if (!hook_handle) {
        LOG_WARN("keyboard hook not installed");
        hook_window = nullptr;
        return false;
    }
    return true;
}

void KeyboardHook::remove() {
    set_interception(false);
    if (hook_handle) {
        UnhookWindowsHookEx(hook_handle);
        hook_handle = nullptr;
    }
    hook_window = nullptr;
}

void KeyboardHook::set_interception(bool active) {
    if (active == interception) {
        return;
    }
    interception = active;
    // No desktop-wide hook on X: the session window holds the keyboard while it intercepts.
    HWND window = hook_window ? hook_window->hwnd() : nullptr;
    if (window && !KtwGrabKeyboard(window, active ? TRUE : FALSE) && active) {
        LOG_WARN("keyboard not grabbed: desktop shortcuts stay with the desktop");
    }
}

bool KeyboardHook::interception_active() {
    return interception;
}

void KeyboardHook::set_anti_capture(bool on) {
    anti_capture_mode = on;
}

void KeyboardHook::set_nuvodesk_mode(bool on) {
    nuvodesk = on;
}

LRESULT CALLBACK KeyboardHook::procedure(int code, WPARAM message, LPARAM lparam) {
    const KBDLLHOOKSTRUCT* event = reinterpret_cast<const KBDLLHOOKSTRUCT*>(lparam);
    if (code != HC_ACTION || !event || !hook_window) {
        return CallNextHookEx(hook_handle, code, message, lparam);
    }
    HWND window = hook_window->hwnd();
    KeyHookInput input;
    input.code = code;
    input.message = message;
    input.event = *event;
    input.interception_active = interception;
    DWORD process = 0;
    HWND foreground = GetForegroundWindow();
    input.foreground_is_ours =
        foreground && GetWindowThreadProcessId(foreground, &process) && process == GetCurrentProcessId();
    input.focus_is_session_window = window && GetFocus() == window;
    input.nuvodesk_mode = nuvodesk;
    input.anti_capture = anti_capture_mode;
    input.session_window_minimized = hook_window->is_minimized();
    input.pressed_keys = hook_window->pressed_keys();

    KeyHookDecision decision = decide_key_hook(input);
    switch (decision.action) {
        case KeyHookDecision::PASS:
            return CallNextHookEx(hook_handle, code, message, lparam);
        case KeyHookDecision::SWALLOW:
            return 1;
        case KeyHookDecision::LOCK_STATION:
            PostMessageW(window, WM_HOOK_LOCK_WORKSTATION, decision.lock_wparam, 0);
            return 1;
        case KeyHookDecision::REPOST:
        case KeyHookDecision::REPOST_PASS:
            if (!PostMessageW(window, decision.message, decision.wparam, decision.lparam)) {
                return CallNextHookEx(hook_handle, code, message, lparam);
            }
            if (decision.action == KeyHookDecision::REPOST_PASS) {
                return CallNextHookEx(hook_handle, code, message, lparam);
            }
            return 1;
    }
    return CallNextHookEx(hook_handle, code, message, lparam);
}
