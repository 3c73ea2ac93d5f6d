// Window classes, creating and destroying windows, window procedures, window longs, text, position, showing,
// focus and activation.
#include "clipboard_internal.h"
#include "window_internal.h"

#include "message_queue.h"
#include "window_remote.h"
#include "winapi/processthreadsapi.h"
#include "winapi/synchapi.h"
#include "winapi/wingdi.h"
#include "winapi/winuser_display.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <unordered_map>

#include <unistd.h>

namespace winapi_internal {
namespace {

constexpr uint32_t slot_bits = 10;
constexpr uint32_t max_slot = (1u << slot_bits) - 2;  // the last slot of process 63 would be HWND_BROADCAST
constexpr int default_width = 800;
constexpr int default_height = 600;

struct WindowTable {
    std::unordered_map<uint32_t, std::shared_ptr<WindowRecord>> windows;  // by slot
    std::vector<uint32_t> order;                                          // creation order of the slots
    uint32_t next_slot = 1;
    std::map<std::u16string, std::shared_ptr<WindowClass>> classes;  // by lower-case name
    ATOM next_atom = 0xC000;
    HWND focus = nullptr;
    HWND active = nullptr;
};

// Guarded by window_lock().
WindowTable& table() {
    static WindowTable* instance = new WindowTable;  // never destroyed: detached threads may outlive main
    return *instance;
}

// Positions and sizes stay within what X (16-bit coordinates) and WM_SIZE/WM_MOVE can carry, so the edges
// computed from them never overflow.
int clamp_position(int value) {
    return std::min(std::max(value, -32768), 32767);
}

int clamp_size(int value) {
    return std::min(std::max(value, 0), 32767);
}

uint32_t own_pid() {
    static const uint32_t pid = static_cast<uint32_t>(::getpid());
    return pid;
}

uint32_t hwnd_value(HWND hwnd) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(hwnd));
}

std::u16string lower(const WCHAR* text) {
    std::u16string out;
    for (; text && *text; ++text) {
        out += (*text >= u'A' && *text <= u'Z') ? static_cast<char16_t>(*text + 32) : *text;
    }
    return out;
}

std::shared_ptr<WindowRecord> find_locked(HWND hwnd) {
    if (reinterpret_cast<uintptr_t>(hwnd) > UINT32_MAX || process_of_window(hwnd) != own_pid()) {
        return nullptr;
    }
    WindowTable& t = table();
    auto it = t.windows.find(hwnd_value(hwnd) & ((1u << slot_bits) - 1));
    return it == t.windows.end() ? nullptr : it->second;
}

std::shared_ptr<WindowClass> find_class_locked(LPCWSTR name) {
    WindowTable& t = table();
    if (IS_INTRESOURCE(name)) {
        ATOM atom = static_cast<ATOM>(reinterpret_cast<uintptr_t>(name));
        for (auto& entry : t.classes) {
            if (entry.second->atom == atom) {
                return entry.second;
            }
        }
        return nullptr;
    }
    auto it = t.classes.find(lower(name));
    return it == t.classes.end() ? nullptr : it->second;
}

LRESULT send(HWND hwnd, UINT message, WPARAM wparam = 0, LPARAM lparam = 0) {
    return SendMessageW(hwnd, message, wparam, lparam);
}

HWND top_level_of(HWND hwnd) {
    std::lock_guard<std::mutex> guard(window_lock());
    for (;;) {
        std::shared_ptr<WindowRecord> window = find_locked(hwnd);
        if (!window || !window->parent) {
            return window ? hwnd : nullptr;
        }
        hwnd = window->parent;
    }
}

// Windows whose parent (children) or owner (owned pop-ups) is hwnd.
std::vector<std::shared_ptr<WindowRecord>> dependants(HWND hwnd, bool children) {
    std::vector<std::shared_ptr<WindowRecord>> out;
    std::lock_guard<std::mutex> guard(window_lock());
    WindowTable& t = table();
    for (uint32_t slot : t.order) {
        const auto& window = t.windows[slot];
        if ((children ? window->parent : window->owner) == hwnd) {
            out.push_back(window);
        }
    }
    return out;
}

