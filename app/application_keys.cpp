// Keyboard routing: the pressed-key table, sticky Alt, hot keys and commands, the key handlers, and the
// application menu with its foreign-menu items. Main thread only.
#include "app/application.h"

#include "platform/platform.h"
#include "platform/session_block.h"
#include "runtime/exception.h"
#include "runtime/log.h"
#include "runtime/timer.h"

#include <strings.h>

#include <cstring>

namespace {

enum KeyCode : int {
    KEY_ESCAPE = 1,
    KEY_L_CTRL = 29,
    KEY_L_SHIFT = 42,
    KEY_R_SHIFT = 54,
    KEY_L_ALT = 56,
    KEY_PAD_1 = 79,
    KEY_PAD_POINT = 83,
    KEY_R_CTRL = 285,
    KEY_R_ALT = 312,
    KEY_END = 335,
    KEY_DELETE = 339,
    KEY_L_WIN = 347,
    KEY_R_WIN = 348,
    KEY_MENU = 349,
    KEY_LAST = 350,
};

enum Command : int {
    COMMAND_SEND_CTRL_ALT_DEL = 1,
    COMMAND_TOGGLE_FULL_SCREEN = 2,
    COMMAND_RELEASE_CAPTURE = 3,
    COMMAND_SEND_SHIFT_F11 = 4,
    COMMAND_SEND_SHIFT_F12 = 5,
    COMMAND_SEND_CTRL_ALT_END = 6,
    COMMAND_SHOW_GUI = 7,
    COMMAND_REFRESH_USB_DEVICES = 8,
    COMMAND_SWITCH_TO_WINUSB = 9,
    COMMAND_FOREIGN_FIRST = 1024,
    COMMAND_FOREIGN_LAST = 2048,
    COMMAND_ENABLE_GDI_DEBUG = 2049,
    COMMAND_DISABLE_GDI_DEBUG = 2050,
    COMMAND_RESTORE_SNAPSHOT = 2051,
};

const uint32_t STICKY_TIMEOUT_MS = 750;
const UINT FOREIGN_MENU_ITEM_ACTIVATED = 1001;
const char* const DEFAULT_HOT_KEYS = "toggle-fullscreen=ctrl+shift+f11,restore-snapshot=ctrl+shift+alt+f9";

struct KeyName {
    const char* name;
    int first;
    int second;
};

const KeyName KEY_NAMES[] = {
    {"alt", KEY_R_ALT, KEY_L_ALT},
    {"ralt", KEY_R_ALT, 0},
    {"rightalt", KEY_R_ALT, 0},
    {"right-alt", KEY_R_ALT, 0},
    {"lalt", KEY_L_ALT, 0},
    {"leftalt", KEY_L_ALT, 0},
    {"left-alt", KEY_L_ALT, 0},
    {"ctrl", KEY_R_CTRL, KEY_L_CTRL},
    {"rctrl", KEY_R_CTRL, 0},
    {"rightctrl", KEY_R_CTRL, 0},
    {"right-ctrl", KEY_R_CTRL, 0},
    {"lctrl", KEY_L_CTRL, 0},
    {"leftctrl", KEY_L_CTRL, 0},
    {"left-ctrl", KEY_L_CTRL, 0},
    {"shift", KEY_R_SHIFT, KEY_L_SHIFT},
    {"rshift", KEY_R_SHIFT, 0},
    {"rightshift", KEY_R_SHIFT, 0},
    {"right-shift", KEY_R_SHIFT, 0},
    {"lshift", KEY_L_SHIFT, 0},
    {"leftshift", KEY_L_SHIFT, 0},
    {"left-shift", KEY_L_SHIFT, 0},
    {"cmd", KEY_R_WIN, KEY_L_WIN},
    {"win", KEY_R_WIN, KEY_L_WIN},
    {"rcmd", KEY_R_WIN, 0},
    {"rightcmd", KEY_R_WIN, 0},
    {"right-cmd", KEY_R_WIN, 0},
    {"rwin", KEY_R_WIN, 0},
    {"rightwin", KEY_R_WIN, 0},
    {"right-win", KEY_R_WIN, 0},
    {"lcmd", KEY_L_WIN, 0},
    {"leftcmd", KEY_L_WIN, 0},
    {"left-cmd", KEY_L_WIN, 0},
    {"lwin", KEY_L_WIN, 0},
    {"leftwin", KEY_L_WIN, 0},
    {"left-win", KEY_L_WIN, 0},
    {"esc", KEY_ESCAPE, 0},
    {"escape", KEY_ESCAPE, 0},
    {"ins", 338, 0},
    {"insert", 338, 0},
    {"del", KEY_DELETE, 0},
    {"delete", KEY_DELETE, 0},
    {"pgup", 329, 0},
    {"pageup", 329, 0},
    {"pgdn", 337, 0},
    {"pagedown", 337, 0},
    {"home", 327, 0},
    {"end", KEY_END, 0},
    {"space", 57, 0},
    {"enter", 28, 0},
    {"tab", 15, 0},
    {"f1", 59, 0},
    {"f2", 60, 0},
    {"f3", 61, 0},
    {"f4", 62, 0},
    {"f5", 63, 0},
    {"f6", 64, 0},
    {"f7", 65, 0},
    {"f8", 66, 0},
    {"f9", 67, 0},
    {"f10", 68, 0},
    {"f11", 87, 0},
    {"f12", 88, 0},
};

// Hot-key text: comma-separated items "action=key+key...". Throws Exception on bad text.
class HotKeysParser {
public:
    HotKeysParser(const std::string& text, const std::map<std::string, int>& commands) : _commands(commands) {
        LOG_DEBUG("hotkeys = %s", text.c_str());
        size_t start = 0;
        for (;;) {
            size_t comma = text.find(',', start);
            add_hotkey(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
            if (comma == std::string::npos) {
                break;
            }
            start = comma + 1;
        }
    }

    Application::HotKeys& get() { return _hot_keys; }

private:
    void add_hotkey(const std::string& item) {
        size_t equals = item.find('=');
        if (equals == std::string::npos) {
            THROW("unable to parse hot keys");
        }
        std::string action = item.substr(0, equals);
        auto command = _commands.find(action);
        if (command == _commands.end()) {
            THROW("invalid action bname %s", action.c_str());
        }
        std::vector<std::pair<int, int>>& chord = _hot_keys[command->second];
        std::string keys = item.substr(equals + 1);
        size_t start = 0;
        for (;;) {
            size_t plus = keys.find('+', start);
            add_key(chord, keys.substr(start, plus == std::string::npos ? std::string::npos : plus - start));
            if (plus == std::string::npos) {
                break;
            }
            start = plus + 1;
        }
    }

    void add_key(std::vector<std::pair<int, int>>& chord, const std::string& name) {
        for (const KeyName& key : KEY_NAMES) {
            if (strcasecmp(key.name, name.c_str()) == 0) {
                LOG_DEBUG("keys = %s", name.c_str());
                chord.push_back(std::make_pair(key.first, key.second));
                return;
            }
        }
        THROW("unknown key name %s", name.c_str());
    }

    const std::map<std::string, int>& _commands;
    Application::HotKeys _hot_keys;
};

}  // namespace

class StickyKeyTimer : public Timer {
public:
    explicit StickyKeyTimer(Application& app) : _app(app) {}
    void response(AbstractProcessLoop& events_loop) override { _app.on_sticky_timer(); }

private:
    Application& _app;
};

// ---- Key events ----

void Application::on_key_down(int key) {
    if (key < 1 || key > KEY_LAST) {
        return;
    }
    bool repeat = pressed_keys[key] != 0;
    if (!repeat) {
        pressed_keys[key] = 1;
        pressed_key_count++;
    }

    if (_sticky_trace) {
        if (key == _sticky_key) {
            _key_down = true;
        }
        if (!_sticky_mode) {
            if (_key_first_down && key != _sticky_key) {
                reset_sticky();
            } else if ((key == KEY_L_ALT || key == KEY_R_ALT) && pressed_key_count == 1 && !repeat) {
                _sticky_key = key;
                _key_first_down = true;
                _key_down = true;
                if (!_sticky_timer) {
                    _sticky_timer = new StickyKeyTimer(*this);
                }
                arm_timer(_sticky_timer, STICKY_TIMEOUT_MS);
            }
        }
    }

    // Each cleared mark lowers the count with it: a stale count would stop sticky Alt from arming again. A
    // command may have released every key already.
    auto unmark = [this](int code) {
        if (pressed_keys[code]) {
            pressed_keys[code] = 0;
            pressed_key_count--;
        }
    };

    if (!_sticky_mode) {
        for (const auto& hot_key : _hot_keys) {
            bool complete = !hot_key.second.empty();
            for (const auto& pair : hot_key.second) {
                if (!pressed_keys[pair.first] && !(pair.second && pressed_keys[pair.second])) {
                    complete = false;
                    break;
                }
            }
            if (complete) {
                // The key is withheld: unmarked first, so that a command releasing every key does not
                // release one the handler never saw pressed.
                unmark(key);
                do_command(hot_key.first);
                return;
            }
        }
    }

    if (active_screen && !active_screen->intercepts_system_keys &&
        (key == KEY_L_WIN || key == KEY_R_WIN || key == KEY_MENU || pressed_keys[KEY_L_ALT])) {
        if (repeat) {
            key_handler->on_key_up(key);
        }
        unmark(key);
        return;
    }

    if (!_sticky_mode && (pressed_keys[KEY_L_CTRL] || pressed_keys[KEY_R_CTRL]) &&
        (pressed_keys[KEY_L_ALT] || pressed_keys[KEY_R_ALT])) {
        if (key == KEY_END || key == KEY_PAD_1) {
            // Ctrl+Alt+End stands for Ctrl+Alt+Del. The End itself is withheld: its release is never sent
            // (its mark is gone), so sending its press would leave it held down in the guest.
            unmark(key);
            key_handler->on_key_down(KEY_DELETE);
            key_handler->on_key_up(KEY_DELETE);
            return;
        }
        if (key == KEY_DELETE || key == KEY_PAD_POINT) {
            unmark(key);
            return;
        }
    }

    key_handler->on_key_down(key);
}

void Application::on_key_up(int key) {
    if (key < 1 || key > KEY_LAST || !pressed_keys[key]) {
        return;
    }
    if (_sticky_trace) {
        if (key == _sticky_key) {
            _key_down = false;
            if (_key_first_down) {
                _key_first_down = false;
                if (_sticky_mode) {
                    return;
                }
                reset_sticky();
            }
        }
        if (_sticky_mode) {
            int sticky_key = _sticky_key;
            reset_sticky();
            if (key == sticky_key) {
                return;
            }
        }
    }
    pressed_keys[key] = 0;
    pressed_key_count--;
    key_handler->on_key_up(key);
}

void Application::on_sticky_timer() {
    _sticky_mode = true;
    LOG_DEBUG("ON sticky");
    if (_info_layer) {
        _info_layer->set_info_mode(true);
    }
    if (_sticky_timer) {
        disarm_timer(_sticky_timer);
    }
}

bool Application::sticky_timer_armed() const {
    return _sticky_timer && _sticky_timer->is_armed();
}

void Application::reset_sticky() {
    _sticky_trace = _session_state == SESSION_VISIBLE && sys_key_intercept_mode;
    _key_first_down = false;
    if (_sticky_timer) {
        disarm_timer(_sticky_timer);
    }
    if (_sticky_mode) {
        if (!_key_down && _sticky_key >= 1 && _sticky_key <= KEY_LAST && pressed_keys[_sticky_key]) {
            pressed_keys[_sticky_key] = 0;
            pressed_key_count--;
            key_handler->on_key_up(_sticky_key);
        }
        _sticky_mode = false;
        LOG_DEBUG("OFF sticky");
        if (_info_layer) {
            _info_layer->set_info_mode(false);
        }
    }
    _key_down = false;
    _sticky_key = 0;
}

void Application::release_all_keys() {
    reset_sticky();
    for (int code = 0; code < KEY_CODE_COUNT; code++) {
        if (pressed_keys[code]) {
            key_handler->on_key_up(code);
            pressed_keys[code] = 0;
            pressed_key_count--;
        }
    }
}

void Application::unpress_all() {
    release_all_keys();
}

void Application::sync_modifier_keys() {
    static const int MODIFIER_KEYS[] = {KEY_L_SHIFT, KEY_R_SHIFT, KEY_L_CTRL,
                                        KEY_R_CTRL,  KEY_L_ALT,   KEY_R_ALT};
    uint32_t held = Platform::get_keyboard_modifiers();
    for (int bit = 0; bit < 6; bit++) {
        if (held & (1u << bit)) {
            on_key_down(MODIFIER_KEYS[bit]);
        } else {
            on_key_up(MODIFIER_KEYS[bit]);
        }
    }
}

bool Application::release_capture() {
    release_all_keys();
    if (!active_screen || !active_screen->mouse_captured) {
        return false;
    }
    active_screen->mouse_captured = false;
    ClipCursor(nullptr);
    active_screen->update_pointer_layer();
    return true;
}

// ---- Key handlers ----

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
    key_handlers.remove(&handler);
}

