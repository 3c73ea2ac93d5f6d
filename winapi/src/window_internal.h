// Window records inside the layer, shared by the window, message, paint, cross-process and X11 code.
#pragma once

#include "winapi/winuser.h"

#include <X11/Xlib.h>
#include <pixman.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace winapi_internal {

class MessageQueue;

struct WindowClass {
    std::u16string name;
    ATOM atom = 0;
    UINT style = 0;
    WNDPROC proc = nullptr;
    int window_extra = 0;
    HINSTANCE instance = nullptr;
    HICON icon = nullptr;
    HCURSOR cursor = nullptr;
    HBRUSH background = nullptr;
};

struct WindowRecord {
    // Fixed at creation.
    HWND hwnd = nullptr;
    DWORD thread_id = 0;
    std::shared_ptr<MessageQueue> queue;  // the owner thread's
    std::shared_ptr<WindowClass> window_class;
    bool message_only = false;
    HWND parent = nullptr;  // WS_CHILD windows only

    // Guarded by window_lock().
    WNDPROC proc = nullptr;
    DWORD style = 0;
    DWORD ex_style = 0;
    LONG_PTR user_data = 0;
    LONG_PTR id = 0;
    HINSTANCE instance = nullptr;
    HWND owner = nullptr;
    RECT rect{};  // screen coordinates for top-level windows, the parent's client coordinates for children
    std::u16string text;
    std::vector<unsigned char> extra;  // cbWndExtra bytes
    bool destroying = false;

    // GUI thread only.
    Window x_window = 0;
    pixman_image_t* back_buffer = nullptr;  // top-level windows with an X window
    bool focus_when_mapped = false;
    bool sizing = false;  // moved or sized from outside, WM_EXITSIZEMOVE not yet sent
};

// Guards the mutable fields of every window record and the window table.
std::mutex& window_lock();

// HWND values: the owning process id above the low 10 bits, a slot of that process below, so any process can
// tell where to route a window handle and every handle fits in 32 bits.
DWORD process_of_window(HWND hwnd);
bool is_local_window(HWND hwnd);

// A window of this process, or null.
std::shared_ptr<WindowRecord> find_window(HWND hwnd);
// A window of the calling thread, or null.
std::shared_ptr<WindowRecord> window_of_current_thread(HWND hwnd);
// Top-level windows (not message-only, not children) of this process, oldest first.
std::vector<std::shared_ptr<WindowRecord>> top_level_windows();
// The thread ended: its windows go without messages.
void forget_thread_windows(DWORD thread_id);

// Runs `work` on the window's owner thread (directly when that is the calling thread) and returns its result;
// 0 when the thread went away first.
LRESULT run_on_owner(const std::shared_ptr<WindowRecord>& window, std::function<LRESULT()> work);

// Key state (window_keys.cpp): a key message was retrieved by the calling thread.
void note_retrieved_key(const MSG& msg);
// GUI thread: the physical state of a key changed; `vk` is the generic or left/right code.
void note_key_event(UINT vk, bool down);
// GUI thread: a lock key's light (VK_CAPITAL, VK_NUMLOCK, VK_SCROLL) as the server shows it.
void note_lock_state(UINT vk, bool on);
// GUI thread: the keybd_event that this X key event comes from, if any; its record (vkCode, scanCode,
// flags with LLKHF_INJECTED and the extended flag, dwExtraInfo) is handed out once.
bool take_injected_key(unsigned keycode, bool down, KBDLLHOOKSTRUCT* info);
// The WH_KEYBOARD_LL hooks of this process; true when one of them swallowed the event.
bool run_keyboard_hooks(WPARAM message, const KBDLLHOOKSTRUCT& info);

// Focus and activation (window.cpp), on the owner thread of the windows.
void activate_window(HWND hwnd, bool active);

// Pointer routing (window_pointer.cpp), GUI thread: the window that gets mouse input over `over` (the capture
// window when there is one), and the pointer left `hwnd`'s X window.
HWND mouse_target(HWND over);
void pointer_left(HWND hwnd);
// The window is gone: capture and tracking end with it.
void forget_pointer_window(HWND hwnd);

// X11 side of the windows (window_x11.cpp); each does nothing without a display or for windows without an
// X window. GUI thread.
void x11_create_window(WindowRecord& window);
void x11_destroy_window(WindowRecord& window);
void x11_show_window(WindowRecord& window, bool visible, bool activate);
void x11_place_window(WindowRecord& window);
void x11_set_title(WindowRecord& window);
void x11_minimize_window(WindowRecord& window);
void x11_focus_window(WindowRecord& window);
void x11_grab_pointer(WindowRecord& window, bool grab);
bool x11_grab_keyboard(WindowRecord& window, bool grab);
// True when the pointer is inside the window's client area, or when there is no way to know.
bool x11_pointer_inside(WindowRecord& window);
// Copies the rectangle (client coordinates) of the back buffer to the X window.
void x11_present(WindowRecord& window, const RECT& rect);

// The window is gone: its back buffer goes (window_paint.cpp).
void release_back_buffer(WindowRecord& window);

// For the cursor and layered-window code: the X window of a top-level window, and back. GUI thread.
Window x11_window_of(HWND hwnd);
HWND hwnd_of_x11_window(Window window);

}  // namespace winapi_internal
