// Application: the one session object of the process. It is the main thread's loop and owns what lives on
// the main thread: the main channel client, the screens and their monitors, the key state and handlers, the
// application layers and the dialog layer, and the per-user window state. Application::main builds it, runs
// its loop until the session ends and tears it down; the loop's exit code is the process's.
//
// The window, screen, dialog-layer and channel code of the display and device subsystems is reached only
// through the hooks the program installs (ApplicationParts); a hook left empty is skipped with a log line.
//
// Keyboard routing lives in application_keys.cpp, screens and full screen in application_screens.cpp, the
// application layers and timers in application_layers.cpp; the rest here and in application.cpp.
#pragma once

#include "app/application_interface.h"
#include "app/foreign_menu.h"

#include "app/application_layer.h"
#include "app/input_handler.h"
#include "app/menu.h"
#include "app/red_client.h"
#include "app/session_screen.h"
#include "platform/monitor.h"
#include "platform/platform.h"
#include "runtime/event.h"
#include "runtime/process_loop.h"
#include "winapi/windows.h"

#include <cstdint>
#include <atomic>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

class ChannelFactory;
class GUITimer;
class StickyKeyTimer;
class Application;

// What the program plugs into the application.
struct ApplicationParts {
    // Creates a session screen with its window hidden (title format, size in pixels).
    std::function<SessionScreen*(Application& app, int id, const std::string& title, int width, int height)>
        create_screen;
    // Registers the session window class and installs the low-level keyboard hook; false on failure.
    std::function<bool()> init_window;
    std::function<void()> remove_keyboard_hook;
    // The in-session dialog layer.
    std::function<DialogLayer*(Application& app)> create_gui;
    // The application's own layers: the input barrier of a screen, the sticky-key image and the watermark.
    // Each may return null (the layer is then left out); a hook left empty leaves the layer out too.
    std::function<ApplicationLayer*(Application& app, int screen_id)> create_gui_barrier;
    std::function<ApplicationLayer*(Application& app)> create_info_layer;
    std::function<ApplicationLayer*(Application& app)> create_watermark_layer;
    // Channel factories by SPICE channel type (display 2, inputs 3, cursor 4, playback 5, record 6, USB
    // redirection 9); process-wide objects, not owned.
    std::map<uint8_t, ChannelFactory*> channel_factories;
    // The module version text, logged at start.
    std::string version;
};

// Posted by the main channel's thread to the application loop and waited for: the local monitors with ids
// 0, 1, 2 and so on, up to the first id without a monitor.
class MonitorsQuery : public SyncEvent {
public:
    struct Record {
        uint32_t depth;  // always 32
        uint32_t width;
        uint32_t height;
        int32_t x;
        int32_t y;
    };
    // Read by the poster once wait() returned.
    const std::vector<Record>& monitors() const { return _monitors; }
    // The records of the monitors with ids 0, 1, 2 ... up to the first missing id.
    static std::vector<Record> collect(const MonitorsList& monitors);

protected:
    void do_response(AbstractProcessLoop& events_loop) override;

private:
    std::vector<Record> _monitors;
};

