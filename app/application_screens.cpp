// Screens, monitors, full screen and the window state stored per user and server.
#include "app/application.h"
#include "platform/monitor.h"
#include "platform/session_block.h"
#include "runtime/log.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

uint32_t Application::full_screen_indicator = 0;

namespace {

const char* const WINDOW_STATE_ROOT = "SOFTWARE\\Voranth\\VDI\\SpiceUser";
const UINT_PTR START_TIMEOUT_TIMER = 1000;
const int NAV_BAR_TRIES = 6;

bool read_dword(HKEY key, const char* name, DWORD& value, LSTATUS& status) {
    DWORD type = 0;
    DWORD size = sizeof(value);
    status = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    return status == ERROR_SUCCESS && type == REG_DWORD && size == sizeof(value);
}

bool write_dword(HKEY key, const char* name, DWORD value, LSTATUS& status) {
    status = RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
    return status == ERROR_SUCCESS;
}

// The pointer to the centre of the monitor holding the window (the primary one without a window).
void center_cursor(HWND window) {
    MONITORINFO info{};
    info.cbSize = sizeof(info);
    HMONITOR monitor =
        MonitorFromWindow(window, window ? MONITOR_DEFAULTTONEAREST : MONITOR_DEFAULTTOPRIMARY);
    if (!monitor || !GetMonitorInfoW(monitor, &info)) {
        return;
    }
    const RECT& area = info.rcMonitor;
    if (area.right == area.left || area.bottom == area.top) {
        return;
    }
    SetCursorPos(area.left + (area.right - area.left) / 2, area.top + (area.bottom - area.top) / 2);
}

void activate(HWND window) {
    if (window) {
        SetForegroundWindow(window);
        SetFocus(window);
    }
}

Point first_monitor_size() {
    const MonitorsList& monitors = Platform::current_monitors();
    if (monitors.empty()) {
        return {800, 600};
    }
    return monitors.front()->get_size();
}

}  // namespace

std::string Application::window_state_key(uint32_t address, const std::string& user, uint32_t session_index) {
    const uint8_t* octets = reinterpret_cast<const uint8_t*>(&address);
    std::string bounded = user.substr(0, SessionBlock::VDI_USER_NAME_ROOM);
    bounded = bounded.substr(0, bounded.find('\0'));
    return std::string(WINDOW_STATE_ROOT) + "\\" + std::to_string(octets[0]) + "." +
           std::to_string(octets[1]) + "." + std::to_string(octets[2]) + "." + std::to_string(octets[3]) +
           "\\" + bounded + "\\" + std::to_string(session_index);
}

POINT Application::windowed_size(int remembered_width, int remembered_height, int display_width,
                                 int display_height, uint32_t graphic_type) {
    POINT size = {remembered_width, remembered_height};
    if (size.x == 0 || size.y == 0) {
        size.x = LONG(display_width * 0.8);
        size.y = LONG(display_height * 0.8);
    }
    if (graphic_type == 0 || graphic_type == 1 || graphic_type == 3) {
        size.x += size.x & 1;
        size.y += size.y & 1;
    } else {
        size.x &= ~LONG(3);
        size.y &= ~LONG(3);
    }
    return size;
}

