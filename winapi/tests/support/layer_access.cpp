#include "support/layer_access.h"

#include "../../src/cursor_internal.h"
#include "../../src/window_internal.h"
#include "../../src/x11_connection.h"
#include "../../src/x11_shm.h"

namespace test_support {

Display* layer_x11_display() {
    return winapi_internal::x11_display();
}

void layer_pump_x11_events() {
    winapi_internal::x11_pump_events();
}

bool layer_cursor_exists(HCURSOR cursor) {
    return winapi_internal::cursor_lookup(cursor) != nullptr;
}

std::vector<uint32_t> layer_cursor_picture(HCURSOR cursor) {
    auto object = winapi_internal::cursor_lookup(cursor);
    return object ? object->picture.argb : std::vector<uint32_t>{};
}

unsigned long layer_x11_window(HWND hwnd) {
    return winapi_internal::x11_window_of(hwnd);
}

bool layer_window_uses_shm(HWND hwnd) {
    auto window = winapi_internal::find_window(hwnd);
    if (!window) {
        return false;
    }
    std::lock_guard<std::mutex> guard(winapi_internal::window_lock());
    return window->back_buffer && winapi_internal::x11_shm_is_shared(window->back_buffer);
}

}  // namespace test_support
