// SessionScreen: what the application needs of a session screen (one session window with its layers). The
// display side's RedScreen implements it; the application creates screens only through the screen factory
// the program installs (ApplicationParts), so that app/ does not depend on the window code, and tests can
// use a fake.
//
// Main thread only, except where said otherwise.
#pragma once

#include "runtime/threads.h"
#include "winapi/windows.h"

#include <cstdint>
#include <string>

class Monitor;
class ScreenLayer;

class SessionScreen {
public:
    SessionScreen(int id) : _id(id) {}

    SessionScreen(const SessionScreen&) = delete;
    SessionScreen& operator=(const SessionScreen&) = delete;

    int get_id() const { return _id; }

    // Reference counted: the creator holds the first reference; the last unref destroys the screen, whose
    // destructor tells the application (Application::on_screen_destroyed).
    SessionScreen* ref() {
        InterlockedIncrement(&_refs);
        return this;
    }
    void unref() {
        if (InterlockedDecrement(&_refs) == 0) {
            delete this;
        }
    }

    // ---- Start command and parent client ----

    // Parses the process's command line (the words after the program name, as WinMain gets them). False
    // when it is neither the debug form nor the parent hand-shake form. The debug form connects at once.
    virtual bool ParseCommand(const std::string& command_line) = 0;
    // A WM_COPYDATA block from the parent client; the caller has checked nothing.
    virtual void OnCopyData(HWND sender, const COPYDATASTRUCT* data) = 0;

    // ---- Window ----

    virtual void resize(int width, int height) = 0;
    virtual void show() = 0;
    virtual void hide() = 0;
    virtual void show_full_screen() = 0;
    virtual void show_full_screen_on_monitor() = 0;
    virtual void exit_full_screen() = 0;
    // Minimized window back to normal; may call Application::resize_screen with its from-restore argument.
    virtual void restore_screen() = 0;
    virtual void capture_mouse() = 0;
    virtual void release_mouse() = 0;
    // Picks the layer under the pointer again after a capture ended.
    virtual void update_pointer_layer() = 0;
    // Any thread.
    virtual void invalidate(const RECT& rect, bool urgent) = 0;
    virtual void attach_layer(ScreenLayer& layer) = 0;
    virtual void detach_layer(ScreenLayer& layer) = 0;
    virtual void create_composite_area() = 0;
    virtual void notify_new_size() = 0;

    // ---- Navigation bar, parent client, dialogs ----

    // Message 0x903 (wParam 0, lParam code) to the navigation bar when it exists.
    virtual void NotifyNavBar(int code) = 0;
    // Starts the navigation-bar program; non-zero on success.
    virtual int StartNavBar() = 0;
    // Posts 0x609 to the parent client with wParam and the session index.
    virtual void request_snapshot_restore(WPARAM wparam) = 0;
    // The restart-wait dialog's window, null when it is not open.
    virtual HWND restart_wait_dialog() = 0;
    // Tells the open restart-wait dialog that the restart command was sent.
    virtual void on_restart_sent() = 0;

    // ---- State the application reads and writes ----

    // 1: the session was ended locally or the parent was already told, so no 0x607 follows. Any thread.
    volatile LONG ended_locally = 0;
    HWND window = nullptr;
    HWND parent_window = nullptr;
    uint32_t session_index = 0;
    int width = 0;
    int height = 0;
    // The windowed client size remembered before full screen; 0 when none.
    int32_t windowed_width = 0;
    int32_t windowed_height = 0;
    bool full_screen = false;
    bool out_of_sync = false;
    bool size_locked = false;
    bool intercepts_system_keys = false;
    bool mouse_captured = false;
    Monitor* monitor = nullptr;
    bool minimized = false;
    bool has_restore_position = false;
    int restore_x = 0;
    int restore_y = 0;
    RecurciveMutex update_lock;

protected:
    virtual ~SessionScreen() {}

private:
    const int _id;
    volatile LONG _refs = 1;
};
