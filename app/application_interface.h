// ApplicationInterface: what the session window, the screens, the layers and the channels of the display and
// device code call of the application, and the state they read and write. Application implements it; display
// code and its tests can use a fake. Main thread only, except where said otherwise.
#pragma once

#include "app/input_handler.h"
#include "runtime/process_loop.h"
#include "winapi/windows.h"

#include <cstdint>
#include <list>
#include <string>
#include <vector>

class Monitor;
class RedClient;
class SessionScreen;
class DialogLayer;
class Menu;

// The window state kept per user in the registry.
struct WindowStateRecord {
    // The key: server address (network order), VDI user name and session index from the session block.
    uint32_t address = 0;
    std::string user;
    uint32_t session_index = 0;
    bool full_screen = false;
    int32_t width = 0;
    int32_t height = 0;
};

class ApplicationInterface {
public:
    enum SessionState : uint32_t {
        SESSION_IDLE = 0,
        SESSION_CONNECTING = 1,
        SESSION_CONNECTED = 2,
        SESSION_VISIBLE = 3,
    };

    static constexpr int KEY_CODE_COUNT = 351;  // key codes 0 to 350

    virtual ~ApplicationInterface() {}

    // The main loop: events pushed to it and timers armed on it run on the main thread. Any thread.
    virtual ProcessLoop& main_loop() = 0;
    virtual RedClient& get_client() = 0;

    // ---- Connection (the start command or the parent's session block) ----

    // host and texts are byte strings; ports -1 when not given. False when a connection was already
    // started (a process connects once) or no port was given.
    virtual bool connect(const std::string& host, int port, int secure_port, const std::string& logon_user,
                         const std::string& password, const uint64_t* vm_id, int logon_mode,
                         const std::string& vdi_user_name) = 0;
    // Stores the window state and quits the main loop with code 0.
    virtual void quit() = 0;
    // Any thread. Ends the session with the error code unless a restart is under way (see Application).
    virtual void on_disconnected(int error_code) = 0;

    // The display channel marked the screen visible (main thread).
    virtual void on_visibility(int screen_id) = 0;

    // ---- Window state in the registry ----

    // Reads the per-user window state keyed by the session block; false only without a block.
    virtual bool reg_read_userinfo(const uint8_t* session_block) = 0;
    virtual void reg_write_userinfo_values(bool full_screen, int32_t width, int32_t height) = 0;

    // ---- Screens and monitors ----

    // The screen with one more reference, created when missing.
    virtual SessionScreen* get_screen(int id) = 0;
    virtual void on_screen_destroyed(int id, bool was_captured) = 0;
    // The screen is resized for a new primary surface; the first call shows the session window.
    virtual void resize_screen(SessionScreen* screen, int width, int height, int flags) = 0;
    virtual void assign_monitors() = 0;
    virtual void enter_full_screen() = 0;
    virtual void exit_full_screen() = 0;
    virtual void toggle_full_screen() = 0;
    virtual void restore_monitors() = 0;
    virtual Monitor* find_monitor(SessionScreen* screen) = 0;
    // The right-most and bottom-most monitor edge; false when there is no main window.
    virtual bool get_monitors_extent(POINT& extent) = 0;

    // ---- Keys ----

    // Key codes 1 to 350 reach the current key handler; others are ignored.
    virtual void on_key_down(int key_code) = 0;
    virtual void on_key_up(int key_code) = 0;
    virtual void set_key_handler(KeyHandler& handler) = 0;
    virtual void remove_key_handler(KeyHandler& handler) = 0;
    virtual void unpress_all() = 0;
    virtual void sync_modifier_keys() = 0;
    virtual void reset_sticky() = 0;

    // ---- Dialog layer ----

    virtual void init_remainder() = 0;
    virtual void show_gui() = 0;
    virtual void hide_gui() = 0;

    // ---- Server ----

    // The server's main channel answers the client's pings (its capability bit 16).
    virtual bool server_takes_ping() { return true; }

    // ---- State read and written by the window and channel code ----

    // 1 when the start command connected in debug mode: the first resize then starts no navigation bar and
    // sends no 0x545.
    uint32_t debug_start = 0;
    bool focus_lost = false;  // anti-capture mode
    bool anti_capture_blanking = false;
    SessionScreen* active_screen = nullptr;
    SessionScreen* main_screen = nullptr;
    bool sys_key_intercept_mode = false;
    uint8_t pressed_keys[KEY_CODE_COUNT] = {};
    int pressed_key_count = 0;
    // The current handlers (never null: the base handlers stand in) and the earlier key handlers, most
    // recent first.
    KeyHandler* key_handler = nullptr;
    std::list<KeyHandler*> key_handlers;
    MouseHandler* mouse_handler = nullptr;
    bool full_screen = false;
    bool minimized_from_full_screen = false;
    int32_t pre_save_cx = 0;
    int32_t pre_save_cy = 0;
    bool minimize_display_change = false;
    WindowStateRecord window_state;
    int32_t primary_width = 0;
    int32_t primary_height = 0;
    uint32_t guest_max_width = 0;
    uint32_t guest_max_height = 0;
    bool display_follows_window = false;
    std::vector<int32_t> canvas_types{2};  // 1 software, 2 GDI
    std::string title;                     // format of every screen window's title
    std::string host_name;                 // of the current connection
    bool controlled_mode = false;
    bool active = false;  // the session window has the focus
    Menu* app_menu = nullptr;
    DialogLayer* gui = nullptr;

    // The monitors found at start-up.
    static uint32_t found_monitor_count;
    // Set from the command line by program entry: it starts with "debug".
    static bool debug_mode;

    // The process's application, set by init_remainder.
    static ApplicationInterface* instance();
    static void set_instance(ApplicationInterface* app);

    // The base handlers, shared by every application.
    static KeyHandler& base_key_handler();
    static MouseHandler& base_mouse_handler();
};

// The in-session dialog layer, as the application drives it.
class DialogLayer {
public:
    virtual ~DialogLayer() {}
    // Attached to a screen.
    virtual bool is_attached() = 0;
    virtual bool has_dialog() = 0;
    virtual void create_dialog() = 0;
    virtual void set_screen(SessionScreen* screen) = 0;
    // The 33 ms tick.
    virtual void idle() = 0;
    virtual KeyHandler& key_handler() = 0;
};