bool Application::reg_read_userinfo(const uint8_t* session_block) {
    if (!session_block) {
        LOG_ERROR("[reg_read_userinfo] pRtd is NULL");
        return false;
    }
    WindowStateRecord& record = window_state;
    record.address = SessionBlock::server_address();
    record.user = SessionBlock::vdi_user_name();
    record.session_index = SessionBlock::session_index();
    std::string path = window_state_key(record.address, record.user, record.session_index);

    HKEY key = nullptr;
    DWORD disposition = 0;
    LSTATUS status = RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_READ, nullptr, &key,
                                     &disposition);
    Point monitor = first_monitor_size();
    if (status != ERROR_SUCCESS) {
        record.full_screen = true;
        record.width = monitor.x;
        record.height = monitor.y;
        LOG_INFO(
            "get pre save display info fail, so use current display config(bFullScreen %d w*h(%d %d). "
            "reason(%s):%s,(%lu)",
            int(record.full_screen), record.width, record.height, path.c_str(), strerror(int(status)),
            (unsigned long)status);
    } else {
        if (disposition == REG_CREATED_NEW_KEY || SessionBlock::anti_screen_capture() != 0) {
            record.full_screen = true;
            record.width = monitor.x;
            record.height = monitor.y;
        } else {
            DWORD value = 0;
            if (!read_dword(key, "bFullScreen", value, status)) {
                record.full_screen = true;
                LOG_INFO("Read bFullScreen Failed! it will be set default value(true), Err:%s,(%lu)",
                         strerror(int(status)), (unsigned long)status);
            } else {
                record.full_screen = value != 0;
            }
            if (!read_dword(key, "SizeX", value, status)) {
                record.width = monitor.x;
                record.height = monitor.y;
                LOG_INFO("Read SizeX Failed! it will be set default value(w*h %d %d), Err:%s,(%lu)",
                         record.width, record.height, strerror(int(status)), (unsigned long)status);
            } else {
                record.width = int32_t(value);
                if (!read_dword(key, "SizeY", value, status)) {
                    record.width = monitor.x;
                    record.height = monitor.y;
                    LOG_INFO("Read SizeY Failed! it will be set default value(w*h %d %d), Err:%s,(%lu)",
                             record.width, record.height, strerror(int(status)), (unsigned long)status);
                } else {
                    record.height = int32_t(value);
                    LOG_INFO("read userinfo: fullscreen %u, width:%u, height:%u",
                             unsigned(record.full_screen), unsigned(record.width), unsigned(record.height));
                }
            }
        }
        RegCloseKey(key);
    }
    if (record.full_screen) {
        // Full screen only when the primary display currently shows exactly the stored size.
        Monitor* primary = Platform::primary_monitor();
        bool found = false;
        if (primary) {
            Point current = primary->get_cur_display_size();
            found = current.x == record.width && current.y == record.height;
        }
        record.full_screen = found;
        LOG_INFO("validate fullscreen resolution finish, result %u", unsigned(found));
    }
    full_screen_indicator = record.full_screen ? 1 : 0;
    record.width &= ~1;
    record.height &= ~1;
    return true;
}

void Application::reg_write_userinfo() {
    WindowStateRecord& record = window_state;
    std::string path = window_state_key(record.address, record.user, record.session_index);
    HKEY key = nullptr;
    LSTATUS status =
        RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) {
        LOG_INFO("Open or Create UserInfo Register Failed!");
        LOG_INFO("Err:%s,(%lu)", strerror(int(status)), (unsigned long)status);
        return;
    }
    // A width or height of 0 leaves the stored one alone; writing stops at the first failure.
    if (!write_dword(key, "bFullScreen", record.full_screen ? 1 : 0, status)) {
        LOG_INFO("Write UserInfo Register Failed! bFulScreen can not be stored!");
        LOG_INFO("Err:%s,(%lu)", strerror(int(status)), (unsigned long)status);
        RegCloseKey(key);
        return;
    }
    if (record.width != 0) {
        record.width &= ~1;
        if (!write_dword(key, "SizeX", DWORD(record.width), status)) {
            LOG_INFO("Write UserInfo Register Failed! SizeX can not be stored!");
            RegCloseKey(key);
            return;
        }
    }
    if (record.height != 0) {
        record.height &= ~1;
        if (!write_dword(key, "SizeY", DWORD(record.height), status)) {
            LOG_INFO("Write UserInfo Register Failed! SizeY can not be stored!");
        }
    }
    RegCloseKey(key);
}

void Application::reg_write_userinfo_values(bool full_screen_value, int32_t width, int32_t height) {
    WindowStateRecord saved = window_state;
    window_state.full_screen = full_screen_value;
    window_state.width = width;
    window_state.height = height;
    reg_write_userinfo();
    window_state = saved;
}

void Application::store_window_state() {
    if (!main_screen) {
        return;
    }
    window_state.full_screen =
        (main_screen->minimized && minimize_display_change) ? !full_screen : full_screen;
    window_state.width = main_screen->width;
    window_state.height = main_screen->height;
    // Stored only once the guest was told the window's size: before that the size is the initial one.
    if (_client.monitors_config_sent()) {
        reg_write_userinfo();
    }
}

