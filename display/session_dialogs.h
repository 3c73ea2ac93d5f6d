// The session screen's native dialogs: the restart question, the restart-wait (or restore-wait) notice and
// the network statistics. Each exists at most once per screen and has a window only while it is open; the
// screen decides when to open and close them. Their contents (texts, buttons, timers, statistics) are not
// built yet: a dialog is an empty hidden window owned by the session window, and its entry points only log.
//
// Main thread only.
#pragma once

#include "winapi/windows.h"

#include <string>

class SessionDialog {
public:
    explicit SessionDialog(const char* name) : _name(name) {}
    ~SessionDialog() { destroy(); }
    SessionDialog(const SessionDialog&) = delete;
    SessionDialog& operator=(const SessionDialog&) = delete;

    // Makes the dialog's window with the session window as owner; false when it cannot.
    bool create(HWND owner);
    void show();
    void destroy();
    bool exists() const { return _window && IsWindow(_window); }
    HWND hwnd() const { return exists() ? _window : nullptr; }

    // Restart dialog: the session's title it shows.
    void set_title(const std::string& title);
    // Restart-wait dialog: restore mode (a desktop restore rather than a restart) and its parent client.
    void set_restore_mode(bool restore) { _restore_mode = restore; }
    bool restore_mode() const { return _restore_mode; }
    void set_parent_client(HWND parent) { _parent_client = parent; }
    // Restart-wait dialog: the restart's result arrived; its answer.
    LRESULT on_timeout(WPARAM code);
    // Restart-wait dialog: the restart command went through and the session ended.
    void on_restart_sent();

private:
    const char* _name;
    HWND _window = nullptr;
    HWND _parent_client = nullptr;
    bool _restore_mode = false;
};
