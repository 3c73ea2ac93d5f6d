// keybd_event: keys typed through the X server with XTest. The X event that comes back carries nothing of the
// caller's, so each injection is noted here and the key handler matches the next event of the same key and
// direction to it, in order; what the X server never delivered to us expires.
#include "tick_clock.h"
#include "window_internal.h"
#include "x11_connection.h"
#include "x11_keyboard.h"
#include "winapi/winuser_display.h"

#include <X11/extensions/XTest.h>

#include <deque>
#include <mutex>

namespace winapi_internal {
namespace {

struct Injection {
    unsigned keycode;
    bool down;
    KBDLLHOOKSTRUCT info;
    uint64_t expires_ns;
};

// An injected key goes to whichever window has the X focus; when that is not ours, its note is never taken.
constexpr uint64_t injection_life_ns = 2000000000;
constexpr size_t max_injections = 256;

std::mutex injection_lock;
std::deque<Injection>& injections() {  // oldest first; guarded by injection_lock
    static auto* list = new std::deque<Injection>;
    return *list;
}

void note_injection(const Injection& injection) {
    std::lock_guard<std::mutex> guard(injection_lock);
    auto& list = injections();
    if (list.size() >= max_injections) {
        list.pop_front();
    }
    list.push_back(injection);
}

}  // namespace

bool take_injected_key(unsigned keycode, bool down, KBDLLHOOKSTRUCT* info) {
    std::lock_guard<std::mutex> guard(injection_lock);
    auto& list = injections();
    const uint64_t now = monotonic_ns();
    while (!list.empty() && list.front().expires_ns <= now) {
        list.pop_front();
    }
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (it->keycode == keycode && it->down == down) {
            *info = it->info;
            list.erase(it);
            return true;
        }
    }
    return false;
}

}  // namespace winapi_internal

using namespace winapi_internal;

void WINAPI keybd_event(BYTE vk, BYTE scan, DWORD flags, ULONG_PTR extraInfo) {
    Display* display = x11_display();
    if (!display || (flags & KEYEVENTF_UNICODE)) {
        return;
    }
    int event_base, error_base, major, minor;
    if (!XTestQueryExtension(display, &event_base, &error_base, &major, &minor)) {
        return;
    }
    const bool extended = (flags & KEYEVENTF_EXTENDEDKEY) != 0;
    const bool up = (flags & KEYEVENTF_KEYUP) != 0;
    unsigned keycode = 0;
    if (flags & KEYEVENTF_SCANCODE) {
        keycode = x11_scancode_to_key(display, scan, extended);
    } else {
        UINT mapped = MapVirtualKeyW(vk, MAPVK_VK_TO_VSC_EX);
        if (!mapped) {
            return;
        }
        const bool key_extended = (mapped & 0xFF00) == 0xE000;
        // The flag picks the extended key of a pair; keys that have none stay themselves.
        if (extended && !key_extended) {
            keycode = x11_scancode_to_key(display, mapped & 0xFF, true);
        }
        if (!keycode) {
            keycode = x11_scancode_to_key(display, mapped & 0xFF, key_extended);
        }
    }
    if (!keycode) {
        return;
    }
    KBDLLHOOKSTRUCT info{};
    info.vkCode = (flags & KEYEVENTF_SCANCODE) ? 0 : vk;  // 0: the key handler names the key
    info.scanCode = scan;
    info.flags = (extended ? LLKHF_EXTENDED : 0u) | LLKHF_INJECTED | (up ? LLKHF_UP : 0u);
    info.dwExtraInfo = extraInfo;
    note_injection(Injection{keycode, !up, info, monotonic_ns() + injection_life_ns});
    XTestFakeKeyEvent(display, keycode, up ? False : True, CurrentTime);
    XFlush(display);
}
