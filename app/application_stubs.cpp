// STAND-IN BODIES, to be replaced: keyboard routing (application_keys.cpp), screens and full screen
// (application_screens.cpp) and the application layers (application_layers.cpp) are written separately.
// Until then these keep the program linking with the least behaviour that lets a session run: keys reach the
// current key handler, screens come from the program's screen factory, and nothing is shown or stored.
// Whoever lands one of those files deletes its section here.
#include "app/application.h"
#include "runtime/log.h"

// ---- Keys ----

void Application::on_key_down(int key_code) {
    if (key_code <= 0 || key_code >= KEY_CODE_COUNT) {
        return;
    }
    if (!pressed_keys[key_code]) {
        pressed_keys[key_code] = 1;
        pressed_key_count++;
    }
    key_handler->on_key_down(key_code);
}

void Application::on_key_up(int key_code) {
    if (key_code <= 0 || key_code >= KEY_CODE_COUNT) {
        return;
    }
    if (pressed_keys[key_code]) {
        pressed_keys[key_code] = 0;
        pressed_key_count--;
    }
    key_handler->on_key_up(key_code);
}

void Application::set_key_handler(KeyHandler& handler) {
    if (&handler == key_handler) {
        return;
    }
    key_handlers.remove(&handler);
    if (!key_handler->allows_focus_loss()) {
        key_handlers.push_front(&handler);
        return;
    }
    release_all_keys();
    if (active) {
        key_handler->on_focus_out();
    }
    key_handlers.push_front(key_handler);
    key_handler = &handler;
    if (active) {
        key_handler->on_focus_in();
    }
}

void Application::remove_key_handler(KeyHandler& handler) {
    for (auto it = key_handlers.begin(); it != key_handlers.end(); ++it) {
        if (*it == &handler) {
            key_handlers.erase(it);
            return;
        }
    }
}

void Application::release_all_keys() {
    for (int i = 0; i < KEY_CODE_COUNT; i++) {
        if (pressed_keys[i]) {
            pressed_keys[i] = 0;
            key_handler->on_key_up(i);
        }
    }
    pressed_key_count = 0;
}

void Application::unpress_all() {
    release_all_keys();
}

void Application::sync_modifier_keys() {}
void Application::reset_sticky() {}
bool Application::set_hotkeys(const std::string& hotkeys) {
    return true;
}
void Application::do_command(int command) {
    LOG_INFO("command %d not handled", command);
}
void Application::init_menu() {}
void Application::release_capture() {
    if (active_screen && active_screen->mouse_captured) {
        active_screen->release_mouse();
    }
}

// ---- Layers ----

void Application::show_gui() {}
void Application::hide_gui() {}
void Application::show_info_layer() {}
void Application::start_gui_timer() {}
