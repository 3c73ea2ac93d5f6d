// RedScreen: one session screen, the session window with its stack of layers.
//
// Dirty rectangles are collected from any thread under the update lock. On the main thread they are repainted
// at most every 33 ms through the update timer, or at once for an urgent invalidation: the layers that need
// composing are composed in an off-screen pixmap, the opaque layers draw straight into the window, and the
// composed pixels are copied to the window. Only the first invalidation of a clean screen schedules anything,
// so many invalidations cost one repaint.
//
// The screen is reference counted (SessionScreen): every attached layer holds a reference.
#pragma once

#include "app/session_screen.h"
#include "display/nav_bar.h"
#include "display/red_window.h"
#include "display/session_command.h"
#include "display/session_dialogs.h"
#include "runtime/threads.h"

#include <pixman.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class ApplicationInterface;
class LocalCursor;
class RedPixmapSw;
class ScreenLayer;

// The window title from the application's title format: the first %s takes the word (the VM id of a debug
// start command, else empty), the first %d the screen id, %% a percent sign; every other character, other
// conversions included, is kept as written, so no format can read past what is given.
std::string format_screen_name(const std::string& format, const std::string& word, int id);

class RedScreen : public SessionScreen, public RedWindow::Listener {
public:
    static const uint32_t UPDATE_INTERVAL_MS = 33;

    // Main thread.
    RedScreen(ApplicationInterface& app, int id, const std::string& name_format, int width, int height);

    // ---- Layers and repaint ----

    void attach_layer(ScreenLayer& layer) override;
    void detach_layer(ScreenLayer& layer) override;
    void invalidate(const RECT& rect, bool urgent) override { invalidate_rect(rect, urgent); }
    // Any thread. The update mark current when the rectangle was added.
    uint64_t invalidate_rect(const RECT& rect, bool urgent);
    // Any thread: a layer's area changed.
    void on_layer_changed();
    // Main thread.
    void update();
    void periodic_update();
    void create_composite_area() override;
    void notify_new_size() override;
    void resize(int width, int height) override;

    // ---- Placement ----

    void show() override;
    void hide() override;
    void show_full_screen() override;
    void show_full_screen_on_monitor() override;
    void exit_full_screen() override;
    void set_name(const std::string& name_format);
    void update_menu();

    // ---- Pointer ----

    void capture_mouse() override;
    void release_mouse() override;
    void update_pointer_layer() override { update_pointer_layer_changed(); }
    // True when the pointer moved to another layer or to none.
    bool update_pointer_layer_changed();

    // ---- Window listener ----

    void on_exposed_rect(const RECT& rect) override;
    bool ParseCommand(const std::string& command_line) override;
    void OnCopyData(HWND sender, const COPYDATASTRUCT* data) override;
    void NotifyNavBar(int code) override;
    void OnSessionChangeDesk(int code) override;
    void LockWorkStation() override;
    void CloseRestartDialogs(WPARAM wparam) override;
    void ForwardRestartResult(WPARAM wparam) override;
    void set_restart_state(int state) override;
    void ShowRestartDlg() override;
    void ShowNetworkDlg() override;
    void ShowRestartWaitDlg() override;
    void OnGetResetSuccess() override;
    void ForwardToParent(HWND window) override;
    void ShowRestoreWaitDlg() override;
    void on_pointer_enter(int x, int y, unsigned int buttons_state) override;
    void on_pointer_motion(int x, int y, unsigned int buttons_state) override;
    void on_pointer_leave() override;
    void on_mouse_button_press(int button, unsigned int buttons_state) override;
    void on_mouse_button_release(int button, unsigned int buttons_state) override;
    void on_key_press(int key_code) override;
    void on_key_release(int key_code) override;
    void on_char(uint32_t ch) override;
    void on_deactivate() override;
    void on_activate() override;
    void enter_full_screen() override;
    void restore_screen() override;
    void on_start_key_interception() override;
    void on_stop_key_interception() override;
    void enter_modal_loop() override;
    void exit_modal_loop() override;
    void pre_migrate() override;
    void post_migrate() override;

    // ---- Session operations (dialogs, navigation bar, parent client) ----

