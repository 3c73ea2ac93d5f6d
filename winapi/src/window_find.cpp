// Finding windows by class and title, enumerating top-level windows, and the owner of a window, in this
// process and in the others.
#include "window_internal.h"
#include "window_remote.h"

#include "winapi/processthreadsapi.h"
#include "winapi/stringapiset.h"

namespace winapi_internal {
namespace {

bool same_text(const std::u16string& a, const WCHAR* b) {
    size_t i = 0;
    for (; i < a.size() && b[i]; ++i) {
        char16_t x = a[i] >= u'A' && a[i] <= u'Z' ? a[i] + 32 : a[i];
        char16_t y = b[i] >= u'A' && b[i] <= u'Z' ? b[i] + 32 : b[i];
        if (x != y) {
            return false;
        }
    }
    return i == a.size() && !b[i];
}

// Every top-level window: this process's first, then the other processes'.
std::vector<RemoteWindow> all_top_level_windows() {
    std::vector<RemoteWindow> out;
    for (auto& window : top_level_windows()) {
        std::lock_guard<std::mutex> guard(window_lock());
        out.push_back(
            RemoteWindow{window->hwnd, window->thread_id, window->window_class->name, window->text});
    }
    for (auto& window : remote_windows()) {
        out.push_back(std::move(window));
    }
    return out;
}

std::u16string widen(LPCSTR text) {
    std::u16string out;
    int length = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (length > 0) {
        out.resize(static_cast<size_t>(length));
        MultiByteToWideChar(CP_ACP, 0, text, -1, &out[0], length);
        out.resize(static_cast<size_t>(length - 1));
    }
    return out;
}

}  // namespace
}  // namespace winapi_internal

using namespace winapi_internal;

HWND WINAPI FindWindowW(LPCWSTR className, LPCWSTR windowName) {
    if (className && IS_INTRESOURCE(className)) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    for (const RemoteWindow& window : all_top_level_windows()) {
        if ((!className || same_text(window.class_name, className)) &&
            (!windowName || same_text(window.title, windowName))) {
            return window.hwnd;
        }
    }
    return nullptr;
}

HWND WINAPI FindWindowA(LPCSTR className, LPCSTR windowName) {
    std::u16string wide_class = className ? widen(className) : std::u16string();
    std::u16string wide_name = windowName ? widen(windowName) : std::u16string();
    return FindWindowW(className ? wide_class.c_str() : nullptr, windowName ? wide_name.c_str() : nullptr);
}

BOOL WINAPI EnumWindows(WNDENUMPROC callback, LPARAM lParam) {
    if (!callback) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    for (const RemoteWindow& window : all_top_level_windows()) {
        if (!callback(window.hwnd, lParam)) {
            return FALSE;
        }
    }
    return TRUE;
}

DWORD WINAPI GetWindowThreadProcessId(HWND hwnd, LPDWORD processId) {
    DWORD thread = 0;
    if (is_local_window(hwnd)) {
        std::shared_ptr<WindowRecord> window = find_window(hwnd);
        thread = window ? window->thread_id : 0;
    } else if (hwnd && reinterpret_cast<uintptr_t>(hwnd) <= UINT32_MAX && hwnd != HWND_BROADCAST) {
        thread = remote_window_thread(hwnd);
    }
    if (!thread) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    }
    if (processId) {
        *processId = thread ? process_of_window(hwnd) : 0;
    }
    return thread;
}