class Application : public ProcessLoop,
                    public Platform::EventListener,
                    public RedClient::Listener,
                    public ApplicationInterface,
                    public ForeignMenuInterface {
public:
    // The cancel event's name: the process id in decimal follows.
    static constexpr const char* CANCEL_EVENT_PREFIX = "CancelKtwSession";
    // The parent client's window.
    static constexpr const char16_t* PARENT_CLASS = u"ReRezEdurorAraRezeveDivur";
    static constexpr const char16_t* PARENT_TITLE = u"RemoteApp_Client_VDI";
    // Messages to the parent client and the navigation bar.
    static constexpr UINT WM_SESSION_STARTED = 0x545;
    static constexpr UINT WM_SESSION_ENDED = 0x607;
    static constexpr UINT WM_NAVBAR_NOTICE = 0x903;
    static constexpr ULONG_PTR COPYDATA_CONNECT_FAILED = 0x545;
    // The failure text the parent gets: 260 UTF-16 units, terminator included.
    static constexpr size_t CONNECT_FAIL_TEXT_UNITS = 260;

    // Installed by the program before main runs.
    static ApplicationParts& parts();

    // Builds, runs and tears down the application; returns the exit code. command_line: the words after the
    // program name.
    static int main(const std::string& command_line);
    static void init_logger();

    Application();
    ~Application() override;

    // ---- ProcessLoop ----

    // Runs the loop and stores its result as the exit code.
    int run() override;
    int get_exit_code() const { return _exit_code; }
    const std::string& command_line() const { return _command_line; }
    void set_command_line(const std::string& command_line) { _command_line = command_line; }

    // Stops every channel, running the loop's queued events while it waits, until every channel thread has
    // been joined.
    void abort();

    // ---- ApplicationInterface ----

    ProcessLoop& main_loop() override { return *this; }
    RedClient& get_client() override { return _client; }
    bool connect(const std::string& host, int port, int secure_port, const std::string& logon_user,
                 const std::string& password, const uint64_t* vm_id, int logon_mode,
                 const std::string& vdi_user_name) override;
    void quit() override;
    void on_disconnected(int error_code) override;
    bool reg_read_userinfo(const uint8_t* session_block) override;
    void reg_write_userinfo_values(bool full_screen, int32_t width, int32_t height) override;
    SessionScreen* get_screen(int id) override;
    void on_screen_destroyed(int id, bool was_captured) override;
    void resize_screen(SessionScreen* screen, int width, int height, int flags) override;
    void assign_monitors() override;
    void enter_full_screen() override;
    void exit_full_screen() override;
    void toggle_full_screen() override;
    void restore_monitors() override;
    Monitor* find_monitor(SessionScreen* screen) override;
    bool get_monitors_extent(POINT& extent) override;
    void on_key_down(int key_code) override;
    void on_key_up(int key_code) override;
    void set_key_handler(KeyHandler& handler) override;
    void remove_key_handler(KeyHandler& handler) override;
    void unpress_all() override;
    void sync_modifier_keys() override;
    void reset_sticky() override;
    void init_remainder() override;
    void show_gui() override;
    void hide_gui() override;
    bool server_takes_ping() override { return _client.peer_has_capability(SPICE_MAIN_CAP_CLIENT_PING); }

    // ---- Platform::EventListener ----

    void on_app_activated() override;
    void on_app_deactivated() override;
    void on_monitors_change() override;

    // ---- RedClient::Listener ----

    void on_connected() override;
    void on_mouse_mode_changed(uint32_t mode) override;
    void on_connect_failed() override;
    int monitor_count() override;
    // The server's switch host: switch_host.
    void on_switch_host(const std::string& host, int port, int secure_port,
                        const std::string& subject) override;

    bool query_monitors(std::vector<RedClient::AgentMonitor>* monitors) override;
    bool get_user_display_size(uint32_t* width, uint32_t* height) override;
    void set_user_display_size(uint32_t width, uint32_t height) override;

    // ---- Connection control ----

    uint32_t get_session_state() const { return _session_state; }
    // Every channel type at 3 (both) is resolved from the ports; false when neither is given.
    bool resolve_channel_security(int port, int secure_port);
    const std::map<uint8_t, uint32_t>& channel_security() const { return _channel_security; }
    void register_channel_factories();
    void do_connect();
    // The display channel marked screen 0 visible.
    void on_visibility(int screen_id) override;
    // Any thread: on_visibility runs on the main loop.
    void post_visibility(int screen_id);
    void switch_host(const std::string& host, int port, int secure_port, const std::string& subject);
    bool set_host_cert_subject(const std::string& subject, const std::string& program);
    // Main channel's thread: the parent gets the failure text by WM_COPYDATA.
    void NotifyAppClientConnectFail();
    // The failure text for host and port, bounded to CONNECT_FAIL_TEXT_UNITS units with its terminator.
    static std::vector<WCHAR> connect_fail_text(const std::string& host, int port);
    // Set when the session was ended by the cancel event: no 0x607.
    bool parent_notice_suppressed() const { return _parent_notice_suppressed; }

    // ---- Keys (application_keys.cpp) ----

    typedef std::map<int, std::vector<std::pair<int, int>>> HotKeys;

    void release_all_keys();
    // Bad text leaves the default hot keys (false).
    bool set_hotkeys(const std::string& hotkeys);
    const HotKeys& hot_keys() const { return _hot_keys; }
    void do_command(int command) override;
    void init_menu();
    // True when the active screen held the mouse capture.
    bool release_capture();
    // The sticky-key timer's expiry: a lone Alt held long enough stays down in the guest.
    void on_sticky_timer();
    bool sticky_mode() const { return _sticky_mode; }
    bool sticky_timer_armed() const;
    // Foreign-menu items: ids 1024 to 2048 handed to the clients; 0 when none is free.
    int get_foreign_menu_item_id(ForeignMenuConnection* connection, int32_t client_item_id) override;
    void clear_menu_items(ForeignMenuConnection* connection) override;
    void remove_menu_item(int item_id) override;
    // The application menu with one more reference; null before init_menu.
    Menu* get_app_menu() override;
    // The session window shows no menu yet: nothing to rebuild.
    void update_menu() override;
    // The foreign-menu pipe, served from the loop's start; null before.
    ForeignMenu* foreign_menu() { return _foreign_menu.get(); }
    Menu* usb_menu() const { return _usb_menu; }

    // ---- Screens (application_screens.cpp) ----

    void hide_screens();
    // toggle with no screen: every screen enters full screen; with a screen: that one does. sizes: one per
    // screen id, the size a screen of locked size sets its monitor to (else its current size).
    void rearrange_monitors(bool force_capture, bool toggle, SessionScreen* screen,
                            const std::vector<Point>* sizes = nullptr);
    void reg_write_userinfo();
    // Updates the window-state record from the window and writes it (quit).
    void store_window_state();
    // Monitors: forget every screen's binding and the platform's list.
    void forget_monitors();
    // The window state's registry key below the current user for a server address (network order), VDI
    // user name (cut to its field in the session block) and session index.
    static std::string window_state_key(uint32_t address, const std::string& user, uint32_t session_index);
    // The windowed size when leaving full screen: the remembered size, else 0.8 of the display; then even
    // (graphic types 0, 1, 3: rounded up) or a multiple of 4 (others: rounded down).
    static POINT windowed_size(int remembered_width, int remembered_height, int display_width,
                               int display_height, uint32_t graphic_type);
    // The maker's PC-in-one desktop, where leaving full screen ends the session.
    static bool pc_in_one_mode();
    // Process-wide: 1 while full screen was last chosen by the stored state or a toggle.
    static uint32_t full_screen_indicator;

    // ---- Layers and timers (application_layers.cpp) ----

    void show_info_layer();
    // Arms the dialog layer's 33 ms tick on the main loop, replacing an earlier tick.
    void start_gui_timer();
    void stop_gui_timer();
    ApplicationLayer* info_layer() const { return _info_layer; }
    ApplicationLayer* watermark_layer() const { return _watermark_layer; }
    // The input barrier of the screen id; null when it has none.
    ApplicationLayer* gui_barrier(int screen_id) const;

private:
    class DisconnectedEvent;
    class ConnectedEvent;
    class VisibilityEvent;

    static void* cancel_watch_main(void* arg);
    void cancel_watch();
    void on_start_running() override;
    void notify_parent(UINT message, WPARAM wparam, LPARAM lparam);
    void notify_helper_window_focus(LPARAM lparam);
    // Hides the dialog layer when it is shown without a dialog.
    void hide_idle_gui();

    std::string _command_line;
    HANDLE _session_running_event;
    RedClient _client;
    bool _parent_notice_suppressed;
    bool _monitors_arranged;
    std::map<uint8_t, uint32_t> _channel_security;
    RedPeer::HostCheckOptions _host_auth;
    std::string _ca_file;
    std::string _ciphers;
    uint32_t _enabled_channels;  // a bit per channel type
    std::vector<SessionScreen*> _screens;
    bool _changing_screens;
    bool _out_of_sync;
    int _exit_code;
    struct ForeignMenuItem {
        ForeignMenuConnection* connection;
        int32_t client_item_id;
    };
    void send_chord(int command);
    void release_key_state();

    HotKeys _hot_keys;
    std::map<std::string, int> _commands;
    ApplicationLayer* _info_layer;
    ApplicationLayer* _watermark_layer;
    StickyKeyTimer* _sticky_timer;
    bool _sticky_trace;
    bool _sticky_mode;
    bool _key_first_down;
    bool _key_down;
    int _sticky_key;
    Menu* _usb_menu;
    std::map<int, ForeignMenuItem> _foreign_menu_items;
    std::unique_ptr<ForeignMenu> _foreign_menu;
    GUITimer* _gui_timer;
    // The input barriers with the ids of their screens.
    std::list<std::pair<int, ApplicationLayer*>> _gui_barriers;
    void create_gui_barrier(int screen_id);
    void delete_gui_barrier(int screen_id);
    void delete_layers();
    bool _during_host_switch;
    std::atomic<uint32_t> _session_state;
    std::unique_ptr<Thread> _cancel_watch;
    // Process-wide: true once a first screen resize ran to its end.
    bool _first_resize_done;
};
