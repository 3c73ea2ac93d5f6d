#include "display/red_window.h"

#include "app/application_interface.h"
#include "platform/local_cursor.h"
#include "platform/platform.h"
#include "platform/session_block.h"
#include "runtime/exception.h"
#include "runtime/log.h"
#include "runtime/threads.h"

#include <algorithm>

namespace {

const char16_t* const WINDOW_CLASS = u"redc_wclass";
const UINT START_TIMEOUT_TIMER = 1000;
HWND first_window = nullptr;

// Key code of a key message: the set-1 scan code, plus 256 for an extended key.
int key_code_of(LPARAM lparam) {
    int scan = int((lparam >> 16) & 0xFF);
    if (lparam & (1 << 24)) {
        scan += 256;
    }
    return scan;
}

unsigned int buttons_mask(WPARAM key_flags) {
    unsigned int mask = 0;
    if (key_flags & MK_LBUTTON) {
        mask |= RedWindow::BUTTON_MASK_LEFT;
    }
    if (key_flags & MK_MBUTTON) {
        mask |= RedWindow::BUTTON_MASK_MIDDLE;
    }
    if (key_flags & MK_RBUTTON) {
        mask |= RedWindow::BUTTON_MASK_RIGHT;
    }
    return mask;
}

// No keyboard layout text source yet: keys produce no characters.
int no_key_text(UINT, UINT, char16_t*, int) {
    return 0;
}

}  // namespace

bool RedWindow::channel_connected = false;
SIZE RedWindow::display_size = {0, 0};

void RedWindow::init() {
    WNDCLASSEXW window_class = {};
    window_class.cbSize = sizeof(window_class);
    window_class.style = CS_VREDRAW | CS_HREDRAW | CS_OWNDC;
    window_class.lpfnWndProc = DefWindowProcW;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    window_class.lpszClassName = WINDOW_CLASS;
    if (!RegisterClassExW(&window_class) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        THROW("register class failed");
    }
}

HWND RedWindow::session_window() {
    return first_window;
}