void remove_record(const std::shared_ptr<WindowRecord>& window) {
    {
        std::lock_guard<std::mutex> guard(window_lock());
        WindowTable& t = table();
        uint32_t slot = hwnd_value(window->hwnd) & ((1u << slot_bits) - 1);
        t.windows.erase(slot);
        t.order.erase(std::remove(t.order.begin(), t.order.end(), slot), t.order.end());
        if (t.focus == window->hwnd) {
            t.focus = nullptr;
        }
        if (t.active == window->hwnd) {
            t.active = nullptr;
        }
    }
    window->queue->forget_window(window->hwnd);
    forget_pointer_window(window->hwnd);
    x11_destroy_window(*window);
    release_back_buffer(*window);
}

void send_destroy(const std::shared_ptr<WindowRecord>& window) {
    send(window->hwnd, WM_DESTROY);
    for (auto& child : dependants(window->hwnd, true)) {
        send_destroy(child);
    }
}

void send_nc_destroy(const std::shared_ptr<WindowRecord>& window) {
    for (auto& child : dependants(window->hwnd, true)) {
        send_nc_destroy(child);
    }
    send(window->hwnd, WM_NCDESTROY);
    remove_record(window);
}

bool set_window_text(const std::shared_ptr<WindowRecord>& window, LPCWSTR text) {
    {
        std::lock_guard<std::mutex> guard(window_lock());
        window->text = text ? std::u16string(text) : std::u16string();
    }
    x11_set_title(*window);
    return true;
}

RECT client_rect(const WindowRecord& window) {
    return RECT{0, 0, window.rect.right - window.rect.left, window.rect.bottom - window.rect.top};
}

LRESULT size_message(const std::shared_ptr<WindowRecord>& window) {
    DWORD style;
    RECT client;
    {
        std::lock_guard<std::mutex> guard(window_lock());
        style = window->style;
        client = client_rect(*window);
    }
    WPARAM kind = (style & WS_MINIMIZE)   ? SIZE_MINIMIZED
                  : (style & WS_MAXIMIZE) ? SIZE_MAXIMIZED
                                          : SIZE_RESTORED;
    return send(window->hwnd, WM_SIZE, kind, MAKELPARAM(client.right, client.bottom));
}

LRESULT move_message(const std::shared_ptr<WindowRecord>& window) {
    RECT rect;
    {
        std::lock_guard<std::mutex> guard(window_lock());
        rect = window->rect;
    }
    return send(window->hwnd, WM_MOVE, 0, MAKELPARAM(rect.left, rect.top));
}

// SetWindowPos on the owner thread.
BOOL set_window_pos(const std::shared_ptr<WindowRecord>& window, HWND after, int x, int y, int cx, int cy,
                    UINT flags) {
    WINDOWPOS pos{window->hwnd, after, x, y, cx, cy, flags};
    if (!(flags & SWP_NOSENDCHANGING)) {
        send(window->hwnd, WM_WINDOWPOSCHANGING, 0, reinterpret_cast<LPARAM>(&pos));
    }
    bool resized = false;
    bool moved = false;
    bool shown = false;
    bool hidden = false;
    {
        std::lock_guard<std::mutex> guard(window_lock());
        RECT& r = window->rect;
        if (!(pos.flags & SWP_NOMOVE) &&
            (clamp_position(pos.x) != r.left || clamp_position(pos.y) != r.top)) {
            int x = clamp_position(pos.x);
            int y = clamp_position(pos.y);
            r = RECT{x, y, x + (r.right - r.left), y + (r.bottom - r.top)};
            moved = true;
        }
        if (!(pos.flags & SWP_NOSIZE)) {
            int width = clamp_size(pos.cx);
            int height = clamp_size(pos.cy);
            if (width != r.right - r.left || height != r.bottom - r.top) {
                r.right = r.left + width;
                r.bottom = r.top + height;
                resized = true;
            }
        }
        if (!(pos.flags & SWP_NOZORDER)) {
            if (pos.hwndInsertAfter == HWND_TOPMOST) {
                window->ex_style |= WS_EX_TOPMOST;
            } else if (pos.hwndInsertAfter == HWND_NOTOPMOST) {
                window->ex_style &= ~static_cast<DWORD>(WS_EX_TOPMOST);
            }
        }
        if ((pos.flags & SWP_SHOWWINDOW) && !(window->style & WS_VISIBLE)) {
            window->style |= WS_VISIBLE;
            shown = true;
        }
        if ((pos.flags & SWP_HIDEWINDOW) && (window->style & WS_VISIBLE)) {
            window->style &= ~static_cast<DWORD>(WS_VISIBLE);
            hidden = true;
        }
    }
    if (moved || resized) {
        x11_place_window(*window);
    }
    if (shown || hidden) {
        x11_show_window(*window, shown, !(pos.flags & SWP_NOACTIVATE));
    }
    if (resized || shown) {
        InvalidateRect(window->hwnd, nullptr, TRUE);
    }
    if (!moved) {
        pos.flags |= SWP_NOMOVE;
    }
    if (!resized) {
        pos.flags |= SWP_NOSIZE;
    }
    send(window->hwnd, WM_WINDOWPOSCHANGED, 0, reinterpret_cast<LPARAM>(&pos));
    return TRUE;
}

