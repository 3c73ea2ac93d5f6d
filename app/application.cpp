#include "app/application.h"

#include "platform/monitor.h"
#include "platform/platform.h"
#include "platform/session_block.h"
#include "runtime/exception.h"
#include "runtime/log.h"
#include "transport/channel/channel_factory.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <string>

namespace {

const UINT WM_HELPER_FOCUS = 0x600;
const int SECURITY_SECURE = 1;
const int SECURITY_PLAIN = 2;
const int SECURITY_BOTH = 3;
const uint32_t SEND_TIMEOUT_MS = 5000;

// Registered in this order with the main channel client.
const uint8_t FACTORY_ORDER[] = {SPICE_CHANNEL_DISPLAY,  SPICE_CHANNEL_CURSOR, SPICE_CHANNEL_INPUTS,
                                 SPICE_CHANNEL_PLAYBACK, SPICE_CHANNEL_RECORD, SPICE_CHANNEL_USBREDIR};

std::u16string widen(const std::string& text) {
    if (text.empty()) {
        return std::u16string();
    }
    int units = MultiByteToWideChar(CP_ACP, 0, text.data(), int(text.size()), nullptr, 0);
    if (units <= 0) {
        return std::u16string();
    }
    std::u16string wide(size_t(units), u'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), int(text.size()), &wide[0], units);
    return wide;
}

std::u16string to_u16(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

HWND find_parent_window() {
    return FindWindowW(Application::PARENT_CLASS, Application::PARENT_TITLE);
}

}  // namespace

class Application::ConnectedEvent : public Event {
public:
    void response(AbstractProcessLoop& events_loop) override {
        static_cast<Application*>(events_loop.get_owner())->on_connected();
    }
};

class Application::VisibilityEvent : public Event {
public:
    explicit VisibilityEvent(int screen_id) : _screen_id(screen_id) {}
    void response(AbstractProcessLoop& events_loop) override {
        static_cast<Application*>(events_loop.get_owner())->on_visibility(_screen_id);
    }

private:
    int _screen_id;
};

ApplicationParts& Application::parts() {
    static ApplicationParts the_parts;
    return the_parts;
}

Application::Application()
    : ProcessLoop(this),
      _session_running_event(nullptr),
      _client(*this, *this),
      _parent_notice_suppressed(false),
      _monitors_arranged(true),
      _ciphers("DEFAULT"),
      _enabled_channels(~0u),
      _changing_screens(false),
      _out_of_sync(false),
      _exit_code(0),
      _info_layer(nullptr),
      _watermark_layer(nullptr),
      _sticky_timer(nullptr),
      _sticky_trace(false),
      _sticky_mode(false),
      _key_first_down(false),
      _key_down(false),
      _sticky_key(0),
      _usb_menu(nullptr),
      _gui_timer(nullptr),
      _during_host_switch(false),
      _session_state(SESSION_IDLE),
      _first_resize_done(false) {
    key_handler = &base_key_handler();
    mouse_handler = &base_mouse_handler();
    title = "KTWSession:%d";
    LOG_DEBUG("");
    if (debug_mode) {
        title = "QELT-VMID:%s SCREEN:%d";
    }
    _commands["toggle-fullscreen"] = 2;
    _commands["release-cursor"] = 3;
    _commands["restore-snapshot"] = 2051;
    _commands["show-gui"] = 7;
    canvas_types.assign(1, 2);
    _host_auth.type_flags = RedPeer::HostCheckOptions::NAME;
    _ca_file = Platform::app_data_folder("ktwsession") + "/spice_truststore.pem";
    _host_auth.CA_file = _ca_file;
    set_hotkeys("toggle-fullscreen=ctrl+shift+f11,restore-snapshot=ctrl+shift+alt+f9");
    for (uint8_t type = SPICE_CHANNEL_MAIN; type <= RedClient::MAX_CHANNEL_TYPE; type++) {
        _channel_security[type] = SECURITY_BOTH;
    }
    if (parts().create_info_layer) {
        _info_layer = parts().create_info_layer(*this);
    }
    if (parts().create_watermark_layer) {
        _watermark_layer = parts().create_watermark_layer(*this);
    }
}

Application::~Application() {
    // Its programs' connections go first; the application menu is left alone.
    _foreign_menu.reset();
    stop_gui_timer();
    if (gui) {
        gui->set_screen(nullptr);
    }
    delete_layers();
    if (main_screen) {
        SessionScreen* screen = main_screen;
        main_screen = nullptr;
        screen->unref();
    }
    forget_monitors();
    // The cancel watch waits on the session-running event: release it before the event goes.
    if (_session_running_event) {
        SetEvent(_session_running_event);
    }
    if (_cancel_watch) {
        _cancel_watch->join();
        _cancel_watch.reset();
    }
    if (_session_running_event) {
        CloseHandle(_session_running_event);
    }
    delete gui;
    gui = nullptr;
    if (ApplicationInterface::instance() == this) {
        set_instance(nullptr);
    }
    // Whatever channels are left end before the client goes.
    abort();
    release_key_state();
    // Events still queued may hold the last reference of a screen, whose destructor calls back into the
    // application: they go while the application is whole, not with the loop's queue after it.
    drop_queued_events();
}

// ---- Start-up and the loop ----

int Application::main(const std::string& command_line) {
    if (const char* level = getenv("KTWSESSION_LOG_LEVEL")) {
        log_set_threshold(unsigned(atoi(level)));
    }
    srand(unsigned(time(nullptr)));
    LOG_INFO("starting VDI%s", parts().version.c_str());
    LOG_INFO("command line: %s", command_line.c_str());

    Application* app = new Application();
    int exit_code = 0;
    bool aborted = false;
    try {
        app->set_command_line(command_line);
        app->register_channel_factories();
        Platform::create_message_wind(app->get_timers_queue());
        if (parts().init_window) {
            if (!parts().init_window()) {
                LOG_WARN("session window class or keyboard hook not installed");
            }
        } else {
            LOG_INFO("no session window code: window class and keyboard hook skipped");
        }
        app->init_remainder();
        app->hide_screens();
        exit_code = app->run();
        if (parts().remove_keyboard_hook) {
            parts().remove_keyboard_hook();
        }
        LOG_INFO("exit Application::main");
        aborted = true;
        app->abort();
    } catch (...) {
        if (!aborted) {
            app->abort();
        }
        delete app;
        throw;
    }
    delete app;
    return exit_code;
}

int Application::run() {
    _exit_code = ProcessLoop::run();
    return _exit_code;
}

void Application::init_remainder() {
    set_instance(this);
    exit_full_screen();
    forget_monitors();
    found_monitor_count = uint32_t(Platform::init_monitors().size());
    init_menu();
    main_screen = get_screen(0);
    Platform::set_event_listener(this);
    _session_running_event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!_session_running_event) {
        LOG_WARN("CreateEvent m_hSessionAlreadyRun failed!Err:%u", GetLastError());
    } else {
        try {
            _cancel_watch.reset(new Thread(cancel_watch_main, this));
        } catch (Exception& e) {
            LOG_WARN("Create MonitorCancelThread failed!Err:%s", e.what());
        }
    }
    if (parts().create_gui) {
        delete gui;
        gui = parts().create_gui(*this);
        start_gui_timer();
    } else {
        LOG_INFO("no dialog layer");
    }
}

void Application::on_start_running() {
    _foreign_menu.reset(new ForeignMenu(*this, *this, active));
    if (!main_screen || !main_screen->ParseCommand(_command_line)) {
        LOG_ERROR("ParseCommand failed, so app quit");
        quit();
    }
}

void Application::abort() {
    Platform::set_event_listener(nullptr);
    release_all_keys();
    // A channel thread may be waiting for a synchronous event on this loop: keep serving them.
    while (!_client.abort()) {
        run_queued_events();
        Sleep(100);
    }
}

void Application::on_app_activated() {
    active = true;
    key_handler->on_focus_in();
    notify_helper_window_focus(0);
    if (_foreign_menu) {
        _foreign_menu->on_activate();
    }
}

void Application::on_app_deactivated() {
    active = false;
    key_handler->on_focus_out();
    notify_helper_window_focus(1);
    if (_foreign_menu) {
        _foreign_menu->on_deactivate();
    }
}

void Application::notify_helper_window_focus(LPARAM lparam) {
    std::u16string name = u"CLIPDRNAME" + to_u16(std::to_string(GetCurrentProcessId()));
    if (HWND window = FindWindowW(nullptr, name.c_str())) {
        PostMessageW(window, WM_HELPER_FOCUS, 0, lparam);
    }
}

void* Application::cancel_watch_main(void* arg) {
    static_cast<Application*>(arg)->cancel_watch();
    return nullptr;
}

void Application::cancel_watch() {
    LOG_INFO("MonitorCancelThread is running");
    std::u16string name = u"CancelKtwSession" + to_u16(std::to_string(GetCurrentProcessId()));
    HANDLE cancel = OpenEventW(EVENT_ALL_ACCESS, FALSE, name.c_str());
    if (!cancel) {
        LOG_ERROR("Open CancelKtwsessionEvent:CancelKtwSession%u Failed!Err:%u",
                  unsigned(GetCurrentProcessId()), GetLastError());
        return;
    }
    HANDLE handles[2] = {_session_running_event, cancel};
    DWORD which = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    if (which != WAIT_OBJECT_0 + 1) {
        LOG_INFO("Session already Run and MonitorCancelThread is exit");
        CloseHandle(cancel);
        return;
    }
    LOG_INFO("get cancel message, so app on_disconnected,error_code:0");
    CloseHandle(cancel);
    if (main_screen) {
        InterlockedExchange(&main_screen->ended_locally, 1);
    }
    _parent_notice_suppressed = true;
    on_disconnected(0);
}

// ---- Connection control ----

bool Application::connect(const std::string& host, int port, int secure_port, const std::string& logon_user,
                          const std::string& password, const uint64_t* vm_id, int logon_mode,
                          const std::string& vdi_user_name) {
    if (_session_state != SESSION_IDLE) {
        LOG_WARN("a connection was already started, connect refused");
        return false;
    }
    _client.set_target(host, port, secure_port, 0);
    _client.set_logon_user(logon_user);
    _client.set_password(password);
    _client.set_logon_mode(logon_mode);
    _client.set_vm_id(vm_id ? *vm_id : 0);
    _client.set_vdi_user_name(vdi_user_name);
    host_name = host;
    if (!resolve_channel_security(port, secure_port)) {
        LOG_ERROR("no port given, nothing to connect to");
        return false;
    }
    register_channel_factories();
    do_connect();
    return true;
}

bool Application::resolve_channel_security(int port, int secure_port) {
    for (auto& entry : _channel_security) {
        if (entry.second == SECURITY_SECURE || entry.second == SECURITY_PLAIN) {
            continue;
        }
        if (port != -1) {
            entry.second = secure_port != -1 ? SECURITY_BOTH : SECURITY_PLAIN;
        } else if (secure_port != -1) {
            entry.second = SECURITY_SECURE;
        } else {
            return false;
        }
    }
    return true;
}

void Application::register_channel_factories() {
    for (uint8_t type : FACTORY_ORDER) {
        if (!(_enabled_channels & (1u << type))) {
            continue;
        }
        auto it = parts().channel_factories.find(type);
        if (it == parts().channel_factories.end() || !it->second) {
            LOG_DEBUG("no factory for channel type %u registered", type);
            continue;
        }
        _client.register_channel_factory(*it->second);
    }
}

void Application::do_connect() {
    if (_session_state != SESSION_CONNECTING) {
        _session_state = SESSION_CONNECTING;
        hide_idle_gui();
        reset_sticky();
    }
    _client.set_security(_channel_security);
    _client.set_host_auth(_host_auth, _ciphers);
    _client.connect();
}

void Application::hide_idle_gui() {
    if (gui && gui->is_attached() && !gui->has_dialog()) {
        hide_gui();
    }
}

void Application::on_connected() {
    _during_host_switch = false;
    if (_session_state != SESSION_CONNECTED) {
        _session_state = SESSION_CONNECTED;
        hide_idle_gui();
        reset_sticky();
    }
}

void Application::on_visibility(int screen_id) {
    if (screen_id != 0) {
        return;
    }
    if (_session_state != SESSION_VISIBLE) {
        _session_state = SESSION_VISIBLE;
        hide_idle_gui();
        reset_sticky();
    }
    hide_gui();
    show_info_layer();
}

void Application::post_visibility(int screen_id) {
    VisibilityEvent* event = new VisibilityEvent(screen_id);
    push_event(event);
    event->unref();
}

void Application::on_mouse_mode_changed(uint32_t mode) {
    if (mode == RedClient::MOUSE_MODE_CLIENT && active_screen && active_screen->mouse_captured) {
        release_capture();
    }
}

int Application::monitor_count() {
    return int(found_monitor_count);
}

bool Application::query_monitors(std::vector<RedClient::AgentMonitor>* monitors) {
    const MonitorsList& list = Platform::current_monitors();
    for (int id = 0;; id++) {
        auto it = std::find_if(list.begin(), list.end(), [id](Monitor* m) { return m->get_id() == id; });
        if (it == list.end()) {
            return true;
        }
        Monitor* monitor = *it;
        Point size = monitor->get_size();
        Point position = monitor->get_position();
        Point registry = monitor->get_register_display_size();
        monitors->push_back(RedClient::AgentMonitor{32, uint32_t(size.x), uint32_t(size.y), position.x,
                                                    position.y, uint32_t(std::max(registry.x, 0)),
                                                    uint32_t(std::max(registry.y, 0))});
    }
}

// The user's stored window size is the display size the guest is asked for.
bool Application::get_user_display_size(uint32_t* width, uint32_t* height) {
    if (window_state.width <= 0 && window_state.height <= 0) {
        return false;
    }
    *width = uint32_t(std::max(window_state.width, 0));
    *height = uint32_t(std::max(window_state.height, 0));
    return true;
}

void Application::set_user_display_size(uint32_t width, uint32_t height) {
    window_state.width = int32_t(width);
    window_state.height = int32_t(height);
}

void Application::on_disconnected(int error_code) {
    SessionScreen* screen = main_screen;
    if (screen && screen->restart_wait_dialog()) {
        screen->on_restart_sent();
        return;
    }
    LOG_WARN("app on_disconnected, but not need reconnect, so processloop quit,error_code:%d", error_code);
    ProcessLoop::quit(error_code);
    bool pc_in_one = pc_in_one_mode() && SessionBlock::pc_in_one();
    if (screen && !pc_in_one) {
        screen->NotifyNavBar(1);
    }
    if (pc_in_one) {
        if (!_parent_notice_suppressed) {
            notify_parent(WM_SESSION_ENDED, SessionBlock::session_index(), 1);
        }
    } else if ((!screen || !screen->ended_locally) && !_parent_notice_suppressed) {
        notify_parent(WM_SESSION_ENDED, SessionBlock::session_index(), 0);
    }
}

void Application::notify_parent(UINT message, WPARAM wparam, LPARAM lparam) {
    if (HWND parent = find_parent_window()) {
        PostMessageW(parent, message, wparam, lparam);
    }
}

// The maker's PC-in-one desktop does not exist on this platform.
bool Application::pc_in_one_mode() {
    return false;
}

void Application::quit() {
    store_window_state();
    ProcessLoop::quit(0);
}

void Application::switch_host(const std::string& host, int port, int secure_port,
                              const std::string& subject) {
    LOG_INFO("host=%s port=%d sport=%d", host.c_str(), port, secure_port);
    _during_host_switch = true;
    release_all_keys();
    release_capture();
    _client.disconnect();
    _client.set_target(host, port, secure_port, 0);
    host_name = host;
    if (!subject.empty()) {
        set_host_cert_subject(subject, "ktwsession");
    }
}

void Application::on_switch_host(const std::string& host, int port, int secure_port,
                                 const std::string& subject) {
    switch_host(host, port, secure_port, subject);
}

bool Application::set_host_cert_subject(const std::string& subject, const std::string& program) {
    _host_auth.type_flags = RedPeer::HostCheckOptions::SUBJECT;
    _host_auth.host_subject = subject;
    std::string entry;
    size_t i = 0;
    while (true) {
        bool end = i >= subject.size();
        char c = end ? '\0' : subject[i];
        if (!end && c == '\\') {
            if (i + 1 < subject.size() && (subject[i + 1] == '\\' || subject[i + 1] == ',')) {
                entry += subject[i + 1];
                i += 2;
                continue;
            }
            LOG_WARN("single \\ in host subject");
            entry += '\\';
            i++;
            continue;
        }
        if (end || c == ',') {
            size_t equals = entry.find('=');
            if (equals == std::string::npos || equals + 1 == entry.size()) {
                Platform::console_printf("%s: host_subject bad format: assignment for %s is missing\n",
                                         program.c_str(), entry.c_str());
                return false;
            }
            size_t first = entry.find_first_not_of(" \t");
            if (first == std::string::npos || first >= equals) {
                Platform::console_printf(
                    "%s: host_subject bad format: first part of assignment must be non empty in %s\n",
                    program.c_str(), entry.c_str());
                return false;
            }
            LOG_DEBUG("subject entry: %s=%s", entry.substr(first, equals - first).c_str(),
                      entry.substr(equals + 1).c_str());
            entry.clear();
            if (end) {
                return true;
            }
            i++;
            continue;
        }
        entry += c;
        i++;
    }
}

std::vector<WCHAR> Application::connect_fail_text(const std::string& host, int port) {
    static const std::u16string head = u"连接主机(";
    static const std::u16string tail = u")失败，请联系管理员检查终端与主机通信口配置";
    std::u16string port_text = u":" + to_u16(std::to_string(port));
    // The host comes from the server on a host switch: it gives up room, never the buffer its bound.
    size_t fixed = head.size() + port_text.size() + tail.size();
    std::u16string host_text = widen(host);
    size_t room = CONNECT_FAIL_TEXT_UNITS - 1 > fixed ? CONNECT_FAIL_TEXT_UNITS - 1 - fixed : 0;
    if (host_text.size() > room) {
        host_text.resize(room);
    }
    std::u16string text = head + host_text + port_text + tail;
    text.resize(std::min(text.size(), CONNECT_FAIL_TEXT_UNITS - 1));
    std::vector<WCHAR> buffer(CONNECT_FAIL_TEXT_UNITS, 0);
    for (size_t i = 0; i < text.size(); i++) {
        buffer[i] = WCHAR(text[i]);
    }
    return buffer;
}

void Application::on_connect_failed() {
    NotifyAppClientConnectFail();
}

void Application::NotifyAppClientConnectFail() {
    LOG_INFO("on conncet failed notify appclient");
    HWND parent = find_parent_window();
    if (!parent) {
        LOG_INFO("find appclient hwnd failed %d", int(GetLastError()));
        return;
    }
    if (main_screen) {
        InterlockedExchange(&main_screen->ended_locally, 1);
    }
    std::vector<WCHAR> text = connect_fail_text(_client.get_host(), _client.get_port());
    COPYDATASTRUCT data;
    data.dwData = COPYDATA_CONNECT_FAILED;
    data.cbData = DWORD(text.size() * sizeof(WCHAR));
    data.lpData = text.data();
    DWORD_PTR result = 0;
    SendMessageTimeoutW(parent, WM_COPYDATA, SessionBlock::session_index(), LPARAM(&data), SMTO_NORMAL,
                        SEND_TIMEOUT_MS, &result);
}