// ---- Hot keys and commands ----

bool Application::set_hotkeys(const std::string& hotkeys) {
    try {
        HotKeysParser parser(hotkeys, _commands);
        _hot_keys.swap(parser.get());
        return true;
    } catch (Exception& e) {
        LOG_WARN("%s", e.what());
        HotKeysParser parser(DEFAULT_HOT_KEYS, _commands);
        _hot_keys.swap(parser.get());
        return false;
    }
}

void Application::send_chord(int command) {
    auto chord = _hot_keys.find(command);
    if (chord == _hot_keys.end()) {
        return;
    }
    for (const auto& pair : chord->second) {
        key_handler->on_key_down(pair.first);
    }
    for (const auto& pair : chord->second) {
        key_handler->on_key_up(pair.first);
    }
}

void Application::do_command(int command) {
    switch (command) {
        case COMMAND_SEND_CTRL_ALT_DEL:
            key_handler->on_key_down(KEY_L_CTRL);
            key_handler->on_key_down(KEY_L_ALT);
            key_handler->on_key_down(KEY_DELETE);
            key_handler->on_key_up(KEY_DELETE);
            key_handler->on_key_up(KEY_L_ALT);
            key_handler->on_key_up(KEY_L_CTRL);
            break;
        case COMMAND_TOGGLE_FULL_SCREEN:
            // The PC-in-one desktop, which would allow it under anti-capture, does not exist here.
            if (!SessionBlock::anti_screen_capture()) {
                toggle_full_screen();
            }
            break;
        case COMMAND_RELEASE_CAPTURE:
            release_capture();
            break;
        case COMMAND_SEND_SHIFT_F11:
        case COMMAND_SEND_SHIFT_F12:
            send_chord(command);
            break;
        case COMMAND_SEND_CTRL_ALT_END:
            key_handler->on_key_down(KEY_L_CTRL);
            key_handler->on_key_down(KEY_L_ALT);
            key_handler->on_key_down(KEY_END);
            key_handler->on_key_up(KEY_L_CTRL);
            key_handler->on_key_up(KEY_L_ALT);
            key_handler->on_key_up(KEY_END);
            break;
        case COMMAND_SHOW_GUI:
            show_gui();
            break;
        case COMMAND_ENABLE_GDI_DEBUG:
            set_canvas_debug_trace(true);
            break;
        case COMMAND_DISABLE_GDI_DEBUG:
            set_canvas_debug_trace(false);
            break;
        case COMMAND_RESTORE_SNAPSHOT:
            if (SessionBlock::restore_allowed() && SessionBlock::restore_mode() == 1 && main_screen) {
                main_screen->request_snapshot_restore(WPARAM(main_screen->window));
            }
            break;
        default:
            break;
    }

    auto item = _foreign_menu_items.find(command);
    if (item != _foreign_menu_items.end() && item->second.connection) {
        uint8_t message[16];
        const uint32_t words[4] = {FOREIGN_MENU_ITEM_ACTIVATED, sizeof(message),
                                   uint32_t(item->second.client_item_id), 0};
        for (size_t i = 0; i < 4; i++) {
            for (size_t b = 0; b < 4; b++) {
                message[i * 4 + b] = uint8_t(words[i] >> (8 * b));
            }
        }
        item->second.connection->write(message, sizeof(message));
    }
}