RedWindow::RedWindow(ApplicationInterface& app, Listener& listener)
    : key_text(no_key_text), _app(app), _listener(listener) {
    init();
    DWORD ex_style = WS_EX_WINDOWEDGE;
    _hwnd =
        CreateWindowExW(ex_style, WINDOW_CLASS, u"", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                        CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (!_hwnd) {
        THROW("create window failed");
    }
    if (!first_window) {
        first_window = _hwnd;
    }
    SetWindowLongPtrW(_hwnd, GWLP_USERDATA, LONG_PTR(this));
    SetWindowLongPtrW(_hwnd, GWLP_WNDPROC, LONG_PTR(WindowProc));
    _inactive_cursor = new WinInactiveCursor();
}

RedWindow::~RedWindow() {
    if (_paint_depth > 0) {
        ReleaseDC(_hwnd, _platform.dc);
        _platform.dc = nullptr;
    }
    SetWindowLongPtrW(_hwnd, GWLP_WNDPROC, LONG_PTR(DefWindowProcW));
    SetWindowLongPtrW(_hwnd, GWLP_USERDATA, 0);
    if (_clipped) {
        ClipCursor(nullptr);
    }
    DestroyWindow(_hwnd);
    if (first_window == _hwnd) {
        first_window = nullptr;
    }
    if (_cursor) {
        _cursor->unref();
    }
    if (_pending_cursor) {
        _pending_cursor->unref();
    }
    _inactive_cursor->unref();
}

SIZE RedWindow::get_size() {
    RECT client{};
    GetClientRect(_hwnd, &client);
    return SIZE{client.right - client.left, client.bottom - client.top};
}

void RedWindow::begin_paint() {
    if (_paint_depth++ == 0) {
        _platform.dc = GetDC(_hwnd);
    }
}

void RedWindow::end_paint() {
    if (_paint_depth == 0) {
        return;
    }
    if (--_paint_depth == 0) {
        if (_platform.dc) {
            ReleaseDC(_hwnd, _platform.dc);
        }
        _platform.dc = nullptr;
    }
}

void RedWindow::set_title(const std::string& title) {
    int count = MultiByteToWideChar(CP_UTF8, 0, title.c_str(), -1, nullptr, 0);
    if (count <= 0) {
        THROW("fail to conver utf8 to wchar");
    }
    std::u16string text(size_t(count), u'\0');
    MultiByteToWideChar(CP_UTF8, 0, title.c_str(), -1, reinterpret_cast<WCHAR*>(&text[0]), count);
    SetWindowTextW(_hwnd, reinterpret_cast<const WCHAR*>(text.c_str()));
}

DWORD RedWindow::style_of(Type type) const {
    return type == TYPE_FULLSCREEN ? 0 : WS_OVERLAPPEDWINDOW;
}

void RedWindow::set_type(Type type) {
    if (type != TYPE_NORMAL && type != TYPE_FULLSCREEN) {
        THROW("invalid type %d", int(type));
    }
    _type = type;
}

void RedWindow::show(int screen_id) {
    if (IsIconic(_hwnd)) {
        ShowWindow(_hwnd, SW_RESTORE);
    }
    if (!ApplicationInterface::debug_mode) {
        SetWindowLongPtrW(_hwnd, GWL_STYLE, LONG_PTR(style_of(_type)));
    }
    HWND after = _type == TYPE_FULLSCREEN ? HWND_TOPMOST : HWND_NOTOPMOST;
    SetWindowPos(_hwnd, after, 0, 0, 0, 0,
                 SWP_NOSIZE | SWP_NOMOVE | SWP_NOACTIVATE | SWP_FRAMECHANGED | SWP_SHOWWINDOW);
    ShowWindow(_hwnd, IsWindowVisible(_hwnd) ? SW_SHOWNA : SW_SHOW);
}

void RedWindow::hide() {
    ShowWindow(_hwnd, SW_HIDE);
}

void RedWindow::minimize() {
    ShowWindow(_hwnd, SW_MINIMIZE);
}

void RedWindow::activate() {
    SetForegroundWindow(_hwnd);
    SetFocus(_hwnd);
}

void RedWindow::resize(int width, int height) {
    RECT outer{0, 0, width, height};
    AdjustWindowRectEx(&outer, style_of(_type), FALSE, DWORD(GetWindowLongPtrW(_hwnd, GWL_EXSTYLE)));
    int outer_width = outer.right - outer.left;
    int outer_height = outer.bottom - outer.top;
    LOG_INFO("[resize]width=%d, height=%d, winsize.x=%d, winsize.y=%d", width, height, outer_width,
             outer_height);
    SetWindowPos(_hwnd, nullptr, 0, 0, outer_width, outer_height, SWP_NOACTIVATE | SWP_NOZORDER | SWP_NOMOVE);
    display_size = SIZE{width, height};
}

void RedWindow::move_and_resize(int x, int y, int width, int height) {
    RECT outer{0, 0, width, height};
    AdjustWindowRectEx(&outer, style_of(_type), FALSE, DWORD(GetWindowLongPtrW(_hwnd, GWL_EXSTYLE)));
    int outer_width = outer.right - outer.left;
    int outer_height = outer.bottom - outer.top;
    LOG_INFO("[move_and_resize] x=%d, y=%d, width=%d, height=%d, winsize.x=%d, winsize.y=%d", x, y, width,
             height, outer_width, outer_height);
    SetWindowPos(_hwnd, nullptr, x, y, outer_width, outer_height, SWP_NOACTIVATE | SWP_NOZORDER);
    if (_minimized) {
        _saved_position = POINT{x, y};
        _position_saved = true;
    }
    display_size = SIZE{width, height};
}

POINT RedWindow::get_position() {
    if (!_minimized && !IsIconic(_hwnd)) {
        RECT rect{};
        GetWindowRect(_hwnd, &rect);
        return POINT{rect.left, rect.top};
    }
    return _position_saved ? _saved_position : POINT{0, 0};
}

POINT RedWindow::get_screen_position() {
    if (!_minimized && !IsIconic(_hwnd)) {
        POINT point{0, 0};
        ClientToScreen(_hwnd, &point);
        return point;
    }
    return _position_saved ? _saved_position : POINT{0, 0};
}

// ---- Cursor and pointer ----

void RedWindow::set_cursor(LocalCursor* cursor, bool force) {
    if (!cursor) {
        return;
    }
    bool ready = (_input_ready & (READY_CURSOR | READY_INPUTS)) == (READY_CURSOR | READY_INPUTS);
    if (!force && !ready) {
        if (_pending_cursor != cursor) {
            if (_pending_cursor) {
                _pending_cursor->unref();
            }
            _pending_cursor = cursor->ref();
        }
        return;
    }
    if (_cursor != cursor) {
        if (_cursor) {
            _cursor->hide(_hwnd);
            _cursor->unref();
        }
        _cursor = cursor->ref();
    }
    if (_pointer_inside) {
        _cursor->set(_hwnd);
        while (ShowCursor(TRUE) < 0) {
        }
    }
    _cursor_visible = true;
}

void RedWindow::set_input_ready(uint32_t bits, bool set) {
    if (set) {
        _input_ready |= bits;
        bool ready = (_input_ready & (READY_CURSOR | READY_INPUTS)) == (READY_CURSOR | READY_INPUTS);
        if (ready && _pending_cursor) {
            LocalCursor* pending = _pending_cursor;
            _pending_cursor = nullptr;
            set_cursor(pending, true);
            pending->unref();
        }
        return;
    }
    _input_ready &= ~bits;
    if (_cursor != _inactive_cursor) {
        if (_cursor) {
            _cursor->unref();
        }
        _cursor = _inactive_cursor->ref();
    }
    if (_pointer_inside) {
        _cursor->set(_hwnd);
        while (ShowCursor(TRUE) < 0) {
        }
    }
}

void RedWindow::hide_cursor() {
    bool ready = (_input_ready & (READY_CURSOR | READY_INPUTS)) == (READY_CURSOR | READY_INPUTS);
    if (!ready || !_cursor_visible) {
        return;
    }
    if (_pointer_inside) {
        while (ShowCursor(FALSE) >= 0) {
        }
    }
    if (_cursor) {
        _cursor->hide(_hwnd);
    }
    _cursor_visible = false;
}

void RedWindow::capture_mouse() {
    RECT client{};
    GetClientRect(_hwnd, &client);
    POINT top_left{client.left, client.top};
    POINT bottom_right{client.right, client.bottom};
    ClientToScreen(_hwnd, &top_left);
    ClientToScreen(_hwnd, &bottom_right);
    RECT clip{top_left.x, top_left.y, bottom_right.x, bottom_right.y};
    ClipCursor(&clip);
    _clipped = true;
}

void RedWindow::release_mouse() {
    ClipCursor(nullptr);
    _clipped = false;
}

bool find_anchor_point(const RECT& bounds, const std::function<bool(int, int)>& inside, POINT& point);

bool RedWindow::get_mouse_anchor_point(POINT& point) {
    RECT client{};
    GetClientRect(_hwnd, &client);
    auto inside = [&](int x, int y) {
        return x >= client.left && x < client.right && y >= client.top && y < client.bottom;
    };
    if (!IsWindowVisible(_hwnd) || !find_anchor_point(client, inside, point)) {
        return false;
    }
    point.x -= _origin.x;
    point.y -= _origin.y;
    return true;
}

// The first point, on ever finer grids over the bounds, that lies inside together with the four points 10
// pixels away diagonally.
bool find_anchor_point(const RECT& bounds, const std::function<bool(int, int)>& inside, POINT& point) {
    const int margin = 10;
    int width = bounds.right - bounds.left;
    int height = bounds.bottom - bounds.top;
    if (width <= 0 || height < 2 * margin) {
        return false;
    }
    auto accept = [&](int x, int y) {
        return inside(x, y) && inside(x - margin, y - margin) && inside(x + margin, y - margin) &&
               inside(x - margin, y + margin) && inside(x + margin, y + margin);
    };
    int center_x = bounds.left + width / 2;
    int center_y = bounds.top + height / 2;
    if (accept(center_x, center_y)) {
        point = POINT{center_x, center_y};
        return true;
    }
    int step_x = width / 2;
    int step_y = height / 2;
    while (2 * std::max(step_x, step_y) >= 2 * margin) {
        step_x /= 2;
        step_y /= 2;
        if (step_x <= 0 || step_y <= 0) {
            break;
        }
        for (int y = bounds.top + step_y; y < bounds.bottom; y += 2 * step_y) {
            for (int x = bounds.left + step_x; x < bounds.right; x += 2 * step_x) {
                if (accept(x, y)) {
                    point = POINT{x, y};
                    return true;
                }
            }
        }
    }
    return false;
}

void RedWindow::on_pointer_enter(int x, int y, unsigned int buttons_state) {
    if (_pointer_inside) {
        return;
    }
    if (_cursor_visible) {
        if (_cursor) {
            _cursor->set(_hwnd);
        }
        while (ShowCursor(TRUE) < 0) {
        }
    } else {
        while (ShowCursor(FALSE) >= 0) {
        }
    }
    _pointer_inside = true;
    _listener.on_pointer_enter(x, y, buttons_state);
    TRACKMOUSEEVENT track = {};
    track.cbSize = sizeof(track);
    track.dwFlags = TME_LEAVE;
    track.hwndTrack = _hwnd;
    if (!TrackMouseEvent(&track)) {
        THROW("track mouse event failed");
    }
}

void RedWindow::on_pointer_leave() {
    if (!_pointer_inside) {
        return;
    }
    if (!_cursor_visible) {
        while (ShowCursor(TRUE) < 0) {
        }
    }
    _pointer_inside = false;
    _listener.on_pointer_leave();
}

// ---- Focus and key interception ----

void RedWindow::on_focus_in() {
    _focused = true;
    _listener.on_activate();
    if (_key_interception_wanted && !_key_interception_on) {
        _key_interception_on = true;
        _app.sys_key_intercept_mode = true;
        _listener.on_start_key_interception();
    }
}

void RedWindow::on_focus_out() {
    if (!_focused) {
        return;
    }
    _focused = false;
    if (_key_interception_on) {
        _key_interception_on = false;
        _app.sys_key_intercept_mode = false;
        _listener.on_stop_key_interception();
    }
    _listener.on_deactivate();
}

void RedWindow::start_key_interception() {
    if (_key_interception_wanted) {
        return;
    }
    _key_interception_wanted = true;
    if (_focused && _pointer_inside && !_key_interception_on) {
        _key_interception_on = true;
        _app.sys_key_intercept_mode = true;
        _listener.on_start_key_interception();
    }
}

void RedWindow::stop_key_interception() {
    if (!_key_interception_wanted) {
        return;
    }
    _key_interception_wanted = false;
    if (_key_interception_on) {
        _key_interception_on = false;
        _app.sys_key_intercept_mode = false;
        _listener.on_stop_key_interception();
    }
}

void RedWindow::notify_guest_change_resolution() {
    SIZE size = get_size();
    int width = size.cx & ~1;
    int height = size.cy & ~1;
    if ((width == display_size.cx && height == display_size.cy) || width == 0 || height == 0 ||
        !channel_connected) {
        return;
    }
    _app.window_state.width = width;
    _app.window_state.height = height;
    display_size = SIZE{width, height};
    if (request_resolution) {
        request_resolution(width, height);
    }
    if (width != size.cx || height != size.cy) {
        POINT pointer{};
        if (GetCursorPos(&pointer)) {
            SetCursorPos(pointer.x - (width != size.cx ? 1 : 0), pointer.y - (height != size.cy ? 1 : 0));
        }
    }
    LOG_INFO("global display width %d, height %d", width, height);
}

// ---- Window procedure ----

LRESULT CALLBACK RedWindow::WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    auto* window = reinterpret_cast<RedWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (!window) {
        return DefWindowProcW(hwnd, message, wparam, lparam);
    }
    try {
        return window->handle_message(message, wparam, lparam);
    } catch (Exception& e) {
        // Nothing may leave the procedure: the message loop cannot handle it.
        LOG_ERROR("message 0x%x failed: %s", message, e.what());
        return 0;
    }
}

