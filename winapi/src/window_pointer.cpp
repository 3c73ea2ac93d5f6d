// Mouse capture and leave tracking.
#include "message_queue.h"
#include "window_internal.h"
#include "winapi/processthreadsapi.h"
#include "winapi/sysinfoapi.h"

#include <algorithm>
#include <vector>

namespace winapi_internal {
namespace {

// Guarded by window_lock().
HWND capture = nullptr;
std::vector<HWND> tracked;  // windows waiting for WM_MOUSELEAVE

void post_leave(const std::shared_ptr<WindowRecord>& window) {
    window->queue->post(MSG{window->hwnd, WM_MOUSELEAVE, 0, 0, GetTickCount(), POINT{0, 0}});
}

}  // namespace

HWND mouse_target(HWND over) {
    std::lock_guard<std::mutex> guard(window_lock());
    return capture ? capture : over;
}

void pointer_left(HWND hwnd) {
    {
        std::lock_guard<std::mutex> guard(window_lock());
        auto it = std::find(tracked.begin(), tracked.end(), hwnd);
        if (it == tracked.end()) {
            return;
        }
        tracked.erase(it);
    }
    if (std::shared_ptr<WindowRecord> window = find_window(hwnd)) {
        post_leave(window);
    }
}

void forget_pointer_window(HWND hwnd) {
    std::lock_guard<std::mutex> guard(window_lock());
    if (capture == hwnd) {
        capture = nullptr;
    }
    tracked.erase(std::remove(tracked.begin(), tracked.end(), hwnd), tracked.end());
}

}  // namespace winapi_internal

using namespace winapi_internal;

HWND WINAPI SetCapture(HWND hwnd) {
    std::shared_ptr<WindowRecord> window = window_of_current_thread(hwnd);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    HWND previous;
    {
        std::lock_guard<std::mutex> guard(window_lock());
        previous = capture;
        capture = hwnd;
    }
    if (previous != hwnd) {
        if (std::shared_ptr<WindowRecord> old = find_window(previous)) {
            x11_grab_pointer(*old, false);
            SendMessageW(previous, WM_CAPTURECHANGED, 0, reinterpret_cast<LPARAM>(hwnd));
        }
        x11_grab_pointer(*window, true);
    }
    return previous;
}

BOOL WINAPI KtwGrabKeyboard(HWND hwnd, BOOL grab) {
    std::shared_ptr<WindowRecord> window = window_of_current_thread(hwnd);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return x11_grab_keyboard(*window, grab != FALSE) ? TRUE : FALSE;
}

BOOL WINAPI ReleaseCapture() {
    HWND previous;
    {
        std::lock_guard<std::mutex> guard(window_lock());
        previous = capture;
        capture = nullptr;
    }
    if (std::shared_ptr<WindowRecord> old = find_window(previous)) {
        x11_grab_pointer(*old, false);
        SendMessageW(previous, WM_CAPTURECHANGED, 0, 0);
    }
    return TRUE;
}

HWND WINAPI GetCapture() {
    HWND current;
    {
        std::lock_guard<std::mutex> guard(window_lock());
        current = capture;
    }
    // Only the calling thread's capture is visible to it.
    return current && window_of_current_thread(current) ? current : nullptr;
}

BOOL WINAPI TrackMouseEvent(LPTRACKMOUSEEVENT track) {
    if (!track || track->cbSize != sizeof(TRACKMOUSEEVENT)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (track->dwFlags & TME_QUERY) {
        std::lock_guard<std::mutex> guard(window_lock());
        bool leave = std::find(tracked.begin(), tracked.end(), track->hwndTrack) != tracked.end();
        track->dwFlags = leave ? TME_LEAVE : 0;
        return TRUE;
    }
    std::shared_ptr<WindowRecord> window = window_of_current_thread(track->hwndTrack);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (!(track->dwFlags & TME_LEAVE)) {
        return TRUE;  // hover tracking is not used
    }
    {
        std::lock_guard<std::mutex> guard(window_lock());
        tracked.erase(std::remove(tracked.begin(), tracked.end(), window->hwnd), tracked.end());
        if (track->dwFlags & TME_CANCEL) {
            return TRUE;
        }
    }
    if (!x11_pointer_inside(*window)) {
        post_leave(window);
        return TRUE;
    }
    std::lock_guard<std::mutex> guard(window_lock());
    tracked.push_back(window->hwnd);
    return TRUE;
}
