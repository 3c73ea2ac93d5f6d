// Painting: update regions, WM_PAINT, BeginPaint/EndPaint, and window DCs over each window's back buffer.
#include "gdi_dc.h"
#include "message_queue.h"
#include "window_internal.h"
#include "x11_connection.h"
#include "x11_shm.h"

#include <algorithm>
#include <unordered_map>

namespace winapi_internal {
namespace {

struct WindowDc {
    HWND hwnd;
    pixman_image_t* image;  // referenced while the DC lives, so a resize cannot pull it away
};

// Guarded by window_lock().
std::unordered_map<HDC, WindowDc>& window_dcs() {
    static auto* dcs = new std::unordered_map<HDC, WindowDc>;
    return *dcs;
}

RECT client_of(const WindowRecord& window) {
    return RECT{0, 0, window.rect.right - window.rect.left, window.rect.bottom - window.rect.top};
}

// The window's back buffer at its current client size (kept content where sizes overlap). Locked.
pixman_image_t* back_buffer_locked(WindowRecord& window) {
    RECT client = client_of(window);
    int width = std::max<int>(client.right, 1);
    int height = std::max<int>(client.bottom, 1);
    pixman_image_t* old = window.back_buffer;
    if (old && pixman_image_get_width(old) == width && pixman_image_get_height(old) == height) {
        return old;
    }
    pixman_image_t* image = nullptr;
    if (window.x_window && x11_is_gui_thread()) {
        image = x11_shm_create_image(width, height);
    }
    if (!image) {
        image = pixman_image_create_bits(PIXMAN_x8r8g8b8, width, height, nullptr, 0);
    }
    if (!image) {
        return old;
    }
    if (old) {
        pixman_image_composite32(PIXMAN_OP_SRC, old, nullptr, image, 0, 0, 0, 0, 0, 0,
                                 std::min(width, pixman_image_get_width(old)),
                                 std::min(height, pixman_image_get_height(old)));
        pixman_image_unref(old);
    }
    window.back_buffer = image;
    return image;
}

HDC window_dc(WindowRecord& window) {
    std::lock_guard<std::mutex> guard(window_lock());
    pixman_image_t* image = back_buffer_locked(window);
    if (!image) {
        return nullptr;
    }
    HDC dc = dc_create_over_image(image);
    if (dc) {
        window_dcs()[dc] = WindowDc{window.hwnd, pixman_image_ref(image)};
    }
    return dc;
}

// Shows what was drawn (in X when the window has an X window) and lets the DC go.
bool release_window_dc(HDC dc, const RECT* painted) {
    WindowDc entry;
    {
        std::lock_guard<std::mutex> guard(window_lock());
        auto it = window_dcs().find(dc);
        if (it == window_dcs().end()) {
            return false;
        }
        entry = it->second;
        window_dcs().erase(it);
    }
    std::shared_ptr<WindowRecord> window = find_window(entry.hwnd);
    if (window) {
        RECT whole;
        bool current;
        {
            std::lock_guard<std::mutex> guard(window_lock());
            whole = client_of(*window);
            current = window->back_buffer == entry.image;
        }
        if (current) {
            x11_present(*window, painted ? *painted : whole);
        }
    }
    dc_release(dc);
    pixman_image_unref(entry.image);
    return true;
}

bool clip_to_client(const WindowRecord& window, const RECT* rect, RECT* out) {
    std::lock_guard<std::mutex> guard(window_lock());
    RECT client = client_of(window);
    *out = rect ? RECT{std::max(rect->left, client.left), std::max(rect->top, client.top),
                       std::min(rect->right, client.right), std::min(rect->bottom, client.bottom)}
                : client;
    return out->left < out->right && out->top < out->bottom;
}

}  // namespace

void release_back_buffer(WindowRecord& window) {
    std::lock_guard<std::mutex> guard(window_lock());
    if (window.back_buffer) {
        pixman_image_unref(window.back_buffer);
        window.back_buffer = nullptr;
    }
}

}  // namespace winapi_internal

using namespace winapi_internal;

BOOL WINAPI InvalidateRect(HWND hwnd, const RECT* rect, BOOL erase) {
    if (!hwnd) {
        for (auto& window : top_level_windows()) {
            InvalidateRect(window->hwnd, nullptr, erase);
        }
        return TRUE;
    }
    std::shared_ptr<WindowRecord> window = find_window(hwnd);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    RECT area;
    if (clip_to_client(*window, rect, &area)) {
        window->queue->invalidate(hwnd, area, erase != FALSE);
    }
    return TRUE;
}

BOOL WINAPI ValidateRect(HWND hwnd, const RECT* rect) {
    std::shared_ptr<WindowRecord> window = find_window(hwnd);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    window->queue->validate(hwnd, rect);
    return TRUE;
}

BOOL WINAPI GetUpdateRect(HWND hwnd, LPRECT rect, BOOL erase) {
    std::shared_ptr<WindowRecord> window = find_window(hwnd);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    RECT area{};
    bool dirty = window->queue->update_rect(hwnd, &area, nullptr, false);
    if (rect) {
        *rect = area;
    }
    return dirty ? TRUE : FALSE;
}

BOOL WINAPI UpdateWindow(HWND hwnd) {
    std::shared_ptr<WindowRecord> window = find_window(hwnd);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (window->queue->update_rect(hwnd, nullptr, nullptr, false)) {
        SendMessageW(hwnd, WM_PAINT, 0, 0);
    }
    return TRUE;
}

HDC WINAPI BeginPaint(HWND hwnd, LPPAINTSTRUCT paint) {
    std::shared_ptr<WindowRecord> window = window_of_current_thread(hwnd);
    if (!window || !paint) {
        SetLastError(window ? ERROR_INVALID_PARAMETER : ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    *paint = PAINTSTRUCT{};
    bool erase = false;
    window->queue->update_rect(hwnd, &paint->rcPaint, &erase, true);
    window->queue->validate(hwnd, nullptr);
    paint->hdc = window_dc(*window);
    if (paint->hdc && erase) {
        paint->fErase =
            SendMessageW(hwnd, WM_ERASEBKGND, reinterpret_cast<WPARAM>(paint->hdc), 0) ? FALSE : TRUE;
    }
    return paint->hdc;
}

BOOL WINAPI EndPaint(HWND hwnd, const PAINTSTRUCT* paint) {
    if (!paint || !paint->hdc) {
        return TRUE;
    }
    return release_window_dc(paint->hdc, &paint->rcPaint) ? TRUE : FALSE;
}

HDC WINAPI GetDC(HWND hwnd) {
    if (!hwnd) {
        // The screen: a small image of its own, for the DC's properties and compatible objects.
        static pixman_image_t* screen = pixman_image_create_bits(PIXMAN_x8r8g8b8, 1, 1, nullptr, 0);
        return dc_create_over_image(screen);
    }
    std::shared_ptr<WindowRecord> window = find_window(hwnd);
    if (!window || window->message_only) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    return window_dc(*window);
}

int WINAPI ReleaseDC(HWND hwnd, HDC dc) {
    if (!dc) {
        return 0;
    }
    if (!hwnd) {
        dc_release(dc);
        return 1;
    }
    return release_window_dc(dc, nullptr) ? 1 : 0;
}