// ---- Menus ----

void Application::init_menu() {
    if (app_menu) {
        app_menu->unref();
        app_menu = nullptr;
    }
    if (_usb_menu) {
        _usb_menu->unref();
        _usb_menu = nullptr;
    }
    app_menu = new Menu(*this, "");
    app_menu->add_command("Send Ctrl+Alt+Del\tCtrl+Alt+End", COMMAND_SEND_CTRL_ALT_DEL, 0);
    app_menu->add_command("Toggle full screen\tCtrl+Shift+F11", COMMAND_TOGGLE_FULL_SCREEN, 0);

    Menu* special = new Menu(*this, "Special keys");
    special->add_command("Send Shift+F11", COMMAND_SEND_SHIFT_F11, 0);
    special->add_command("Send Shift+F12", COMMAND_SEND_SHIFT_F12, 0);
    special->add_command("Send Ctrl+Alt+End", COMMAND_SEND_CTRL_ALT_END, 0);
    special->add_command("ENABLE GDI DEBUG", COMMAND_ENABLE_GDI_DEBUG, 0);
    special->add_command("DISABLE GDI DEBUG", COMMAND_DISABLE_GDI_DEBUG, 0);
    app_menu->add_sub(special);
    special->unref();

    _usb_menu = new Menu(*this, "USB RedirControl");
    _usb_menu->add_command("Refresh Device List", COMMAND_REFRESH_USB_DEVICES, 0);
    _usb_menu->add_command("Switchto WINUSB", COMMAND_SWITCH_TO_WINUSB, 0);
    app_menu->add_sub(_usb_menu);
    if (_foreign_menu) {
        _foreign_menu->add_sub_menus();
    }
}