void RedWindow::deliver_text(const char16_t* units, int count) {
    for (int i = 0; i < count; i++) {
        uint32_t unit = units[i];
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (i + 1 >= count) {
                LOG_WARN("partial char 0x%x dropped", unit);
                return;
            }
            uint32_t low = units[i + 1];
            if (low < 0xDC00 || low > 0xDFFF) {
                LOG_WARN("invalid sequence 0x%x 0x%x: high surrogate dropped", unit, low);
                continue;
            }
            _listener.on_char(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
            i++;
            continue;
        }
        if (unit >= 0xDC00 && unit <= 0xDFFF) {
            LOG_WARN("lone low surrogate 0x%x dropped", unit);
            continue;
        }
        _listener.on_char(unit);
    }
}

void RedWindow::on_key_down(WPARAM wparam, LPARAM lparam) {
    int key_code = key_code_of(lparam);
    _listener.on_key_press(key_code);
    char16_t text[10];
    int count = key_text ? key_text(UINT(wparam), UINT((lparam >> 16) & 0xFF), text, 10) : 0;
    if (count > 0) {
        deliver_text(text, std::min(count, 10));
    }
}

void RedWindow::on_key_up(WPARAM wparam, LPARAM lparam) {
    int key_code = key_code_of(lparam);
    switch (key_code) {
        case 0xF1:
        case 0xF2:
            break;
        case 0x72:  // Hangul and Hanja: their make codes have no break code
            _listener.on_key_press(0xF2);
            break;
        case 0x71:
            _listener.on_key_press(0xF1);
            break;
        default:
            _listener.on_key_release(key_code);
    }
}

