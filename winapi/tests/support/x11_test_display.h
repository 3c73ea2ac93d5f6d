// For the tests that run windows and the pointer on the private X server.
#pragma once

#include "../../src/x11_connection.h"
#include "support/xvfb_server.h"
#include "winapi/winuser.h"

namespace test_support {

// Starts the private server when needed and opens the layer's display anew, so that each test starts on a
// connection of its own with the calling thread as the GUI thread; null when either fails.
inline Display* fresh_x11_display() {
    if (!ensure_xvfb()) {
        return nullptr;
    }
    winapi_internal::x11_close_display();
    return winapi_internal::x11_display();
}

inline LRESULT CALLBACK plain_window_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    return DefWindowProcW(hwnd, message, wparam, lparam);
}

// A class whose windows do only what DefWindowProcW does. Registering a name again fails harmlessly.
inline void register_plain_window_class(const char16_t* name, HBRUSH background = nullptr) {
    WNDCLASSW window_class{};
    window_class.lpfnWndProc = plain_window_proc;
    window_class.lpszClassName = name;
    window_class.hbrBackground = background;
    RegisterClassW(&window_class);
}

}  // namespace test_support
