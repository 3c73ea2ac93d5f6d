// Top-level windows on the X display, and X events turned into window messages.
//
// The event handler runs inside the GUI thread's waits and message retrieval. What Windows delivers as sent
// messages (size, move, focus, close) is queued on the window's thread as a sent message, so window
// procedures run only where the thread retrieves messages; input is posted.
#include "message_queue.h"
#include "tick_clock.h"
#include "window_internal.h"
#include "x11_shm.h"
#include "x11_connection.h"
#include "x11_keyboard.h"
#include "winapi/sysinfoapi.h"
#include "winapi/winuser_display.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <string>

namespace winapi_internal {
namespace {

constexpr uint64_t size_move_quiet_ns = 300000000;

struct Atoms {
    Atom protocols;
    Atom delete_window;
    Atom net_wm_name;
    Atom utf8_string;
};

bool handle_event(XEvent& event);

// GUI thread; null without a display. The handler is registered with the first window.
const Atoms* atoms() {
    static Atoms* value = nullptr;
    Display* display = x11_display();
    if (!display) {
        return nullptr;
    }
    if (!value) {
        value = new Atoms{
            XInternAtom(display, "WM_PROTOCOLS", False), XInternAtom(display, "WM_DELETE_WINDOW", False),
            XInternAtom(display, "_NET_WM_NAME", False), XInternAtom(display, "UTF8_STRING", False)};
        // Held keys then repeat as presses only, as Windows repeats WM_KEYDOWN.
        XkbSetDetectableAutoRepeat(display, True, nullptr);
        x11_add_event_handler(handle_event);
    }
    return value;
}

std::string utf8(const std::u16string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

void queue_sent(const std::shared_ptr<WindowRecord>& window, UINT message, WPARAM wparam, LPARAM lparam) {
    auto sent = std::make_shared<SentMessage>();
    sent->hwnd = window->hwnd;
    sent->message = message;
    sent->wparam = wparam;
    sent->lparam = lparam;
    window->queue->send(std::move(sent));
}

void queue_task(const std::shared_ptr<WindowRecord>& window, std::function<void()> task) {
    auto sent = std::make_shared<SentMessage>();
    sent->hwnd = window->hwnd;
    sent->task = std::move(task);
    window->queue->send(std::move(sent));
}

void post(const std::shared_ptr<WindowRecord>& window, HWND target, UINT message, WPARAM wparam,
          LPARAM lparam, int root_x, int root_y) {
    window->queue->post(MSG{target, message, wparam, lparam, GetTickCount(), POINT{root_x, root_y}});
}

WPARAM mouse_keys(unsigned state) {
    WPARAM keys = 0;
    if (state & Button1Mask)
        keys |= MK_LBUTTON;
    if (state & Button2Mask)
        keys |= MK_MBUTTON;
    if (state & Button3Mask)
        keys |= MK_RBUTTON;
    if (state & ShiftMask)
        keys |= MK_SHIFT;
    if (state & ControlMask)
        keys |= MK_CONTROL;
    return keys;
}

void on_configure(const std::shared_ptr<WindowRecord>& window, const XConfigureEvent& event) {
    int x = event.x;
    int y = event.y;
    if (!event.send_event) {
        // A real event is relative to the parent, which a window manager may have put around the window.
        Window child;
        XTranslateCoordinates(event.display, event.window, DefaultRootWindow(event.display), 0, 0, &x, &y,
                              &child);
    }
    bool moved;
    bool resized;
    {
        std::lock_guard<std::mutex> guard(window_lock());
        RECT& r = window->rect;
        moved = x != r.left || y != r.top;
        resized = event.width != r.right - r.left || event.height != r.bottom - r.top;
        r = RECT{x, y, x + event.width, y + event.height};
    }
    if (!resized && !moved) {
        return;  // our own change, already told
    }
    // The user moves or sizes the window through the window manager, which X does not report as a loop:
    // bracket the changes the way Windows' move/size loop does, ending after a quiet spell.
    if (!window->sizing) {
        window->sizing = true;
        queue_sent(window, WM_ENTERSIZEMOVE, 0, 0);
    }
    if (resized) {
        queue_sent(window, WM_SIZE, SIZE_RESTORED, MAKELPARAM(event.width, event.height));
        InvalidateRect(window->hwnd, nullptr, TRUE);
    }
    if (moved) {
        queue_sent(window, WM_MOVE, 0, MAKELPARAM(x, y));
    }
    window->queue->defer(window.get(), monotonic_ns() + size_move_quiet_ns, [window] {
        if (window->sizing) {
            window->sizing = false;
            SendMessageW(window->hwnd, WM_EXITSIZEMOVE, 0, 0);
        }
    });
}

void sync_lock_lights(Display* display) {
    static const struct {
        const char* name;
        UINT vk;
    } lights[] = {{"Caps Lock", VK_CAPITAL}, {"Num Lock", VK_NUMLOCK}, {"Scroll Lock", VK_SCROLL}};
    for (const auto& light : lights) {
        Bool on = False;
        if (XkbGetNamedIndicator(display, XInternAtom(display, light.name, False), nullptr, &on, nullptr,
                                 nullptr)) {
            note_lock_state(light.vk, on);
        }
    }
}

void on_key(const std::shared_ptr<WindowRecord>& window, const XKeyEvent& event) {
    UINT scan = 0;
    bool extended = false;
    if (!x11_key_to_scancode(event.display, event.keycode, &scan, &extended)) {
        return;
    }
    const bool down = event.type == KeyPress;
    const bool num_lock = (event.state & Mod2Mask) != 0;
    UINT vk = scancode_to_vk(scan, extended, num_lock);
    if (!vk) {
        return;
    }
    UINT specific = vk;
    if (vk == VK_SHIFT) {
        specific = scan == 0x36 ? VK_RSHIFT : VK_LSHIFT;
    } else if (vk == VK_CONTROL) {
        specific = extended ? VK_RCONTROL : VK_LCONTROL;
    } else if (vk == VK_MENU) {
        specific = extended ? VK_RMENU : VK_LMENU;
    }
    const bool was_down = (GetAsyncKeyState(static_cast<int>(specific)) & 0x8000) != 0;
    note_key_event(specific, down);
    if (vk == VK_CAPITAL || vk == VK_NUMLOCK || vk == VK_SCROLL) {
        sync_lock_lights(event.display);
    }
    const bool alt = (GetAsyncKeyState(VK_MENU) & 0x8000) != 0;
    const bool control = (GetAsyncKeyState(VK_CONTROL) & 0x8000) != 0;
    // Alt without Ctrl (AltGr arrives as Right Alt alone), or F10, makes system keys.
    const bool system = (alt && !control) || vk == VK_F10 || (vk == VK_MENU && !control);
    UINT message = system ? (down ? WM_SYSKEYDOWN : WM_SYSKEYUP) : (down ? WM_KEYDOWN : WM_KEYUP);
    LPARAM lparam = 1 | (static_cast<LPARAM>(scan & 0xFF) << 16);
    if (extended)
        lparam |= 1L << 24;
    if (alt && system && vk != VK_F10)
        lparam |= 1L << 29;
    if (!down || was_down)
        lparam |= 1L << 30;
    if (!down)
        lparam |= 1L << 31;
    KBDLLHOOKSTRUCT info{
        specific, scan,
        (extended ? LLKHF_EXTENDED : 0u) | (alt ? LLKHF_ALTDOWN : 0u) | (down ? 0u : LLKHF_UP),
        GetTickCount(), 0};
    KBDLLHOOKSTRUCT injected;
    if (take_injected_key(event.keycode, down, &injected)) {
        // Typed by keybd_event: the hooks and the message get the caller's key, scan code and extended flag.
        if (injected.vkCode) {
            info.vkCode = injected.vkCode;
        }
        info.scanCode = injected.scanCode;
        info.flags = (info.flags & ~LLKHF_EXTENDED) | (injected.flags & LLKHF_EXTENDED) | LLKHF_INJECTED;
        info.dwExtraInfo = injected.dwExtraInfo;
        lparam = (lparam & ~(LPARAM(0x1FF) << 16)) | (LPARAM(injected.scanCode & 0xFF) << 16);
        if (injected.flags & LLKHF_EXTENDED) {
            lparam |= 1L << 24;
        }
    }
    int root_x = event.x_root;
    int root_y = event.y_root;
    HWND hwnd = window->hwnd;
    queue_task(window, [window, hwnd, message, vk, lparam, info, root_x, root_y] {
        if (run_keyboard_hooks(message, info)) {
            return;
        }
        HWND target = GetFocus();
        if (!target) {
            target = hwnd;
        }
        window->queue->post(MSG{target, message, vk, lparam, info.time, POINT{root_x, root_y}});
    });
}

// Keys pressed or released while another window had the focus were not seen: take the server's view.
void sync_key_state(Display* display) {
    char keys[32];
    XQueryKeymap(display, keys);
    for (unsigned keycode = 8; keycode < 256; ++keycode) {
        UINT scan;
        bool extended;
        if (!x11_key_to_scancode(display, keycode, &scan, &extended)) {
            continue;
        }
        UINT vk = scancode_to_vk(scan, extended);
        if (vk == VK_SHIFT) {
            vk = scan == 0x36 ? VK_RSHIFT : VK_LSHIFT;
        } else if (vk == VK_CONTROL) {
            vk = extended ? VK_RCONTROL : VK_LCONTROL;
        } else if (vk == VK_MENU) {
            vk = extended ? VK_RMENU : VK_LMENU;
        }
        bool down = (keys[keycode / 8] >> (keycode % 8)) & 1;
        if (vk && down != ((GetAsyncKeyState(static_cast<int>(vk)) & 0x8000) != 0)) {
            note_key_event(vk, down);
        }
    }
    sync_lock_lights(display);
}

// The window that gets the mouse message (the capture window, if any) and the point in its client area.
std::shared_ptr<WindowRecord> mouse_window(const std::shared_ptr<WindowRecord>& over, int x, int y,
                                           int root_x, int root_y, LPARAM* point) {
    HWND target = mouse_target(over->hwnd);
    std::shared_ptr<WindowRecord> window = target == over->hwnd ? over : find_window(target);
    if (!window) {
        return nullptr;
    }
    if (window != over) {
        POINT client{root_x, root_y};
        ScreenToClient(target, &client);
        x = client.x;
        y = client.y;
    }
    *point = MAKELPARAM(x, y);
    return window;
}

void on_button(const std::shared_ptr<WindowRecord>& over, const XButtonEvent& event) {
    LPARAM point;
    std::shared_ptr<WindowRecord> window =
        mouse_window(over, event.x, event.y, event.x_root, event.y_root, &point);
    if (!window) {
        return;
    }
    const bool down = event.type == ButtonPress;
    WPARAM keys = mouse_keys(event.state);
    UINT message = 0;
    WPARAM flag = 0;
    switch (event.button) {
        case Button1:
            message = down ? WM_LBUTTONDOWN : WM_LBUTTONUP;
            flag = MK_LBUTTON;
            break;
        case Button2:
            message = down ? WM_MBUTTONDOWN : WM_MBUTTONUP;
            flag = MK_MBUTTON;
            break;
        case Button3:
            message = down ? WM_RBUTTONDOWN : WM_RBUTTONUP;
            flag = MK_RBUTTON;
            break;
        case Button4:
        case Button5:
        case 6:
        case 7: {
            if (!down) {
                return;
            }
            short delta = (event.button == Button4 || event.button == 7) ? WHEEL_DELTA : -WHEEL_DELTA;
            UINT wheel = event.button <= Button5 ? WM_MOUSEWHEEL : WM_MOUSEHWHEEL;
            HWND hwnd = window->hwnd;
            WPARAM wparam = MAKEWPARAM(keys, delta);
            LPARAM lparam = MAKELPARAM(event.x_root, event.y_root);
            int root_x = event.x_root;
            int root_y = event.y_root;
            // The wheel goes to the focus window, with the point in screen coordinates.
            queue_task(window, [window, hwnd, wheel, wparam, lparam, root_x, root_y] {
                HWND target = GetFocus();
                post(window, target ? target : hwnd, wheel, wparam, lparam, root_x, root_y);
            });
            return;
        }
        case 8:
        case 9:
            message = down ? WM_XBUTTONDOWN : WM_XBUTTONUP;
            flag = event.button == 8 ? MK_XBUTTON1 : MK_XBUTTON2;
            keys = MAKEWPARAM(keys, event.button == 8 ? XBUTTON1 : XBUTTON2);
            break;
        default:
            return;
    }
    keys = down ? (keys | flag) : (keys & ~flag);
    post(window, window->hwnd, message, keys, point, event.x_root, event.y_root);
}

void on_motion(const std::shared_ptr<WindowRecord>& over, const XMotionEvent& event) {
    LPARAM point;
    std::shared_ptr<WindowRecord> window =
        mouse_window(over, event.x, event.y, event.x_root, event.y_root, &point);
    if (!window) {
        return;
    }
    if (window == over) {
        // Uncaptured, the window under the pointer may set the cursor first.
        queue_sent(window, WM_SETCURSOR, reinterpret_cast<WPARAM>(window->hwnd),
                   MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
    }
    post(window, window->hwnd, WM_MOUSEMOVE, mouse_keys(event.state), point, event.x_root, event.y_root);
}

// Focus went from `hwnd` to somewhere: another window of this process is an activation inside the
// application, anything else deactivates it.
void focus_left(HWND hwnd) {
    Display* display = x11_display();
    Window focus = 0;
    int revert;
    if (display) {
        XGetInputFocus(display, &focus, &revert);
    }
    HWND next = hwnd_of_x11_window(focus);
    if (next && next != hwnd) {
        activate_window(next, true);
    } else if (!next) {
        activate_window(hwnd, false);
    }
}

bool handle_event(XEvent& event) {
    HWND hwnd = hwnd_of_x11_window(event.xany.window);
    std::shared_ptr<WindowRecord> window = hwnd ? find_window(hwnd) : nullptr;
    if (!window) {
        return false;
    }
    switch (event.type) {
        case Expose: {
            RECT area{event.xexpose.x, event.xexpose.y, event.xexpose.x + event.xexpose.width,
                      event.xexpose.y + event.xexpose.height};
            InvalidateRect(hwnd, &area, FALSE);
            break;
        }
        case ConfigureNotify:
            on_configure(window, event.xconfigure);
            break;
        case MapNotify:
            if (window->focus_when_mapped) {
                window->focus_when_mapped = false;
                XSetInputFocus(event.xany.display, window->x_window, RevertToParent, CurrentTime);
            }
            break;
        case FocusIn:
            if (event.xfocus.detail != NotifyPointer) {
                sync_key_state(event.xany.display);
                queue_task(window, [hwnd] { activate_window(hwnd, true); });
            }
            break;
        case FocusOut:
            if (event.xfocus.detail != NotifyPointer && event.xfocus.mode != NotifyGrab) {
                queue_task(window, [hwnd] { focus_left(hwnd); });
            }
            break;
        case ClientMessage:
            if (event.xclient.message_type == atoms()->protocols && event.xclient.format == 32 &&
                static_cast<Atom>(event.xclient.data.l[0]) == atoms()->delete_window) {
                queue_sent(window, WM_SYSCOMMAND, SC_CLOSE, 0);
                break;
            }
            return false;
        case KeyPress:
        case KeyRelease:
            on_key(window, event.xkey);
            break;
        case ButtonPress:
        case ButtonRelease:
            on_button(window, event.xbutton);
            break;
        case MotionNotify:
            on_motion(window, event.xmotion);
            break;
        case LeaveNotify:
            if (event.xcrossing.mode == NotifyNormal) {
                pointer_left(hwnd);
            }
            break;
        default:
            return false;  // other handlers may want it (selections, cursor and pointer events)
    }
    return true;
}

}  // namespace

void x11_create_window(WindowRecord& window) {
    Display* display = x11_display();
    if (!display || !atoms()) {
        return;
    }
    XSetWindowAttributes attributes{};
    attributes.event_mask = ExposureMask | StructureNotifyMask | FocusChangeMask | KeyPressMask |
                            KeyReleaseMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask |
                            LeaveWindowMask;
    attributes.background_pixmap = None;  // the back buffer paints everything; no flash of a background
    RECT r = window.rect;
    window.x_window =
        XCreateWindow(display, DefaultRootWindow(display), r.left, r.top,
                      static_cast<unsigned>(std::max<LONG>(r.right - r.left, 1)),
                      static_cast<unsigned>(std::max<LONG>(r.bottom - r.top, 1)), 0, CopyFromParent,
                      InputOutput, CopyFromParent, CWEventMask | CWBackPixmap, &attributes);
    if (!window.x_window) {
        return;
    }
    Atom protocols[] = {atoms()->delete_window};
    XSetWMProtocols(display, window.x_window, protocols, 1);
    XSizeHints hints{};
    hints.flags = USPosition | USSize;
    XSetWMNormalHints(display, window.x_window, &hints);
    x11_set_title(window);
}

void x11_destroy_window(WindowRecord& window) {
    Display* display = x11_display();
    if (display && window.x_window) {
        XDestroyWindow(display, window.x_window);
        XFlush(display);
    }
    window.x_window = 0;
}

void x11_show_window(WindowRecord& window, bool visible, bool activate) {
    Display* display = x11_display();
    if (!display || !window.x_window) {
        return;
    }
    if (visible) {
        DWORD ex_style;
        {
            std::lock_guard<std::mutex> guard(window_lock());
            ex_style = window.ex_style;
        }
        window.focus_when_mapped = activate && !(ex_style & WS_EX_NOACTIVATE);
        XMapRaised(display, window.x_window);
    } else {
        XUnmapWindow(display, window.x_window);
    }
    XFlush(display);
}

void x11_place_window(WindowRecord& window) {
    Display* display = x11_display();
    if (!display || !window.x_window) {
        return;
    }
    RECT r;
    {
        std::lock_guard<std::mutex> guard(window_lock());
        r = window.rect;
    }
    XMoveResizeWindow(display, window.x_window, r.left, r.top,
                      static_cast<unsigned>(std::max<LONG>(r.right - r.left, 1)),
                      static_cast<unsigned>(std::max<LONG>(r.bottom - r.top, 1)));
    XFlush(display);
}

void x11_set_title(WindowRecord& window) {
    Display* display = x11_display();
    if (!display || !window.x_window || !atoms()) {
        return;
    }
    std::string title;
    {
        std::lock_guard<std::mutex> guard(window_lock());
        title = utf8(window.text);
    }
    XChangeProperty(display, window.x_window, atoms()->net_wm_name, atoms()->utf8_string, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(title.data()), static_cast<int>(title.size()));
    XStoreName(display, window.x_window, title.c_str());
    XFlush(display);
}

void x11_minimize_window(WindowRecord& window) {
    Display* display = x11_display();
    if (display && window.x_window) {
        XIconifyWindow(display, window.x_window, DefaultScreen(display));
        XFlush(display);
    }
}

void x11_focus_window(WindowRecord& window) {
    Display* display = x11_display();
    if (!display || !window.x_window) {
        return;
    }
    XWindowAttributes attributes;
    if (XGetWindowAttributes(display, window.x_window, &attributes) && attributes.map_state == IsViewable) {
        XSetInputFocus(display, window.x_window, RevertToParent, CurrentTime);
        XFlush(display);
    } else {
        window.focus_when_mapped = true;
    }
}

void x11_grab_pointer(WindowRecord& window, bool grab) {
    Display* display = x11_display();
    if (!display || !window.x_window) {
        return;
    }
    if (grab) {
        XGrabPointer(display, window.x_window, False, ButtonPressMask | ButtonReleaseMask | PointerMotionMask,
                     GrabModeAsync, GrabModeAsync, None, None, CurrentTime);
    } else {
        XUngrabPointer(display, CurrentTime);
    }
    XFlush(display);
}

bool x11_grab_keyboard(WindowRecord& window, bool grab) {
    Display* display = x11_display();
    if (!display || !window.x_window) {
        return false;
    }
    bool done = true;
    if (grab) {
        done = XGrabKeyboard(display, window.x_window, False, GrabModeAsync, GrabModeAsync, CurrentTime) ==
               GrabSuccess;
    } else {
        XUngrabKeyboard(display, CurrentTime);
    }
    XFlush(display);
    return done;
}

bool x11_pointer_inside(WindowRecord& window) {
    Display* display = x11_display();
    if (!display || !window.x_window) {
        return true;
    }
    Window root, child;
    int root_x, root_y, x, y;
    unsigned mask;
    if (!XQueryPointer(display, window.x_window, &root, &child, &root_x, &root_y, &x, &y, &mask)) {
        return false;  // on another screen
    }
    std::lock_guard<std::mutex> guard(window_lock());
    return x >= 0 && y >= 0 && x < window.rect.right - window.rect.left &&
           y < window.rect.bottom - window.rect.top;
}

void x11_present(WindowRecord& window, const RECT& rect) {
    Display* display = x11_display();
    if (!display || !window.x_window) {
        return;
    }
    std::lock_guard<std::mutex> guard(window_lock());
    pixman_image_t* image = window.back_buffer;
    if (!image) {
        return;
    }
    int width = pixman_image_get_width(image);
    int height = pixman_image_get_height(image);
    int left = std::max<int>(rect.left, 0);
    int top = std::max<int>(rect.top, 0);
    int right = std::min<int>(rect.right, width);
    int bottom = std::min<int>(rect.bottom, height);
    if (left >= right || top >= bottom) {
        return;
    }
    int screen = DefaultScreen(display);
    if (x11_shm_put(window.x_window, DefaultGC(display, screen), image, left, top, right - left,
                    bottom - top)) {
        return;
    }
    XImage* ximage =
        XCreateImage(display, DefaultVisual(display, screen), 24, ZPixmap, 0,
                     reinterpret_cast<char*>(pixman_image_get_data(image)), static_cast<unsigned>(width),
                     static_cast<unsigned>(height), 32, pixman_image_get_stride(image));
    if (!ximage) {
        return;
    }
    XPutImage(display, window.x_window, DefaultGC(display, screen), ximage, left, top, left, top,
              static_cast<unsigned>(right - left), static_cast<unsigned>(bottom - top));
    ximage->data = nullptr;  // the pixels belong to the back buffer
    XDestroyImage(ximage);
    XFlush(display);
}

Window x11_window_of(HWND hwnd) {
    std::shared_ptr<WindowRecord> window = find_window(hwnd);
    return window ? window->x_window : 0;
}

HWND hwnd_of_x11_window(Window x_window) {
    if (!x_window) {
        return nullptr;
    }
    for (auto& window : top_level_windows()) {
        if (window->x_window == x_window) {
            return window->hwnd;
        }
    }
    return nullptr;
}

}  // namespace winapi_internal