    int StartNavBar() override;
    void request_snapshot_restore(WPARAM wparam) override;
    HWND restart_wait_dialog() override { return _restart_wait_dialog.hwnd(); }
    void on_restart_sent() override;
    // 0x903 with a value; what the send returned, 0 without a navigation bar, 1 when notices are muted.
    int NotifyNavBarValue(int code, WPARAM value);
    bool on_restore() override;
    bool no_restart_wait_dialog() override { return !_restart_wait_dialog.exists(); }
    int get_restart_state() const { return _restart_state; }
    // The restart dialog's window, null while it is not open.
    HWND restart_dialog() const { return _restart_dialog.hwnd(); }
    HWND network_dialog() const { return _network_dialog.hwnd(); }
    NavBarWatch& nav_bar_watch() { return _nav_bar_watch; }
    // The maker's secure desktop mode (never on this platform): with the session block's quiet word set, the
    // navigation bar gets no notices.
    static void set_nuvodesk_mode(bool on);

    // ---- State ----

    RedWindow& get_window() { return *_window; }
    uint64_t update_mark();
    bool is_timer_running();
    bool is_dirty();
    int forced_update_count() const { return _forced_update_count; }
    POINT get_origin() const { return _origin; }
    bool has_frame_area() const { return _frame_area; }
    ScreenLayer* pointer_layer() const { return _pointer_layer; }
    // Main thread, between repaints: the composed pixels.
    RedPixmapSw* composite_area() const { return _composite_area.get(); }

protected:
    ~RedScreen() override;

private:
    class UpdateEvent;
    class LayerChangedEvent;
    class UpdateTimer;
    class CommandHost;

    // The start command and the parent client's blocks, made with the first of them.
    SessionCommand& session_command();

    void activate_timer();
    void deactivate_timer();
    void begin_update(pixman_region32_t& direct, pixman_region32_t& composite, pixman_region32_t& frame);
    void compose(pixman_region32_t& composite);
    void draw_direct(pixman_region32_t& direct, pixman_region32_t& frame);
    void copy_composite(pixman_region32_t& composite);
    void fill_window(const pixman_region32_t& region, uint32_t color);
    ScreenLayer* find_pointer_layer();
    void relative_motion(int x, int y, unsigned int buttons_state);
    void set_window_origin(int x, int y);
    void minimize();
    void end_on_request();

    ApplicationInterface& _app;
    std::string _name;
    std::unique_ptr<RedWindow> _window;
    std::vector<ScreenLayer*> _layers;  // by z-order; main thread
    pixman_region32_t _dirty_region;    // update lock
    bool _active = false;
    bool _frame_area = false;
    bool _timer_running = false;  // update lock
    bool _key_interception = false;
    bool _has_menu_to_retry = false;
    // Raised by a modal loop entry that asked for forced repaints, lowered only by the matching exit.
    int _forced_update_count = 0;
    int _counted_modal_entries = 0;
    UpdateTimer* _update_timer;
    std::unique_ptr<RedPixmapSw> _composite_area;
    uint64_t _update_mark = 1;  // update lock
    POINT _origin{0, 0};
    POINT _mouse_anchor{0, 0};
    POINT _saved_position{0, 0};
    LocalCursor* _default_cursor = nullptr;
    LocalCursor* _inactive_cursor = nullptr;
    ScreenLayer* _pointer_layer = nullptr;
    Mutex _layer_change_lock;
    bool _layer_change_pending = false;  // _layer_change_lock
    bool _pointer_on_screen = false;
    int _pointer_x = 0;
    int _pointer_y = 0;
    unsigned int _pointer_buttons = 0;

    std::unique_ptr<CommandHost> _command_host;
    std::unique_ptr<SessionCommand> _command;

    // Session operations.
    NavBarWatch _nav_bar_watch;
    SessionDialog _restart_dialog{"restart"};
    SessionDialog _restart_wait_dialog{"restart-wait"};
    SessionDialog _network_dialog{"network"};
    int _restart_state = 0;  // 1 while a restart-wait dialog opened here is up
};

// Posts 0x600 (0, lparam) to the helper window titled name followed by this process's id, when there is one.
void notify_helper_window_focus(const char* name, LPARAM lparam);