BOOL show_window(const std::shared_ptr<WindowRecord>& window, int command) {
    DWORD style;
    {
        std::lock_guard<std::mutex> guard(window_lock());
        style = window->style;
    }
    const bool was_visible = (style & WS_VISIBLE) != 0;
    const UINT keep = SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER;
    auto set_state = [&](DWORD add, DWORD remove) {
        std::lock_guard<std::mutex> guard(window_lock());
        DWORD before = window->style;
        window->style = (window->style | add) & ~remove;
        return before != window->style;
    };
    auto show = [&](bool activate) {
        if (!was_visible) {
            send(window->hwnd, WM_SHOWWINDOW, TRUE, 0);
            set_window_pos(window, nullptr, 0, 0, 0, 0,
                           keep | SWP_SHOWWINDOW | (activate ? 0 : SWP_NOACTIVATE));
        }
    };
    switch (command) {
        case SW_HIDE:
            if (was_visible) {
                send(window->hwnd, WM_SHOWWINDOW, FALSE, 0);
                set_window_pos(window, nullptr, 0, 0, 0, 0, keep | SWP_HIDEWINDOW | SWP_NOACTIVATE);
            }
            break;
        case SW_SHOWMINIMIZED:
        case SW_MINIMIZE:
        case SW_SHOWMINNOACTIVE:
        case SW_FORCEMINIMIZE:
            show(false);
            if (set_state(WS_MINIMIZE, WS_MAXIMIZE)) {
                x11_minimize_window(*window);
                size_message(window);
            }
            break;
        case SW_SHOWMAXIMIZED:
            show(true);
            if (set_state(WS_MAXIMIZE, WS_MINIMIZE)) {
                size_message(window);
            }
            break;
        case SW_SHOWNORMAL:
        case SW_RESTORE:
            show(true);
            if (set_state(0, WS_MINIMIZE | WS_MAXIMIZE)) {
                x11_show_window(*window, true, true);
                size_message(window);
            }
            break;
        case SW_SHOWNOACTIVATE:
        case SW_SHOWNA:
            show(false);
            break;
        default:
            show(true);
            break;
    }
    return was_visible ? TRUE : FALSE;
}

// WM_ACTIVATEAPP to the calling thread's top-level windows, hidden ones included.
void tell_application_activation(bool active) {
    for (auto& window : top_level_windows()) {
        if (window->thread_id == GetCurrentThreadId()) {
            send(window->hwnd, WM_ACTIVATEAPP, active ? TRUE : FALSE, 0);
        }
    }
}

void change_focus(HWND hwnd) {
    HWND old;
    {
        std::lock_guard<std::mutex> guard(window_lock());
        old = table().focus;
        if (old == hwnd) {
            return;
        }
        table().focus = hwnd;
    }
    if (old) {
        send(old, WM_KILLFOCUS, reinterpret_cast<WPARAM>(hwnd), 0);
    }
    if (hwnd) {
        send(hwnd, WM_SETFOCUS, reinterpret_cast<WPARAM>(old), 0);
    }
}

}  // namespace

std::mutex& window_lock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}

DWORD process_of_window(HWND hwnd) {
    return hwnd_value(hwnd) >> slot_bits;
}

bool is_local_window(HWND hwnd) {
    return hwnd && process_of_window(hwnd) == own_pid();
}

std::shared_ptr<WindowRecord> find_window(HWND hwnd) {
    std::lock_guard<std::mutex> guard(window_lock());
    return find_locked(hwnd);
}

std::shared_ptr<WindowRecord> window_of_current_thread(HWND hwnd) {
    std::shared_ptr<WindowRecord> window = find_window(hwnd);
    return window && window->thread_id == GetCurrentThreadId() ? window : nullptr;
}

