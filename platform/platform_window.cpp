// The platform window: a hidden top-level window of the main thread that hears the system's broadcasts and
// keeps the main loop's timers running while a window's modal loop blocks the main loop.
#include "platform/platform.h"

#include "runtime/exception.h"
#include "runtime/log.h"
#include "runtime/timers_queue.h"

#include <atomic>

Platform::EventListener& platform_event_listener();

namespace {

const UINT_PTR MODAL_LOOP_TIMER_ID = 1;
const UINT IDLE_MODAL_LOOP_INTERVAL_MS = 100;

// Main thread only, after create_message_wind.
HWND platform_win = NULL;
HANDLE clipboard_event_handle = NULL;
TimersQueue* main_timers = NULL;
bool modal_loop_active = false;
PlatformClipboard* platform_clipboard = NULL;  // lives until the process ends

// The last listener given, also before the clipboard bridge exists.
std::atomic<Platform::ClipboardListener*> clipboard_listener(NULL);

// The soonest main-loop timer, or a slow tick when none is armed. A timer already due gives 0, which the
// system turns into its shortest interval.
UINT modal_loop_interval() {
    uint32_t due = main_timers->time_to_next_due();
    return due == INFINITE ? IDLE_MODAL_LOOP_INTERVAL_MS : due;
}

LRESULT CALLBACK PlatformWinProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_ACTIVATEAPP:
            if (wparam) {
                platform_event_listener().on_app_activated();
            } else {
                platform_event_listener().on_app_deactivated();
            }
            return 0;
        case WM_DISPLAYCHANGE:
            platform_event_listener().on_monitors_change();
            return 0;
        case WM_TIMER:
            if (!modal_loop_active) {
                LOG_WARN("received WM_TIMER not inside a modal loop");
                return 0;
            }
            main_timers->run_due_timers();
            if (!SetTimer(hwnd, MODAL_LOOP_TIMER_ID, modal_loop_interval(), NULL)) {
                LOG_WARN("failed to set modal loop timer");
            }
            return 0;
        case WM_RENDERFORMAT:
            return platform_clipboard->render_format((UINT)wparam);
        default:
            return DefWindowProcW(hwnd, message, wparam, lparam);
    }
}

}  // namespace

void Platform::create_message_wind(TimersQueue& timers) {
    static const WCHAR class_name[] = u"ktwsession_platform_wclass";
    HINSTANCE instance = GetModuleHandleW(NULL);
    WNDCLASSEXW window_class = {};
    window_class.cbSize = sizeof(window_class);
    window_class.lpfnWndProc = PlatformWinProc;
    window_class.hInstance = instance;
    window_class.hbrBackground = (HBRUSH)GetStockObject(BLACK_BRUSH);
    window_class.lpszClassName = class_name;
    if (!RegisterClassExW(&window_class)) {
        THROW("register class failed");
    }
    // Top-level (never shown) rather than message-only: only top-level windows hear the broadcasts.
    platform_win = CreateWindowExW(0, class_name, u"", 0, 0, 0, 0, 0, NULL, NULL, instance, NULL);
    if (!platform_win) {
        THROW("create message window failed");
    }
    main_timers = &timers;
    clipboard_event_handle = CreateEventW(NULL, FALSE, FALSE, NULL);
    if (!clipboard_event_handle) {
        THROW("create clipboard event failed");
    }
    platform_clipboard = new PlatformClipboard(platform_win, clipboard_event_handle);
    platform_clipboard->set_listener(clipboard_listener);
}

PlatformClipboard& Platform::clipboard() {
    return *platform_clipboard;
}

void Platform::set_clipboard_listener(ClipboardListener* listener) {
    clipboard_listener = listener;
    if (platform_clipboard) {
        platform_clipboard->set_listener(listener);
    }
}

HWND Platform::platform_window() {
    return platform_win;
}

HANDLE Platform::clipboard_event() {
    return clipboard_event_handle;
}

void WinPlatform::enter_modal_loop() {
    if (modal_loop_active) {
        LOG_INFO("modal loop already active");
        return;
    }
    if (!SetTimer(platform_win, MODAL_LOOP_TIMER_ID, modal_loop_interval(), NULL)) {
        LOG_WARN("failed to create modal loop timer");
        return;
    }
    modal_loop_active = true;
}

void WinPlatform::exit_modal_loop() {
    if (!modal_loop_active) {
        LOG_INFO("not inside the loop");
        return;
    }
    KillTimer(platform_win, MODAL_LOOP_TIMER_ID);
    modal_loop_active = false;
}

uint32_t Platform::get_keyboard_modifiers() {
    static const struct {
        int virtual_key;
        uint32_t bit;
    } modifiers[] = {
        {VK_LSHIFT, 1}, {VK_RSHIFT, 2}, {VK_LCONTROL, 4}, {VK_RCONTROL, 8}, {VK_LMENU, 16}, {VK_RMENU, 32},
    };
    uint32_t held = 0;
    for (const auto& modifier : modifiers) {
        if (GetAsyncKeyState(modifier.virtual_key) & 0x8000) {
            held |= modifier.bit;
        }
    }
    return held;
}