SessionScreen* Application::get_screen(int id) {
    if (id < 0) {
        return nullptr;
    }
    if (_screens.size() <= size_t(id)) {
        _screens.resize(id + 1, nullptr);
    }
    if (_screens[id]) {
        return _screens[id]->ref();
    }
    if (!parts().create_screen) {
        LOG_WARN("no screen factory, screen %d not created", id);
        return nullptr;
    }
    int width = 800;
    int height = 600;
    if (full_screen) {
        for (Monitor* monitor : Platform::current_monitors()) {
            if (monitor->get_id() == id) {
                Point size = monitor->get_size();
                width = size.x;
                height = size.y;
                break;
            }
        }
    }
    SessionScreen* screen = parts().create_screen(*this, id, title, width, height);
    if (!screen) {
        return nullptr;
    }
    _screens[id] = screen;
    create_gui_barrier(id);
    if (id == 0) {
        return screen;
    }
    if (full_screen) {
        for (Monitor* monitor : Platform::current_monitors()) {
            if (monitor->get_id() == id) {
                screen->monitor = monitor;
                monitor->set_used();
                break;
            }
        }
        rearrange_monitors(false, true, screen);
    } else {
        if (screen->window && main_screen && main_screen->window) {
            SetWindowPos(screen->window, main_screen->window, 0, 0, 0, 0,
                         SWP_NOACTIVATE | SWP_NOMOVE | SWP_NOSIZE);
        }
        screen->show();
    }
    return screen;
}

void Application::on_screen_destroyed(int id, bool was_captured) {
    // Called from the screen's destructor: nothing may be thrown from here.
    delete_gui_barrier(id);
    if (id < 0 || size_t(id) >= _screens.size() || !_screens[id]) {
        LOG_WARN("no screen %d", id);
        return;
    }
    SessionScreen* screen = _screens[id];
    if (active_screen == screen) {
        active_screen = nullptr;
    }
    if (main_screen == screen) {
        main_screen = nullptr;
    }
    if (full_screen && screen->monitor) {
        screen->monitor->restore();
        center_cursor(main_screen ? main_screen->window : nullptr);
        screen->monitor->set_free();
        _screens[id] = nullptr;
        rearrange_monitors(was_captured, false, nullptr);
    } else {
        _screens[id] = nullptr;
    }
}

void Application::hide_screens() {
    for (SessionScreen* screen : _screens) {
        if (screen) {
            screen->hide();
        }
    }
}

void Application::resize_screen(SessionScreen* screen, int width, int height, int flags) {
    LOG_INFO("[Application::resize_screen] width:%u,height:%u", unsigned(width), unsigned(height));
    if (!screen) {
        return;
    }
    if (_client.monitors_config_sent()) {
        if (flags == 1) {
            reg_write_userinfo_values(full_screen, width, height);
        } else {
            _monitors_arranged = false;
        }
    }
    bool first = !_first_resize_done;
    if (first) {
        LOG_INFO("first resize now");
        if (screen->window) {
            KillTimer(screen->window, START_TIMEOUT_TIMER);
        }
        if (!debug_start) {
            if (SessionBlock::anti_screen_capture() && found_monitor_count > 1) {
                if (screen->parent_window) {
                    SendMessageW(screen->parent_window, WM_SESSION_STARTED, screen->session_index, 240);
                }
                MessageBoxW(nullptr, u"当前处于防截屏模式不支持多屏下使用", u"提示", MB_TOPMOST);
                InterlockedExchange(&screen->ended_locally, 1);
                if (_session_running_event) {
                    SetEvent(_session_running_event);
                }
                LOG_INFO(
                    "in integration mode, exit_full_screen,so applicaition on_disconnected，error_code:0");
                on_disconnected(0);
                return;
            }
            LOG_INFO("start navbar now");
            for (int i = 0; i < NAV_BAR_TRIES && !screen->StartNavBar(); i++) {
            }
            LOG_INFO("end start navbar notify appclient now handle %p", (void*)screen->parent_window);
            LRESULT result = 0;
            if (screen->parent_window) {
                result = SendMessageW(screen->parent_window, WM_SESSION_STARTED, screen->session_index, 240);
            }
            LOG_INFO("send msg ret %d %d", int(result), int(GetLastError()));
        }
        if (_session_running_event) {
            SetEvent(_session_running_event);
        }
    }
    bool recapture = false;
    if (full_screen) {
        recapture = screen == main_screen && active_screen && active_screen->mouse_captured;
        std::vector<Point> sizes;
        for (SessionScreen* each : _screens) {
            sizes.push_back(each == screen ? Point{width, height}
                                           : (each ? Point{each->width, each->height} : Point{0, 0}));
        }
        rearrange_monitors(false, false, nullptr, &sizes);
    } else if (!first && width == screen->width && height == screen->height) {
        // The first resize always goes on, so that the window is shown even when the guest's first surface
        // has the initial window size.
        return;
    }
    screen->resize(width, height);
    if (minimize_display_change || (first && window_state.full_screen) ||
        SessionBlock::anti_screen_capture()) {
        LOG_INFO("enter full screen_size _minmize_display_change=%d:x is %d,y is %d",
                 int(minimize_display_change), width, height);
        enter_full_screen();
    } else {
        screen->show();
    }
    if (recapture) {
        screen->capture_mouse();
    }
    _first_resize_done = true;
}