std::vector<std::shared_ptr<WindowRecord>> top_level_windows() {
    std::vector<std::shared_ptr<WindowRecord>> out;
    std::lock_guard<std::mutex> guard(window_lock());
    WindowTable& t = table();
    for (uint32_t slot : t.order) {
        const auto& window = t.windows[slot];
        if (!window->message_only && !window->parent && !window->destroying) {
            out.push_back(window);
        }
    }
    return out;
}

void forget_thread_windows(DWORD thread_id) {
    std::vector<std::shared_ptr<WindowRecord>> gone;
    {
        std::lock_guard<std::mutex> guard(window_lock());
        for (auto& entry : table().windows) {
            if (entry.second->thread_id == thread_id) {
                gone.push_back(entry.second);
            }
        }
    }
    for (auto& window : gone) {
        remove_record(window);
    }
}

void activate_window(HWND hwnd, bool active) {
    HWND previous;
    {
        std::lock_guard<std::mutex> guard(window_lock());
        previous = table().active;
        if (active ? previous == hwnd : previous != hwnd) {
            return;
        }
        table().active = active ? hwnd : nullptr;
    }
    if (active) {
        if (previous) {
            send(previous, WM_ACTIVATE, WA_INACTIVE, reinterpret_cast<LPARAM>(hwnd));
        } else {
            tell_application_activation(true);
        }
        send(hwnd, WM_ACTIVATE, WA_ACTIVE, reinterpret_cast<LPARAM>(previous));
    } else {
        HWND focus;
        {
            std::lock_guard<std::mutex> guard(window_lock());
            focus = table().focus;
        }
        if (focus && top_level_of(focus) == hwnd) {
            change_focus(nullptr);
        }
        send(hwnd, WM_ACTIVATE, WA_INACTIVE, 0);
        tell_application_activation(false);
    }
}

}  // namespace winapi_internal

using namespace winapi_internal;

