// The keyboard hook of the session window and key translation.
//
// While the session window has the focus and intercepts keys, the hook takes every key event away from the
// desktop and reposts it to the session window as an ordinary key message, so that the desktop's shortcuts
// reach the guest. On X11 there is no desktop-wide hook: the window grabs the keyboard while it intercepts
// (KeyboardHook::Window::grab_keyboard) and the layer's hook sees the keys that reach this program's windows;
// every key event still runs through decide() unchanged.
//
// translate_key turns a key message into the key code the session screen takes: the set-1 scan code, plus
// 0x100 for an extended key; 0 means no key. It can give codes up to 0x1FF: the inputs channel bounds them.
//
// Main thread only.
#pragma once

#include "winapi/windows.h"

#include <cstdint>

// Key events the session client synthesized itself carry this in their extra information.
const ULONG_PTR SYNTHESIZED_KEY_MARKER = 0x4321DCBA;

// The session window asks the local workstation to lock (wParam: scan code of the Windows key held).
const UINT WM_HOOK_LOCK_WORKSTATION = 0x517;

struct KeyHookInput {
    int code = HC_ACTION;
    WPARAM message = WM_KEYDOWN;
    KBDLLHOOKSTRUCT event{};
    bool interception_active = false;
    bool foreground_is_ours = false;
    bool focus_is_session_window = false;
    bool nuvodesk_mode = false;
    bool anti_capture = false;
    bool session_window_minimized = false;
    // The application's pressed-key table (351 flags), or null.
    const uint8_t* pressed_keys = nullptr;
};

struct KeyHookDecision {
    enum Action {
        PASS,          // to the next hook unchanged
        SWALLOW,       // taken away
        REPOST,        // posted to the session window as `message`, then taken away
        REPOST_PASS,   // posted and passed on (a Windows key's release)
        LOCK_STATION,  // 0x517 posted with lock_wparam, the key taken away
    };
    Action action = PASS;
    UINT message = 0;
    WPARAM wparam = 0;
    LPARAM lparam = 0;
    WPARAM lock_wparam = 0;
};

// The hook procedure's decision for one key event.
KeyHookDecision decide_key_hook(const KeyHookInput& input);

// The key message's lParam built from a low-level event: repeat count 1, scan byte, extended, injected, Alt
// down and released bits.
LPARAM key_event_lparam(const KBDLLHOOKSTRUCT& event);

// Key code of a key message; 0 for none. altgr_ctrl: the message is the left Control that comes in front of
// AltGr (is_altgr_ctrl).
uint32_t translate_key(LPARAM lparam, WPARAM virtual_key, bool altgr_ctrl);
// Peeks the thread's queue for the right Alt that follows a fake left Control with the same time.
bool is_altgr_ctrl(LPARAM lparam, UINT message);
// Both together, for the window procedure.
uint32_t translate_key_message(LPARAM lparam, WPARAM virtual_key, UINT message);

class KeyboardHook {
public:
    // What the hook needs of the session window.
    class Window {
    public:
        virtual ~Window() {}
        virtual HWND hwnd() = 0;
        virtual bool is_minimized() = 0;
        // The pressed-key table of the application (351 flags).
        virtual const uint8_t* pressed_keys() = 0;
    };

    // Installs the low-level hook for the window; false when the system refuses.
    static bool install(Window& window);
    static void remove();
    // Set and cleared by the window's focus handling: the window starts intercepting once it has the focus
    // and the pointer, and stops on focus loss. The installed window grabs the keyboard meanwhile.
    static void set_interception(bool active);
    static bool interception_active();
    static void set_anti_capture(bool on);
    static void set_nuvodesk_mode(bool on);

    // The installed procedure (exposed for the window's tests).
    static LRESULT CALLBACK procedure(int code, WPARAM message, LPARAM lparam);
};
