// RedWindow: the top-level window of a session screen (class "redc_wclass"). It is a drawable, so the
// screen's repaint draws into it; on this platform the drawing lands in the window's back buffer and is shown
// when the repaint ends (end_paint). The window procedure turns window messages into calls on the window and
// on its listener, the session screen.
//
// Main thread only.
#pragma once

#include "canvas/red_drawable.h"
#include "winapi/windows.h"

#include <cstdint>
#include <functional>
#include <string>

class ApplicationInterface;
class LocalCursor;

// Session window messages of the parent client, the navigation bar, the dialogs, the channels and the hook.
enum : UINT {
    WM_KTW_END_SESSION = 0x512,
    WM_KTW_RESTORE = 0x516,
    WM_KTW_LOCK_WORKSTATION = 0x517,
    WM_KTW_RESTART_RESULT = 0x519,
    WM_KTW_RESET_SUCCESS = 0x520,
    WM_KTW_END_SESSION_OF = 0x530,
    WM_KTW_SHOW_RESTART_WAIT = 0x605,
    WM_KTW_CLOSE_RESTART_DIALOGS = 0x606,
    WM_KTW_SHOW_RESTORE_WAIT = 0x60A,
    WM_KTW_SESSION_CHANGE = 0x900,
    WM_KTW_SHOW_RESTART = 0x905,
    WM_KTW_INPUT_READY = 0x906,
    WM_KTW_TOGGLE_FULL_SCREEN = 0x907,
    WM_KTW_FORWARD_TO_PARENT = 0x908,
    WM_KTW_SHOW_NETWORK = 0x910,
    WM_KTW_NETWORK_STATE_FILE = 0x912,
};

// Not in every header set: the session notice and its unlock code.
#ifndef WM_WTSSESSION_CHANGE
#define WM_WTSSESSION_CHANGE 0x02B1
#endif
#ifndef WTS_SESSION_UNLOCK
#define WTS_SESSION_UNLOCK 0x8
#endif

class RedWindow : public RedDrawable {
public:
    // Button codes: left 1, middle 2, right 3, wheel up 4, wheel down 5. Buttons mask: left 1, middle 2,
    // right 4.
    enum { BUTTON_LEFT = 1, BUTTON_MIDDLE = 2, BUTTON_RIGHT = 3, BUTTON_UP = 4, BUTTON_DOWN = 5 };
    enum { BUTTON_MASK_LEFT = 1, BUTTON_MASK_MIDDLE = 2, BUTTON_MASK_RIGHT = 4 };
    enum Type { TYPE_NORMAL = 1, TYPE_FULLSCREEN = 2 };
    // Input-ready bits (message 0x906).
    enum { READY_CURSOR = 1, READY_INPUTS = 2 };

    class Listener {
    public:
        virtual ~Listener() {}
        virtual void on_exposed_rect(const RECT& rect) = 0;
        virtual bool ParseCommand(const std::string& command_line) = 0;
        virtual void OnCopyData(HWND sender, const COPYDATASTRUCT* data) = 0;
        virtual void NotifyNavBar(int code) = 0;
        virtual void OnSessionChangeDesk(int code) = 0;
        virtual void LockWorkStation() = 0;
        virtual void CloseRestartDialogs(WPARAM wparam) = 0;
        virtual void ForwardRestartResult(WPARAM wparam) = 0;
        virtual void set_restart_state(int state) = 0;
        virtual void ShowRestartDlg() = 0;
        virtual void ShowNetworkDlg() = 0;
        virtual void ShowRestartWaitDlg() = 0;
        virtual void OnGetResetSuccess() = 0;
        virtual void ForwardToParent(HWND window) = 0;
        virtual void ShowRestoreWaitDlg() = 0;
        virtual void on_pointer_enter(int x, int y, unsigned int buttons_state) = 0;
        virtual void on_pointer_motion(int x, int y, unsigned int buttons_state) = 0;
        virtual void on_pointer_leave() = 0;
        virtual void on_mouse_button_press(int button, unsigned int buttons_state) = 0;
        virtual void on_mouse_button_release(int button, unsigned int buttons_state) = 0;
        virtual void on_key_press(int key_code) = 0;
        virtual void on_key_release(int key_code) = 0;
        virtual void on_char(uint32_t ch) = 0;
        virtual void on_deactivate() = 0;
        virtual void on_activate() = 0;
        virtual void enter_full_screen() = 0;
        virtual void restore_screen() = 0;
        virtual void on_start_key_interception() = 0;
        virtual void on_stop_key_interception() = 0;
        virtual void enter_modal_loop() = 0;
        virtual void exit_modal_loop() = 0;
        virtual void pre_migrate() {}
        virtual void post_migrate() {}
        virtual bool no_restart_wait_dialog() { return true; }
        // SC_RESTORE: true when the window was restored here; false lets the default restore run.
        virtual bool on_restore() {
            restore_screen();
            return false;
        }
    };

