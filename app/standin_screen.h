// StandInScreen: the session screen the program uses until the display code provides the real one. It owns a
// hidden window of the session window class (so that "base" commands of a second process find it and can
// close the session), parses the debug start command and connects; it shows nothing.
#pragma once

#include "app/session_screen.h"

#include <cstdint>
#include <string>
#include <vector>

class ApplicationInterface;

// The debug start command: "debug" followed by the pairs "ip", "port" and "vmid" in any order (keywords
// compared without case; other words skipped one at a time).
struct DebugCommand {
    std::string ip;  // dotted text as given
    uint32_t address = 0;
    int port = 0;
    uint64_t vm_id = 0;
};

// Splits a command line into words the way the system does: blanks separate, double quotes group, a
// backslash escapes a quote.
std::vector<std::string> split_command_line(const std::string& command_line);
// False (with "error command line %s" logged) when the words are not a complete debug command.
bool parse_debug_command(const std::vector<std::string>& words, DebugCommand& command);

class StandInScreen : public SessionScreen {
public:
    static constexpr const char16_t* WINDOW_CLASS = u"redc_wclass";

    // Registers the session window class; true when it is registered (also when it already was).
    static bool register_window_class();

    StandInScreen(ApplicationInterface& app, int id);

    bool ParseCommand(const std::string& command_line) override;
    void OnCopyData(HWND sender, const COPYDATASTRUCT* data) override;

    void resize(int width, int height) override;
    void show() override {}
    void hide() override {}
    void show_full_screen() override {}
    void show_full_screen_on_monitor() override {}
    void exit_full_screen() override {}
    void restore_screen() override {}
    void capture_mouse() override { mouse_captured = true; }
    void release_mouse() override { mouse_captured = false; }
    void update_pointer_layer() override {}
    void invalidate(const RECT& rect, bool urgent) override {}
    void attach_layer(ScreenLayer& layer) override {}
    void detach_layer(ScreenLayer& layer) override {}
    void create_composite_area() override {}
    void notify_new_size() override {}
    void NotifyNavBar(int code) override {}
    int StartNavBar() override { return 0; }
    void request_snapshot_restore(WPARAM wparam) override {}
    HWND restart_wait_dialog() override { return nullptr; }
    void on_restart_sent() override {}

protected:
    ~StandInScreen() override;

private:
    static LRESULT CALLBACK window_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);

    ApplicationInterface& _app;
};