void Application::assign_monitors() {}

void Application::rearrange_monitors(bool force_capture, bool toggle, SessionScreen* screen,
                                     const std::vector<Point>* sizes) {
    if (!full_screen && !toggle) {
        return;
    }
    bool entering = toggle && !screen;
    release_all_keys();
    bool released = false;
    if (active_screen && active_screen->mouse_captured) {
        active_screen->release_mouse();
        released = true;
    }
    // A lone screen goes on the monitor its window is on.
    if (_screens.size() == 1 && _screens[0] && _screens[0]->window) {
        MONITORINFO info{};
        info.cbSize = sizeof(info);
        HMONITOR display = MonitorFromWindow(_screens[0]->window, MONITOR_DEFAULTTONEAREST);
        if (display && GetMonitorInfoW(display, &info)) {
            for (Monitor* monitor : Platform::current_monitors()) {
                Point position = monitor->get_position();
                Point size = monitor->get_size();
                if (position.x == info.rcMonitor.left && position.y == info.rcMonitor.top &&
                    position.x + size.x == info.rcMonitor.right &&
                    position.y + size.y == info.rcMonitor.bottom) {
                    if (_screens[0]->monitor && _screens[0]->monitor != monitor) {
                        _screens[0]->monitor->set_free();
                    }
                    _screens[0]->monitor = monitor;
                    monitor->set_used();
                    break;
                }
            }
        }
    }
    // Screens that follow their monitor take its size; a screen of locked size sets its monitor's mode,
    // except in the first pass after the arrangement was cleared.
    for (size_t id = 0; id < _screens.size(); id++) {
        SessionScreen* each = _screens[id];
        if (!each || !each->monitor) {
            continue;
        }
        if (!each->size_locked) {
            Point size = each->monitor->get_size();
            each->resize(size.x, size.y);
            continue;
        }
        if (!_monitors_arranged) {
            _monitors_arranged = true;
            break;
        }
        Point size = {each->width, each->height};
        if (sizes && id < sizes->size()) {
            size = (*sizes)[id];
        }
        each->monitor->set_mode(size.x, size.y);
        center_cursor(main_screen ? main_screen->window : nullptr);
    }
    for (SessionScreen* each : _screens) {
        if (!each || !each->monitor || !each->full_screen) {
            continue;
        }
        Point position = each->monitor->get_position();
        if (each->window) {
            SetWindowPos(each->window, nullptr, position.x, position.y, 0, 0,
                         SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        }
        if (each->minimized) {
            each->has_restore_position = true;
            each->restore_x = position.x;
            each->restore_y = position.y;
        }
    }
    if (toggle) {
        LOG_INFO("[rearrange_monitors] toggle_full_screen=%d", int(entering));
        if (entering) {
            for (SessionScreen* each : _screens) {
                if (each && !each->full_screen) {
                    each->show_full_screen_on_monitor();
                    if (each->out_of_sync) {
                        _out_of_sync = true;
                    }
                }
            }
            activate(main_screen ? main_screen->window : nullptr);
        } else {
            screen->show_full_screen();
            if (screen->out_of_sync) {
                _out_of_sync = true;
                LOG_INFO("[rearrange_monitors] is_out_of_sync is true, so exit full screen");
                exit_full_screen();
            }
        }
    }
    if ((force_capture || released) && main_screen) {
        if (!entering) {
            activate(main_screen->window);
        }
        main_screen->capture_mouse();
    }
}

void Application::enter_full_screen() {
    _changing_screens = true;
    for (SessionScreen* screen : _screens) {
        if (screen && !screen->monitor) {
            for (Monitor* monitor : Platform::current_monitors()) {
                if (monitor->get_id() == screen->get_id()) {
                    screen->monitor = monitor;
                    monitor->set_used();
                }
            }
        }
    }
    rearrange_monitors(false, true, nullptr);
    full_screen = true;
    _changing_screens = false;
    if (_out_of_sync) {
        LOG_INFO("[enter_full_screen] application _out_of_sync is true, so exit full screen");
        exit_full_screen();
    }
    LOG_INFO("enter full screen success.");
    reg_write_userinfo_values(full_screen, 0, 0);
}

void Application::exit_full_screen() {
    if (!full_screen) {
        return;
    }
    if (_out_of_sync) {
        LOG_WARN("Falling back to windowed mode (guest resolution too large for client?)");
    }
    _changing_screens = true;
    release_all_keys();
    release_capture();
    HWND main_window = main_screen ? main_screen->window : nullptr;
    for (Monitor* monitor : Platform::current_monitors()) {
        monitor->restore();
        center_cursor(main_window);
    }
    if (pc_in_one_mode()) {
        // The PC-in-one desktop has no windowed session: leaving full screen ends it.
        if (main_screen) {
            InterlockedExchange(&main_screen->ended_locally, 1);
        }
        _parent_notice_suppressed = true;
        LOG_INFO("in integration mode, exit_full_screen,so application on_disconnected，error_code:0");
        on_disconnected(0);
        return;
    }
    for (SessionScreen* screen : _screens) {
        if (screen) {
            screen->exit_full_screen();
            if (screen->monitor) {
                screen->monitor->set_free();
                screen->monitor = nullptr;
            }
        }
    }
    full_screen = false;
    _out_of_sync = false;
    for (SessionScreen* screen : _screens) {
        // The screen resizes under its own update lock and tells its layers.
        if (screen && !screen->size_locked) {
            screen->resize(800, 600);
        }
    }
    for (SessionScreen* screen : _screens) {
        if (screen) {
            screen->show();
        }
    }
    activate(main_window);
    _changing_screens = false;
    LOG_INFO("exit full screen success.");
    reg_write_userinfo_values(full_screen, 0, 0);
}

void Application::toggle_full_screen() {
    int display_width = main_screen ? main_screen->width : 0;
    int display_height = main_screen ? main_screen->height : 0;
    Monitor* primary = Platform::primary_monitor();
    if (primary) {
        Point size = primary->get_size();
        display_width = size.x;
        display_height = size.y;
    }
    _monitors_arranged = false;
    int width = display_width;
    int height = display_height;
    if (full_screen) {
        int32_t remembered_width = main_screen ? main_screen->windowed_width : 0;
        int32_t remembered_height = main_screen ? main_screen->windowed_height : 0;
        POINT size = windowed_size(remembered_width, remembered_height, display_width, display_height,
                                   SessionBlock::graphic_type());
        width = size.x;
        height = size.y;
        window_state.full_screen = false;
        full_screen_indicator = 0;
        exit_full_screen();
    } else {
        if (main_screen) {
            main_screen->windowed_width = main_screen->width;
            main_screen->windowed_height = main_screen->height;
        }
        full_screen_indicator = 1;
        enter_full_screen();
    }
    LOG_INFO("[toggle_full_screen] _full_screen=%d, x=%d, y=%d", int(full_screen), width, height);
    window_state.width = width;
    window_state.height = height;
}

void Application::restore_monitors() {
    for (Monitor* monitor : Platform::current_monitors()) {
        monitor->restore();
    }
}

Monitor* Application::find_monitor(SessionScreen* screen) {
    return screen ? screen->monitor : nullptr;
}

bool Application::get_monitors_extent(POINT& extent) {
    const MonitorsList& monitors = Platform::current_monitors();
    if (!main_screen || monitors.empty()) {
        return false;
    }
    extent = {0, 0};
    for (Monitor* monitor : monitors) {
        Point position = monitor->get_position();
        Point size = monitor->get_size();
        extent.x = std::max<LONG>(extent.x, position.x + size.x);
        extent.y = std::max<LONG>(extent.y, position.y + size.y);
    }
    return true;
}

void Application::on_monitors_change() {
    if (Platform::display_mode_changes() != 0) {
        return;
    }
    if (SessionBlock::anti_screen_capture() && Platform::count_display_devices() > 1) {
        MessageBoxW(main_screen ? main_screen->window : nullptr, u"当前处于防截屏模式不支持多屏下使用",
                    u"提示", MB_TOPMOST);
        if (main_screen) {
            InterlockedExchange(&main_screen->ended_locally, 1);
        }
        LOG_INFO("in integration mode, exit_full_screen,so applicaition on_disconnected，error_code:0");
        on_disconnected(0);
        return;
    }
    if (active && main_screen) {
        LOG_INFO("monitor_change and active");
        if (main_screen->window) {
            ShowWindow(main_screen->window, SW_MINIMIZE);
        }
        if (minimize_display_change) {
            main_screen->restore_screen();
        } else if (main_screen->window) {
            ShowWindow(main_screen->window, SW_RESTORE);
        }
    }
}

void Application::forget_monitors() {
    for (SessionScreen* screen : _screens) {
        if (screen) {
            screen->monitor = nullptr;
        }
    }
}