    // Registers the window class; throws Exception "register class failed".
    static void init();
    // The first session window made in this process, or null.
    static HWND session_window();

    RedWindow(ApplicationInterface& app, Listener& listener);
    ~RedWindow() override;

    // The client size.
    SIZE get_size() override;
    Format get_format() override { return _format; }

    HWND hwnd() const { return _hwnd; }

    // Drawing into the window happens between these two; end_paint shows what was drawn. Nested pairs count.
    void begin_paint();
    void end_paint();

    void set_title(const std::string& title);
    void set_type(Type type);
    Type get_type() const { return _type; }
    void show(int screen_id);
    void hide();
    void minimize();
    void activate();
    void resize(int width, int height);
    void move_and_resize(int x, int y, int width, int height);
    POINT get_position();
    POINT get_screen_position();
    bool is_minimized() const { return _minimized; }

    void set_cursor(LocalCursor* cursor, bool force = false);
    void set_input_ready(uint32_t bits, bool set);
    uint32_t input_ready() const { return _input_ready; }
    void hide_cursor();
    void capture_mouse();
    void release_mouse();
    // The anchor point for a captured pointer, in screen pixels; false when the window shows no part big
    // enough.
    bool get_mouse_anchor_point(POINT& point);

    void on_pointer_enter(int x, int y, unsigned int buttons_state);
    void on_pointer_leave();
    void on_focus_in();
    void on_focus_out();
    void start_key_interception();
    void stop_key_interception();
    bool is_pointer_inside() const { return _pointer_inside; }
    bool is_focused() const { return _focused; }

    // Lowers an odd client side by one and, when the size changed and a channel has connected, asks the
    // guest for it (the request goes through the resolution hook).
    void notify_guest_change_resolution();

    // Where the characters of a key come from (the keyboard layout): UTF-16 units into out, returning how
    // many. Replaceable for tests.
    std::function<int(UINT vk, UINT scan, char16_t* out, int room)> key_text;
    // Called with the even client size the guest should take.
    std::function<void(int width, int height)> request_resolution;

    // Process-wide state kept with the window.
    static bool channel_connected;  // any channel has connected
    static SIZE display_size;       // the client size last set or sent

    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);

private:
    LRESULT handle_message(UINT message, WPARAM wparam, LPARAM lparam);
    void on_key_down(WPARAM wparam, LPARAM lparam);
    void on_key_up(WPARAM wparam, LPARAM lparam);
    void deliver_text(const char16_t* units, int count);
    void on_mouse_move(LPARAM lparam, WPARAM wparam);
    void on_size(WPARAM wparam, LPARAM lparam);
    void modal_loop_start();
    void modal_loop_end();
    DWORD style_of(Type type) const;

    ApplicationInterface& _app;
    Listener& _listener;
    HWND _hwnd = nullptr;
    Format _format = RGB32;
    Type _type = TYPE_NORMAL;
    int _paint_depth = 0;
    LocalCursor* _cursor = nullptr;
    LocalCursor* _pending_cursor = nullptr;
    LocalCursor* _inactive_cursor = nullptr;
    bool _cursor_visible = true;
    uint32_t _input_ready = 0;
    bool _key_interception_wanted = false;
    bool _key_interception_on = false;
    bool _focused = false;
    bool _pointer_inside = false;
    bool _minimized = false;
    bool _position_saved = false;
    bool _restored = false;
    bool _in_modal_loop = false;
    POINT _saved_position{0, 0};
    bool _clipped = false;
};
