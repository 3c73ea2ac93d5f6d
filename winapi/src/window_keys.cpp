// Key state (GetKeyState, GetAsyncKeyState) and the low-level keyboard hooks.
#include "window_internal.h"
#include "winapi/winuser_display.h"

#include <algorithm>
#include <atomic>

namespace winapi_internal {
namespace {

constexpr BYTE down_bit = 0x80;
constexpr BYTE toggled_bit = 0x01;

// The thread's key state as of the last key message it retrieved.
thread_local BYTE thread_keys[256];
// The physical state, from the key events the X connection delivered.
std::atomic<BYTE> async_keys[256];

struct Hook {
    HOOKPROC proc;
    DWORD thread_id;
};

std::mutex hook_lock;
std::vector<Hook*>& hooks() {  // newest first; guarded by hook_lock
    static auto* list = new std::vector<Hook*>;
    return *list;
}

bool toggles(UINT vk) {
    return vk == VK_CAPITAL || vk == VK_NUMLOCK || vk == VK_SCROLL;
}

// The left/right code of a generic modifier, from the scan code of the key that produced it.
UINT sided(UINT vk, UINT scan, bool extended) {
    switch (vk) {
        case VK_SHIFT:
            return scan == 0x36 ? VK_RSHIFT : VK_LSHIFT;
        case VK_CONTROL:
            return extended ? VK_RCONTROL : VK_LCONTROL;
        case VK_MENU:
            return extended ? VK_RMENU : VK_LMENU;
        default:
            return vk;
    }
}

UINT generic(UINT vk) {
    switch (vk) {
        case VK_LSHIFT:
        case VK_RSHIFT:
            return VK_SHIFT;
        case VK_LCONTROL:
        case VK_RCONTROL:
            return VK_CONTROL;
        case VK_LMENU:
        case VK_RMENU:
            return VK_MENU;
        default:
            return vk;
    }
}

// Sets one key in a state table; the generic modifier is down while either side is.
template <typename Table>
void apply(Table& table, UINT specific, bool down) {
    auto set = [&](UINT vk, bool on) {
        BYTE value = table[vk];
        value = on ? (value | down_bit) : (value & ~down_bit);
        if (on && !(table[vk] & down_bit) && toggles(vk)) {
            value ^= toggled_bit;
        }
        table[vk] = value;
    };
    set(specific, down);
    UINT common = generic(specific);
    if (common != specific) {
        UINT left = common == VK_SHIFT ? VK_LSHIFT : common == VK_CONTROL ? VK_LCONTROL : VK_LMENU;
        set(common, (table[left] & down_bit) || (table[left + 1] & down_bit));
    }
}

}  // namespace

void note_retrieved_key(const MSG& msg) {
    if (msg.message != WM_KEYDOWN && msg.message != WM_KEYUP && msg.message != WM_SYSKEYDOWN &&
        msg.message != WM_SYSKEYUP) {
        return;
    }
    UINT vk = static_cast<UINT>(msg.wParam) & 0xFF;
    UINT scan = static_cast<UINT>(msg.lParam >> 16) & 0xFF;
    bool extended = (msg.lParam >> 24) & 1;
    apply(thread_keys, sided(vk, scan, extended), msg.message == WM_KEYDOWN || msg.message == WM_SYSKEYDOWN);
}

void note_key_event(UINT vk, bool down) {
    apply(async_keys, vk & 0xFF, down);
}

void note_lock_state(UINT vk, bool on) {
    BYTE value = async_keys[vk & 0xFF];
    async_keys[vk & 0xFF] = on ? (value | toggled_bit) : (value & ~toggled_bit);
}

bool run_keyboard_hooks(WPARAM message, const KBDLLHOOKSTRUCT& info) {
    HOOKPROC first = nullptr;
    {
        std::lock_guard<std::mutex> guard(hook_lock);
        if (!hooks().empty()) {
            first = hooks().front()->proc;
        }
    }
    KBDLLHOOKSTRUCT copy = info;
    return first && first(HC_ACTION, message, reinterpret_cast<LPARAM>(&copy)) != 0;
}

}  // namespace winapi_internal

using namespace winapi_internal;

HHOOK WINAPI SetWindowsHookExW(int idHook, HOOKPROC proc, HINSTANCE module, DWORD threadId) {
    if (idHook != WH_KEYBOARD_LL) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    if (!proc) {
        SetLastError(ERROR_INVALID_FILTER_PROC);
        return nullptr;
    }
    auto* hook = new Hook{proc, threadId};
    std::lock_guard<std::mutex> guard(hook_lock);
    hooks().insert(hooks().begin(), hook);
    return reinterpret_cast<HHOOK>(hook);
}

BOOL WINAPI UnhookWindowsHookEx(HHOOK handle) {
    std::lock_guard<std::mutex> guard(hook_lock);
    auto it = std::find(hooks().begin(), hooks().end(), reinterpret_cast<Hook*>(handle));
    if (it == hooks().end()) {
        SetLastError(ERROR_INVALID_HOOK_HANDLE);
        return FALSE;
    }
    delete *it;
    hooks().erase(it);
    return TRUE;
}

LRESULT WINAPI CallNextHookEx(HHOOK handle, int code, WPARAM wParam, LPARAM lParam) {
    HOOKPROC next = nullptr;
    {
        std::lock_guard<std::mutex> guard(hook_lock);
        auto it = std::find(hooks().begin(), hooks().end(), reinterpret_cast<Hook*>(handle));
        if (it != hooks().end() && it + 1 != hooks().end()) {
            next = (*(it + 1))->proc;
        }
    }
    return next ? next(code, wParam, lParam) : 0;
}

SHORT WINAPI GetKeyState(int virtualKey) {
    BYTE value = thread_keys[virtualKey & 0xFF];
    if (toggles(virtualKey & 0xFF)) {
        // The lock states come from the server's indicators, which are known only process-wide.
        value = (value & down_bit) | (async_keys[virtualKey & 0xFF] & toggled_bit);
    }
    return static_cast<SHORT>(((value & down_bit) ? 0x8000 : 0) | (value & toggled_bit));
}

SHORT WINAPI GetAsyncKeyState(int virtualKey) {
    BYTE value = async_keys[virtualKey & 0xFF].load();
    return static_cast<SHORT>((value & down_bit) ? 0x8000 : 0);
}