void RedWindow::on_mouse_move(LPARAM lparam, WPARAM wparam) {
    RECT client{};
    GetClientRect(_hwnd, &client);
    if (client.right <= client.left || client.bottom <= client.top) {
        return;  // no client area (minimized): no point to report
    }
    int x = std::min(std::max(int(short(LOWORD(lparam))), int(client.left)), int(client.right) - 1);
    int y = std::min(std::max(int(short(HIWORD(lparam))), int(client.top)), int(client.bottom) - 1);
    x -= _origin.x;
    y -= _origin.y;
    unsigned int mask = buttons_mask(wparam);
    if (_cursor && _cursor_visible) {
        _cursor->set(_hwnd);
    }
    if (!_pointer_inside) {
        on_pointer_enter(x, y, mask);
    } else {
        _listener.on_pointer_motion(x, y, mask);
    }
}

void RedWindow::on_size(WPARAM wparam, LPARAM lparam) {
    switch (wparam) {
        case SIZE_MINIMIZED:
            _minimized = true;
            _restored = false;
            break;
        case SIZE_RESTORED:
            if (_minimized) {
                _minimized = false;
                if (_position_saved) {
                    SetWindowPos(_hwnd, nullptr, _saved_position.x, _saved_position.y, 0, 0,
                                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
                    _position_saved = false;
                    _restored = true;
                }
            }
            break;
        case SIZE_MAXIMIZED: {
            int width = LOWORD(lparam) & ~1;
            int height = HIWORD(lparam) & ~1;
            MONITORINFO info = {};
            info.cbSize = sizeof(info);
            if (GetMonitorInfoW(MonitorFromWindow(_hwnd, MONITOR_DEFAULTTONEAREST), &info)) {
                SetWindowPos(_hwnd, nullptr, info.rcWork.left, info.rcWork.top, 0, 0,
                             SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
            }
            _app.window_state.width = width;
            _app.window_state.height = height;
            if (request_resolution) {
                request_resolution(width, height);
            }
            break;
        }
    }
    _listener.NotifyNavBar(2);
}

void RedWindow::modal_loop_start() {
    LOG_DEBUG("enter modal");
    if (_in_modal_loop) {
        LOG_WARN("entering modal loop while the previous one is still open");
        return;
    }
    _in_modal_loop = true;
    _listener.enter_modal_loop();
    WinPlatform::enter_modal_loop();
}

void RedWindow::modal_loop_end() {
    LOG_DEBUG("exit modal");
    if (!_in_modal_loop) {
        return;
    }
    _in_modal_loop = false;
    _listener.exit_modal_loop();
    WinPlatform::exit_modal_loop();
}

LRESULT RedWindow::handle_message(UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        case WM_SIZE:
            on_size(wparam, lparam);
            return 0;
        case WM_SETFOCUS:
            if (SessionBlock::anti_screen_capture()) {
                _app.focus_lost = false;
            }
            on_focus_in();
            return 0;
        case WM_KILLFOCUS:
            if (SessionBlock::anti_screen_capture()) {
                _app.focus_lost = true;
                SIZE size = get_size();
                begin_paint();
                fill_rect(SpiceRect{0, 0, size.cx, size.cy}, 0);
                end_paint();
            }
            on_focus_out();
            return 0;
        case WM_PAINT: {
            PAINTSTRUCT paint;
            if (BeginPaint(_hwnd, &paint)) {
                RECT rect = paint.rcPaint;
                rect.left -= _origin.x;
                rect.right -= _origin.x;
                rect.top -= _origin.y;
                rect.bottom -= _origin.y;
                _listener.on_exposed_rect(rect);
                EndPaint(_hwnd, &paint);
            }
            return 0;
        }
        case WM_CLOSE:
            _listener.OnSessionChangeDesk(1);
            return DefWindowProcW(_hwnd, message, wparam, lparam);
        case WM_SETCURSOR:
            return _pointer_inside ? 0 : DefWindowProcW(_hwnd, message, wparam, lparam);
        case WM_GETMINMAXINFO: {
            if (ApplicationInterface::debug_mode) {
                return DefWindowProcW(_hwnd, message, wparam, lparam);
            }
            auto* info = reinterpret_cast<MINMAXINFO*>(lparam);
            if (!info) {
                return 0;
            }
            POINT extent{4096, 2160};
            POINT found{};
            if (_app.get_monitors_extent(found)) {
                extent = found;
            }
            info->ptMinTrackSize = POINT{800, 600};
            info->ptMaxPosition = POINT{0, 0};
            info->ptMaxTrackSize = POINT{extent.x + 16, extent.y + 40};
            return 0;
        }
        case WM_WINDOWPOSCHANGING:
            if (!_minimized && !IsIconic(_hwnd)) {
                _saved_position = get_position();
                _position_saved = true;
            }
            return DefWindowProcW(_hwnd, message, wparam, lparam);
        case WM_COPYDATA:
            _listener.OnCopyData(reinterpret_cast<HWND>(wparam),
                                 reinterpret_cast<const COPYDATASTRUCT*>(lparam));
            return 0;
        case WM_NCLBUTTONDBLCLK:
            if (!ApplicationInterface::debug_mode && wparam == HTCAPTION) {
                _app.toggle_full_screen();
                return 0;
            }
            return DefWindowProcW(_hwnd, message, wparam, lparam);
        case WM_KEYDOWN:
        case WM_SYSKEYDOWN:
            on_key_down(wparam, lparam);
            return _key_interception_on ? 0 : DefWindowProcW(_hwnd, message, wparam, lparam);
        case WM_KEYUP:
        case WM_SYSKEYUP:
            on_key_up(wparam, lparam);
            return 0;
        case WM_SYSCOMMAND:
            if (ApplicationInterface::debug_mode) {
                return DefWindowProcW(_hwnd, message, wparam, lparam);
            }
            switch (wparam & 0xFFF0) {
                case SC_RESTORE:
                    _restored = true;
                    if (_listener.on_restore()) {
                        return 0;
                    }
                    return DefWindowProcW(_hwnd, message, wparam, lparam);
                case SC_MAXIMIZE:
                    _app.toggle_full_screen();
                    return 0;
                case SC_MINIMIZE:
                    _listener.OnSessionChangeDesk(0);
                    return 0;
            }
            return DefWindowProcW(_hwnd, message, wparam, lparam);
        case WM_TIMER:
            if (wparam == START_TIMEOUT_TIMER) {
                _listener.OnSessionChangeDesk(3);
            }
            return 0;
        case WM_MOUSEMOVE:
            on_mouse_move(lparam, wparam);
            return 0;
        case WM_LBUTTONDOWN:
        case WM_RBUTTONDOWN:
        case WM_MBUTTONDOWN:
            SetCapture(_hwnd);
            _listener.on_mouse_button_press(message == WM_LBUTTONDOWN   ? BUTTON_LEFT
                                            : message == WM_RBUTTONDOWN ? BUTTON_RIGHT
                                                                        : BUTTON_MIDDLE,
                                            buttons_mask(wparam));
            return 0;
        case WM_LBUTTONUP:
        case WM_RBUTTONUP:
        case WM_MBUTTONUP:
            ReleaseCapture();
            _listener.on_mouse_button_release(message == WM_LBUTTONUP   ? BUTTON_LEFT
                                              : message == WM_RBUTTONUP ? BUTTON_RIGHT
                                                                        : BUTTON_MIDDLE,
                                              buttons_mask(wparam));
            return 0;
        case WM_MOUSEWHEEL: {
            int button = GET_WHEEL_DELTA_WPARAM(wparam) < 0 ? BUTTON_DOWN : BUTTON_UP;
            unsigned int mask = buttons_mask(LOWORD(wparam));
            _listener.on_mouse_button_press(button, mask);
            _listener.on_mouse_button_release(button, mask);
            return 0;
        }
        case WM_ENTERMENULOOP:
        case WM_ENTERSIZEMOVE:
            modal_loop_start();
            return DefWindowProcW(_hwnd, message, wparam, lparam);
        case WM_EXITMENULOOP:
            modal_loop_end();
            return DefWindowProcW(_hwnd, message, wparam, lparam);
        case WM_EXITSIZEMOVE:
            // The size-move loop is over like any other modal loop: the forced repaints and the platform's
            // modal timer end with it.
            modal_loop_end();
            notify_guest_change_resolution();
            _listener.NotifyNavBar(9);
            return 0;
        case WM_MOUSELEAVE:
            on_pointer_leave();
            return 0;
        case WM_WTSSESSION_CHANGE:
            return 0;
        case WM_KTW_END_SESSION:
            _listener.OnSessionChangeDesk(1);
            return 0;
        case WM_KTW_RESTORE:
            if (_listener.no_restart_wait_dialog()) {
                SendMessageW(_hwnd, WM_SYSCOMMAND, SC_RESTORE, 0);
            }
            return 0;
        case WM_KTW_LOCK_WORKSTATION:
            _listener.LockWorkStation();
            return 0;
        case WM_KTW_RESTART_RESULT:
            _listener.ForwardRestartResult(wparam);
            return 0;
        case WM_KTW_RESET_SUCCESS:
            _listener.OnGetResetSuccess();
            return 0;
        case WM_KTW_END_SESSION_OF:
            if (wparam == SessionBlock::session_index()) {
                _listener.OnSessionChangeDesk(1);
            }
            return 0;
        case WM_KTW_SHOW_RESTART_WAIT:
            _listener.ShowRestartWaitDlg();
            return 0;
        case WM_KTW_CLOSE_RESTART_DIALOGS:
            _listener.CloseRestartDialogs(wparam);
            return 0;
        case WM_KTW_SHOW_RESTORE_WAIT:
            _listener.ShowRestoreWaitDlg();
            return 0;
        case WM_KTW_SESSION_CHANGE:
            _listener.OnSessionChangeDesk(int(wparam));
            return 0;
        case WM_KTW_SHOW_RESTART:
            _listener.ShowRestartDlg();
            return 0;
        case WM_KTW_INPUT_READY:
            set_input_ready(uint32_t(wparam), lparam != 0);
            return 0;
        case WM_KTW_TOGGLE_FULL_SCREEN:
            _app.toggle_full_screen();
            return 0;
        case WM_KTW_FORWARD_TO_PARENT:
            _listener.ForwardToParent(first_window);
            return 0;
        case WM_KTW_SHOW_NETWORK:
            _listener.ShowNetworkDlg();
            return 0;
        case WM_KTW_NETWORK_STATE_FILE:
            LOG_INFO("network state file not written: no network statistics yet");
            return 0;
    }
    return DefWindowProcW(_hwnd, message, wparam, lparam);
}