ATOM WINAPI RegisterClassExW(const WNDCLASSEXW* wc) {
    if (!wc || !wc->lpszClassName || !wc->lpfnWndProc || wc->cbWndExtra < 0 || wc->cbWndExtra > 40960 ||
        (IS_INTRESOURCE(wc->lpszClassName))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::lock_guard<std::mutex> guard(window_lock());
    WindowTable& t = table();
    std::u16string key = lower(wc->lpszClassName);
    if (t.classes.count(key)) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    auto cls = std::make_shared<WindowClass>();
    cls->name = wc->lpszClassName;
    cls->atom = t.next_atom++;
    cls->style = wc->style;
    cls->proc = wc->lpfnWndProc;
    cls->window_extra = wc->cbWndExtra;
    cls->instance = wc->hInstance;
    cls->icon = wc->hIcon;
    cls->cursor = wc->hCursor;
    cls->background = wc->hbrBackground;
    t.classes[key] = cls;
    return cls->atom;
}

ATOM WINAPI RegisterClassW(const WNDCLASSW* wc) {
    if (!wc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    WNDCLASSEXW ex{sizeof(WNDCLASSEXW), wc->style,        wc->lpfnWndProc,   wc->cbClsExtra,
                   wc->cbWndExtra,      wc->hInstance,    wc->hIcon,         wc->hCursor,
                   wc->hbrBackground,   wc->lpszMenuName, wc->lpszClassName, nullptr};
    return RegisterClassExW(&ex);
}

BOOL WINAPI UnregisterClassW(LPCWSTR className, HINSTANCE instance) {
    std::lock_guard<std::mutex> guard(window_lock());
    WindowTable& t = table();
    std::shared_ptr<WindowClass> cls = find_class_locked(className);
    if (!cls) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    for (auto& entry : t.windows) {
        if (entry.second->window_class == cls) {
            SetLastError(ERROR_CLASS_HAS_WINDOWS);
            return FALSE;
        }
    }
    t.classes.erase(lower(cls->name.c_str()));
    return TRUE;
}

HWND WINAPI CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style, int x, int y,
                            int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                            LPVOID param) {
    std::shared_ptr<MessageQueue> queue = current_queue();
    if (!queue) {
        return nullptr;
    }
    auto window = std::make_shared<WindowRecord>();
    window->thread_id = GetCurrentThreadId();
    window->queue = queue;
    window->message_only = parent == HWND_MESSAGE;
    if (!window->message_only && parent && !find_window(parent)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    if (style & WS_CHILD) {
        if (!parent || window->message_only) {
            SetLastError(ERROR_TLW_WITH_WSCHILD);
            return nullptr;
        }
        window->parent = parent;
        window->id = reinterpret_cast<LONG_PTR>(menu);
    } else if (!window->message_only && parent) {
        window->owner = top_level_of(parent);
    }
    if (x == CW_USEDEFAULT) {
        x = y = 0;
    }
    if (width == CW_USEDEFAULT) {
        width = default_width;
        height = default_height;
    }
    window->style = style & ~static_cast<DWORD>(WS_VISIBLE);
    window->ex_style = exStyle;
    window->instance = instance;
    x = clamp_position(x);
    y = clamp_position(y);
    window->rect = RECT{x, y, x + clamp_size(width), y + clamp_size(height)};
    {
        std::lock_guard<std::mutex> guard(window_lock());
        WindowTable& t = table();
        window->window_class = find_class_locked(className);
        if (!window->window_class) {
            SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
            return nullptr;
        }
        window->proc = window->window_class->proc;
        window->extra.assign(static_cast<size_t>(window->window_class->window_extra), 0);
        uint32_t slot = 0;
        for (uint32_t tries = 0; tries < max_slot && !slot; ++tries) {
            uint32_t candidate = t.next_slot;
            t.next_slot = t.next_slot % max_slot + 1;
            if (!t.windows.count(candidate)) {
                slot = candidate;
            }
        }
        if (!slot) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        window->hwnd = reinterpret_cast<HWND>(static_cast<uintptr_t>((own_pid() << slot_bits) | slot));
        t.windows[slot] = window;
        t.order.push_back(slot);
    }
    HWND hwnd = window->hwnd;
    if (!window->message_only && !window->parent) {
        x11_create_window(*window);
        // Other processes find top-level windows through this process's listener.
        remote_listen();
    }

    CREATESTRUCTW create{param,      instance,  menu,   parent, height, width, y, x, static_cast<LONG>(style),
                         windowName, className, exStyle};
    if (!(style & WS_CHILD) && (style & (WS_THICKFRAME | WS_CAPTION))) {
        MINMAXINFO info{};
        info.ptMaxSize = POINT{65535, 65535};
        info.ptMaxTrackSize = POINT{65535, 65535};
        send(hwnd, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&info));
    }
    if (!send(hwnd, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(&create))) {
        send(hwnd, WM_NCDESTROY);
        remove_record(window);
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    RECT calc = window->rect;
    send(hwnd, WM_NCCALCSIZE, FALSE, reinterpret_cast<LPARAM>(&calc));
    if (send(hwnd, WM_CREATE, 0, reinterpret_cast<LPARAM>(&create)) == -1) {
        DestroyWindow(hwnd);
        return nullptr;
    }
    if (!find_window(hwnd)) {
        return nullptr;  // destroyed by its own creation messages
    }
    size_message(window);
    move_message(window);
    if (style & WS_VISIBLE) {
        show_window(window, SW_SHOW);
    }
    return hwnd;
}

BOOL WINAPI DestroyWindow(HWND hwnd) {
    std::shared_ptr<WindowRecord> window = find_window(hwnd);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (window->thread_id != GetCurrentThreadId()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> guard(window_lock());
        if (window->destroying) {
            return TRUE;
        }
        window->destroying = true;
    }
    for (auto& owned : dependants(hwnd, false)) {
        if (owned->thread_id == window->thread_id) {
            DestroyWindow(owned->hwnd);
        }
    }
    {
        std::lock_guard<std::mutex> guard(window_lock());
        window->style &= ~static_cast<DWORD>(WS_VISIBLE);
    }
    x11_show_window(*window, false, false);
    // A clipboard owner renders what it only promised before it goes (WM_RENDERALLFORMATS).
    clipboard_window_destroyed(hwnd);
    send_destroy(window);
    send_nc_destroy(window);
    return TRUE;
}

BOOL WINAPI IsWindow(HWND hwnd) {
    if (!hwnd) {
        return FALSE;
    }
    if (is_local_window(hwnd)) {
        return find_window(hwnd) ? TRUE : FALSE;
    }
    return GetWindowThreadProcessId(hwnd, nullptr) != 0 ? TRUE : FALSE;
}

LRESULT WINAPI CallWindowProcW(WNDPROC proc, HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    return proc ? proc(hwnd, message, wParam, lParam) : 0;
}

LRESULT WINAPI DefWindowProcW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    std::shared_ptr<WindowRecord> window = find_window(hwnd);
    if (!window) {
        return 0;
    }
    switch (message) {
        case WM_NCCREATE: {
            auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
            if (create && create->lpszName && !IS_INTRESOURCE(create->lpszName)) {
                set_window_text(window, create->lpszName);
            }
            return TRUE;
        }
        case WM_CLOSE:
            DestroyWindow(hwnd);
            return 0;
        case WM_SYSCOMMAND:
            switch (wParam & 0xFFF0) {
                case SC_CLOSE:
                    send(hwnd, WM_CLOSE);
                    break;
                case SC_MINIMIZE:
                    ShowWindow(hwnd, SW_MINIMIZE);
                    break;
                case SC_MAXIMIZE:
                    ShowWindow(hwnd, SW_MAXIMIZE);
                    break;
                case SC_RESTORE:
                    ShowWindow(hwnd, SW_RESTORE);
                    break;
                default:
                    break;
            }
            return 0;
        case WM_SYSKEYDOWN:
            if (wParam == 0x73 /* VK_F4 */ && (lParam & (static_cast<LPARAM>(KF_ALTDOWN) << 16))) {
                send(hwnd, WM_SYSCOMMAND, SC_CLOSE, 0);
            }
            return 0;
        case WM_PAINT: {
            PAINTSTRUCT paint;
            BeginPaint(hwnd, &paint);
            EndPaint(hwnd, &paint);
            return 0;
        }
        case WM_ERASEBKGND: {
            HBRUSH brush = window->window_class->background;
            if (!brush) {
                return 0;
            }
            RECT client;
            GetClientRect(hwnd, &client);
            FillRect(reinterpret_cast<HDC>(wParam), &client, brush);
            return 1;
        }
        case WM_WINDOWPOSCHANGED: {
            auto* pos = reinterpret_cast<const WINDOWPOS*>(lParam);
            if (pos && !(pos->flags & SWP_NOSIZE)) {
                size_message(window);
            }
            if (pos && !(pos->flags & SWP_NOMOVE)) {
                move_message(window);
            }
            return 0;
        }
        case WM_SETTEXT:
            return set_window_text(window, reinterpret_cast<LPCWSTR>(lParam)) ? TRUE : FALSE;
        case WM_GETTEXTLENGTH:
            return GetWindowTextLengthW(hwnd);
        case WM_GETTEXT:
            return GetWindowTextW(hwnd, reinterpret_cast<LPWSTR>(lParam), static_cast<int>(wParam));
        case WM_NCACTIVATE:
            return TRUE;
        case WM_NCHITTEST:
            return HTCLIENT;
        case WM_ACTIVATE:
            if (LOWORD(wParam) != WA_INACTIVE) {
                SetFocus(hwnd);
            }
            return 0;
        case WM_SETCURSOR:
            if (window->parent && send(window->parent, message, wParam, lParam)) {
                return TRUE;
            }
            if (LOWORD(lParam) == HTCLIENT && window->window_class->cursor) {
                SetCursor(window->window_class->cursor);
                return TRUE;
            }
            return FALSE;
        case WM_MOUSEWHEEL:
        case WM_MOUSEHWHEEL:
            return window->parent ? send(window->parent, message, wParam, lParam) : 0;
        default:
            return 0;
    }
}

LONG_PTR WINAPI GetWindowLongPtrW(HWND hwnd, int index) {
    std::shared_ptr<WindowRecord> window = find_window(hwnd);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    std::lock_guard<std::mutex> guard(window_lock());
    switch (index) {
        case GWLP_WNDPROC:
            return reinterpret_cast<LONG_PTR>(window->proc);
        case GWLP_HINSTANCE:
            return reinterpret_cast<LONG_PTR>(window->instance);
        case GWLP_HWNDPARENT:
            return reinterpret_cast<LONG_PTR>(window->parent ? window->parent : window->owner);
        case GWLP_ID:
            return window->id;
        case GWL_STYLE:
            return static_cast<LONG>(window->style);
        case GWL_EXSTYLE:
            return static_cast<LONG>(window->ex_style);
        case GWLP_USERDATA:
            return window->user_data;
        default:
            break;
    }
    if (index < 0 || static_cast<size_t>(index) + sizeof(LONG_PTR) > window->extra.size()) {
        SetLastError(ERROR_INVALID_INDEX);
        return 0;
    }
    LONG_PTR value;
    std::memcpy(&value, window->extra.data() + index, sizeof value);
    return value;
}

LONG_PTR WINAPI SetWindowLongPtrW(HWND hwnd, int index, LONG_PTR value) {
    std::shared_ptr<WindowRecord> window = find_window(hwnd);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    std::lock_guard<std::mutex> guard(window_lock());
    LONG_PTR previous;
    switch (index) {
        case GWLP_WNDPROC:
            if (!value) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return 0;
            }
            previous = reinterpret_cast<LONG_PTR>(window->proc);
            window->proc = reinterpret_cast<WNDPROC>(value);
            return previous;
        case GWLP_HINSTANCE:
            previous = reinterpret_cast<LONG_PTR>(window->instance);
            window->instance = reinterpret_cast<HINSTANCE>(value);
            return previous;
        case GWLP_HWNDPARENT:
            previous = reinterpret_cast<LONG_PTR>(window->owner);
            window->owner = reinterpret_cast<HWND>(value);
            return previous;
        case GWLP_ID:
            previous = window->id;
            window->id = value;
            return previous;
        case GWL_STYLE:
            previous = static_cast<LONG>(window->style);
            window->style = static_cast<DWORD>(value);
            return previous;
        case GWL_EXSTYLE:
            previous = static_cast<LONG>(window->ex_style);
            window->ex_style = static_cast<DWORD>(value);
            return previous;
        case GWLP_USERDATA:
            previous = window->user_data;
            window->user_data = value;
            return previous;
        default:
            break;
    }
    if (index < 0 || static_cast<size_t>(index) + sizeof(LONG_PTR) > window->extra.size()) {
        SetLastError(ERROR_INVALID_INDEX);
        return 0;
    }
    std::memcpy(&previous, window->extra.data() + index, sizeof previous);
    std::memcpy(window->extra.data() + index, &value, sizeof value);
    return previous;
}

