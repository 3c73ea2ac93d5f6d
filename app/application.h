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
#include "app/input_handler.h"
#include "app/menu.h"
#include "app/red_client.h"
#include "app/session_screen.h"
#include "platform/platform.h"
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
class InfoLayer;
class WatermarkLayer;
class GUITimer;
class GUIBarrier;
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
    // Channel factories by SPICE channel type (display 2, inputs 3, cursor 4, playback 5, record 6, USB
    // redirection 9); process-wide objects, not owned.
    std::map<uint8_t, ChannelFactory*> channel_factories;
    // The module version text, logged at start.
    std::string version;
};

class Application : public ProcessLoop,
                    public Platform::EventListener,
                    public RedClient::Listener,
                    public ApplicationInterface,
                    public CommandTarget {
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
    int get_foreign_menu_item_id(ForeignMenuConnection* connection, int32_t client_item_id);
    void clear_menu_items(ForeignMenuConnection* connection);
    void remove_menu_item(int item_id);
    // The application menu with one more reference; null before init_menu.
    Menu* get_app_menu();
    Menu* usb_menu() const { return _usb_menu; }

    // ---- Screens (application_screens.cpp) ----

    void hide_screens();
    void rearrange_monitors(bool force_capture, bool enter_full_screen, SessionScreen* screen);
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
    // Process-wide: 1 while full screen was last chosen by the stored state or a toggle.
    static uint32_t full_screen_indicator;

    // ---- Layers and timers (application_layers.cpp) ----

    void show_info_layer();
    // Arms the dialog layer's 33 ms tick on the main loop.
    void start_gui_timer();

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
    InfoLayer* _info_layer;
    WatermarkLayer* _watermark_layer;
    StickyKeyTimer* _sticky_timer;
    bool _sticky_trace;
    bool _sticky_mode;
    bool _key_first_down;
    bool _key_down;
    int _sticky_key;
    Menu* _usb_menu;
    std::map<int, ForeignMenuItem> _foreign_menu_items;
    GUITimer* _gui_timer;
    std::list<GUIBarrier*> _gui_barriers;
    bool _during_host_switch;
    std::atomic<uint32_t> _session_state;
    std::unique_ptr<Thread> _cancel_watch;
    // Process-wide: true once a first screen resize ran to its end.
    bool _first_resize_done;
};