void Application::update_menu() {
    LOG_DEBUG("menu changed; the session window shows no menu yet");
}

Menu* Application::get_app_menu() {
    return app_menu ? app_menu->ref() : nullptr;
}

int Application::get_foreign_menu_item_id(ForeignMenuConnection* connection, int32_t client_item_id) {
    for (const auto& item : _foreign_menu_items) {
        if (item.second.connection == connection && item.second.client_item_id == client_item_id) {
            return item.first;
        }
    }
    int id = COMMAND_FOREIGN_FIRST;
    for (const auto& item : _foreign_menu_items) {
        if (item.first > id) {
            break;
        }
        if (item.first == id) {
            id++;
        }
    }
    if (id > COMMAND_FOREIGN_LAST) {
        return 0;
    }
    _foreign_menu_items[id] = ForeignMenuItem{connection, client_item_id};
    return id;
}

void Application::clear_menu_items(ForeignMenuConnection* connection) {
    for (auto it = _foreign_menu_items.begin(); it != _foreign_menu_items.end();) {
        if (it->second.connection == connection) {
            it = _foreign_menu_items.erase(it);
        } else {
            ++it;
        }
    }
}

void Application::remove_menu_item(int item_id) {
    _foreign_menu_items.erase(item_id);
}

void Application::release_key_state() {
    if (_sticky_timer) {
        disarm_timer(_sticky_timer);
        _sticky_timer->unref();
        _sticky_timer = nullptr;
    }
    if (app_menu) {
        app_menu->unref();
        app_menu = nullptr;
    }
    if (_usb_menu) {
        _usb_menu->unref();
        _usb_menu = nullptr;
    }
}