LONG WINAPI GetWindowLongW(HWND hwnd, int index) {
    return static_cast<LONG>(GetWindowLongPtrW(hwnd, index));
}

LONG WINAPI SetWindowLongW(HWND hwnd, int index, LONG value) {
    return static_cast<LONG>(SetWindowLongPtrW(hwnd, index, value));
}

BOOL WINAPI SetWindowTextW(HWND hwnd, LPCWSTR text) {
    if (!find_window(hwnd)) {
        SetLastError(is_local_window(hwnd) ? ERROR_INVALID_WINDOW_HANDLE : ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return send(hwnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text)) ? TRUE : FALSE;
}

int WINAPI GetWindowTextLengthW(HWND hwnd) {
    std::shared_ptr<WindowRecord> window = find_window(hwnd);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    std::lock_guard<std::mutex> guard(window_lock());
    return static_cast<int>(window->text.size());
}

int WINAPI GetWindowTextW(HWND hwnd, LPWSTR text, int maxCount) {
    std::shared_ptr<WindowRecord> window = find_window(hwnd);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (!text || maxCount <= 0) {
        return 0;
    }
    std::lock_guard<std::mutex> guard(window_lock());
    size_t count = std::min(window->text.size(), static_cast<size_t>(maxCount - 1));
    std::copy(window->text.begin(), window->text.begin() + static_cast<std::ptrdiff_t>(count), text);
    text[count] = 0;
    return static_cast<int>(count);
}

HWND WINAPI GetParent(HWND hwnd) {
    std::shared_ptr<WindowRecord> window = find_window(hwnd);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(window_lock());
    return window->parent ? window->parent : window->owner;
}

BOOL WINAPI GetClientRect(HWND hwnd, LPRECT rect) {
    std::shared_ptr<WindowRecord> window = find_window(hwnd);
    if (!window || !rect) {
        SetLastError(window ? ERROR_INVALID_PARAMETER : ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(window_lock());
    *rect = client_rect(*window);
    return TRUE;
}

BOOL WINAPI GetWindowRect(HWND hwnd, LPRECT rect) {
    std::shared_ptr<WindowRecord> window = find_window(hwnd);
    if (!window || !rect) {
        SetLastError(window ? ERROR_INVALID_PARAMETER : ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    POINT origin{0, 0};
    ClientToScreen(hwnd, &origin);
    std::lock_guard<std::mutex> guard(window_lock());
    RECT client = client_rect(*window);
    *rect = RECT{origin.x, origin.y, origin.x + client.right, origin.y + client.bottom};
    return TRUE;
}

BOOL WINAPI ClientToScreen(HWND hwnd, LPPOINT point) {
    if (!point) {
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(window_lock());
    std::shared_ptr<WindowRecord> window = find_locked(hwnd);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    for (; window; window = window->parent ? find_locked(window->parent) : nullptr) {
        point->x += window->rect.left;
        point->y += window->rect.top;
    }
    return TRUE;
}

BOOL WINAPI ScreenToClient(HWND hwnd, LPPOINT point) {
    POINT origin{0, 0};
    if (!point || !ClientToScreen(hwnd, &origin)) {
        return FALSE;
    }
    point->x -= origin.x;
    point->y -= origin.y;
    return TRUE;
}

BOOL WINAPI AdjustWindowRectEx(LPRECT rect, DWORD style, BOOL menu, DWORD exStyle) {
    return rect ? TRUE : FALSE;
}

BOOL WINAPI SetWindowPos(HWND hwnd, HWND insertAfter, int x, int y, int cx, int cy, UINT flags) {
    std::shared_ptr<WindowRecord> window = find_window(hwnd);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return static_cast<BOOL>(
        run_on_owner(window, [=] { return set_window_pos(window, insertAfter, x, y, cx, cy, flags); }));
}

BOOL WINAPI MoveWindow(HWND hwnd, int x, int y, int width, int height, BOOL repaint) {
    return SetWindowPos(hwnd, nullptr, x, y, width, height,
                        SWP_NOZORDER | SWP_NOACTIVATE | (repaint ? 0 : SWP_NOREDRAW));
}

BOOL WINAPI ShowWindow(HWND hwnd, int command) {
    std::shared_ptr<WindowRecord> window = find_window(hwnd);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return static_cast<BOOL>(run_on_owner(window, [=] { return show_window(window, command); }));
}

BOOL WINAPI IsWindowVisible(HWND hwnd) {
    std::lock_guard<std::mutex> guard(window_lock());
    std::shared_ptr<WindowRecord> window = find_locked(hwnd);
    if (!window) {
        return FALSE;
    }
    for (; window; window = window->parent ? find_locked(window->parent) : nullptr) {
        if (!(window->style & WS_VISIBLE)) {
            return FALSE;
        }
    }
    return TRUE;
}

BOOL WINAPI IsIconic(HWND hwnd) {
    std::shared_ptr<WindowRecord> window = find_window(hwnd);
    std::lock_guard<std::mutex> guard(window_lock());
    return window && (window->style & WS_MINIMIZE) ? TRUE : FALSE;
}

BOOL WINAPI PtInRect(const RECT* rect, POINT point) {
    return rect && point.x >= rect->left && point.x < rect->right && point.y >= rect->top &&
                   point.y < rect->bottom
               ? TRUE
               : FALSE;
}

HWND WINAPI SetFocus(HWND hwnd) {
    HWND previous;
    {
        std::lock_guard<std::mutex> guard(window_lock());
        previous = table().focus;
    }
    if (hwnd) {
        std::shared_ptr<WindowRecord> window = window_of_current_thread(hwnd);
        if (!window) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return nullptr;
        }
        HWND top = top_level_of(hwnd);
        HWND active;
        {
            std::lock_guard<std::mutex> guard(window_lock());
            active = table().active;
        }
        if (active != top) {
            // Activation gives the focus to the top-level window through WM_ACTIVATE; the child then takes
            // it.
            activate_window(top, true);
            if (std::shared_ptr<WindowRecord> top_window = find_window(top)) {
                x11_focus_window(*top_window);
            }
        }
    }
    change_focus(hwnd);
    return previous;
}

HWND WINAPI GetFocus() {
    std::lock_guard<std::mutex> guard(window_lock());
    HWND focus = table().focus;
    std::shared_ptr<WindowRecord> window = find_locked(focus);
    return window && window->thread_id == GetCurrentThreadId() ? focus : nullptr;
}

HWND WINAPI GetForegroundWindow() {
    std::lock_guard<std::mutex> guard(window_lock());
    return table().active;
}

BOOL WINAPI SetForegroundWindow(HWND hwnd) {
    std::shared_ptr<WindowRecord> window = find_window(hwnd);
    if (!window) {
        return FALSE;
    }
    return static_cast<BOOL>(run_on_owner(window, [=] {
        SetFocus(window->hwnd);
        return TRUE;
    }));
}
