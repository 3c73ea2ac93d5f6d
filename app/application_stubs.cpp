// STAND-IN BODIES, to be replaced: screens and full screen
// (application_screens.cpp) and the application layers (application_layers.cpp) are written separately.
// Until then these keep the program linking with the least behaviour that lets a session run: screens come
// from the program's screen factory, and nothing is shown or stored.
// Whoever lands one of those files deletes its section here.
#include "app/application.h"
#include "runtime/log.h"

// ---- Screens ----

SessionScreen* Application::get_screen(int id) {
    if (id < 0) {
        return nullptr;
    }
    if (size_t(id) < _screens.size() && _screens[id]) {
        return _screens[id]->ref();
    }
    if (!parts().create_screen) {
        LOG_WARN("no screen factory, screen %d not created", id);
        return nullptr;
    }
    SessionScreen* screen = parts().create_screen(*this, id, title, 800, 600);
    if (!screen) {
        return nullptr;
    }
    if (_screens.size() <= size_t(id)) {
        _screens.resize(id + 1, nullptr);
    }
    _screens[id] = screen;
    return screen;
}

void Application::on_screen_destroyed(int id, bool was_captured) {
    if (id >= 0 && size_t(id) < _screens.size()) {
        _screens[id] = nullptr;
    }
    if (active_screen && active_screen->get_id() == id) {
        active_screen = nullptr;
    }
}

void Application::resize_screen(SessionScreen* screen, int width, int height, int flags) {
    if (!_first_resize_done) {
        _first_resize_done = true;
        if (_session_running_event) {
            SetEvent(_session_running_event);
        }
    }
    screen->resize(width, height);
    screen->show();
}

void Application::hide_screens() {
    for (SessionScreen* screen : _screens) {
        if (screen) {
            screen->hide();
        }
    }
}

bool Application::reg_read_userinfo(const uint8_t* session_block) {
    return session_block != nullptr;
}
void Application::reg_write_userinfo_values(bool full_screen, int32_t width, int32_t height) {}
void Application::reg_write_userinfo() {}
void Application::store_window_state() {}
void Application::assign_monitors() {}
void Application::enter_full_screen() {}
void Application::exit_full_screen() {}
void Application::toggle_full_screen() {}
void Application::restore_monitors() {}
void Application::rearrange_monitors(bool force_capture, bool enter_full_screen, SessionScreen* screen) {}
Monitor* Application::find_monitor(SessionScreen* screen) {
    return screen ? screen->monitor : nullptr;
}
bool Application::get_monitors_extent(POINT& extent) {
    return false;
}
void Application::on_monitors_change() {}
void Application::forget_monitors() {}

// ---- Layers ----

void Application::show_gui() {}
void Application::hide_gui() {}
void Application::show_info_layer() {}
void Application::start_gui_timer() {}
